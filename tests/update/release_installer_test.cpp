#include "update/release_installer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "support/child_process.h"
#include "support/manual_queue.h"
#include "support/temp_dir.h"
#include "update/manifest_server.h"
#include "update/release_fixture.h"
#include "update/release_tools_linux.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// Notes each start of a bundle's executable in the folder that holds the bundle.
constexpr const char* kNotingExecutable =
    "#!/bin/sh\ncat \"$(dirname \"$0\")/../Info.json\" >> \"$(dirname \"$0\")/../../starts\"\n";

bool isEmptyFolder(const fs::path& folder) {
    return fs::is_directory(folder) && fs::is_empty(folder);
}

class Install : public ::testing::Test {
  protected:
    Install() {
        apps = dir / "Vantrel's apps";
        live = apps / "VantrelAgent";
        key = testing::makeSigningKey(dir.path(), "release-key");
        writeFile(live / "Info.json", "1.0");
        writeFile(live / "bin/VantrelAgent", kNotingExecutable, true);
        testing::makeSigners(key, live / "Resources/release-signers");
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "extract");
        release = makeRelease(key);
    }

    fs::path makeRelease(const fs::path& signingKey) {
        auto folder = dir / ("release-" + signingKey.filename().string());
        auto bundle = folder / "VantrelAgent";
        testing::makeBundle(bundle);
        fs::remove(bundle / "bin/VantrelAgent");
        writeFile(bundle / "bin/VantrelAgent", kNotingExecutable, true);
        fs::permissions(bundle / "bin/VantrelAgent", static_cast<fs::perms>(0555));
        testing::signBundle(bundle, signingKey);
        auto archive = dir / ("VantrelAgent-2.0-" + signingKey.filename().string() + ".tar.gz");
        testing::packArchive(folder, archive);
        return archive;
    }

    static std::string digestOf(const fs::path& file) {
        return shell(kChecksumTool, {"-a", "256", file.string()}).output.substr(0, 64);
    }

    ReleaseInstaller installer(std::string sh = "/bin/sh") {
        return ReleaseInstaller({
            .mainQueue = queue,
            .requestQuit = [this] { ++quits; },
            .tools = std::make_shared<LinuxReleaseTools>(live / "Resources/release-signers",
                                                         "QK4TR8MZ2V", dir / "extract"),
            .live = live,
            .temporary = temporary,
            .download =
                [this](const std::string& url, const fs::path& to) {
                    std::error_code error;
                    if (onDownload) {
                        onDownload(to);
                    }
                    return url == "http://127.0.0.1/ok" && fs::copy_file(release, to, error);
                },
            .checksumTool = kChecksumTool,
            .shell = std::move(sh),
        });
    }

    UpdateResult install(ReleaseInstaller installer, std::string digest = "") {
        auto result = installer.install(
            {"2.0", "http://127.0.0.1/ok", digest.empty() ? digestOf(release) : digest});
        queue->runDue();
        return result;
    }

    // Nothing of the run is left and nothing live has changed.
    void expectUntouched() {
        EXPECT_EQ(quits, 0);
        EXPECT_TRUE(isEmptyFolder(dir / "tmp"));
        EXPECT_TRUE(isEmptyFolder(dir / "extract"));
        EXPECT_EQ(readFile(live / "Info.json"), "1.0");
        EXPECT_EQ(readFile(apps / "starts"), "");
    }

    TempDir dir;
    fs::path apps, live, key, release;
    fs::path temporary = dir / "tmp";
    std::shared_ptr<testing::ManualQueue> queue = std::make_shared<testing::ManualQueue>();
    int quits = 0;
    std::function<void(const fs::path&)> onDownload;
};

TEST_F(Install, SwapsInTheVerifiedReleaseRelaunchesItAndCleansUp) {
    EXPECT_EQ(install(installer()), UpdateResult::installed("2.0"));
    EXPECT_EQ(quits, 1);
    ASSERT_TRUE(eventually([&] {
        return readFile(apps / "starts") == "{\"CFBundleShortVersionString\": \"2.0\"}\n";
    })) << readFile(apps / "starts");
    EXPECT_TRUE(
        eventually([&] { return isEmptyFolder(dir / "tmp") && isEmptyFolder(dir / "extract"); }));
    EXPECT_TRUE(fs::exists(live / "Resources/release-files.json"));
    EXPECT_FALSE(fs::exists(apps / ".VantrelAgent-incoming"));
    EXPECT_FALSE(fs::exists(apps / ".VantrelAgent-previous"));
}

