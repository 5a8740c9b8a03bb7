#include <fcntl.h>
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

// The processes whose executable is `executable`.
std::vector<pid_t> running(const fs::path& executable) {
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        if (fs::read_symlink(entry.path() / "exe", error) == executable) {
            pids.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return pids;
}

// 1.0 and 2.0 of one signer and 2.0 of another, made once by scripts/release from this build's
// bundle, and 2.0 with a file changed or added after signing or naming another architecture;
// "missing" is none; a path is itself.
// Two more 2.0 whose executable answers --version but then exits 3 at once: "ends" as it is,
// "gone" linked against a library that is gone.
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
for kind in ends gone; do
  mkdir -p $kind-built/VantrelAgent/bin; ln -s "$2/VantrelAgent/Resources" $kind-built/VantrelAgent/
done
cc -shared -o libvantrel-gone.so -x c /dev/null
cc -o ends-built/VantrelAgent/bin/VantrelAgent ends.c
cc -o gone-built/VantrelAgent/bin/VantrelAgent ends.c -L. -Wl,--no-as-needed -lvantrel-gone
rm libvantrel-gone.so
for kind in ends gone; do release "$1" "$PWD/$kind-built" 2.0 release $kind; done
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
        env.push_back(VANTREL_SOURCE_DIR "/scripts/install");
        env.push_back(archive(release));
        return runTool("/usr/bin/env", env);
    }
    void installs(const std::string& release, const std::string& version,
                  std::vector<std::string> env = {}) {
        auto result = install(release, std::move(env));
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(result.output, live().string() + "\n");
        EXPECT_EQ(entriesNamed(opt, ""), std::set{live()});
        EXPECT_NE(readFile(live() / "Info.json").find("\"" + version + "\""), std::string::npos);
    }
    // Refused with `message`, changing nothing: each entry with its inode, mode, link and content.
    void refuses(const std::string& release, const std::string& message,
                 std::vector<std::string> env = {}) {
        auto snapshot = [&] {
            return runTool("/bin/sh",
                           {"-c",
                            "cd \"$0\" 2>/dev/null || exit 0; find . -mindepth 1 -printf "
                            "'%p %i %m %l\\n' -type f -exec sha256sum {} + | sort",
                            opt})
                .output;
        };
        auto before = snapshot();
        auto result = install(release, std::move(env));
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
        EXPECT_EQ(snapshot(), before);
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
        if (underServiceManager) {
            setVariable(env, "INVOCATION_ID", "0123456789abcdef0123456789abcdef");
        } else {
            std::erase_if(
                env, [](const std::string& entry) { return entry.starts_with("INVOCATION_ID="); });
        }
        std::vector<std::string> shell{
            "/bin/sh",
            "-c",
            (mount.empty() ? "" : mount + " && ") + "exec \"$0\" --headless 2>>\"$1\"",
            live() / "bin/VantrelAgent",
            dir / "errors",
            live(),
            opt,
            dir.path()};
        if (!mount.empty()) {
            shell.insert(shell.begin(), {"/usr/bin/unshare", "-m", "--propagation", "private"});
        }
        auto program = shell.front();
        shell.erase(shell.begin());
        app = std::make_unique<testing::RunningApp>(program, shell, env);
        ASSERT_TRUE(app->waitForOutput("Waiting to be paired")) << app->output();
    }
    void end(int signal) {
        if (app) {
            app->signal(signal);
            EXPECT_EQ(app->waitForExit(60), signal == SIGTERM ? 0 : SIGKILL) << app->output();
            app.reset();
        }
        for (pid_t pid : agentsUnder(user)) {
            ::kill(pid, SIGKILL);
        }
    }
    // Serves `release` under a manifest that announces `version`.
    void publish(const fs::path& release, const std::string& version) {
        server.serve("/release.tar.gz", {{"file", release.string()}});
        server.serve(kManifestPath,
                     {{"body", testing::manifestJson(version, server.base() + "/release.tar.gz",
                                                     *sha256OfFile(release))}});
    }
    bool errorsSay(const std::string& text) const {
        return readFile(dir / "errors").find(text) != std::string::npos;
    }
    fs::path live() const { return opt / "VantrelAgent"; }
    std::string liveVersion() const {
        return nlohmann::json::parse(readFile(live() / "Info.json"), nullptr, false)
            .value("CFBundleShortVersionString", "");
    }
    bool runsTwo() const {
        std::error_code error;
        return fs::read_symlink("/proc/" + std::to_string(app->pid()) + "/exe", error) ==
                   live() / "bin/VantrelAgent" &&
               readFile(live() / "Info.json").find("\"2.0\"") != std::string::npos;
    }
    // No scratch folder or staged bundle is left.
    void expectNoLeftovers() {
        EXPECT_TRUE(
            eventually([&] { return entriesNamed(user / "tmp", "vantrel-update-").empty(); }));
        EXPECT_EQ(entriesNamed(opt, ".VantrelAgent"), std::set<fs::path>{});
    }

    testing::TempDir dir;
    fs::path user = dir / "home of o'neil (p+t)";
    fs::path opt = user / ".local/opt";
    fs::path data = user / ".local/share";
    testing::LoopbackServer server;
    std::unique_ptr<testing::RunningApp> app;
};

