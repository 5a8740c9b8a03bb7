#pragma once

#include "update/manifest.h"
#include "update/update_result.h"

namespace vantrel {

// The second half of an update run, once a newer release is known and the running bundle's folder
// is writable: download, checksum, unpacking beside the running bundle, verification, staging,
// termination request. Blocking; runs on the update's worker thread and never throws.
class UpdateInstaller {
  public:
    virtual ~UpdateInstaller() = default;
    virtual UpdateResult install(const Manifest& manifest) = 0;
};

}  // namespace vantrel
