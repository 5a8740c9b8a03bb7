#pragma once

#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// Guesses whether this application can reach devices on the local network, by connecting to the
// presumed router of the machine's own IPv4 network, and opens the desktop's network settings.
// Keeps no state; every member may run on any thread.
class LocalNetwork {
  public:
    LocalNetwork() = delete;

    // Compared and hashed by case (std::hash of the enumeration).
    enum class Verdict { reachable, likelyBlocked, noNetwork };

    // One entry of the system's interface-address list, copied out of it.
    struct InterfaceAddress {
        std::string name;
        unsigned flags = 0;                       // IFF_* flags
        std::optional<sockaddr_storage> address;  // absent when the entry carries none
        socklen_t length = 0;                     // the address's own length
    };
    using InterfaceList = std::optional<std::vector<InterfaceAddress>>;  // absent: listing failed
    using AddressSource = std::function<std::optional<std::string>()>;

    static constexpr std::array<std::uint16_t, 3> kProbePorts{80, 443, 53};
    static constexpr double kDefaultTimeout = 1.5;

    // The machine's IPv4 address in dotted-decimal form, or none.
    static std::optional<std::string> localAddress();
    // Blocking: up to three connection attempts, each under `timeout` seconds.
    static Verdict probe(double timeout = kDefaultTimeout);
    // Opens the desktop's network settings when a settings program is found; otherwise nothing.
    static void openSettings();

    // The interface list as the system gives it.
    static InterfaceList systemInterfaces();
    // The walk over the list: the first qualifying entry of a wired or wireless interface, else
    // the first qualifying entry of any other.
    static std::optional<std::string> chooseAddress(const InterfaceList& interfaces);
    // "en…" as on the Mac, and the usual Linux names for Ethernet and Wi-Fi.
    static bool isPreferredName(std::string_view name);
    // The address with its last piece replaced by 1, or none when it has not four pieces.
    static std::optional<std::string> probeTarget(std::string_view address);
    static timeval timeoutPair(double seconds);
    // The first settings program found on `searchPath` (a PATH value), as a full argument list.
    static std::optional<std::vector<std::string>> settingsCommand(std::string_view searchPath);

    // The probe behind probe(): the presumed router of the address `localAddress` gives, tried on
    // `ports` in turn.
    static Verdict probeFrom(double timeout, const AddressSource& localAddress,
                             const std::vector<std::uint16_t>& ports = {kProbePorts.begin(),
                                                                        kProbePorts.end()});
    // Starts the settings program found on `searchPath`, detached; false when none is found.
    static bool openSettingsFrom(std::string_view searchPath);
};

}  // namespace vantrel
