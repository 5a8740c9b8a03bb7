#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>

#include "support/child_process.h"
#include "support/running_app.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"
#include "update/release_fixture.h"

// A real 1.0 release, installed and started headless, updating itself from a loopback server.
// Both releases come from scripts/release, built on the executable of this build folder.

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Clock = std::chrono::steady_clock;

// python3's http.server on 127.0.0.1 at a port of its own, serving a folder; requests are logged.
class FolderServer {
  public:
    explicit FolderServer(const fs::path& folder) : log_(folder.parent_path() / "server.log") {
        UniqueFd out(::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        auto started = ChildProcess::spawn({VANTREL_SYSTEM_PYTHON,
                                            {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                                             "--directory", folder.string()},
                                            currentEnvironment(),
                                            out.get()});
        EXPECT_TRUE(started.child);
        child_ = std::move(started.child);
        std::smatch match;
        std::string text;  // outlives the match, which points into it
        static const std::regex serving("port ([0-9]+)");
        EXPECT_TRUE(eventually([&] {
            text = readFile(log_);
            return std::regex_search(text, match, serving);
        }));
        base_ = "http://127.0.0.1:" + match[1].str();
    }
    ~FolderServer() {
        if (child_) {
            child_->signal(SIGKILL);
            child_->wait();
        }
    }

    const std::string& base() const { return base_; }
    bool wasAskedFor(const std::string& path) const {
        return readFile(log_).find("\"GET " + path + " HTTP/1.1\" 200") != std::string::npos;
    }

  private:
    fs::path log_;
    std::optional<ChildProcess> child_;
    std::string base_;
};

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

// The processes whose executable is `executable`.
std::vector<pid_t> processesRunning(const fs::path& executable) {
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        auto name = entry.path().filename().string();
        std::error_code error;
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            fs::read_symlink(entry.path() / "exe", error) == executable) {
            pids.push_back(std::stoi(name));
        }
    }
    return pids;
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

class ReleaseUpdate : public ::testing::Test {
  protected:
    ReleaseUpdate() : server(dir / "served") {
        fs::create_directories(dir / "served");
        key = testing::makeSigningKey(dir.path(), "release-key");
        signers = testing::makeSigners(key, dir / "release-signers");
        release("1.0", key, signers, dir / "v1");
    }

    // A relaunched copy is no child of ours; whatever runs from the test's install goes with it.
    ~ReleaseUpdate() override {
        for (const auto& executable :
             {live() / "bin/VantrelAgent", live() / "Resources/python/bin/python3"}) {
            for (pid_t pid : processesRunning(executable)) {
                ::kill(pid, SIGKILL);
            }
        }
    }

    // scripts/release into `out`, published under `out`'s name on the server.
    void release(const std::string& version, const fs::path& signingKey,
                 const fs::path& allowedSigners, const fs::path& out) {
        auto begin = Clock::now();
        auto result =
            shell("/bin/sh", {"-c",
                              "VANTREL_RELEASE_PREBUILT=\"$1\" exec \"$2\" --version \"$3\" "
                              "--key \"$4\" --signers \"$5\" --base-url \"$6\" --out \"$7\"",
                              "sh", fs::path(VANTREL_BUNDLE_DIR).parent_path().string(),
                              VANTREL_SOURCE_DIR "/scripts/release", version, signingKey.string(),
                              allowedSigners.string(),
                              server.base() + "/" + out.filename().string(), out.string()});
        ASSERT_EQ(result.status, 0) << result.output;
        secondsReleasing += std::chrono::duration<double>(Clock::now() - begin).count();
    }

    // Puts a release folder where the base-url given to scripts/release names it.
    std::string publish(const fs::path& out) {
        auto name = out.filename().string();
        auto folder = dir / "served" / name;
        fs::create_directories(folder / "linux");
        fs::copy(out / "latest.json", folder / "linux/latest.json");
        for (const auto& entry : fs::directory_iterator(out)) {
            if (entry.path().extension() == ".gz") {
                fs::copy(entry.path(), folder / entry.path().filename());
            }
        }
        return server.base() + "/" + name;
    }

    // Installs 1.0 as a user would, by unpacking its archive, and starts it headless.
    void startInstalled(const std::string& dist) {
        fs::create_directories(home / "opt");
        fs::create_directories(home / "tmp");
        testing::run("/bin/tar", {"-xzf", (dir / "v1/VantrelAgent-1.0.tar.gz").string(), "-C",
                                  (home / "opt").string()});
        extractionsBefore = entriesNamed("/tmp", "vantrel-release-");
        auto env = currentEnvironment();
        std::erase_if(env, [](const std::string& entry) {
            return entry.starts_with("DISPLAY=") || entry.starts_with("WAYLAND_DISPLAY=");
        });
        setVariable(env, "HOME", home.path().string());
        setVariable(env, "XDG_DATA_HOME", (home / "share").string());
        setVariable(env, "XDG_STATE_HOME", (home / "state").string());
        setVariable(env, "XDG_CONFIG_HOME", (home / "config").string());
        setVariable(env, "XDG_RUNTIME_DIR", home.path().string());
        setVariable(env, "TMPDIR", (home / "tmp").string());
        setVariable(env, "VANTREL_SIM_PORT", std::to_string(testing::freeLoopbackPort()));
        setVariable(env, "VANTREL_DIST", dist);
        started = Clock::now();
        app = std::make_unique<testing::RunningApp>(live() / "bin/VantrelAgent",
                                                    std::vector<std::string>{"--headless"}, env);
        ASSERT_TRUE(app->waitForOutput("Waiting to be paired")) << app->output();
    }

