#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_process.h"
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
    struct Route {
        long status = 200;
        std::string body;
        double delay = 0;      // seconds before the answer
        std::string location;  // a Location header
        std::string file;      // the body comes from this file
        bool endless = false;  // spaces until the client hangs up; logs {"sent": bytes}
    };
    static Route answer(std::string body, long status = 200, double delay = 0) {
        return {status, std::move(body), delay, "", "", false};
    }
    static Route redirect(std::string location) {
        return {302, "", 0, std::move(location), "", false};
    }
    static Route fileAnswer(std::string file) { return {200, "", 0, "", std::move(file), false}; }
    static Route endlessAnswer() { return {200, "", 0, "", "", true}; }

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // "http://127.0.0.1:PORT" with no trailing slash.
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void serve(const std::string& path, Route route);
    // Each request seen so far (path and headers), oldest first.
    std::vector<nlohmann::json> requests() const;
    std::vector<std::string> requestPaths() const;

  private:
    TempDir dir_;
    nlohmann::json routes_ = nlohmann::json::object();
    std::optional<ChildProcess> child_;
    int port_ = 0;
};

// A manifest body with these three strings.
std::string manifestJson(const std::string& version, const std::string& url = "http://127.0.0.1/x",
                         const std::string& sha256 = std::string(64, 'a'));

// A throwaway ed25519 key pair `folder`/`name`, and an allowed-signers file for it.
std::filesystem::path makeSigningKey(const std::filesystem::path& folder, const std::string& name);
std::filesystem::path makeSigners(const std::filesystem::path& key,
                                  const std::filesystem::path& signers);
// A small bundle at `root` (= …/VantrelAgent): an executable, read-only files, a folder, a link.
void makeBundle(const std::filesystem::path& root);
// Writes the bundle's signed list with the product's own description and signs it with `key`.
void signBundle(const std::filesystem::path& root, const std::filesystem::path& key);
// Packs `folder`/VantrelAgent into a gzip-compressed tar at `archive`.
void packArchive(const std::filesystem::path& folder, const std::filesystem::path& archive);
// Runs a command and fails the test when it does not exit 0.
ToolResult run(const std::string& tool, const std::vector<std::string>& arguments);

}  // namespace vantrel::testing
