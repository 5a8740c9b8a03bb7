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
    struct Route {
        long status = 200;
        std::string body;
        double delay = 0;      // seconds before the answer
        std::string location;  // a Location header (status 302)
        std::string file;      // the body comes from this file
        bool endless = false;  // spaces until the client hangs up; logs {"sent": bytes}
    };
    static Route answer(std::string body, long status = 200, double delay = 0) {
        return {status, std::move(body), delay, "", "", false};
    }
    static Route redirect(std::string to) { return {302, "", 0, std::move(to), "", false}; }
    static Route fileAnswer(std::string file) { return {200, "", 0, "", std::move(file), false}; }
    static Route endlessAnswer() { return {200, "", 0, "", "", true}; }

    LoopbackServer();
    std::string base() const { return server_->base(); }  // no trailing slash
    void serve(const std::string& path, Route route);
    // Each request seen so far (path and headers, or what an endless answer sent), oldest first.
    std::vector<nlohmann::json> requests() const;
    std::vector<std::string> requestPaths() const;

  private:
    TempDir dir_;
    nlohmann::json routes_ = nlohmann::json::object();
    std::optional<PythonServer> server_;
};

std::string manifestJson(const std::string& version, const std::string& url = "http://127.0.0.1/x",
                         const std::string& sha256 = std::string(64, 'a'));

// A throwaway ed25519 key `folder`/`name` and, at `signers`, the allowed-signers file that names
// it as the release signer.
std::filesystem::path makeSigningKey(const std::filesystem::path& folder, const std::string& name);
std::filesystem::path makeSigners(const std::filesystem::path& key,
                                  const std::filesystem::path& signers);

// A small signed release: the bundle at dir/release/VantrelAgent (an executable, read-only files,
// a name with a quote and a space, an empty folder, a link), signed by dir/release-key as
// dir/release-signers allows, packed by pack() as dir/release.tar.gz.
struct SignedRelease {
    SignedRelease();
    std::filesystem::path bundle() const { return dir / "release/VantrelAgent"; }
    void make();                                  // the bundle afresh, signed by `key`
    void sign(const std::filesystem::path& key);  // the bundle's signed list, by `key`
    std::filesystem::path pack() const;

    TempDir dir;
    std::filesystem::path key, signers;
};

// Runs a command and fails the test when it does not exit 0.
ToolResult run(const std::string& tool, const std::vector<std::string>& arguments);

}  // namespace vantrel::testing
