#include "update/update_fixture.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vantrel {
void PrintTo(const UpdateResult& result, std::ostream* out) {
    static constexpr const char* kKinds[] = {"current", "installed", "failed"};
    *out << kKinds[static_cast<int>(result.kind())] << "(\"" << result.text() << "\")";
}
}  // namespace vantrel

namespace vantrel::testing {

namespace fs = std::filesystem;

LoopbackServer::LoopbackServer() {
    serve("", {{"status", 404}});
    server_.emplace(std::vector<std::string>{"ROUTES=" + (dir_ / "routes.json").string(),
                                             "LOG=" + (dir_ / "requests.log").string()},
                    0, readFile(VANTREL_SOURCE_DIR "/tests/update/loopback_server.py"));
    if (!server_->waitUntilListening()) {
        throw std::runtime_error("no loopback server: " + server_->output());
    }
}

void LoopbackServer::serve(const std::string& path, const nlohmann::json& answer) {
    routes_[path] = answer;
    writeFile(dir_ / "routes.partial", routes_.dump());
    fs::rename(dir_ / "routes.partial", dir_ / "routes.json");
}

std::vector<nlohmann::json> LoopbackServer::requests() const {
    std::vector<nlohmann::json> seen;
    std::istringstream lines(readFile(dir_ / "requests.log"));
    for (std::string line; std::getline(lines, line);) {
        // The line being written right now may still be incomplete.
        if (auto request = nlohmann::json::parse(line, nullptr, false); !request.is_discarded()) {
            seen.push_back(request);
        }
    }
    return seen;
}

std::vector<std::string> LoopbackServer::requestPaths() const {
    std::vector<std::string> paths;
    for (const auto& request : requests()) {
        paths.push_back(request["path"]);
    }
    return paths;
}

std::string manifestJson(const std::string& version, const std::string& url,
                         const std::string& sha256) {
    return nlohmann::json{{"version", version}, {"url", url}, {"sha256", sha256}}.dump();
}

ToolResult run(const std::string& tool, const std::vector<std::string>& arguments) {
    auto result = runTool(tool, arguments);
    EXPECT_EQ(result.status, 0) << tool << ": " << result.output;
    return result;
}

fs::path makeSigningKey(const fs::path& folder, const std::string& name) {
    fs::remove(folder / name);
    fs::remove(folder / (name + ".pub"));
    run("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-C", name, "-f", folder / name});
    return folder / name;
}

fs::path makeSigners(const fs::path& key, const fs::path& signers) {
    writeFile(signers,
              "QK4TR8MZ2V namespaces=\"vantrel-release\" " + readFile(key.string() + ".pub"));
    return signers;
}

}  // namespace vantrel::testing
