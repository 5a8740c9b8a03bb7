#include "update/release_tools_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "support/temp_dir.h"
#include "update/release_tools_archive.h"
#include "update/release_tools_file_list.h"
#include "update/update_fixture.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::makeBundle;
using testing::makeSigners;
using testing::makeSigningKey;
using testing::packArchive;
using testing::readFile;
using testing::signBundle;
using testing::TempDir;
using testing::writeFile;

// Names as tar prints them, decoded and then judged: an octal escape that hides a "..", a "/" or
// a trailing slash must be read as the byte it stands for.
TEST(ArchiveIsSafe, JudgesTheDecodedNames) {
    struct Case {
        const char* name;
        const char* target;
        bool safe;
    } cases[] = {
        {"VantrelAgent/\\303\\251", nullptr, true},
        {"VantrelAgent/\\056\\056/x", nullptr, false},
        {"VantrelAgent\\057..\\057x", nullptr, false},
        {"\\056\\056", nullptr, false},
        {"VantrelAgent/a", "\\056\\056/\\056\\056", false},
        {"VantrelAgent/a", "\\056\\056/b", true},
        {"VantrelAgent/a\\057", "\\056\\056/\\056\\056/x", false},
        {"VantrelAgent/a\\057", "\\056\\056/x", true},
    };
    for (const auto& c : cases) {
        std::string line =
            c.target ? "lrwxrwxrwx 0/0 0 2025-01-01 10:00 \"" + std::string(c.name) + "\" -> \"" +
                           c.target + "\"\n"
                     : "-rw-r--r-- 0/0 1 2025-01-01 10:00 \"" + std::string(c.name) + "\"\n";
        auto entries = parseTarListing(line);
        ASSERT_TRUE(entries) << line;
        EXPECT_EQ(archiveIsSafe(*entries), c.safe) << line;
    }
    EXPECT_EQ(parseTarListing("-rw-r--r-- 0/0 1 2025-01-01 10:00 \"\\303\\251\\0607\"")->at(0).name,
              "\u00e9"
              "07");
    // A NUL, escaped or raw, would be judged whole but created cut short ("./.." here).
    for (std::string target : {std::string("./..\\000x"), std::string("./..\0x", 6)}) {
        EXPECT_FALSE(parseTarListing("lrwxrwxrwx 0/0 0 2025-01-01 10:00 \"VantrelAgent/a\" -> \"" +
                                     target + "\"\n"));
    }
}

