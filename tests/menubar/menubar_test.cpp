#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>

#include <cstring>
#include <list>
#include <ranges>
#include <thread>

#include "menubar/autostart_entry.h"
#include "menubar/local_network.h"
#include "menubar/login_item.h"
#include "menubar/network_warning.h"
#include "menubar/status_menu_model.h"
#include "support/manual_queue.h"
#include "support/running_app.h"

namespace vantrel {
namespace {

using Verdict = LocalNetwork::Verdict;
using Entry = LocalNetwork::InterfaceAddress;
using ::testing::ElementsAre;
using testing::readFile;
using testing::writeFile;

Entry ipv4(const std::string& name, const std::string& text, unsigned flags = IFF_UP) {
    sockaddr_storage storage{AF_INET, {}, {}};
    ::inet_pton(AF_INET, text.c_str(), &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr);
    return {name, flags, storage, sizeof(sockaddr_in)};
}

// The probe aims at the chosen address's presumed router: the first usable entry of a wired or
// wireless interface, else the first usable one of any other.
TEST(LocalAddressTest, WalksTheInterfaceListToTheAddressAndItsProbeTarget) {
    Entry tooShort = ipv4("en2", "10.0.0.5");
    tooShort.length = 4;
    const Entry ipv6{"en1", IFF_UP, sockaddr_storage{AF_INET6, {}, {}}, sizeof(sockaddr_in6)},
        loopback = ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK), tun = ipv4("tun0", "10.8.0.2");
    const std::tuple<const char*, LocalNetwork::InterfaceList, std::optional<std::string>> cases[] =
        {
            {"listing failed", std::nullopt, std::nullopt},
            {"nothing usable",
             std::vector{loopback, ipv4("en0", "169.254.3.4"), ipv4("en0", "192.168.7.23", 0),
                         Entry{"en0", IFF_UP, std::nullopt, 0}, ipv6, tooShort},
             std::nullopt},
            {"past link-local and a tunnel",
             std::vector{ipv4("en0", "169.254.1.1"), ipv4("utun0", "10.9.0.2"),
                         ipv4("en0", "192.168.7.23")},
             "192.168.7.1"},
            {"any other without a preferred one", std::vector{tun, ipv4("docker0", "172.17.0.1")},
             "10.8.0.1"},
            {"the first preferred",
             std::vector{ipv4("en1", "192.168.1.9"), ipv4("en0", "192.168.7.23")}, "192.168.1.1"},
            {"eth", std::vector{tun, ipv4("eth0", "192.168.2.5")}, "192.168.2.1"},
            {"wl", std::vector{tun, ipv4("wlp3s0", "192.168.3.5")}, "192.168.3.1"},
        };
    for (const auto& [name, list, target] : cases) {
        auto address = LocalNetwork::chooseAddress(list);
        EXPECT_EQ(address ? LocalNetwork::probeTarget(*address) : std::nullopt, target)
            << name << ", from " << address.value_or("no address");
    }
    EXPECT_EQ(LocalNetwork::probeTarget("10.1.2.3.4"), std::nullopt) << "expected none for 5 parts";
}

// A TCP listener on 127.0.0.1 that never accepts; a completed connect leaves a pending entry.
struct Listener {
    explicit Listener(std::uint16_t port) {
        int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const auto address = testing::loopback(port);
        bound =
            ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd.get(), 8) == 0;
    }
    bool connected() const { return testing::readable(fd.get(), 0); }
    UniqueFd fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    bool bound = false;
};

// Runs `body` on a thread of its own in a fresh network namespace with only loopback up, so that
// the real probe ports 80, 443 and 53 are free and nobody else's. False without the rights.
bool inOwnNetwork(const std::function<void()>& body) {
    bool entered = false;
    std::thread([&] {
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        request.ifr_flags = IFF_UP;  // a new namespace's loopback is down
        entered = ::unshare(CLONE_NEWNET) == 0 &&
                  ::ioctl(UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)).get(),
                          SIOCSIFFLAGS, &request) == 0;
        if (entered) {
            body();
        }
    }).join();
    return entered;
}

