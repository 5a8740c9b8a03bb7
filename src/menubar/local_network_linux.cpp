#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "menubar/local_network.h"
#include "support/child_process.h"

namespace vantrel {
namespace {

struct IfaddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

// Linux's socket addresses carry no length of their own; only IPv4 entries are ever converted.
socklen_t addressLength(const sockaddr* address) {
    return address->sa_family == AF_INET ? sizeof(sockaddr_in) : 0;
}

LocalNetwork::InterfaceAddress copyEntry(const ifaddrs& entry) {
    LocalNetwork::InterfaceAddress copy;
    copy.name = entry.ifa_name ? entry.ifa_name : "";
    copy.flags = entry.ifa_flags;
    if (entry.ifa_addr) {
        sockaddr_storage storage{};
        copy.length = addressLength(entry.ifa_addr);
        std::memcpy(&storage, entry.ifa_addr, copy.length > 0 ? copy.length : sizeof(sa_family_t));
        copy.address = storage;
    }
    return copy;
}

std::optional<std::filesystem::path> findExecutable(const std::string& name,
                                                    std::string_view searchPath) {
    while (true) {
        const auto colon = searchPath.find(':');
        const std::filesystem::path folder(std::string(searchPath.substr(0, colon)));
        if (folder.is_absolute() && ::access((folder / name).c_str(), X_OK) == 0 &&
            std::filesystem::is_regular_file(folder / name)) {
            return folder / name;
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        searchPath.remove_prefix(colon + 1);
    }
}

// Detached, so that the program outlives no child of ours and is never waited for.
void launchDetached(const std::vector<std::string>& command) {
    UniqueFd nothing(::open("/dev/null", O_RDWR | O_CLOEXEC));
    ChildProcess::spawn({.executable = command.front(),
                         .arguments = {command.begin() + 1, command.end()},
                         .environment = currentEnvironment(),
                         .output = nothing.get(),
                         .input = nothing.get(),
                         .detached = true});
}

}  // namespace

LocalNetwork::InterfaceList LocalNetwork::systemInterfaces() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);
    std::vector<InterfaceAddress> entries;
    for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        entries.push_back(copyEntry(*entry));
    }
    return entries;
}

bool LocalNetwork::isPreferredName(std::string_view name) {
    return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

std::optional<std::vector<std::string>> LocalNetwork::settingsCommand(std::string_view searchPath) {
    // Settings programs of the common desktops, most specific first.
    const std::vector<std::vector<std::string>> programs{
        {"gnome-control-center", "network"},
        {"systemsettings", "kcm_networkmanagement"},
        {"nm-connection-editor"},
    };
    for (const auto& program : programs) {
        if (auto found = findExecutable(program.front(), searchPath)) {
            std::vector<std::string> command{found->string()};
            command.insert(command.end(), program.begin() + 1, program.end());
            return command;
        }
    }
    return std::nullopt;
}

void LocalNetwork::openSettings() {
    const char* path = ::getenv("PATH");
    openSettingsFrom(path ? path : "");
}

bool LocalNetwork::openSettingsFrom(std::string_view searchPath) {
    auto command = settingsCommand(searchPath);
    if (command) {
        launchDetached(*command);
    }
    return command.has_value();
}

}  // namespace vantrel