// Only files, folders and links that stay inside, judged where tar puts them and through the
// links made before them (FollowsLinksAsTheyWillBeCreated), within the limits
// (RefusesMoreThanTheLimits).
TEST(ArchiveIsSafe, AllowsOnlyFilesFoldersAndInsideLinks) {
    struct Case {
        std::vector<ArchiveEntry> entries;
        bool safe;
    } cases[] = {
        {{{'-', "VantrelAgent/bin/VantrelAgent", ""}, {'d', "./VantrelAgent/", ""}}, true},
        {{{'l', "VantrelAgent/Resources/up", "../bin"}}, true},
        {{{'l', "VantrelAgent/up", "../Other/x"}}, true},  // still inside the extraction
        {{{'-', "/etc/passwd", ""}}, false},
        {{{'-', "VantrelAgent/../../evil", ""}}, false},
        {{{'-', "", ""}}, false},
        {{{'l', "VantrelAgent/out", "../../etc"}}, false},
        {{{'l', "VantrelAgent/abs", "/etc"}}, false},
        {{{'l', "top", ".."}}, false},
        {{{'h', "VantrelAgent/hard", "VantrelAgent/x"}}, false},
        {{{'c', "VantrelAgent/dev", ""}}, false},
        {{{'p', "VantrelAgent/fifo", ""}}, false},
        {{{'l', "VantrelAgent/a/", "../../x"}}, false},
        {{{'l', "VantrelAgent/a", "."}, {'l', "VantrelAgent/a/b", "../x"}}, false},
        {{{'l', "VantrelAgent/a", "."}, {'-', "VantrelAgent/a/b", ""}}, false},
        {{{'l', "VantrelAgent/x", ".."}, {'l', "VantrelAgent/y", "x/.."}}, false},
        {{{'l', "VantrelAgent/x", "y"}, {'l', "VantrelAgent/y", "x"}}, false},
        {{{'l', "VantrelAgent/x", "sub"}, {'l', "VantrelAgent/y", "x/../bin"}}, true},
        {{{'l', "VantrelAgent/x", "."}, {'l', "VantrelAgent/y", "x/x/x/bin"}}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(archiveIsSafe(c.entries), c.safe)
            << c.entries.back().name << " -> " << c.entries.back().linkTarget;
    }
    std::vector<ArchiveEntry> entries{{'-', "a", "", 600}, {'-', "b", "", 400}, {'d', "c", "", 0}};
    EXPECT_TRUE(archiveIsSafe(entries, {.bytes = 1000, .entries = 3}));
    EXPECT_FALSE(archiveIsSafe(entries, {.bytes = 999, .entries = 3}));
    EXPECT_FALSE(archiveIsSafe(entries, {.bytes = 1000, .entries = 2}));
}

// Writes an archive with one hostile member beside a normal bundle, the way an attacker's tool
// would (tar itself refuses to write some of these).
void writeHostileArchive(const fs::path& archive, const std::string& member) {
    std::string script =
        "import io, sys, tarfile\n"
        "t = tarfile.open(sys.argv[1], 'w:gz')\n"
        "def add(info, data=b''):\n"
        "    info.size = len(data); t.addfile(info, io.BytesIO(data))\n"
        "d = tarfile.TarInfo('VantrelAgent'); d.type = tarfile.DIRTYPE; d.mode = 0o755; add(d)\n"
        "add(tarfile.TarInfo('VantrelAgent/Info.json'), b'{}')\n"
        "i = tarfile.TarInfo('x'); i.mode = 0o644\n" +
        member +
        "\nadd(i, b'evil' if i.type == tarfile.REGTYPE else b'')\n"
        "t.close()\n";
    testing::run(VANTREL_SYSTEM_PYTHON, {"-c", script, archive.string()});
}

class LinuxTools : public ::testing::Test {
  protected:
    LinuxTools() {
        key = makeSigningKey(dir.path(), "release-key");
        signers = makeSigners(key, dir / "release-signers");
        fs::create_directories(dir / "extract");
        makeBundle(dir / "release/VantrelAgent");
        signBundle(dir / "release/VantrelAgent", key);
    }

    LinuxReleaseTools tools() const {
        return LinuxReleaseTools(signers, "QK4TR8MZ2V", dir / "extract");
    }
    std::optional<fs::path> attach(const fs::path& archive) { return tools().attach(archive); }
    bool verifiesAfterPacking() {
        packArchive(dir / "release", dir / "release.tar.gz");
        auto mountPoint = attach(dir / "release.tar.gz");
        return mountPoint && tools().verify(*mountPoint / "VantrelAgent");
    }
    bool extractionIsEmpty() const { return fs::is_empty(dir / "extract"); }

    TempDir dir;
    fs::path key, signers;
};

TEST_F(LinuxTools, AttachExtractsReadOnlyIntoAFreshFolderAndDetachRemovesIt) {
    packArchive(dir / "release", dir / "release.tar.gz");
    auto one = attach(dir / "release.tar.gz");
    auto two = attach(dir / "release.tar.gz");
    ASSERT_TRUE(one && two);
    EXPECT_NE(*one, *two);
    EXPECT_EQ(one->parent_path(), dir / "extract");
    EXPECT_TRUE(one->filename().string().starts_with("vantrel-release-"));
    EXPECT_EQ(fs::status(*one).permissions(), fs::perms::owner_all);
    auto executable = *one / "VantrelAgent/bin/VantrelAgent";
    EXPECT_EQ(fs::status(executable).permissions(), static_cast<fs::perms>(0555));
    EXPECT_EQ(fs::read_symlink(*one / "VantrelAgent/Resources/agent"), "lib/vantrel_agent");
    tools().detach(*one);
    tools().detach(*two);
    EXPECT_TRUE(extractionIsEmpty());
}

TEST_F(LinuxTools, AttachRefusesHostileArchivesAndLeavesNothing) {
    const std::string members[] = {
        "i.name = '/tmp/vantrel-absolute-test'",
        "i.name = 'VantrelAgent/../../vantrel-dotdot-test'",
        "i.name = '../vantrel-dotdot-test'",
        "i.name = 'VantrelAgent/null'; i.type = tarfile.CHRTYPE; i.devmajor = 1; i.devminor = 3",
        "i.name = 'VantrelAgent/fifo'; i.type = tarfile.FIFOTYPE",
        "i.name = 'VantrelAgent/out'; i.type = tarfile.SYMTYPE; i.linkname = '../../etc'",
        "i.name = 'VantrelAgent/abs'; i.type = tarfile.SYMTYPE; i.linkname = '/etc'",
        "i.name = 'VantrelAgent/hard'; i.type = tarfile.LNKTYPE; i.linkname = '/etc/passwd'",
        "i.name = 'VantrelAgent/a/'; i.type = tarfile.SYMTYPE; i.linkname = '../../x'",
        "j = tarfile.TarInfo('VantrelAgent/a'); j.type = tarfile.SYMTYPE; j.linkname = '.'\n"
        "add(j); i.name = 'VantrelAgent/a/b'; i.type = tarfile.SYMTYPE; i.linkname = '../x'",
    };
    for (const auto& member : members) {
        writeHostileArchive(dir / "hostile.tar.gz", member);
        EXPECT_FALSE(attach(dir / "hostile.tar.gz")) << member;
        EXPECT_TRUE(extractionIsEmpty()) << member;
    }
    EXPECT_FALSE(fs::exists("/tmp/vantrel-absolute-test"));
    EXPECT_FALSE(fs::exists(dir / "vantrel-dotdot-test"));
    writeFile(dir / "garbage.tar.gz", "not a tar at all");
    EXPECT_FALSE(attach(dir / "garbage.tar.gz"));
    EXPECT_FALSE(attach(dir / "missing.tar.gz"));
    EXPECT_TRUE(extractionIsEmpty());
}

// A few KiB that expand to 4 MiB of zeros, against a ceiling of 1 MiB: refused before anything
// is written.
TEST_F(LinuxTools, AttachRefusesAnArchiveThatExpandsPastTheLimits) {
    writeFile(dir / "bomb/VantrelAgent/zeros", std::string(4 << 20, '\0'));
    packArchive(dir / "bomb", dir / "bomb.tar.gz");
    ASSERT_LT(fs::file_size(dir / "bomb.tar.gz"), 64u << 10);
    LinuxReleaseTools small(signers, "QK4TR8MZ2V", dir / "extract", {},
                            {.bytes = 1 << 20, .entries = 20000});
    EXPECT_FALSE(small.attach(dir / "bomb.tar.gz"));
    LinuxReleaseTools few(signers, "QK4TR8MZ2V", dir / "extract", {},
                          {.bytes = 1 << 30, .entries = 1});
    EXPECT_FALSE(few.attach(dir / "bomb.tar.gz"));
    EXPECT_TRUE(extractionIsEmpty());
    LinuxReleaseTools roomy(signers, "QK4TR8MZ2V", dir / "extract", {},
                            {.bytes = 4 << 20, .entries = 20000});
    auto mountPoint = roomy.attach(dir / "bomb.tar.gz");
    ASSERT_TRUE(mountPoint);
    roomy.detach(*mountPoint);
}

// The signed bundle verifies; any change after signing, or another signer, does not.
TEST_F(LinuxTools, VerifyAcceptsOnlyTheBundleAsSignedByTheSigner) {
    auto bundle = dir / "release/VantrelAgent";
    auto agent = bundle / "Resources/lib/vantrel_agent/__init__.py";
    auto list = bundle / kFileListName;
    auto publicKey = [&] { return readFile(key.string() + ".pub"); };
    struct Case {
        const char* change;
        std::function<void()> apply;
    } cases[] = {
        {"none", [] {}},
        {"a changed file",
         [&] {
             fs::permissions(agent, fs::perms::owner_write, fs::perm_options::add);
             writeFile(agent, "# agent, changed\n");
         }},
        {"a changed mode",
         [&] { fs::permissions(bundle / "Info.json", static_cast<fs::perms>(0555)); }},
        {"an added file", [&] { writeFile(bundle / "Resources/lib/extra.py", "import os\n"); }},
        {"an added folder", [&] { fs::create_directories(bundle / "Resources/more"); }},
        {"a missing file", [&] { fs::remove(bundle / "Info.json"); }},
        {"a retargeted link",
         [&] {
             fs::remove(bundle / "Resources/agent");
             fs::create_symlink("empty", bundle / "Resources/agent");
         }},
        {"a changed list", [&] { writeFile(list, readFile(list) + " "); }},
        {"no signature", [&] { fs::remove(bundle / kFileListSignatureName); }},
        {"another signer", [&] { signBundle(bundle, makeSigningKey(dir.path(), "other-key")); }},
        {"another principal",
         [&] { writeFile(signers, "ZZ9ZZ9ZZ9Z namespaces=\"vantrel-release\" " + publicKey()); }},
        {"another namespace",
         [&] { writeFile(signers, "QK4TR8MZ2V namespaces=\"file\" " + publicKey()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        fs::remove_all(dir / "release");
        fs::remove_all(dir / "other-key");
        fs::remove_all(dir / "other-key.pub");
        makeBundle(bundle);
        signBundle(bundle, key);
        makeSigners(key, signers);
        c.apply();
        EXPECT_EQ(verifiesAfterPacking(), std::string(c.change) == "none");
    }
    fs::rename(bundle, dir / "release/Other");
    EXPECT_FALSE(tools().verify(bundle));  // nor one under another name
}

TEST(DescribeBundle, RefusesLinksThatLeaveAndOtherKinds) {
    TempDir dir;
    auto root = dir / "VantrelAgent";
    makeBundle(root);
    ASSERT_TRUE(describeBundle(root));
    auto entries = (*describeBundle(root))["entries"];
    EXPECT_EQ(entries["Resources/agent"],
              (nlohmann::json{{"type", "link"}, {"target", "lib/vantrel_agent"}}));
    EXPECT_EQ(entries["Resources/empty"], (nlohmann::json{{"type", "dir"}}));
    EXPECT_EQ(entries["bin/VantrelAgent"]["mode"], "0555");
    EXPECT_EQ(entries["Info.json"]["mode"], "0444");
    // The digest another tool computes.
    EXPECT_EQ(entries["Resources/lib/vantrel_agent/__init__.py"]["sha256"],
              testing::run("/usr/bin/sha256sum",
                           {(root / "Resources/lib/vantrel_agent/__init__.py").string()})
                  .output.substr(0, 64));

    // A link through another link that climbs out, though it reads as if it stayed inside.
    fs::create_symlink("..", root / "Resources/lib/up");
    fs::create_symlink("lib/up/../..", root / "Resources/sneaky");
    EXPECT_FALSE(describeBundle(root));
    fs::remove(root / "Resources/sneaky");
    fs::create_symlink("/etc", root / "Resources/abs");
    EXPECT_FALSE(describeBundle(root));
    fs::remove(root / "Resources/abs");
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0644), 0);
    EXPECT_FALSE(describeBundle(root));
}

}  // namespace
}  // namespace vantrel
