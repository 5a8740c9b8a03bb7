#include "manifest_server.h"

#include <fcntl.h>
#include <signal.h>

#include <sstream>
#include <stdexcept>

#include "support/unique_fd.h"

namespace vantrel::testing {
namespace {

void writeRoutes(const std::filesystem::path& path,
                 const std::map<std::string, ManifestServer::Route>& routes) {
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [name, route] : routes) {
        nlohmann::json entry{
            {"status", route.status}, {"body", route.body}, {"delay", route.delay}};
        if (route.endless) {
            entry["endless"] = true;
        }
        if (route.location) {
            entry["location"] = *route.location;
        }
        json[name] = entry;
    }
    auto partial = path.string() + ".partial";
    writeFile(partial, json.dump());
    std::filesystem::rename(partial, path);
}

}  // namespace

ManifestServer::ManifestServer() {
    writeRoutes(dir_ / "routes.json", routes_);
    UniqueFd output(::open((dir_ / "server.out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    auto started = ChildProcess::spawn(SpawnRequest{
        .executable = VANTREL_SYSTEM_PYTHON,
        .arguments = {VANTREL_SOURCE_DIR "/tests/update/manifest_server.py", "--routes",
                      (dir_ / "routes.json").string(), "--log", (dir_ / "requests.log").string(),
                      "--port-file", (dir_ / "port").string()},
        .environment = currentEnvironment(),
        .output = output.get(),
    });
    if (!started.child) {
        throw std::runtime_error("could not start manifest_server.py");
    }
    child_ = std::move(started.child);
    if (!eventually([&] { return std::filesystem::exists(dir_ / "port"); })) {
        throw std::runtime_error("manifest_server.py did not listen: " +
                                 readFile(dir_ / "server.out"));
    }
    port_ = std::stoi(readFile(dir_ / "port"));
}

ManifestServer::~ManifestServer() {
    child_->signal(SIGKILL);
    child_->wait();
}

std::string ManifestServer::base() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void ManifestServer::route(const std::string& path, Route route) {
    routes_[path] = std::move(route);
    writeRoutes(dir_ / "routes.json", routes_);
}

void ManifestServer::serve(const std::string& path, const std::string& body, long status,
                           double delay) {
    route(path, Route{status, body, delay, std::nullopt});
}

void ManifestServer::redirect(const std::string& path, const std::string& location) {
    route(path, Route{302, "", 0, location});
}

void ManifestServer::serveEndless(const std::string& path) {
    route(path, Route{200, "", 0, std::nullopt, true});
}

std::vector<nlohmann::json> ManifestServer::requests() const {
    std::vector<nlohmann::json> seen;
    std::istringstream lines(readFile(dir_ / "requests.log"));
    for (std::string line; std::getline(lines, line);) {
        // The line being written right now may still be incomplete.
        auto request = nlohmann::json::parse(line, nullptr, false);
        if (!request.is_discarded()) {
            seen.push_back(request);
        }
    }
    return seen;
}

std::vector<std::string> ManifestServer::requestPaths() const {
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

}  // namespace vantrel::testing
