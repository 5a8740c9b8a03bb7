#include "menubar/local_network.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cmath>

#include "support/unique_fd.h"

namespace vantrel {
namespace {

std::optional<std::string> numericHost(const LocalNetwork::InterfaceAddress& entry) {
    char host[1025];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&*entry.address), entry.length, host,
                      sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return std::nullopt;
    }
    return std::string(host);
}

std::optional<std::string> qualifyingAddress(const LocalNetwork::InterfaceAddress& entry) {
    if ((entry.flags & IFF_UP) == 0 || (entry.flags & IFF_LOOPBACK) != 0 || !entry.address ||
        entry.address->ss_family != AF_INET) {
        return std::nullopt;
    }
    auto host = numericHost(entry);
    if (!host || host->starts_with("169.254.")) {
        return std::nullopt;
    }
    return host;
}

bool connects(const std::string& target, std::uint16_t port, const timeval& timeout) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        return false;
    }
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, target.c_str(), &address.sin_addr) != 1) {
        return false;
    }
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
           0;
}

}  // namespace

std::optional<std::string> LocalNetwork::localAddress() {
    return chooseAddress(systemInterfaces());
}

LocalNetwork::Verdict LocalNetwork::probe(double timeout) {
    return probeFrom(timeout, &LocalNetwork::localAddress);
}

std::optional<std::string> LocalNetwork::chooseAddress(const InterfaceList& interfaces) {
    if (!interfaces) {
        return std::nullopt;
    }
    std::optional<std::string> fallback;
    for (const auto& entry : *interfaces) {
        auto address = qualifyingAddress(entry);
        if (!address) {
            continue;
        }
        if (isPreferredName(entry.name)) {
            return address;
        }
        if (!fallback) {
            fallback = std::move(address);
        }
    }
    return fallback;
}

std::optional<std::string> LocalNetwork::probeTarget(std::string_view address) {
    std::vector<std::string_view> pieces;
    while (!address.empty()) {
        const auto dot = address.find('.');
        auto piece = address.substr(0, dot);
        if (!piece.empty()) {
            pieces.push_back(piece);
        }
        address = dot == std::string_view::npos ? std::string_view() : address.substr(dot + 1);
    }
    if (pieces.size() != 4) {
        return std::nullopt;
    }
    std::string target;
    for (size_t i = 0; i < 3; ++i) {
        target.append(pieces[i]).append(".");
    }
    return target + "1";
}

timeval LocalNetwork::timeoutPair(double seconds) {
    const double whole = std::trunc(seconds);
    return timeval{static_cast<time_t>(whole),
                   static_cast<suseconds_t>(static_cast<std::int32_t>((seconds - whole) * 1e6))};
}

LocalNetwork::Verdict LocalNetwork::probeFrom(double timeout, const AddressSource& localAddress,
                                              const std::vector<std::uint16_t>& ports) {
    const auto address = localAddress();
    const auto target = address ? probeTarget(*address) : std::nullopt;
    if (!target) {
        return Verdict::noNetwork;
    }
    const timeval pair = timeoutPair(timeout);
    for (std::uint16_t port : ports) {
        if (connects(*target, port, pair)) {
            return Verdict::reachable;
        }
    }
    return Verdict::likelyBlocked;
}

}  // namespace vantrel
