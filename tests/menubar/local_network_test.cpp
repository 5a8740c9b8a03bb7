#include "menubar/local_network.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <unordered_set>

#include "menubar/network_warning.h"
#include "support/manual_queue.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"

namespace vantrel {
namespace {

using Verdict = LocalNetwork::Verdict;
using Entry = LocalNetwork::InterfaceAddress;
using ::testing::ElementsAre;

Entry ipv4(const std::string& name, const std::string& text, unsigned flags = IFF_UP) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, text.c_str(), &address.sin_addr);
    sockaddr_storage storage{};
    std::memcpy(&storage, &address, sizeof address);
    return {name, flags, storage, sizeof address};
}

Entry ipv6(const std::string& name) {
    sockaddr_storage storage{};
    storage.ss_family = AF_INET6;
    return {name, IFF_UP, storage, sizeof(sockaddr_in6)};
}

Entry withoutAddress(const std::string& name) {
    return {name, IFF_UP, std::nullopt, 0};
}

// An IPv4 entry whose stated length is too short to convert.
Entry unconvertible(const std::string& name, const std::string& text) {
    Entry entry = ipv4(name, text);
    entry.length = 4;
    return entry;
}

TEST(LocalAddressTest, WalksTheInterfaceList) {
    struct Case {
        const char* what;
        LocalNetwork::InterfaceList list;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"listing failed", std::nullopt, std::nullopt},
        {"empty list", std::vector<Entry>{}, std::nullopt},
        {"loopback and self-assigned only",
         std::vector{ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK), ipv4("en0", "169.254.3.4")},
         std::nullopt},
        {"down interface", std::vector{ipv4("en0", "192.168.7.23", 0)}, std::nullopt},
        {"no address, IPv6, unconvertible",
         std::vector{withoutAddress("en0"), ipv6("en1"), unconvertible("en2", "10.0.0.5")},
         std::nullopt},
        {"en after a tunnel", std::vector{ipv4("utun0", "10.8.0.2"), ipv4("en0", "192.168.7.23")},
         "192.168.7.23"},
        {"tunnel only", std::vector{ipv4("utun0", "10.8.0.2")}, "10.8.0.2"},
        {"first fallback kept",
         std::vector{ipv4("tun0", "10.8.0.2"), ipv4("docker0", "172.17.0.1")}, "10.8.0.2"},
        {"first en wins", std::vector{ipv4("en1", "192.168.1.9"), ipv4("en0", "192.168.7.23")},
         "192.168.1.9"},
        {"Linux wired name", std::vector{ipv4("tun0", "10.8.0.2"), ipv4("eth0", "192.168.2.5")},
         "192.168.2.5"},
        {"Linux wireless name",
         std::vector{ipv4("tun0", "10.8.0.2"), ipv4("wlp3s0", "192.168.3.5")}, "192.168.3.5"},
        {"predictable wired name",
         std::vector{ipv4("virbr0", "192.168.122.1"), ipv4("enp0s31f6", "192.168.4.5")},
         "192.168.4.5"},
        {"skipped entries before a good one",
         std::vector{ipv4("en0", "169.254.1.1"), ipv6("en0"), ipv4("en0", "192.168.7.23")},
         "192.168.7.23"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LocalNetwork::chooseAddress(c.list), c.expected) << c.what;
    }
}

TEST(LocalAddressTest, SystemListIsReadWithoutProbing) {
    // Only reads the list; the machine's own network is never contacted.
    auto list = LocalNetwork::systemInterfaces();
    ASSERT_TRUE(list);
    bool loopbackSeen = false;
    for (const auto& entry : *list) {
        loopbackSeen = loopbackSeen || (entry.flags & IFF_LOOPBACK) != 0;
    }
    EXPECT_TRUE(loopbackSeen);
}

TEST(ProbeTargetTest, ReplacesTheLastPieceWithOne) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"192.168.7.23", "192.168.7.1"},
        {"10.0.0.1", "10.0.0.1"},
        {"127.0.0.23", "127.0.0.1"},
        {"1..2.3.4", "1.2.3.1"},
        {"1.2.3", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"", std::nullopt},
        {"....", std::nullopt},
    };
    for (const auto& [address, target] : cases) {
        EXPECT_EQ(LocalNetwork::probeTarget(address), target) << address;
    }
}

