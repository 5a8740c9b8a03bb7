#include "update/release_tools_mac.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/manual_queue.h"
#include "support/temp_dir.h"
#include "update/release_installer.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(MountPointInAttachOutput, TakesTheLastTmpLineFromTmpOnTrimmed) {
    struct Case {
        std::string output;
        std::optional<std::string> mountPoint;
    } cases[] = {
        {"/dev/disk4          \tGUID_partition_scheme          \t\n"
         "/dev/disk4s1        \tApple_HFS                      \t/private/tmp/dmg.6s0kAd\n",
         "/tmp/dmg.6s0kAd"},
        {"/dev/disk4s1\tApple_HFS\t/tmp/dmg.a\n/dev/disk5s1\tApple_HFS\t/tmp/dmg.b\n",
         "/tmp/dmg.b"},
        {"/dev/disk4s1\tApple_HFS\t/tmp/dmg.a\t\t\n", "/tmp/dmg.a"},
        {"/dev/disk4s1\t/tmp/dmg.a \u00a0\u3000\n", "/tmp/dmg.a"},
        {"/dev/disk4s1\t/tmp/dmg.a\r\n", "/tmp/dmg.a\r"},  // a carriage return is no white space
        {"/tmp/dmg.x/and /tmp/later", "/tmp/dmg.x/and /tmp/later"},
        {"/dev/disk4s1\t/tmp/one\n\n\nno mount here\n", "/tmp/one"},
        {"/dev/disk4\tGUID_partition_scheme\n/dev/disk4s1\tApple_HFS\t/Volumes/Vantrel\n",
         std::nullopt},
        {"/dev/disk4s1\t/tmp\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mountPointInAttachOutput(c.output), c.mountPoint) << c.output;
    }
}

// Stand-ins for hdiutil, spctl and codesign: they refuse any other argument list, log each call
// and answer as the real tools do.
class MacTools : public ::testing::Test {
  protected:
    MacTools() {
        writeFile(dir / "bin/hdiutil", R"sh(#!/bin/sh
here=$(dirname "$0")
{ printf hdiutil; for a; do printf ' [%s]' "$a"; done; echo; } >> "$here/calls"
case "$1" in
attach)
  if [ $# -ne 6 ] || [ "$2" != -nobrowse ] || [ "$3" != -readonly ] || [ "$4" != -mountrandom ] || [ "$5" != /tmp ]; then
    echo "hdiutil: attach: unrecognized arguments" >&2; exit 1
  fi
  if [ ! -f "$6" ]; then echo "hdiutil: attach failed - No such file or directory" >&2; exit 1; fi
  printf '%s' "$(cat "$here/attach-output")"
  exit "$(cat "$here/attach-status")" ;;
detach)
  if [ $# -ne 3 ] || [ "$3" != -quiet ]; then echo "hdiutil: detach: usage" >&2; exit 1; fi
  exit 0 ;;
esac
echo "hdiutil: unknown verb $1" >&2; exit 1
)sh",
                  true);
        writeFile(dir / "bin/spctl", R"sh(#!/bin/sh
here=$(dirname "$0")
{ printf spctl; for a; do printf ' [%s]' "$a"; done; echo; } >> "$here/calls"
if [ $# -ne 6 ] || [ "$1" != -a ] || [ "$2" != -t ] || [ "$3" != exec ] || [ "$4" != --context ] || [ "$5" != context:primary-signature ]; then
  echo "spctl: invalid arguments" >&2; exit 2
fi
if [ -f "$6/notarized" ]; then echo "$6: accepted"; echo "source=Notarized Developer ID"; exit 0; fi
if [ -e "$6" ]; then echo "$6: rejected" >&2; exit 3; fi
echo "$6: No such file or directory" >&2; exit 1
)sh",
                  true);
        writeFile(dir / "bin/codesign", R"sh(#!/bin/sh
here=$(dirname "$0")
{ printf codesign; for a; do printf ' [%s]' "$a"; done; echo; } >> "$here/calls"
if [ $# -ne 3 ] || [ "$1" != -dv ] || [ "$2" != --verbose=4 ]; then echo "codesign: usage" >&2; exit 2; fi
if [ ! -e "$3" ]; then echo "$3: No such file or directory" >&2; exit 1; fi
team=$(cat "$3/team")
cat >&2 <<END
Executable=$3/Contents/MacOS/VantrelAgent
Identifier=energy.vantrel.agent
Format=app bundle with Mach-O universal (x86_64 arm64)
CodeDirectory v=20500 size=1234 flags=0x10000(runtime) hashes=28+7 location=embedded
Signature size=9041
Authority=Developer ID Application: Vantrel Energy ($team)
Authority=Developer ID Certification Authority
Authority=Apple Root CA
Timestamp=3 Mar 2025 at 10:12:44
Notarization Ticket=stapled
TeamIdentifier=$team
Sealed Resources version=2 rules=13 files=412
END
exit 0
)sh",
                  true);
        std::string folder = "/tmp/dmg.XXXXXX";
        EXPECT_TRUE(::mkdtemp(folder.data()));
        mnt = folder;
        writeFile(dir / "bin/attach-status", "0");
        // The tool names the folder under /private/tmp, the real place of /tmp there.
        writeFile(dir / "bin/attach-output",
                  "/dev/disk4          \tGUID_partition_scheme          \t\n"
                  "/dev/disk4s1        \tApple_HFS                      \t/private" +
                      mnt.string() + "\n");
        writeFile(dir / "image.dmg", "image");
    }

    ~MacTools() override { fs::remove_all(mnt); }

    MacReleaseTools tools() const {
        return MacReleaseTools({.hdiutil = (dir / "bin/hdiutil").string(),
                                .spctl = (dir / "bin/spctl").string(),
                                .codesign = (dir / "bin/codesign").string()});
    }
    std::string calls() const { return readFile(dir / "bin/calls"); }
    fs::path app(const std::string& team, bool notarized = true) const {
        auto path = dir / ("Vantrel Agent " + team + ".app");
        writeFile(path / "team", team);
        if (notarized) {
            writeFile(path / "notarized", "");
        }
        return path;
    }

    TempDir dir;
    fs::path mnt;
};

