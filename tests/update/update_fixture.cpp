#include "update/update_fixture.h"

#include <gtest/gtest.h>

#include <sstream>

#include "update/release_tools_file_list.h"

namespace vantrel {
void PrintTo(const UpdateResult& result, std::ostream* out) {
    static constexpr const char* kKinds[] = {"current", "installed", "failed"};
    *out << kKinds[static_cast<int>(result.kind())] << "(\"" << result.text() << "\")";
}
}  // namespace vantrel

namespace vantrel::testing {

namespace fs = std::filesystem;

LoopbackServer::LoopbackServer() {
    serve("", answer("", 404));
    server_.emplace(std::vector<std::string>{"ROUTES=" + (dir_ / "routes.json").string(),
                                             "LOG=" + (dir_ / "requests.log").string()},
                    0, readFile(VANTREL_SOURCE_DIR "/tests/update/loopback_server.py"));
    if (!server_->waitUntilListening()) {
        throw std::runtime_error("no loopback server: " + server_->output());
    }
}

void LoopbackServer::serve(const std::string& path, Route route) {
    routes_[path] = {{"status", route.status},   {"body", route.body},
                     {"delay", route.delay},     {"file", route.file},
                     {"endless", route.endless}, {"location", route.location}};
    writeFile(dir_ / "routes.partial", routes_.dump());
    fs::rename(dir_ / "routes.partial", dir_ / "routes.json");
}

std::vector<nlohmann::json> LoopbackServer::requests() const {
    std::vector<nlohmann::json> seen;
    std::istringstream lines(fs::exists(dir_ / "requests.log") ? readFile(dir_ / "requests.log")
                                                               : "");
    for (std::string line; std::getline(lines, line);) {
        // The line being written right now may still be incomplete.
        auto request = nlohmann::json::parse(line, nullptr, false);
        if (!request.is_discarded()) {
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
    auto key = folder / name;
    fs::remove(key);
    fs::remove(key.string() + ".pub");
    run("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-C", name, "-f", key.string()});
    return key;
}

fs::path makeSigners(const fs::path& key, const fs::path& signers) {
    writeFile(signers,
              "QK4TR8MZ2V namespaces=\"vantrel-release\" " + readFile(key.string() + ".pub"));
    return signers;
}

SignedRelease::SignedRelease()
    : key(makeSigningKey(dir.path(), "release-key")),
      signers(makeSigners(key, dir / "release-signers")) {
    make();
}

void SignedRelease::make() {
    auto root = bundle();
    fs::remove_all(root);
    writeFile(root / "bin/VantrelAgent", "#!/bin/sh\nexit 0\n", true);
    writeFile(root / "Info.json", "{\"CFBundleShortVersionString\": \"2.0\"}\n");
    writeFile(root / "Resources/lib/vantrel_agent/__init__.py", "# agent\n");
    writeFile(root / "Resources/lib/vantrel_agent/with space 'q'.py", "x = 1\n");
    fs::create_directories(root / "Resources/empty");
    fs::create_symlink("lib/vantrel_agent", root / "Resources/agent");
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            bool executable =
                (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none;
            fs::permissions(entry.path(), static_cast<fs::perms>(executable ? 0555 : 0444));
        }
    }
    sign(key);
}

void SignedRelease::sign(const fs::path& signingKey) {
    auto list = bundle() / kFileListName;
    fs::remove(list);
    fs::remove(bundle() / kFileListSignatureName);
    auto description = describeBundle(bundle());
    ASSERT_TRUE(description);
    writeFile(list, description->dump(1) + "\n");
    run("/usr/bin/ssh-keygen",
        {"-q", "-Y", "sign", "-f", signingKey.string(), "-n", "vantrel-release", list.string()});
}

fs::path SignedRelease::pack() const {
    run("/bin/tar", {"-czf", (dir / "release.tar.gz").string(), "-C", (dir / "release").string(),
                     "VantrelAgent"});
    return dir / "release.tar.gz";
}

}  // namespace vantrel::testing
