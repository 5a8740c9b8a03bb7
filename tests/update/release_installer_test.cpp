#include "update/release_installer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "support/child_process.h"
#include "support/manual_queue.h"
#include "support/temp_dir.h"
#include "update/bundle_swap.h"
#include "update/release_tools_linux.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr const char* kVersionOne = "{\"CFBundleShortVersionString\": \"1.0\"}";
constexpr const char* kVersionTwo = "{\"CFBundleShortVersionString\": \"2.0\"}";

bool isEmptyFolder(const fs::path& folder) {
    return fs::is_directory(folder) && fs::is_empty(folder);
}

class Install : public ::testing::Test {
  protected:
    Install() {
        apps = dir / "Vantrel's (apps)+";
        live = apps / "VantrelAgent";
        key = testing::makeSigningKey(dir.path(), "release-key");
        writeFile(live / "Info.json", kVersionOne);
        testing::makeSigners(key, live / "Resources/release-signers");
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "extract");
        release = makeRelease(key);
    }

    fs::path makeRelease(const fs::path& signingKey) {
        auto folder = dir / ("release-" + signingKey.filename().string());
        fs::remove_all(folder);
        testing::makeBundle(folder / "VantrelAgent");
        testing::signBundle(folder / "VantrelAgent", signingKey);
        auto archive = dir / ("VantrelAgent-2.0-" + signingKey.filename().string() + ".tar.gz");
        testing::packArchive(folder, archive);
        return archive;
    }

    ReleaseInstaller installer() {
        auto tools = std::make_shared<LinuxReleaseTools>(live / "Resources/release-signers",
                                                         "QK4TR8MZ2V", dir / "extract");
        return ReleaseInstaller({
            .mainQueue = queue,
            .requestQuit = [this] { ++quits; },
            .tools = tools,
            .live = live,
            .temporary = temporary,
            .download =
                [this](const std::string& url, const fs::path& to) {
                    std::error_code error;
                    return url == "http://127.0.0.1/ok" && fs::copy_file(release, to, error);
                },
            .stage =
                [this, tools](const fs::path& newApp, const std::string& version) {
                    return stageUpdate({live}, newApp, version,
                                       [&](const fs::path& copy) { return tools->verify(copy); });
                },
            .shell = "/bin/sh",
        });
    }

    UpdateResult install(const std::string& version = "2.0", std::string digest = "",
                         const std::string& url = "http://127.0.0.1/ok") {
        auto result =
            installer().install({version, url, digest.empty() ? *sha256OfFile(release) : digest});
        queue->runDue();
        return result;
    }

    // Nothing of the run is left and nothing live has changed.
    void expectUntouched() {
        EXPECT_EQ(quits, 0);
        EXPECT_TRUE(isEmptyFolder(dir / "tmp"));
        EXPECT_TRUE(isEmptyFolder(dir / "extract"));
        EXPECT_EQ(readFile(live / "Info.json"), kVersionOne);
        EXPECT_FALSE(fs::exists(StagedUpdate{live}.staged()));
        EXPECT_FALSE(fs::exists(StagedUpdate{live}.marker()));
    }

    TempDir dir;
    fs::path apps, live, key, release;
    fs::path temporary = dir / "tmp";
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>();
    int quits = 0;
};

// Staged beside live, in a folder whose name has a quote, "(" and "+"; swapped in as the
// application ends.
TEST_F(Install, StagesTheVerifiedReleaseAndSwapsItInAtTheEnd) {
    EXPECT_EQ(install(), UpdateResult::installed("2.0"));
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(isEmptyFolder(dir / "tmp"));
    EXPECT_TRUE(isEmptyFolder(dir / "extract"));
    StagedUpdate update{live};
    EXPECT_EQ(readFile(update.marker()), "2.0");
    EXPECT_EQ(readFile(live / "Info.json"), kVersionOne);

    EXPECT_EQ(
        completeStagedUpdate(update, {.pidFile = dir / "no.pid", .interpreter = {}, .grace = 0}),
        SwapOutcome::swapped);
    EXPECT_NE(readFile(live / "Info.json").find("\"2.0\""), std::string::npos);
    EXPECT_TRUE(fs::exists(live / "Resources/release-files.json"));
    EXPECT_FALSE(fs::exists(update.staged()));
    EXPECT_FALSE(fs::exists(update.marker()));
}