TEST_F(MacTools, AttachPassesItsArgumentsAndReadsTheMountPoint) {
    auto mountPoint = tools().attach(dir / "image.dmg");
    EXPECT_EQ(mountPoint, mnt);
    EXPECT_EQ(calls(), "hdiutil [attach] [-nobrowse] [-readonly] [-mountrandom] [/tmp] [" +
                           (dir / "image.dmg").string() + "]\n");
}

TEST_F(MacTools, AttachFailsOnAStatusOrWithoutAMountPoint) {
    writeFile(dir / "bin/attach-status", "1");
    EXPECT_FALSE(tools().attach(dir / "image.dmg"));
    writeFile(dir / "bin/attach-status", "0");
    writeFile(dir / "bin/attach-output", "/dev/disk4s1\tApple_HFS\t/Volumes/Vantrel\n");
    EXPECT_FALSE(tools().attach(dir / "image.dmg"));
    EXPECT_FALSE(tools().attach(dir / "missing.dmg"));
}

TEST_F(MacTools, DetachNamesTheMountPointBeforeQuiet) {
    tools().detach("/tmp/dmg.6s0kAd");
    EXPECT_EQ(calls(), "hdiutil [detach] [/tmp/dmg.6s0kAd] [-quiet]\n");
    EXPECT_EQ(tools().detachCommand("/tmp/dmg.x"),
              (std::vector<std::string>{(dir / "bin/hdiutil").string(), "detach", "/tmp/dmg.x",
                                        "-quiet"}));
}

TEST_F(MacTools, VerifyNeedsTheAssessmentAndTheTeamIdentifier) {
    auto ours = app("QK4TR8MZ2V");
    EXPECT_TRUE(tools().verify(ours));
    EXPECT_EQ(calls(), "spctl [-a] [-t] [exec] [--context] [context:primary-signature] [" +
                           ours.string() + "]\ncodesign [-dv] [--verbose=4] [" + ours.string() +
                           "]\n");
    EXPECT_FALSE(tools().verify(app("ZZ9ZZ9ZZ9Z")));
    EXPECT_FALSE(tools().verify(app("QK4TR8MZ2")));  // a prefix is not the identifier
}

TEST_F(MacTools, RejectedOrMissingBundleIsNotReadFurther) {
    EXPECT_FALSE(tools().verify(app("QK4TR8MZ2V", false)));
    EXPECT_FALSE(tools().verify(dir / "Other Name.app"));
    EXPECT_EQ(calls().find("codesign"), std::string::npos);
}

TEST_F(MacTools, TheRunDrivesThePipelineAndDetachesOnceTheScriptHasEnded) {
    app("QK4TR8MZ2V");
    fs::rename(dir / "Vantrel Agent QK4TR8MZ2V.app", mnt / "Vantrel Agent.app");
    writeFile(mnt / "Vantrel Agent.app/Info.json", "{\"CFBundleShortVersionString\": \"2.0\"}");
    writeFile(dir / "release.dmg", "image");
    auto queue = std::make_shared<testing::ManualQueue>();
    int quits = 0;
    fs::path image;
    auto tmp = dir / "tmp";
    fs::create_directories(tmp);
    ReleaseInstaller installer({
        .mainQueue = queue,
        .requestQuit = [&] { ++quits; },
        .tools = std::make_shared<MacReleaseTools>(tools()),
        .live = dir / "Applications/Vantrel Agent.app",
        .temporary = tmp,
        .download =
            [&](const std::string&, const fs::path& to) {
                image = to;
                return fs::copy_file(dir / "release.dmg", to);
            },
        .stage = {},
        .shell = "/bin/sh",
    });
    auto result =
        installer.install({"2.0", "https://x/y.dmg",
                           "c4d5a1b1ce4bc6a2a7eb5e6aa04d9d03ba25e8d80a7b3d1b5cd8a7ba54d8b7fa"});
    // Not this image's digest: nothing is attached.
    EXPECT_EQ(result, UpdateResult::failed(reasons::kChecksumMismatch));
    EXPECT_EQ(calls(), "");

    auto digest = *sha256OfFile(dir / "release.dmg");
    result = installer.install({"2.0", "https://x/y.dmg", digest});
    EXPECT_EQ(result, UpdateResult::installed("2.0"));
    queue->runDue();
    EXPECT_EQ(quits, 1);
    // The script's copy fails here (there is no ditto), and the clean-up follows it.
    ASSERT_TRUE(eventually([&] { return calls().find("hdiutil [detach]") != std::string::npos; }));
    auto app = (mnt / "Vantrel Agent.app").string();
    EXPECT_EQ(calls(), "hdiutil [attach] [-nobrowse] [-readonly] [-mountrandom] [/tmp] [" +
                           image.string() +
                           "]\n"
                           "spctl [-a] [-t] [exec] [--context] [context:primary-signature] [" +
                           app + "]\ncodesign [-dv] [--verbose=4] [" + app +
                           "]\nhdiutil [detach] [" + mnt.string() + "] [-quiet]\n");
    EXPECT_TRUE(eventually([&] { return fs::is_empty(tmp); }));
}

}  // namespace
}  // namespace vantrel