// The en address 127.0.0.23 (after a tunnel's) gives the target 127.0.0.1. Without an address or
// a target no socket is opened at all.
TEST(ProbeTest, TriesPorts80Then443Then53OnTheDotOneAddressAndStopsAtTheFirstAnswer) {
    const LocalNetwork::InterfaceList list =
        std::vector{ipv4("utun0", "127.0.0.77"), ipv4("en0", "127.0.0.23")};
    const auto probe = [](auto source) { return LocalNetwork::probeFrom(0.5, source); };
    const auto fromList = [&] { return LocalNetwork::chooseAddress(list); };
    const bool ran = inOwnNetwork([&] {
        EXPECT_EQ(probe(fromList), Verdict::likelyBlocked) << "nothing listening";
        for (const auto& open :
             std::vector<std::vector<std::uint16_t>>{{53}, {443, 53}, {80, 443}}) {
            SCOPED_TRACE("the first port listening: " + std::to_string(open.front()));
            std::list<Listener> listeners(open.begin(), open.end());
            ASSERT_TRUE(std::ranges::all_of(listeners, &Listener::bound))
                << "expected the ports free";
            EXPECT_EQ(probe(fromList), Verdict::reachable);
            for (const auto& listener : listeners) {
                EXPECT_EQ(listener.connected(), &listener == &listeners.front())
                    << "expected only the first port listening to be tried";
            }
        }
        Listener http(80);
        EXPECT_EQ(probe([] { return std::nullopt; }), Verdict::noNetwork) << "no address";
        EXPECT_EQ(probe([] { return "127.0.1"; }), Verdict::noNetwork) << "no target";
        EXPECT_FALSE(http.connected()) << "expected no socket opened without an address";
    });
    if (!ran) {
        GTEST_SKIP() << "needs the right to make a network namespace";
    }
}

// Absolute folders of the search path only, executables only.
TEST(SettingsTest, FindsTheFirstSettingsProgramAndStartsItDetached) {
    testing::TempDir dir;
    const auto bin = dir / "bin", other = dir / "other", marker = dir / "opened";
    writeFile(bin / "gnome-control-center", "not executable");
    EXPECT_FALSE(LocalNetwork::openSettingsFrom(bin.string()))
        << "expected no run of a file that is not executable";
    writeFile(bin / "systemsettings", "#!/bin/sh\n", true);
    EXPECT_THAT(*LocalNetwork::settingsCommand(bin.string()),
                ElementsAre((bin / "systemsettings").string(), "kcm_networkmanagement"));
    writeFile(other / "gnome-control-center",
              "#!/bin/sh\necho \"$@\" > '" + marker.string() + "'\n", true);
    EXPECT_THAT(*LocalNetwork::settingsCommand("relative:" + other.string() + ":" + bin.string()),
                ElementsAre((other / "gnome-control-center").string(), "network"));
    EXPECT_TRUE(LocalNetwork::openSettingsFrom(other.string())) << "expected the program found";
    EXPECT_TRUE(testing::eventually([&] { return readFile(marker) == "network\n"; }))
        << "expected the program run with \"network\"";
}

// Only "likely blocked" shows the line.
TEST(NetworkWarningTest, OverlappingChecksEachReportOnTheMainQueueAndOutliveTheWarning) {
    auto background = std::make_shared<testing::ManualQueue>(),
         main = std::make_shared<testing::ManualQueue>();
    const Verdict verdicts[] = {Verdict::likelyBlocked, Verdict::reachable, Verdict::noNetwork};
    int next = 0;
    std::vector<bool> shown;
    {
        NetworkWarning warning(background, main, [&] { return verdicts[next++]; });
        for (int i = 0; i < 3; ++i) {
            warning.check([&](bool value) { shown.push_back(value); });
        }
    }
    EXPECT_EQ(main->runDue(), 0) << "expected nothing on the main queue before the checks ran";
    EXPECT_EQ(background->runDue(), 3) << "expected the three checks in the background";
    EXPECT_TRUE(shown.empty()) << "expected the answers to wait for the main queue";
    EXPECT_EQ(main->runDue(), 3) << "expected three answers on the main queue";
    EXPECT_EQ(shown, (std::vector<bool>{true, false, false}));
}

// A row in one short line: kind and title, then "off" when disabled, "hidden", "[x]" when checked,
// "^o" for its key and "#n" for its command.
std::string shown(const MenuRow& row) {
    static const char* const kinds[] = {"line ", "command ", "toggle "};
    if (row.kind == MenuRow::Kind::separator) {
        return "-";
    }
    return kinds[static_cast<int>(row.kind)] + row.title + (row.enabled ? "" : " off") +
           (row.visible ? "" : " hidden") + (row.checked ? " [x]" : "") +
           (row.key ? std::string(" ^") + row.key : "") +
           (row.command ? " #" + std::to_string(static_cast<int>(*row.command)) : "");
}

// The state lines given, then the warning row and the commands. (The check marks as read back: the
// app's status window and the keep-awake test.)
std::vector<std::string> with(std::vector<std::string> head, const std::string& warning) {
    head.insert(
        head.end(),
        {warning + " #3", "-", "command Open Vantrel Agent ^o #0", "command Restart agent #1",
         "command Show log #2", "command Run diagnostics\u2026 #4",
         "command Check for updates\u2026 #5", "-", "toggle Start at login #6",
         "toggle Keep this computer awake #7", "-", "command Quit Vantrel Agent ^q #8"});
    return head;
}

