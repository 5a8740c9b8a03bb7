#pragma once

#include <string>

namespace vantrel {

// A published release: its version, where its archive is, and the archive's SHA-256 digest.
struct Manifest {
    std::string version;
    std::string url;
    std::string sha256;
};

}  // namespace vantrel
