#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

// The reference agent from the source tree on a free loopback port of its own, so that these
// tests never meet the agent port 8787. `knobs` are extra NAME=value entries.
class ReferenceAgent {
  public:
    explicit ReferenceAgent(const std::vector<std::string>& knobs = {});
    ~ReferenceAgent();
    ReferenceAgent(const ReferenceAgent&) = delete;
    ReferenceAgent& operator=(const ReferenceAgent&) = delete;

    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    bool waitUntilListening(double timeoutSeconds = 10) const;
    std::string output() const;

  private:
    TempDir dir_;
    int port_;
    std::optional<ChildProcess> child_;
};

// True when the file is a zip archive that python's zipfile module can list and test.
bool isZipArchive(const std::filesystem::path& file);

}  // namespace vantrel::testing
