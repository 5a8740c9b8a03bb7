#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <functional>
#include <set>

#include "support/running_app.h"
#include "update/checksum.h"
#include "update/update_fixture.h"

// A real 1.0 release, installed and started headless, updating itself from a loopback server.
// The releases come from scripts/release, built on the executable of this build folder, once
// for all the tests here.

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::set<fs::path> entriesNamed(const fs::path& folder, const std::string& prefix) {
    std::set<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string().starts_with(prefix)) {
            found.insert(it->path());
        }
    }
    return found;
}

pid_t parentOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("PPid:")) {
            return std::stoi(line.substr(5));
        }
    }
    return 0;
}

// The interpreters that run the agent anywhere in `home`, whichever copy they came from.
std::vector<pid_t> agentsUnder(const fs::path& home) {
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        auto exe = fs::read_symlink(entry.path() / "exe", error).string();
        if (!error && exe.starts_with(home.string()) && exe.find("/python3") != std::string::npos) {
            pids.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return pids;
}

// The releases, made once by scripts/release: 1.0 and 2.0 of one signer, 2.0 of another.
struct Releases {
    TempDir dir;
    Releases() {
        auto key = testing::makeSigningKey(dir.path(), "release-key");
        auto other = testing::makeSigningKey(dir.path(), "other-key");
        release("1.0", key, dir / "v1");
        release("2.0", key, dir / "v2");
        release("2.0", other, dir / "other");
    }
    void release(const std::string& version, const fs::path& key, const fs::path& out) {
        auto signers = testing::makeSigners(key, key.string() + ".signers");
        testing::run("/bin/sh",
                     {"-c",
                      "VANTREL_RELEASE_PREBUILT=\"$1\" exec \"$2\" --version \"$3\" "
                      "--key \"$4\" --signers \"$5\" --base-url http://unused --out \"$6\"",
                      "sh", fs::path(VANTREL_BUNDLE_DIR).parent_path().string(),
                      VANTREL_SOURCE_DIR "/scripts/release", version, key.string(),
                      signers.string(), out.string()});
    }
    fs::path archive(const std::string& name, const std::string& version) const {
        return dir / name / ("VantrelAgent-" + version + ".tar.gz");
    }
};

class ReleaseUpdate : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { releases = new Releases; }
    static void TearDownTestSuite() {
        delete releases;
        releases = nullptr;
    }

    // Whatever still runs from the test's install goes with it.
    ~ReleaseUpdate() override {
        for (pid_t pid : agentsUnder(home.path())) {
            ::kill(pid, SIGKILL);
        }
    }

    // Serves `archive` under a manifest that announces `version`.
    std::string publish(const fs::path& archive, const std::string& version) {
        server.serve("/release.tar.gz", testing::LoopbackServer::fileAnswer(archive.string()));
        server.serve("/linux/latest.json",
                     testing::LoopbackServer::answer(testing::manifestJson(
                         version, server.base() + "/release.tar.gz", *sha256OfFile(archive))));
        return server.base();
    }

    // Installs 1.0 as a user would, by unpacking its archive, and starts it headless as a user
    // unit would (the unit's invocation id set), with an agent that ignores SIGTERM.
    void startInstalled(const std::string& dist, const std::string& tmpdir = "tmp",
                        const std::function<void()>& beforeStart = {}) {
        fs::create_directories(opt);
        fs::create_directories(home / "tmp");
        testing::run("/bin/tar",
                     {"-xzf", releases->archive("v1", "1.0").string(), "-C", opt.string()});
        if (beforeStart) {
            beforeStart();
        }
        extractionsBefore = entriesNamed("/tmp", "vantrel-release-");
        auto env = testing::sandboxedEnvironment(home.path());
        std::erase_if(env, [](const std::string& entry) {
            return entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=");
        });
        setVariable(env, "TMPDIR", (home / tmpdir).string());
        setVariable(env, "VANTREL_DIST", dist);
        setVariable(env, "VANTREL_SIM_IGNORE_TERM", "1");
        setVariable(env, "INVOCATION_ID", "0123456789abcdef0123456789abcdef");
        app = std::make_unique<testing::RunningApp>(live() / "bin/VantrelAgent",
                                                    std::vector<std::string>{"--headless"}, env);
        ASSERT_TRUE(app->waitForOutput("Waiting to be paired")) << app->output();
    }

    fs::path live() const { return opt / "VantrelAgent"; }
    bool runsTwo() const {
        std::error_code error;
        return fs::read_symlink("/proc/" + std::to_string(app->pid()) + "/exe", error) ==
                   live() / "bin/VantrelAgent" &&
               liveVersion().find("\"2.0\"") != std::string::npos;
    }
    std::string liveVersion() const { return readFile(live() / "Info.json"); }

    // No scratch folder, extraction or staged bundle is left.
    void expectNoLeftovers() {
        EXPECT_TRUE(eventually([&] {
            return entriesNamed(home / "tmp", "vantrel-update-").empty() &&
                   entriesNamed("/tmp", "vantrel-release-") == extractionsBefore;
        }));
        EXPECT_EQ(entriesNamed(opt, ".VantrelAgent"), std::set<fs::path>{});
    }

    static Releases* releases;
    TempDir dir;
    TempDir home;
    fs::path opt = home / "o(p+t)'s";
    testing::LoopbackServer server;
    std::set<fs::path> extractionsBefore;
    std::unique_ptr<testing::RunningApp> app;
};