TEST(StatusMenuModelTest, RowsAndTheirGating) {
    const Build test{"http://127.0.0.1:9"}, production{};
    const std::string
        starting = "line Starting\u2026 off",
        hidden = "command  hidden", testLine = "line \u26A0\uFE0E Test build \u2014 127.0.0.1 off",
        warning = "command \u26A0\uFE0E Local network access looks blocked \u2014 fix\u2026";
    const std::tuple<const char*, Build, std::function<void(StatusMenuModel&)>,
                     std::vector<std::string>>
        cases[] = {
            {"a test build names its cloud on the second line", test, [](auto&) {},
             with({starting, testLine}, hidden)},
            {"production goes from the state line to the hidden warning", production, [](auto&) {},
             with({starting}, hidden)},
            {"the first line follows the agent", production,
             [](auto& model) { model.setState(AgentState::stopped("exited 3")); },
             with({"line Stopped \u2014 exited 3 off"}, hidden)},
            {"a blocked probe shows the warning", production,
             [](auto& model) { model.setWarning(true); }, with({starting}, warning)},
            {"a later probe hides it and keeps its title", production,
             [](auto& model) { model.setWarning(true), model.setWarning(false); },
             with({starting}, warning + " hidden")},
        };
    for (const auto& [name, build, change, expected] : cases) {
        SCOPED_TRACE(name);
        StatusMenuModel model(build);
        change(model);
        const auto rows = model.rows() | std::views::transform(shown);
        EXPECT_EQ(std::vector(rows.begin(), rows.end()), expected);
    }
    EXPECT_EQ(StatusMenuModel(test).commandForKey('w'), std::nullopt) << "expected no row's key";
}

// Each executable is quoted only as the rules need and its entry reads back to it; a literal
// backslash in a quoted argument is written as four; only the main group's Exec line counts; an
// escape of the value ("\s") is undone before the arguments are split.
TEST(AutostartEntry, ExecLinesAreWrittenAndReadByTheEntryRules) {
    const std::pair<std::string, std::string> cases[] = {
        {"/opt/VantrelAgent/bin/VantrelAgent", "/opt/VantrelAgent/bin/VantrelAgent"},
        {"/home/a b/Vantrel (2)/x", "\"/home/a b/Vantrel (2)/x\""},
        {"/it's", "\"/it's\""},
        {"/a\"b$5`", "\"/a\\\"b\\$5\\`\""},
        {"/back\\slash", "\"/back\\\\slash\""},
        {"/100%", "/100%%"},
        {"/100% sure", "\"/100%% sure\""},
        {"/tab\there", "\"/tab\there\""},
    };
    for (const auto& [executable, quoted] : cases) {
        EXPECT_EQ(quoteExecArgument(executable), quoted) << executable;
        EXPECT_EQ(autostartProgram(autostartEntry(executable)), executable) << "read back";
    }
    EXPECT_NE(autostartEntry("/a b\\c").find("Exec=\"/a b\\\\\\\\c\" --login-item"),
              std::string::npos)
        << "expected the backslash written as four";
    EXPECT_EQ(autostartProgram("[Desktop Action x]\nExec=/wrong\n[Desktop Entry]\nExec=/right\n"),
              "/right")
        << "expected only the main group's Exec line to count";
    EXPECT_EQ(autostartProgram("[Desktop Entry]\nExec=\"/a\\sb\" --login-item\n"), "/a b")
        << "expected \\s in a value to read as a space";
}

// The entry (the table's text), written whole over another executable's, is ours. Only a regular
// file is an entry. What stands in the way is refused with the system's reason (root ignores
// permission bits, so a file or folder stands in the way instead).
TEST(LoginItemTest, OnlyARegularFileWrittenWholeForThisExecutableIsItsEntry) {
    testing::TempDir home;
    const auto autostart = home / "autostart", entry = autostart / "vantrel-agent.desktop";
    auto item = makeLoginItem("/opt/Vantrel Agent/bin/VantrelAgent", entry);
    writeFile(autostart, "not a folder");
    EXPECT_NE(item->enable().value_or(""), "") << "expected a reason with a file as the folder";
    std::filesystem::remove(autostart);
    EXPECT_EQ(makeLoginItem("/opt/other", entry)->enable(), std::nullopt);
    EXPECT_FALSE(item->isEnabled()) << "expected another executable's entry not to be ours";
    EXPECT_EQ(item->enable(), std::nullopt);
    EXPECT_TRUE(item->isEnabled()) << "expected the entry written to be ours";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(autostart), {}), 1)
        << "expected the entry alone, written whole";
    EXPECT_EQ(item->disable(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(entry)) << "expected no entry after disabling";
    writeFile(entry / "keep", "x");
    EXPECT_FALSE(item->isEnabled()) << "expected a folder to be no entry";
    EXPECT_EQ(item->disable(), "Directory not empty");
    std::filesystem::remove_all(entry);
    ASSERT_EQ(::mkfifo(entry.c_str(), 0600), 0);
    EXPECT_FALSE(item->isEnabled()) << "expected a fifo to be no entry";
}

}  // namespace
}  // namespace vantrel