// The release carries its installer and the archive's own signature; an install links the command
// and clears what an interrupted one left; an uninstall stops and disables the user unit, removes
// the copy and everything it wrote beside it, and names the data it leaves.
TEST_F(ReleaseUpdate, TheReleasesOwnInstallerInstallsAndUninstallsKeepingTheData) {
    // The check the README gives before a first install, with the signers published beside it.
    testing::run(
        "/bin/sh",
        {"-c",
         "ssh-keygen -Y verify -f \"$1\" -I QK4TR8MZ2V -n vantrel-release -s \"$0.sig\" <\"$0\"",
         archive("v1"), archive("v1").parent_path() / "release-signers"});

    testing::run("/bin/tar", {"-xzf", archive("v1"), "-C", dir.path(), "VantrelAgent/install"});
    fs::create_directories(opt / ".VantrelAgent-installing-cut");
    auto env = [&](std::vector<std::string> words) {
        words.insert(words.begin(),
                     {"-u", "XDG_DATA_HOME", "-u", "XDG_CONFIG_HOME", "HOME=" + user.string(),
                      "PATH=" + (dir / "bin").string() + ":/usr/bin:/bin"});
        return runTool("/usr/bin/env", words);
    };
    auto installed = env({dir / "VantrelAgent/install", archive("v1")});
    EXPECT_EQ(installed.output, live().string() + "\n") << "installed by the archive's own script";
    EXPECT_EQ(entriesNamed(opt, ""), std::set{live()}) << "the interrupted install is gone";
    EXPECT_EQ(fs::read_symlink(user / ".local/bin/vantrel-agent"), live() / "bin/VantrelAgent");

    // A stand-in service manager that records what it is asked.
    writeFile(dir / "bin/systemctl", "#!/bin/sh\necho \"$*\" >>\"$0.calls\"\n", true);
    writeFile(user / ".config/autostart/vantrel-agent.desktop", "[Desktop Entry]\n");
    writeFile(data / "Vantrel/agent.json", "{}");
    {
        UniqueFd running(::open(live().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_EQ(::flock(running.get(), LOCK_SH), 0);
        auto refused = env({live() / "install", "--uninstall"}).output;
        EXPECT_NE(refused.find("Vantrel Agent is running"), std::string::npos) << refused;
        EXPECT_TRUE(fs::exists(live() / "bin/VantrelAgent")) << "kept while a copy runs";
    }
    fs::remove(dir / "bin/systemctl.calls");
    auto removed = env({live() / "install", "--uninstall"});
    EXPECT_EQ(removed.status, 0) << removed.output;
    EXPECT_EQ(readFile(dir / "bin/systemctl.calls"),
              "--user disable --now vantrel-agent.service\n");
    for (const auto& path :
         {live(), user / ".local/bin/vantrel-agent", data / "systemd/user/vantrel-agent.service",
          data / "applications/vantrel-agent.desktop",
          data / "icons/hicolor/64x64/apps/vantrel-agent.png",
          user / ".config/autostart/vantrel-agent.desktop"}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "removed: " << path;
    }
    EXPECT_TRUE(fs::exists(data / "Vantrel/agent.json")) << "the agent's data stays";
    EXPECT_NE(removed.output.find("  " + (data / "Vantrel").string() + "\n"), std::string::npos)
        << "names the data it leaves: " << removed.output;
}

// scripts/install, then one installed 1.0 after another: refusals, a check still running at the
// quit, a swap cut short, and the update itself. A test build started first never asks on its own.
TEST_F(ReleaseUpdate, RefusesWaitsForNoCheckFinishesAnInterruptedSwapAndUpdatesItself) {
    server.serve("/test" + kManifestPath, {{"body", testing::manifestJson("9.0")}});
    auto env = testing::sandboxedEnvironment(dir.path());
    setVariable(env, "VANTREL_DIST", server.base() + "/test");
    testing::RunningApp testBuild(VANTREL_BUNDLE_DIR "/bin/VantrelAgent", {"--headless"}, env);
    ASSERT_TRUE(testBuild.waitForOutput("Starting\u2026\n")) << testBuild.output();

    // InstallScript.InstallsRefusesAndFinishesAnInterruptedSwap: a first install checks a release
    // against its own signers; then only the installed signers' releases replace it.
    writeFile(dir / "garbage", "not an archive");
    refuses("changed", "does not match its signed file list");
    refuses("foreign", "the archive is for riscv64 computers, not this " +
                           std::string(thisMachineArchitecture()) + " one");
    refuses((dir / "garbage").string(), "not a readable .tar.gz");
    refuses("missing", "no readable archive");
    installs("v1", "1.0");
    auto executable = live() / "bin/VantrelAgent";
    EXPECT_NE(readFile(data / "applications/vantrel-agent.desktop")
                  .find("\nExec=\"" + executable.string() + "\"\n"),
              std::string::npos);
    // The package's unit with only the command changed: systemd refuses a quote in an
    // executable's path.
    auto unit = data / "systemd/user/vantrel-agent.service";
    std::string packaged =
        readFile(std::string(VANTREL_SOURCE_DIR) + "/resources/vantrel-agent.service");
    const std::string command = "\nExecStart=/usr/bin/vantrel-agent --headless\n";
    ASSERT_NE(packaged.find(command), std::string::npos);
    packaged.replace(
        packaged.find(command), command.size(),
        "\nExecStart=/bin/sh -c 'exec \"$$0\" --headless' \"" + executable.string() + "\"\n");
    EXPECT_EQ(readFile(unit), packaged);
    auto verified = runTool(
        "/bin/sh",
        {"-c",
         "! command -v systemd-analyze >/dev/null || systemd-analyze verify --man=no --user \"$0\"",
         unit});
    EXPECT_EQ(verified.output.find("vantrel-agent.service:"), std::string::npos) << verified.output;

    refuses("other", "wrong signer");
    refuses("added", "does not match its signed file list");
    // Cut short, it fails only while unpacking over the install.
    auto whole = readFile(archive("v2"));
    writeFile(dir / "truncated", whole.substr(0, whole.size() / 2));
    refuses((dir / "truncated").string(), "cannot be read");
    {
        // What a running copy holds: its bundle folder, shared.
        UniqueFd lock(::open(live().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_EQ(::flock(lock.get(), LOCK_SH), 0);
        refuses("v2", "Vantrel Agent is running");
    }
    fs::create_directories(dir / "bin");
    fs::create_symlink(VANTREL_SYSTEM_PYTHON, dir / "bin/python3");
    refuses("v2", "missing ssh-keygen", {"PATH=" + (dir / "bin").string()});

    // The old swap's two renames cut between them, with no bundle at the install path; then a
    // complete staged 2.0 cut before its exchange.
    fs::rename(live(), opt / ".VantrelAgent-previous");
    auto refused = install("other");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("wrong signer"), std::string::npos) << refused.output;
    EXPECT_NE(readFile(live() / "Info.json").find("\"1.0\""), std::string::npos);
    EXPECT_EQ(entriesNamed(opt, ""), std::set{live()});
    auto staged = opt / ".VantrelAgent-incoming";
    fs::copy(live(), staged, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove(staged / "Info.json");
    writeFile(staged / "Info.json", "{\"CFBundleShortVersionString\": \"2.0\"}");
    writeFile(staged.string() + ".version", "2.0");
    installs("v2", "2.0");
    // Any signer's release installs afresh, its launcher in the XDG data folder.
    fs::remove_all(user / ".local");
    installs("other", "2.0", {"XDG_DATA_HOME=" + (user / "data").string()});
    EXPECT_TRUE(fs::is_regular_file(user / "data/applications/vantrel-agent.desktop"));
    EXPECT_FALSE(fs::exists(data));
    fs::remove_all(user / ".local");
    installs("v1", "1.0");

    // RefusalsLeaveOneRunningAndSayWhy: a production build's first check, coming by itself, ends
    // with the reason on standard error; standard output keeps only the state lines; 1.0 runs on.
    for (auto [release, reason] : {
             // HeadlessUpdateTest.AProductionBuildChecksAndReportsAFailedCheckOnStandardError
             std::pair<std::string, std::string>{"", "could not reach updates.vantrel.energy"},
             // The signers are the installed copy's, not the release's own.
             {"other", reasons::kNotSigned},
         }) {
        SCOPED_TRACE(release);
        release.empty() ? server.serve(kManifestPath, {{"status", 404}})
                        : publish(archive(release), "2.0");
        start(server.base());
        ASSERT_TRUE(
            eventually([&] { return errorsSay("the update check failed: " + reason + "\n"); }, 30))
            << readFile(dir / "errors");
        expectNoLeftovers();
        EXPECT_NE(readFile(live() / "Info.json").find("\"1.0\""), std::string::npos);
        EXPECT_EQ(app->output().find("update"), std::string::npos) << app->output();
        end(SIGTERM);
    }
    EXPECT_EQ(server.requestPaths().at(0), kManifestPath);

    // HeadlessUpdateTest.QuittingDoesNotWaitForARunningCheck: one that would hang for a minute.
    server.serve(kManifestPath, {{"body", testing::manifestJson("2.0")}, {"delay", 60}});
    auto asked = server.requests().size();
    start(server.base());
    ASSERT_TRUE(eventually([&] { return server.requests().size() > asked; }, 30));
    end(SIGTERM);
    EXPECT_FALSE(errorsSay("the update check failed"));

    {
        SCOPED_TRACE("a start clears a copy cut short before its marker");
        writeFile(opt / ".VantrelAgent-incoming/bin/VantrelAgent", "partial");
        start("http://127.0.0.1:1");
        expectNoLeftovers();
        EXPECT_EQ(liveVersion(), "1.0");
        end(SIGTERM);
    }
    {
        SCOPED_TRACE("a start finishes an update marked but not yet put in place");
        testing::run("/bin/tar", {"-xzf", archive("v2"), "-C", dir.path()});
        fs::rename(dir / "VantrelAgent", opt / ".VantrelAgent-incoming");
        writeFile(opt / ".VantrelAgent-incoming.version", "2.0");
        start("http://127.0.0.1:1");
        EXPECT_TRUE(runsTwo()) << "2.0 runs in the started process";
        expectNoLeftovers();
        end(SIGTERM);
    }

    SCOPED_TRACE(
        "1.0 updates itself to 2.0 in its own process, which a service manager keeps "
        "following; the old agent, ignoring SIGTERM, is gone before 2.0's own comes up "
        "on the port it held");
    fs::remove_all(opt);
    installs("v1", "1.0");
    publish(archive("v2"), "2.0");
    start(server.base());
    ASSERT_TRUE(eventually([&] { return runsTwo(); }, 60)) << app->output();
    EXPECT_TRUE(eventually(
        [&] {
            auto agents = agentsUnder(user);
            auto stat =
                agents.size() == 1 ? readFile("/proc/" + std::to_string(agents[0]) + "/stat") : "";
            // "pid (comm) state ppid ...": the interpreter's comm has no ")".
            return !stat.empty() && std::stoi(stat.substr(stat.rfind(')') + 4)) == app->pid() &&
                   fs::read_symlink("/proc/" + std::to_string(agents[0]) + "/exe") ==
                       live() / "Resources/python/bin/python3";
        },
        30))
        << app->output();
    EXPECT_TRUE(eventually([&] {
        auto output = app->output();
        return output.find("Waiting to be paired", output.find("Waiting to be paired") + 1) !=
               std::string::npos;
    })) << app->output();
    EXPECT_FALSE(errorsSay("Address already in use"));
    expectNoLeftovers();
    EXPECT_FALSE(app->waitForExit(0));

    auto paths = server.requestPaths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "/test" + kManifestPath), 0);
    testBuild.signal(SIGTERM);
    EXPECT_EQ(testBuild.waitForExit(), 0);
}

// Where the exchange fails (the bundle a mount point, the install folder an overlay whose lower
// layer holds it) or the release cannot start here, the check says why on standard error, 1.0
// goes on running, and nothing is left staged.
TEST_F(ReleaseUpdate, AnUpdateThatCannotBePutInPlaceKeepsThisCopyRunningAndSaysWhy) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounts need root";
    }
    struct Case {
        const char* update;
        std::string release, mount, reason;
    } cases[] = {
        {"into a bundle that is a mount point", "v2", R"(mount --bind "$2" "$2")",
         reasons::couldNotPutInPlace("2.0", "Device or resource busy")},
        {"into an overlay's lower layer", "v2",
         R"(mkdir -p "$4/upper" "$4/work" && )"
         R"(mount -t overlay overlay -o "lowerdir=$3,upperdir=$4/upper,workdir=$4/work" "$3")",
         reasons::couldNotPutInPlace("2.0", "Invalid cross-device link")},
        {"to a release that needs a missing library", "gone", "", reasons::doesNotStart("2.0")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.update);
        fs::remove_all(opt);
        fs::remove_all(dir / "upper");
        installs("v1", "1.0");
        publish(archive(c.release), "2.0");
        start(server.base(), c.mount);
        EXPECT_TRUE(
            eventually([&] { return errorsSay("the update check failed: " + c.reason); }, 60))
            << "expected on standard error: " << c.reason << "\n"
            << readFile(dir / "errors");
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
        publish(archive("ends"), "2.0");
        auto downloads = server.requestPaths().size();
        start(server.base(), "", underServiceManager);
        EXPECT_EQ(app->waitForExit(60), 3) << "2.0 ran in the application's process";
        auto executable = live() / "bin/VantrelAgent";
        EXPECT_TRUE(eventually([&] { return liveVersion() == "1.0"; }, 30))
            << "live back to 1.0; " << readFile(dir / "errors");
        EXPECT_TRUE(errorsSay("Vantrel Agent: 2.0 did not start; 1.0 is back in place\n"))
            << readFile(dir / "errors");
        EXPECT_EQ(readFile(user / "share/Vantrel/refused-update"), "2.0") << "the refusal";
        if (underServiceManager) {
            EXPECT_TRUE(eventually([&] { return entriesNamed(opt, ".VantrelAgent").empty(); }))
                << "nothing left beside live";
            EXPECT_EQ(running(executable), std::vector<pid_t>{}) << "left to the unit's restart";
            app.reset();
            continue;
        }
        EXPECT_TRUE(eventually(
            [&] { return errorsSay("the update check failed: " + reasons::refused("2.0") + "\n"); },
            30))
            << "1.0 runs again and refuses 2.0: " << readFile(dir / "errors");
        auto previous = running(executable);
        ASSERT_EQ(previous.size(), 1u) << "1.0 runs again";
        EXPECT_EQ(app->output(),
                  "Starting\u2026\nWaiting to be paired\nStarting\u2026\nWaiting to be paired\n")
            << "1.0's second run on the same output";
        auto paths = server.requestPaths();
        EXPECT_EQ(std::count(paths.begin() + downloads, paths.end(), "/release.tar.gz"), 1)
            << "one download, none after the roll-back";
        expectNoLeftovers();
        ::kill(previous[0], SIGTERM);
        EXPECT_TRUE(testing::processEnds(previous[0])) << "1.0 ends at SIGTERM";
        app.reset();
    }
}

}  // namespace
}  // namespace vantrel