Releases* ReleaseUpdate::releases = nullptr;

// The same process goes on as 2.0 (a service manager keeps following it), with exactly one
// agent: the old one, which ignores SIGTERM, is gone before the new one starts on the same port.
TEST_F(ReleaseUpdate, OneUpdatesItselfToTwoInItsOwnProcessWithOneAgent) {
    startInstalled(publish(releases->archive("v2", "2.0"), "2.0"));
    ASSERT_TRUE(eventually([&] { return runsTwo(); }, 60)) << app->output();
    EXPECT_TRUE(eventually(
        [&] {
            auto agents = agentsUnder(home.path());
            return agents.size() == 1 && parentOf(agents[0]) == app->pid() &&
                   fs::read_symlink("/proc/" + std::to_string(agents[0]) + "/exe") ==
                       live() / "Resources/python/bin/python3";
        },
        30))
        << app->output();
    // 2.0's own agent comes up on the port the old one held.
    EXPECT_TRUE(eventually([&] {
        auto output = app->output();
        return output.find("Waiting to be paired", output.find("Waiting to be paired") + 1) !=
               std::string::npos;
    })) << app->output();
    EXPECT_EQ(app->output().find("Address already in use"), std::string::npos) << app->output();
    expectNoLeftovers();
    EXPECT_FALSE(app->waitForExit(0));
}

// A power loss after 2.0 was staged and marked, before the exchange: the next start finishes the
// swap and goes on as 2.0, with no server to ask.
TEST_F(ReleaseUpdate, TheNextStartFinishesAnInterruptedSwap) {
    startInstalled("http://127.0.0.1:1", "tmp", [&] {
        fs::create_directories(dir / "v2");
        testing::run("/bin/tar", {"-xzf", releases->archive("v2", "2.0").string(), "-C",
                                  (dir / "v2").string()});
        fs::rename(dir / "v2/VantrelAgent", opt / ".VantrelAgent-incoming");
        writeFile(opt / ".VantrelAgent-incoming.version", "2.0");
    });
    EXPECT_TRUE(runsTwo());
    expectNoLeftovers();
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitForExit(), 0) << app->output();
}

TEST_F(ReleaseUpdate, RefusalsLeaveOneRunningAndSayWhy) {
    struct Case {
        const char* what;
        fs::path archive;
        std::string version;
        std::string tmpdir = "tmp";
        std::string reason;
    } cases[] = {
        // A genuine, signed 1.0 under a manifest that says 3.0: no downgrade, no loop.
        {"downgrade", releases->archive("v1", "1.0"), "3.0", "tmp",
         "the downloaded app is not signed by Vantrel \u2014 refusing to install it"},
        {"another signer", releases->archive("other", "2.0"), "2.0", "tmp",
         "the downloaded app is not signed by Vantrel \u2014 refusing to install it"},
        {"missing TMPDIR", releases->archive("v2", "2.0"), "2.0", "missing",
         "could not prepare the update"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(opt);
        startInstalled(publish(c.archive, c.version), c.tmpdir);
        // The check ends with the reason on standard error; 1.0 keeps running, unchanged.
        ASSERT_TRUE(app->waitForOutput("the update check failed: " + c.reason, 30))
            << app->output();
        expectNoLeftovers();
        EXPECT_NE(liveVersion().find("\"1.0\""), std::string::npos);
        EXPECT_FALSE(app->waitForExit(0)) << app->output();
        app->signal(SIGKILL);
        app->waitForExit();
        for (pid_t pid : agentsUnder(home.path())) {
            ::kill(pid, SIGKILL);
        }
    }
}

}  // namespace
}  // namespace vantrel