    fs::path live() const { return home / "opt/VantrelAgent"; }
    std::string liveVersion() const { return readFile(live() / "Info.json"); }
    double secondsSinceStart() const {
        return std::chrono::duration<double>(Clock::now() - started).count();
    }

    // No scratch folder, extraction or staging bundle is left.
    void expectNoLeftovers() {
        EXPECT_TRUE(eventually([&] {
            return entriesNamed(home / "tmp", "vantrel-update-").empty() &&
                   entriesNamed("/tmp", "vantrel-release-") == extractionsBefore;
        }));
        EXPECT_FALSE(fs::exists(home / "opt/.VantrelAgent-incoming"));
        EXPECT_FALSE(fs::exists(home / "opt/.VantrelAgent-previous"));
    }

    // The check downloaded the archive, refused it and cleaned up; 1.0 keeps running.
    void expectRefused(const std::string& name) {
        ASSERT_TRUE(eventually(
            [&] { return server.wasAskedFor("/" + name + "/VantrelAgent-2.0.tar.gz"); }, 20));
        expectNoLeftovers();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_FALSE(app->waitForExit(0)) << app->output();
        EXPECT_NE(liveVersion().find("\"1.0\""), std::string::npos);
        EXPECT_EQ(processesRunning(live() / "bin/VantrelAgent"), std::vector<pid_t>{app->pid()});
        app->signal(SIGTERM);
        EXPECT_EQ(app->waitForExit(), 0);
        std::cout << "refused in " << secondsSinceStart() << " s after the start; releases took "
                  << secondsReleasing << " s\n";
    }

    TempDir dir;
    TempDir home;
    FolderServer server;
    fs::path key, signers;
    std::set<fs::path> extractionsBefore;
    std::unique_ptr<testing::RunningApp> app;
    Clock::time_point started;
    double secondsReleasing = 0;
};

TEST_F(ReleaseUpdate, InstalledOneUpdatesItselfToASignedTwo) {
    release("2.0", key, signers, dir / "v2");
    startInstalled(publish(dir / "v2"));

    EXPECT_EQ(app->waitForExit(30), 0) << app->output();
    std::vector<pid_t> running;
    ASSERT_TRUE(eventually([&] {
        running = processesRunning(live() / "bin/VantrelAgent");
        return running.size() == 1;
    }));
    pid_t newApp = running[0];
    double seconds = secondsSinceStart();
    EXPECT_NE(liveVersion().find("\"2.0\""), std::string::npos) << liveVersion();

    // 2.0 supervises an agent from its own bundle.
    auto pidFile = home / "share/Vantrel/agent.pid";
    EXPECT_TRUE(eventually(
        [&] {
            auto agents = processesRunning(live() / "Resources/python/bin/python3");
            return agents.size() == 1 && parentOf(agents[0]) == newApp &&
                   readFile(pidFile).find(std::to_string(agents[0])) != std::string::npos;
        },
        15));
    expectNoLeftovers();
    std::cout << "updated in " << seconds << " s after the start; releases took "
              << secondsReleasing << " s\n";

    ::kill(newApp, SIGTERM);
    EXPECT_TRUE(eventually([&] {
        return processesRunning(live() / "bin/VantrelAgent").empty() &&
               processesRunning(live() / "Resources/python/bin/python3").empty();
    }));
}

TEST_F(ReleaseUpdate, TamperedArchiveIsRefusedAndOneKeepsRunning) {
    release("2.0", key, signers, dir / "v2");
    // Changed after signing, and republished with a matching checksum.
    fs::create_directories(dir / "unpacked");
    testing::run("/bin/tar", {"-xzf", (dir / "v2/VantrelAgent-2.0.tar.gz").string(), "-C",
                              (dir / "unpacked").string()});
    auto agent = dir / "unpacked/VantrelAgent/Resources/lib/vantrel_agent/agent.py";
    fs::permissions(agent, fs::perms::owner_write, fs::perm_options::add);
    writeFile(agent, readFile(agent) + "\nprint('tampered')\n");
    fs::permissions(agent, static_cast<fs::perms>(0444));
    testing::packArchive(dir / "unpacked", dir / "v2/VantrelAgent-2.0.tar.gz");
    auto digest =
        testing::run("/usr/bin/sha256sum", {(dir / "v2/VantrelAgent-2.0.tar.gz").string()})
            .output.substr(0, 64);
    writeFile(dir / "v2/latest.json", "{\"version\": \"2.0\", \"url\": \"" + server.base() +
                                          "/v2/VantrelAgent-2.0.tar.gz\", \"sha256\": \"" + digest +
                                          "\"}");

    startInstalled(publish(dir / "v2"));
    expectRefused("v2");
}

TEST_F(ReleaseUpdate, ReleaseOfAnotherSignerIsRefusedAndOneKeepsRunning) {
    auto otherKey = testing::makeSigningKey(dir.path(), "other-key");
    release("2.0", otherKey, testing::makeSigners(otherKey, dir / "other-signers"), dir / "other");
    startInstalled(publish(dir / "other"));
    expectRefused("other");
}

}  // namespace
}  // namespace vantrel