TEST_F(Install, EachFailureCleansUpAndGivesItsReason) {
    std::string upper = *sha256OfFile(release);
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(c));
    }
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string version = "2.0";
        std::string digest = "";
        std::string url = "http://127.0.0.1/ok";
        const char* reason;
    } cases[] = {
        {"no download", {}, "2.0", "", "http://127.0.0.1/missing", reasons::kDownloadFailed},
        {"upper-case digest", {}, "2.0", upper, "http://127.0.0.1/ok", reasons::kChecksumMismatch},
        {"no archive", [&] { writeFile(release, "not an archive"); }, "2.0", "",
         "http://127.0.0.1/ok", reasons::kWouldNotMount},
        {"another signer", [&] { release = makeRelease(testing::makeSigningKey(dir.path(), "o")); },
         "2.0", "", "http://127.0.0.1/ok", reasons::kNotSigned},
        // A genuine 2.0 under a manifest that says 3.0, and one no newer than what runs.
        {"version mismatch", {}, "3.0", "", "http://127.0.0.1/ok", reasons::kNotSigned},
        {"not newer", [&] { writeFile(live / "Info.json", kVersionTwo); }, "2.0", "",
         "http://127.0.0.1/ok", reasons::kNotSigned},
        // $TMPDIR naming a missing folder fails the update, not the application.
        {"no temporary folder",
         [&] {
             temporary.clear();
             ::setenv("TMPDIR", (dir / "missing").c_str(), 1);
         },
         "2.0", "", "http://127.0.0.1/ok", reasons::kCouldNotPrepare},
        {"staging fails",
         [&] { fs::create_directories(StagedUpdate{live}.marker().string() + ".partial/x"); },
         "2.0", "", "http://127.0.0.1/ok", reasons::kCouldNotPrepare},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.arrange) {
            c.arrange();
        }
        EXPECT_EQ(install(c.version, c.digest, c.url), UpdateResult::failed(c.reason));
        writeFile(live / "Info.json", kVersionOne);
        expectUntouched();
        temporary = dir / "tmp";
        ::unsetenv("TMPDIR");
        fs::remove_all(StagedUpdate{live}.marker().string() + ".partial");
        release = makeRelease(key);
    }
}

// Only a 200 answer within the time and size limits is kept, whole or not at all.
TEST(DownloadRelease, KeepsOnlyAnAnswerOfStatus200WithinTheLimit) {
    using Server = testing::LoopbackServer;
    Server server;
    server.serve("/ok", Server::answer("release bytes"));
    server.serve("/gone", Server::answer("no", 404));
    server.serve("/moved", Server::redirect("/gone"));
    server.serve("/moved-ok", Server::redirect("/ok"));
    server.serve("/slow", Server::answer("late", 200, 3));
    server.serve("/endless", Server::endlessAnswer());
    TempDir dir;
    struct Case {
        std::string url;
        bool kept;
        long seconds = 600;
        std::uint64_t ceiling = 1 << 20;
        std::string to = "file";
    } cases[] = {
        {server.base() + "/ok", true},
        {server.base() + "/moved-ok", true},
        {server.base() + "/gone", false},
        {server.base() + "/moved", false},
        {server.base() + "/slow", false, 1},
        {"file:///etc/hostname", false},
        {server.base() + "/ok", false, 600, 1 << 20, "missing folder/file"},
        // Past the ceiling: refused by its announced length, and while it streams without one.
        {server.base() + "/ok", false, 600, 12},
        {server.base() + "/ok", true, 600, 13},
        {server.base() + "/endless", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        fs::remove(dir / "file");
        EXPECT_EQ(downloadRelease(c.url, dir / c.to, c.seconds, c.ceiling), c.kept);
        EXPECT_EQ(fs::exists(dir / "file") ? readFile(dir / "file") : "",
                  c.kept ? "release bytes" : "");
    }
}

}  // namespace
}  // namespace vantrel