TEST(ProbeTargetTest, TimeoutSplitsIntoSecondsAndMicroseconds) {
    const timeval standard = LocalNetwork::timeoutPair(1.5);
    EXPECT_EQ(standard.tv_sec, 1);
    EXPECT_EQ(standard.tv_usec, 500000);
    const timeval small = LocalNetwork::timeoutPair(0.25);
    EXPECT_EQ(small.tv_sec, 0);
    EXPECT_EQ(small.tv_usec, 250000);
    EXPECT_EQ(LocalNetwork::timeoutPair(3).tv_usec, 0);
}

TEST(ProbeTargetTest, VerdictsHashByCase) {
    std::unordered_set<Verdict> seen{Verdict::reachable, Verdict::likelyBlocked, Verdict::noNetwork,
                                     Verdict::reachable};
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_NE(Verdict::reachable, Verdict::likelyBlocked);
}

// A TCP listener on 127.0.0.1 that never accepts; a completed connect leaves a pending entry.
class Listener {
  public:
    explicit Listener(std::uint16_t port = 0)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int on = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(fd_.get(), 8) == 0;
        socklen_t length = sizeof address;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }

    bool bound() const { return bound_; }
    std::uint16_t port() const { return port_; }
    bool connected() const {
        pollfd ready{fd_.get(), POLLIN, 0};
        return ::poll(&ready, 1, 0) == 1;
    }
    void close() { fd_.reset(); }

  private:
    UniqueFd fd_;
    bool bound_ = false;
    std::uint16_t port_ = 0;
};

// A port where nothing listens: bound once to learn a free number, then closed.
std::uint16_t closedPort() {
    Listener listener;
    listener.close();
    return listener.port();
}

LocalNetwork::AddressSource fixed(std::optional<std::string> address) {
    return [address] { return address; };
}

TEST(ProbeTest, StopsAtTheFirstCompletedConnection) {
    Listener second;
    Listener third;
    const std::vector<std::uint16_t> ports{closedPort(), second.port(), third.port()};
    EXPECT_EQ(LocalNetwork::probeFrom(0.5, fixed("127.0.0.23"), ports), Verdict::reachable);
    EXPECT_TRUE(second.connected());
    EXPECT_FALSE(third.connected());
}

TEST(ProbeTest, RefusalsEverywhereLookBlocked) {
    const std::vector<std::uint16_t> ports{closedPort(), closedPort(), closedPort()};
    EXPECT_EQ(LocalNetwork::probeFrom(0.5, fixed("127.0.0.9"), ports), Verdict::likelyBlocked);
}

TEST(ProbeTest, NoUsableAddressMeansNoNetwork) {
    Listener open;
    const std::vector<std::uint16_t> ports{open.port()};
    EXPECT_EQ(LocalNetwork::probeFrom(0.5, fixed(std::nullopt), ports), Verdict::noNetwork);
    EXPECT_EQ(LocalNetwork::probeFrom(0.5, fixed("127.0.1"), ports), Verdict::noNetwork);
    // Only loopback in the list: no socket is opened at all.
    const LocalNetwork::InterfaceList loopbackOnly =
        std::vector{ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK)};
    EXPECT_EQ(LocalNetwork::probeFrom(
                  0.5, [&] { return LocalNetwork::chooseAddress(loopbackOnly); }, ports),
              Verdict::noNetwork);
    EXPECT_FALSE(open.connected());
}

// Runs `body` on a thread of its own inside a fresh network namespace with only loopback up, so
// that the real probe ports 80, 443 and 53 are free and nobody else's. False without the rights.
bool inOwnNetwork(const std::function<void()>& body) {
    bool entered = false;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            return;
        }
        UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) {
            return;
        }
        request.ifr_flags |= IFF_UP;
        if (::ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) {
            return;
        }
        entered = true;
        body();
    }).join();
    return entered;
}

TEST(ProbeTest, TriesPorts80Then443Then53OnTheDotOneAddress) {
    // The en interface comes after a tunnel; its address 127.0.0.23 gives the target 127.0.0.1.
    const LocalNetwork::InterfaceList list =
        std::vector{ipv4("utun0", "127.0.0.77"), ipv4("en0", "127.0.0.23")};
    const auto source = [&] { return LocalNetwork::chooseAddress(list); };
    const bool ran = inOwnNetwork([&] {
        EXPECT_EQ(LocalNetwork::probeFrom(0.5, source), Verdict::likelyBlocked);
        {
            Listener dns(53);
            ASSERT_TRUE(dns.bound());
            EXPECT_EQ(LocalNetwork::probeFrom(0.5, source), Verdict::reachable);
            EXPECT_TRUE(dns.connected());
        }
        {
            Listener https(443);
            Listener dns(53);
            EXPECT_EQ(LocalNetwork::probeFrom(0.5, source), Verdict::reachable);
            EXPECT_TRUE(https.connected());
            EXPECT_FALSE(dns.connected());
        }
        {
            Listener http(80);
            Listener https(443);
            EXPECT_EQ(LocalNetwork::probeFrom(0.5, source), Verdict::reachable);
            EXPECT_TRUE(http.connected());
            EXPECT_FALSE(https.connected());
        }
    });
    if (!ran) {
        GTEST_SKIP() << "needs the right to make a network namespace";
    }
}

