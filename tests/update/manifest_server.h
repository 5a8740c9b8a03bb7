#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

// manifest_server.py on 127.0.0.1 at a port of its own, for the life of the object.
class ManifestServer {
  public:
    struct Route {
        long status = 200;
        std::string body;
        double delay = 0;
        std::optional<std::string> location;
        bool endless = false;
    };

    ManifestServer();
    ~ManifestServer();
    ManifestServer(const ManifestServer&) = delete;
    ManifestServer& operator=(const ManifestServer&) = delete;

    // "http://127.0.0.1:PORT" with no trailing slash.
    std::string base() const;
    // Answers GETs of `path` after `delay` seconds.
    void serve(const std::string& path, const std::string& body, long status = 200,
               double delay = 0);
    void redirect(const std::string& path, const std::string& location);
    // Sends a body that never ends; the server logs how much it got out as "sent".
    void serveEndless(const std::string& path);
    // Each request seen so far: its path and headers, oldest first.
    std::vector<nlohmann::json> requests() const;
    std::vector<std::string> requestPaths() const;

  private:
    void route(const std::string& path, Route route);

    TempDir dir_;
    std::map<std::string, Route> routes_;
    std::optional<ChildProcess> child_;
    int port_ = 0;
};

// A manifest body with these three strings.
std::string manifestJson(const std::string& version, const std::string& url = "http://127.0.0.1/x",
                         const std::string& sha256 = std::string(64, 'a'));

}  // namespace vantrel::testing