TEST_F(Install, KeepsImageAndScriptUntilTheScriptHasFinished) {
    testing::Lookalike app(live);
    EXPECT_EQ(install(installer()), UpdateResult::installed("2.0"));
    // The application is still running: the script is waiting, after its copy.
    ASSERT_TRUE(eventually([&] { return fs::exists(apps / ".VantrelAgent-incoming"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(std::distance(fs::directory_iterator(dir / "tmp"), fs::directory_iterator()), 1);
    auto scratch = fs::directory_iterator(dir / "tmp")->path();
    EXPECT_TRUE(fs::exists(scratch / "swap.sh"));
    EXPECT_FALSE(isEmptyFolder(dir / "extract"));
    EXPECT_EQ(readFile(live / "Info.json"), "1.0");

    app.end();
    EXPECT_TRUE(eventually([&] { return !readFile(apps / "starts").empty(); }));
    EXPECT_TRUE(
        eventually([&] { return isEmptyFolder(dir / "tmp") && isEmptyFolder(dir / "extract"); }));
}

TEST_F(Install, EachFailureCleansUpAndGivesItsReason) {
    EXPECT_EQ(installer().install({"2.0", "http://127.0.0.1/missing", digestOf(release)}),
              UpdateResult::failed(reasons::kDownloadFailed));
    expectUntouched();

    std::string upper = digestOf(release);
    for (auto& c : upper) {
        c = static_cast<char>(std::toupper(c));
    }
    EXPECT_EQ(install(installer(), upper), UpdateResult::failed(reasons::kChecksumMismatch));
    expectUntouched();

    writeFile(release, "not an archive");
    EXPECT_EQ(install(installer()), UpdateResult::failed(reasons::kWouldNotMount));
    expectUntouched();

    release = makeRelease(testing::makeSigningKey(dir.path(), "other-key"));
    EXPECT_EQ(install(installer()), UpdateResult::failed(reasons::kNotSigned));
    expectUntouched();
}

TEST_F(Install, ScriptThatCannotBeWrittenIsNoUpdate) {
    onDownload = [](const fs::path& image) {
        fs::create_directories(image.parent_path() / "swap.sh");
    };
    EXPECT_EQ(install(installer()), UpdateResult::failed(reasons::kCouldNotPrepare));
    expectUntouched();
}

TEST_F(Install, ShellThatCannotStartIsNoUpdateAndNoQuit) {
    EXPECT_EQ(install(installer("/nonexistent/sh")),
              UpdateResult::failed(reasons::kCouldNotPrepare));
    expectUntouched();
}

TEST_F(Install, UnwritableScratchFolderFailsTheDownload) {
    writeFile(dir / "not a folder", "");
    temporary = dir / "not a folder";
    EXPECT_EQ(install(installer()), UpdateResult::failed(reasons::kDownloadFailed));
    expectUntouched();
}

TEST(DownloadRelease, KeepsOnlyAnAnswerOfStatus200WithinTheLimit) {
    testing::ManifestServer server;
    server.serve("/ok", "release bytes");
    server.serve("/gone", "no", 404);
    server.redirect("/moved", "/gone");
    server.redirect("/moved-ok", "/ok");
    server.serve("/slow", "late", 200, 3);
    TempDir dir;
    EXPECT_TRUE(downloadRelease(server.base() + "/ok", dir / "a"));
    EXPECT_EQ(readFile(dir / "a"), "release bytes");
    EXPECT_TRUE(downloadRelease(server.base() + "/moved-ok", dir / "b"));
    for (std::string path : {"/gone", "/moved"}) {
        EXPECT_FALSE(downloadRelease(server.base() + path, dir / "c")) << path;
        EXPECT_FALSE(fs::exists(dir / "c")) << path;
    }
    EXPECT_FALSE(downloadRelease(server.base() + "/slow", dir / "d", 1));
    EXPECT_FALSE(fs::exists(dir / "d"));
    EXPECT_FALSE(downloadRelease("file:///etc/hostname", dir / "e"));
    EXPECT_FALSE(downloadRelease(server.base() + "/ok", dir / "missing folder/f"));
}

}  // namespace
}  // namespace vantrel