class SettingsTest : public ::testing::Test {
  protected:
    std::string program(const std::string& name, const std::string& body = "") {
        testing::writeFile(bin / name, "#!/bin/sh\n" + body, true);
        return (bin / name).string();
    }

    testing::TempDir dir;
    std::filesystem::path bin = dir / "bin";
    std::filesystem::path other = dir / "other";
    void SetUp() override {
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(other);
    }
};

TEST_F(SettingsTest, ChoosesTheFirstSettingsProgramFound) {
    EXPECT_EQ(LocalNetwork::settingsCommand(bin.string()), std::nullopt);
    EXPECT_EQ(LocalNetwork::settingsCommand(""), std::nullopt);

    testing::writeFile(bin / "gnome-control-center", "not executable");
    EXPECT_EQ(LocalNetwork::settingsCommand(bin.string()), std::nullopt);

    const auto editor = program("nm-connection-editor");
    EXPECT_THAT(*LocalNetwork::settingsCommand(bin.string()), ElementsAre(editor));

    const auto kde = program("systemsettings");
    EXPECT_THAT(*LocalNetwork::settingsCommand(bin.string()),
                ElementsAre(kde, "kcm_networkmanagement"));

    testing::writeFile(other / "gnome-control-center", "#!/bin/sh\n", true);
    const auto path = "relative:" + other.string() + ":" + bin.string();
    EXPECT_THAT(*LocalNetwork::settingsCommand(path),
                ElementsAre((other / "gnome-control-center").string(), "network"));
}

TEST_F(SettingsTest, StartsTheProgramDetached) {
    const auto marker = dir / "opened";
    program("gnome-control-center", "echo \"$@\" > '" + marker.string() + "'\n");
    EXPECT_TRUE(LocalNetwork::openSettingsFrom(bin.string()));
    EXPECT_TRUE(testing::eventually([&] { return std::filesystem::exists(marker); }));
    EXPECT_TRUE(testing::eventually([&] { return testing::readFile(marker) == "network\n"; }));

    EXPECT_FALSE(LocalNetwork::openSettingsFrom(other.string()));
}

TEST(NetworkWarningTest, ShowsTheLineOnlyForLikelyBlocked) {
    EXPECT_STREQ(NetworkWarning::kTitle,
                 "\u26A0\uFE0E Local network access looks blocked \u2014 fix\u2026");
    const std::pair<Verdict, bool> cases[] = {
        {Verdict::reachable, false}, {Verdict::likelyBlocked, true}, {Verdict::noNetwork, false}};
    for (const auto& [verdict, show] : cases) {
        auto background = std::make_shared<testing::ManualQueue>();
        auto main = std::make_shared<testing::ManualQueue>();
        std::vector<bool> shown;
        NetworkWarning warning(background, main, [verdict] { return verdict; });
        warning.check([&](bool value) { shown.push_back(value); });
        EXPECT_TRUE(shown.empty());
        EXPECT_EQ(main->runDue(), 0);
        EXPECT_EQ(background->runDue(), 1);
        EXPECT_TRUE(shown.empty()) << "the answer waits for the main queue";
        EXPECT_EQ(main->runDue(), 1);
        EXPECT_EQ(shown, std::vector<bool>{show});
    }
}

TEST(NetworkWarningTest, OverlappingChecksEachReportAndOutliveTheWarning) {
    auto background = std::make_shared<testing::ManualQueue>();
    auto main = std::make_shared<testing::ManualQueue>();
    std::vector<Verdict> verdicts{Verdict::likelyBlocked, Verdict::reachable};
    std::vector<bool> shown;
    {
        NetworkWarning warning(background, main, [&] {
            auto next = verdicts.front();
            verdicts.erase(verdicts.begin());
            return next;
        });
        warning.check([&](bool value) { shown.push_back(value); });
        warning.check([&](bool value) { shown.push_back(value); });
    }
    background->runDue();
    main->runDue();
    EXPECT_EQ(shown, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace vantrel
