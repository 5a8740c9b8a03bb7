#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/run_tool.h"
#include "support/running_app.h"
#include "support/temp_dir.h"
#include "update/release_architecture.h"
#include "update/update_result.h"

namespace vantrel {
// Readable failures: gtest prints results as their kind and text.
inline void PrintTo(const UpdateResult& result, std::ostream* out) {
    static constexpr const char* kKinds[] = {"current", "installed", "available", "failed"};
    *out << kKinds[static_cast<int>(result.kind())] << "(\"" << result.text() << "\")";
}
}  // namespace vantrel

namespace vantrel::testing {

// loopback_server.py on 127.0.0.1 at a port of its own, for the life of the object. An answer:
// "status" (200), "body" or the "file" that holds it, "delay" in seconds, "location", or "endless"
// spaces until the client hangs up (logged as {"sent": bytes}).
class LoopbackServer {
  public:
    LoopbackServer() {
        serve("", {{"status", 404}});
        server_.emplace(std::vector<std::string>{"ROUTES=" + (dir_ / "routes.json").string(),
                                                 "LOG=" + (dir_ / "requests.log").string()},
                        0, readFile(VANTREL_SOURCE_DIR "/tests/update/loopback_server.py"));
        if (!server_->waitUntilListening()) {
            throw std::runtime_error("no loopback server: " + server_->output());
        }
    }
    std::string base() const { return server_->base(); }  // no trailing slash
    void serve(const std::string& path, const nlohmann::json& answer) {
        routes_[path] = answer;
        writeFile(dir_ / "routes.partial", routes_.dump());
        std::filesystem::rename(dir_ / "routes.partial", dir_ / "routes.json");
    }
    // Each request's path and headers, or what an endless answer sent; the line being written
    // right now may still be incomplete.
    std::vector<nlohmann::json> requests() const {
        std::vector<nlohmann::json> seen;
        std::istringstream lines(readFile(dir_ / "requests.log"));
        for (std::string line; std::getline(lines, line);) {
            if (auto request = nlohmann::json::parse(line, nullptr, false);
                !request.is_discarded()) {
                seen.push_back(request);
            }
        }
        return seen;
    }
    std::vector<std::string> requestPaths(size_t from) const {
        std::vector<std::string> paths;
        for (const auto& request : requests()) {
            paths.push_back(request["path"]);
        }
        return {paths.begin() + static_cast<std::ptrdiff_t>(from), paths.end()};
    }

  private:
    TempDir dir_;
    nlohmann::json routes_ = nlohmann::json::object();
    std::optional<PythonServer> server_;
};

// Where copies on this machine look for their releases' manifest.
inline const std::string kManifestPath =
    "/linux/" + std::string(thisMachineArchitecture()) + "/latest.json";

inline std::string manifestJson(const std::string& version,
                                const std::string& url = "http://127.0.0.1/x",
                                const std::string& sha256 = std::string(64, 'a')) {
    return nlohmann::json{{"version", version}, {"url", url}, {"sha256", sha256}}.dump();
}

// Runs a command and fails the test when it does not exit 0.
inline ToolResult run(const std::string& tool, const std::vector<std::string>& arguments) {
    auto result = runTool(tool, arguments);
    EXPECT_EQ(result.status, 0) << tool << ": " << result.output;
    return result;
}

}  // namespace vantrel::testing
