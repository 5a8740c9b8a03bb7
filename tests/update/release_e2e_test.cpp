#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>

#include <set>

#include "support/unique_fd.h"
#include "update/checksum.h"
#include "update/release_architecture.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using ::testing::HasSubstr;
using testing::kManifestPath;
using testing::readFile;
using testing::writeFile;

std::set<fs::path> entriesNamed(const fs::path& folder, const std::string& prefix) {
    std::set<fs::path> found;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(folder, missing)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            found.insert(entry.path());
        }
    }
    return found;
}

// The processes whose executable's path starts with `prefix` and holds `part`.
std::vector<pid_t> running(const fs::path& prefix, const std::string& part = "") {
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        auto exe = fs::read_symlink(entry.path() / "exe", error).string();
        if (!error && exe.starts_with(prefix.string()) && exe.find(part) != std::string::npos) {
            pids.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return pids;
}

// 1.0 and 2.0 of one signer and 2.0 of another, made once by scripts/release from this build's
// bundle, and 2.0 with a file changed or added after signing or naming another architecture;
// "missing" is none; a path is itself.
// "ends": one more 2.0 whose executable answers --version but then exits 3 at once.
constexpr const char* kMakeReleases = R"sh(set -e; cd "$0"
for key in release other; do
  ssh-keygen -q -t ed25519 -N '' -C $key -f $key.key
  echo "QK4TR8MZ2V namespaces=\"vantrel-release\" $(cat $key.key.pub)" >$key.signers
done
release() { VANTREL_RELEASE_PREBUILT="$2" "$1" --version $3 --key $4.key --signers $4.signers \
  --base-url http://unused --out $5; }
release "$@" 1.0 release v1; release "$@" 2.0 release v2; release "$@" 2.0 other other
two=$(cd v2 && ls VantrelAgent-2.0-*.tar.gz | grep -v -- -debug)
mkdir changed added foreign; for c in changed added foreign; do tar -xzf v2/$two -C $c; done
chmod u+w changed/VantrelAgent/Info.json foreign/VantrelAgent/Info.json
echo {} >changed/VantrelAgent/Info.json
echo x >added/VantrelAgent/Resources/extra.txt
sed -i 's/"VantrelArchitecture": "[a-z0-9]*"/"VantrelArchitecture": "riscv64"/' foreign/VantrelAgent/Info.json
for c in changed added foreign; do tar -czf $c/$two -C $c VantrelAgent; done
printf '%s\n' '#include <stdio.h>' '#include <string.h>' 'int main(int c, char **v) {' \
  'if (c > 1 && !strcmp(v[1], "--version")) { puts("Vantrel Agent 2.0"); return 0; }' \
  'return 3; }' >ends.c
mkdir -p ends-built/VantrelAgent/bin; ln -s "$2/VantrelAgent/Resources" ends-built/VantrelAgent/
cc -o ends-built/VantrelAgent/bin/VantrelAgent ends.c
release "$1" "$PWD/ends-built" 2.0 release ends
)sh";

fs::path archive(const std::string& name) {
    static testing::TempDir dir;
    static auto made = testing::run(
        "/bin/sh", {"-c", kMakeReleases, dir.path(), VANTREL_SOURCE_DIR "/scripts/release",
                    fs::path(VANTREL_BUNDLE_DIR).parent_path()});
    return name.starts_with("/")
               ? fs::path(name)
               : dir / name /
                     ("VantrelAgent-" + std::string(name == "v1" ? "1.0" : "2.0") + "-" +
                      std::string(thisMachineArchitecture()) + ".tar.gz");
}

// Releases installed by scripts/install in a home whose name has a space, a quote, "(" and "+",
// started headless as a user unit would, with an agent that ignores SIGTERM; errors to dir/errors.
class ReleaseUpdate : public ::testing::Test {
  protected:
    ~ReleaseUpdate() override { end(SIGKILL); }
    ToolResult install(const std::string& release, std::vector<std::string> env = {}) {
        env.insert(env.begin(), {"-u", "XDG_DATA_HOME", "HOME=" + user.string(),
                                 "XDG_RUNTIME_DIR=" + user.string()});
        env.insert(env.end(), {VANTREL_SOURCE_DIR "/scripts/install", archive(release).string()});
        return runTool("/usr/bin/env", env);
    }
    // Its status and output, what the install folder holds and live's version.
    void installs(const std::string& release, const std::string& version) {
        auto result = install(release);
        EXPECT_EQ(std::tuple(result.status, result.output, entriesNamed(opt, ""), liveVersion()),
                  std::tuple(0, live().string() + "\n", std::set{live()}, version))
            << "expected " << release << " installed alone";
    }
    // Refused with `message`, changing nothing: each entry with its inode, mode, link and content,
    // the install folder's own (or its absence) included.
    void refuses(const std::string& release, const std::string& message,
                 std::vector<std::string> env = {}) {
        const std::vector<std::string> list{
            "-c",
            "cd \"$0\" 2>/dev/null || exit 0; find . "
            "-printf '%p %i %m %l\\n' -type f -exec sha256sum {} + | sort",
            opt};
        auto before = runTool("/bin/sh", list).output;
        auto result = install(release, std::move(env));
        EXPECT_EQ(result.status, 1) << "expected " << release << " refused";
        EXPECT_THAT(result.output, HasSubstr(message)) << "the refusal";
        EXPECT_EQ(runTool("/bin/sh", list).output, before) << "the install folder, unchanged";
    }
    // Started as a user unit would (a service manager's INVOCATION_ID, unless told otherwise), in
    // a mount namespace of its own after `mount` (a shell command: $2 is live, $3 the install
    // folder, $4 this test's folder) when one is given.
    void start(const std::string& dist, const std::string& mount = "",
               bool underServiceManager = true) {
        fs::create_directories(user / "tmp");
        fs::remove(dir / "errors");
        auto env = testing::sandboxedEnvironment(user);
        setVariable(env, "TMPDIR", (user / "tmp").string());
        setVariable(env, "VANTREL_DIST", dist);
        setVariable(env, "VANTREL_SIM_IGNORE_TERM", "1");
        setVariable(env, "INVOCATION_ID",
                    underServiceManager ? "0123456789abcdef0123456789abcdef" : "");
        auto command = (mount.empty() ? "" : mount + " && ") + "exec \"$0\" --headless 2>>\"$1\"";
        std::vector<std::string> shell{
            "-c", command, live() / "bin/VantrelAgent", dir / "errors", live(), opt, dir.path()};
        if (!mount.empty()) {
            shell.insert(shell.begin(), {"-m", "--propagation", "private", "/bin/sh"});
        }
        app = std::make_unique<testing::RunningApp>(mount.empty() ? "/bin/sh" : "/usr/bin/unshare",
                                                    shell, env);
        ASSERT_TRUE(app->waitForOutput("Waiting to be paired")) << app->output();
    }
    void end(int signal) {
        if (app) {
            app->signal(signal);
            EXPECT_EQ(app->waitForExit(60), signal == SIGTERM ? 0 : SIGKILL)
                << "expected the application to end at signal " << signal << ": " << app->output();
            app.reset();
        }
        for (pid_t pid : running(user, "/python3")) {  // the agents, whichever copy ran them
            ::kill(pid, SIGKILL);
        }
    }
    // Serves `release` under a manifest that announces `version`.
    void publish(const std::string& release, const std::string& version) {
        server.serve("/release.tar.gz", {{"file", archive(release).string()}});
        server.serve(kManifestPath,
                     {{"body", testing::manifestJson(version, server.base() + "/release.tar.gz",
                                                     *sha256OfFile(archive(release)))}});
    }
    bool errorsSay(const std::string& text) const {
        return readFile(dir / "errors").find(text) != std::string::npos;
    }
    void expectCheckFailed(const std::string& reason, double seconds = 60) {
        EXPECT_TRUE(
            eventually([&] { return errorsSay("the update check failed: " + reason); }, seconds))
            << "expected on standard error: " << reason << "\n"
            << readFile(dir / "errors");
    }
    // 2.0 staged and marked beside live, as an update leaves it before it asks for the quit.
    void markTwo() {
        testing::run("/bin/tar", {"-xzf", archive("v2"), "-C", dir.path()});
        fs::rename(dir / "VantrelAgent", opt / ".VantrelAgent-incoming");
        writeFile(opt / ".VantrelAgent-incoming.version", "2.0");
    }
    fs::path live() const { return opt / "VantrelAgent"; }
    // What a running copy holds: its bundle folder, shared.
    UniqueFd holdLive() const {
        UniqueFd fd(::open(live().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_EQ(::flock(fd.get(), LOCK_SH), 0) << "expected to hold the bundle folder";
        return fd;
    }
    std::string liveVersion() const {
        return nlohmann::json::parse(readFile(live() / "Info.json"), nullptr, false)
            .value("CFBundleShortVersionString", "");
    }
    // 2.0 runs in the process, its trial over: nothing beside live, so that an end now is no
    // longer the end of a trial, which the guardian would undo by starting 1.0 again.
    bool runsTwo() const {
        return running(live() / "bin/VantrelAgent") == std::vector{app->pid()} &&
               liveVersion() == "2.0" && entriesNamed(opt, ".VantrelAgent").empty();
    }
    void expectNoLeftovers() {
        EXPECT_TRUE(eventually([&] {
            return entriesNamed(user / "tmp", "vantrel-update-").empty();
        })) << "expected no scratch folder left";
        EXPECT_EQ(entriesNamed(opt, ".VantrelAgent"), std::set<fs::path>{})
            << "expected nothing left beside live";
    }

    testing::TempDir dir;
    fs::path user = dir / "home of o'neil (p+t)";
    fs::path opt = user / ".local/opt";
    fs::path data = user / ".local/share";
    testing::LoopbackServer server;
    std::unique_ptr<testing::RunningApp> app;
};

// The release carries its installer and the archive's own signature. An install clears what an
// interrupted install or update left and links the command, a launcher and the package's user unit
// (only its command changed: systemd refuses a quote in an executable's path), in the XDG data
// folder when one is named; an uninstall refuses while a copy runs, then stops and disables the
// unit, removes the copy and all it wrote beside it, and names the data it leaves.
TEST_F(ReleaseUpdate, TheReleasesOwnInstallerInstallsAndUninstallsKeepingTheData) {
    testing::run(
        "/bin/sh",
        {"-c",
         "ssh-keygen -Y verify -f \"$1\" -I QK4TR8MZ2V -n vantrel-release -s \"$0.sig\" <\"$0\"",
         archive("v1"), archive("v1").parent_path() / "release-signers"});
    testing::run("/bin/tar", {"-xzf", archive("v1"), "-C", dir.path(), "VantrelAgent/install"});
    writeFile(dir / "bin/systemctl", "#!/bin/sh\necho \"$*\" >>\"$0.calls\"\n", true);
    std::string unit = readFile(VANTREL_SOURCE_DIR "/resources/vantrel-agent.service");
    const std::string command = "\nExecStart=/usr/bin/vantrel-agent --headless\n";
    unit.replace(unit.find(command), command.size(),
                 "\nExecStart=/bin/sh -c 'exec \"$$0\" --headless' \"" +
                     (live() / "bin/VantrelAgent").string() + "\"\n");
    for (auto [release, folder] : {std::pair{"v1", data}, {"other", user / "data"}}) {
        SCOPED_TRACE(std::string("a first install of ") + release + " into " + folder.string());
        fs::remove_all(user / ".local");
        fs::create_directories(opt / ".VantrelAgent-installing-cut");
        writeFile(opt / ".VantrelAgent-incoming/Info.json", "{}");
        writeFile(opt / ".VantrelAgent-incoming.version", "2.0");
        writeFile(opt / ".VantrelAgent-incoming.trial", "");
        std::vector<std::string> env{"-u", "XDG_DATA_HOME", "-u", "XDG_CONFIG_HOME"};
        env.push_back("HOME=" + user.string());
        env.push_back("PATH=" + (dir / "bin").string() + ":/usr/bin:/bin");
        folder != data ? env.push_back("XDG_DATA_HOME=" + folder.string()) : void();
        auto run = [&](std::vector<std::string> words) {
            words.insert(words.begin(), env.begin(), env.end());
            return runTool("/usr/bin/env", words);
        };
        auto installed = run({dir / "VantrelAgent/install", archive(release)});
        EXPECT_EQ(std::tuple(installed.output, entriesNamed(opt, ""),
                             fs::read_symlink(user / ".local/bin/vantrel-agent"), fs::exists(data)),
                  std::tuple(live().string() + "\n", std::set{live()}, live() / "bin/VantrelAgent",
                             folder == data))
            << "the copy named, interrupted installs and updates gone, the command linked, the "
               "default data folder made only by default";
        EXPECT_THAT(readFile(folder / "applications/vantrel-agent.desktop"),
                    HasSubstr("\nExec=\"" + (live() / "bin/VantrelAgent").string() + "\"\n"))
            << "the launcher";
        EXPECT_EQ(readFile(folder / "systemd/user/vantrel-agent.service"), unit) << "the user unit";
        writeFile(user / ".config/autostart/vantrel-agent.desktop", "[Desktop Entry]\n");
        writeFile(folder / "Vantrel/agent.json", "{}");
        {
            auto running = holdLive();
            EXPECT_THAT(run({live() / "install", "--uninstall"}).output,
                        HasSubstr("Vantrel Agent is running"));
            EXPECT_TRUE(fs::exists(live() / "bin/VantrelAgent")) << "kept while a copy runs";
        }
        fs::remove(dir / "bin/systemctl.calls");
        auto removed = run({live() / "install", "--uninstall"});
        EXPECT_EQ(removed.status, 0) << removed.output;
        EXPECT_EQ(readFile(dir / "bin/systemctl.calls"),
                  "--user disable --now vantrel-agent.service\n")
            << "what the service manager is asked";
        for (const auto& path : {live(), user / ".local/bin/vantrel-agent",
                                 folder / "systemd/user/vantrel-agent.service",
                                 folder / "applications/vantrel-agent.desktop",
                                 folder / "icons/hicolor/64x64/apps/vantrel-agent.png",
                                 user / ".config/autostart/vantrel-agent.desktop"}) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "removed: " << path;
        }
        EXPECT_TRUE(fs::exists(folder / "Vantrel/agent.json")) << "the agent's data stays";
        EXPECT_THAT(removed.output, HasSubstr("  " + (folder / "Vantrel").string() + "\n"))
            << "the data it leaves";
    }
}

// A first install checks a release against its own signers; then only the installed signers'
// releases replace it.
TEST_F(ReleaseUpdate, RefusesAReleaseItCannotTrustOrReadAndChangesNothing) {
    writeFile(dir / "garbage", "not an archive");
    auto whole = readFile(archive("v2"));
    writeFile(dir / "truncated", whole.substr(0, whole.size() / 2));
    fs::create_directories(dir / "bin");
    fs::create_symlink(VANTREL_SYSTEM_PYTHON, dir / "bin/python3");
    const std::string otherMachine = "the archive is for riscv64 computers, not this " +
                                     std::string(thisMachineArchitecture()) + " one";
    struct Case {
        const char* what;
        std::string release, message;
        bool afterAnInstall = true, whileACopyRuns = false;
        std::vector<std::string> env = {};
    } cases[] = {
        {"a changed file, first", "changed", "does not match its signed file list", false},
        {"another architecture, first", "foreign", otherMachine, false},
        {"garbage, first", (dir / "garbage").string(), "not a readable .tar.gz", false},
        {"no archive, first", "missing", "no readable archive", false},
        {"another signer", "other", "wrong signer"},
        {"an added file", "added", "does not match its signed file list"},
        {"an archive cut short, only while unpacking over the install",
         (dir / "truncated").string(), "cannot be read"},
        {"while a copy runs", "v2", "Vantrel Agent is running", true, true},
        {.what = "without ssh-keygen",
         .release = "v2",
         .message = "missing ssh-keygen",
         .env = {"PATH=" + (dir / "bin").string()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.afterAnInstall && !fs::exists(live()) ? installs("v1", "1.0") : void();
        auto lock = c.whileACopyRuns ? holdLive() : UniqueFd();
        refuses(c.release, c.message, c.env);
    }
}

TEST_F(ReleaseUpdate, QuittingDoesNotWaitForARunningCheck) {
    installs("v1", "1.0");
    server.serve(kManifestPath, {{"body", testing::manifestJson("2.0")}, {"delay", 60}});
    start(server.base());
    ASSERT_TRUE(eventually([&] { return !server.requests().empty(); }, 30)) << "expected a check";
    end(SIGTERM);
    EXPECT_FALSE(errorsSay("the update check failed")) << readFile(dir / "errors");
}

TEST_F(ReleaseUpdate, AStartSettlesWhatAnInterruptedUpdateLeft) {
    const std::pair<const char*, std::function<void()>> leftovers[] = {
        {"a copy cut short before its marker is cleared",
         [&] { writeFile(opt / ".VantrelAgent-incoming/bin/VantrelAgent", "partial"); }},
        {"an update marked but not yet put in place is finished", [&] { markTwo(); }},
    };
    for (const auto& [what, leave] : leftovers) {
        SCOPED_TRACE(what);
        fs::remove_all(opt);
        installs("v1", "1.0");
        leave();
        start("http://127.0.0.1:1");
        bool finished = std::string(what).ends_with("finished");
        EXPECT_EQ(liveVersion(), finished ? "2.0" : "1.0") << "live";
        EXPECT_EQ(runsTwo(), finished) << "2.0 runs in the started process";
        expectNoLeftovers();
        end(SIGTERM);
    }
}

// A stop asked for while an update is marked ends the process (the service manager's stop must
// not find a new version in its place); the next start puts the update in place.
TEST_F(ReleaseUpdate, AStopLeavesAnUpdateMarkedMeanwhileForTheNextStart) {
    installs("v1", "1.0");
    start("http://127.0.0.1:1");
    markTwo();
    end(SIGTERM);
    EXPECT_EQ(liveVersion(), "1.0") << "live after the stop";
    EXPECT_TRUE(fs::exists(opt / ".VantrelAgent-incoming.version"))
        << "expected the marked update kept for the next start";
    start("http://127.0.0.1:1");
    EXPECT_TRUE(runsTwo()) << "expected the next start to run 2.0";
    expectNoLeftovers();
}

// In its own process, which a service manager keeps following; the old agent, ignoring SIGTERM,
// is gone before 2.0's own comes up on the port it held.
TEST_F(ReleaseUpdate, UpdatesItselfAndTheOldAgentEndsFirst) {
    installs("v1", "1.0");
    publish("v2", "2.0");
    start(server.base());
    ASSERT_TRUE(eventually([&] { return runsTwo(); }, 60)) << app->output();
    EXPECT_TRUE(eventually(
        [&] {
            auto agents = running(user, "/python3");
            auto stat =
                agents.size() == 1 ? readFile("/proc/" + std::to_string(agents[0]) + "/stat") : "";
            // "pid (comm) state ppid ...": the interpreter's comm has no ")".
            return !stat.empty() && std::stoi(stat.substr(stat.rfind(')') + 4)) == app->pid() &&
                   fs::read_symlink("/proc/" + std::to_string(agents[0]) + "/exe") ==
                       live() / "Resources/python/bin/python3";
        },
        30))
        << "expected one agent, 2.0's, a child of the application: " << app->output();
    EXPECT_TRUE(eventually([&] {
        auto output = app->output();
        return output.find("Waiting to be paired", output.find("Waiting to be paired") + 1) !=
               std::string::npos;
    })) << "expected 2.0's agent to come up: "
        << app->output();
    EXPECT_FALSE(errorsSay("Address already in use")) << readFile(dir / "errors");
    expectNoLeftovers();
    EXPECT_FALSE(app->waitForExit(0)) << "expected 2.0 running";
}

// The desktop copy's installed update asks for the quit too, and 2.0 starts in its process.
TEST_F(ReleaseUpdate, TheDesktopCopyUpdatesItselfToo) {
    installs("v1", "1.0");
    publish("v2", "2.0");
    auto env = testing::sandboxedEnvironment(user);
    setVariable(env, "VANTREL_DIST", server.base());
    app = std::make_unique<testing::RunningApp>(live() / "bin/VantrelAgent",
                                                std::vector<std::string>{}, env);
    EXPECT_TRUE(eventually([&] { return runsTwo(); }, 60))
        << "expected 2.0 in the desktop copy's process: " << app->output();
}

// A production build's check, coming by itself, that fails (the exchange too: the bundle a mount
// point, the install folder an overlay whose lower layer holds it) says why on standard error;
// standard output keeps only the state lines; 1.0 runs on and nothing is left staged.
TEST_F(ReleaseUpdate, AFailedCheckKeepsThisCopyRunningAndSaysWhyOnStandardError) {
    const auto busy = reasons::couldNotPutInPlace("2.0", "Device or resource busy");
    const auto crossDevice = reasons::couldNotPutInPlace("2.0", "Invalid cross-device link");
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        {"no manifest", "", "", "could not reach updates.vantrel.energy\n"},
        {"into a bundle that is a mount point", "v2", R"(mount --bind "$2" "$2")", busy},
        {"into an overlay's lower layer", "v2",
         R"(mkdir -p "$4/upper" "$4/work" && mount -t overlay overlay )"
         R"(-o "lowerdir=$3,upperdir=$4/upper,workdir=$4/work" "$3")",
         crossDevice},
    };
    for (const auto& [update, release, mount, reason] : cases) {
        SCOPED_TRACE(update);
        if (!mount.empty() && ::geteuid() != 0) {
            continue;  // mounts need root
        }
        fs::remove_all(opt);
        fs::remove_all(dir / "upper");
        installs("v1", "1.0");
        release.empty() ? server.serve(kManifestPath, {{"status", 404}}) : publish(release, "2.0");
        start(server.base(), mount);
        expectCheckFailed(reason);
        EXPECT_FALSE(app->waitForExit(0)) << "1.0 goes on running";
        EXPECT_EQ(liveVersion(), "1.0") << "live";
        EXPECT_EQ(app->output(), "Starting\u2026\nWaiting to be paired\n") << "its one run";
        expectNoLeftovers();
        EXPECT_EQ(entriesNamed(dir / "upper", ".VantrelAgent"), std::set<fs::path>{})
            << "nothing staged in the overlay";
        end(SIGTERM);
    }
}

// 2.0 answers its version but ends before it holds the lock: the previous copy is put back and,
// outside a service manager, runs again, refusing 2.0 at its first check; under one it is left
// to the unit's restart.
TEST_F(ReleaseUpdate, ANewVersionThatEndsBeforeItHoldsTheLockIsRolledBack) {
    testing::AdoptOrphans adopt;
    for (bool underServiceManager : {true, false}) {
        SCOPED_TRACE(underServiceManager ? "under a service manager" : "started by hand");
        fs::remove_all(opt);
        fs::remove_all(user / "share");
        installs("v1", "1.0");
        publish("ends", "2.0");
        start(server.base(), "", underServiceManager);
        EXPECT_EQ(app->waitForExit(60), 3) << "2.0 ran in the application's process";
        EXPECT_TRUE(eventually([&] { return liveVersion() == "1.0"; }, 30))
            << "live back to 1.0; " << readFile(dir / "errors");
        EXPECT_TRUE(errorsSay("Vantrel Agent: 2.0 did not start; 1.0 is back in place\n"))
            << readFile(dir / "errors");
        EXPECT_EQ(readFile(user / "share/Vantrel/refused-update"), "2.0") << "the refusal";
        if (underServiceManager) {
            EXPECT_TRUE(eventually([&] { return entriesNamed(opt, ".VantrelAgent").empty(); }))
                << "nothing left beside live";
            EXPECT_EQ(running(live() / "bin/VantrelAgent"), std::vector<pid_t>{})
                << "left to the unit";
            app.reset();
            continue;
        }
        expectCheckFailed(reasons::refused("2.0") + "\n", 30);
        auto previous = running(live() / "bin/VantrelAgent");
        ASSERT_EQ(previous.size(), 1u) << "1.0 runs again";
        EXPECT_EQ(app->output(),
                  "Starting\u2026\nWaiting to be paired\nStarting\u2026\nWaiting to be paired\n")
            << "1.0's second run on the same output";
        expectNoLeftovers();
        ::kill(previous[0], SIGTERM);
        EXPECT_TRUE(testing::processEnds(previous[0])) << "1.0 ends at SIGTERM";
        app.reset();
    }
}

}  // namespace
}  // namespace vantrel
