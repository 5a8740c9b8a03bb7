#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/running_app.h"
#include "support/temp_dir.h"
#include "update/run_tool.h"
#include "update/update_result.h"

namespace vantrel {
// Readable failures: gtest prints results as their kind and text.
void PrintTo(const UpdateResult& result, std::ostream* out);
}  // namespace vantrel

namespace vantrel::testing {

// loopback_server.py on 127.0.0.1 at a port of its own, for the life of the object.
class LoopbackServer {
  public:
    LoopbackServer();
    std::string base() const { return server_->base(); }  // no trailing slash
    // `answer`: "status" (200), "body" or the "file" that holds it, "delay" in seconds,
    // "location", or "endless" spaces until the client hangs up (logged as {"sent": bytes}).
    void serve(const std::string& path, const nlohmann::json& answer);
    std::vector<nlohmann::json> requests() const;  // path and headers, or what was "sent"
    std::vector<std::string> requestPaths() const;

  private:
    TempDir dir_;
    nlohmann::json routes_ = nlohmann::json::object();
    std::optional<PythonServer> server_;
};

std::string manifestJson(const std::string& version, const std::string& url = "http://127.0.0.1/x",
                         const std::string& sha256 = std::string(64, 'a'));

// A throwaway ed25519 key `folder`/`name`; the allowed-signers file `signers` naming it.
std::filesystem::path makeSigningKey(const std::filesystem::path& folder, const std::string& name);
std::filesystem::path makeSigners(const std::filesystem::path& key,
                                  const std::filesystem::path& signers);

// Runs a command and fails the test when it does not exit 0.
ToolResult run(const std::string& tool, const std::vector<std::string>& arguments);

}  // namespace vantrel::testing
