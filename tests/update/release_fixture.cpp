#include "update/release_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "support/temp_dir.h"
#include "update/release_tools_file_list.h"

namespace vantrel {
void PrintTo(const UpdateResult& result, std::ostream* out) {
    static constexpr const char* kKinds[] = {"current", "installed", "failed"};
    *out << kKinds[static_cast<int>(result.kind())] << "(\"" << result.text() << "\")";
}
}  // namespace vantrel

namespace vantrel::testing {

namespace fs = std::filesystem;

ToolResult run(const std::string& tool, const std::vector<std::string>& arguments) {
    auto result = runTool(tool, arguments);
    EXPECT_EQ(result.status, 0) << tool << ": " << result.output;
    return result;
}

fs::path makeSigningKey(const fs::path& folder, const std::string& name) {
    auto key = folder / name;
    run("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-C", name, "-f", key.string()});
    return key;
}

fs::path makeSigners(const fs::path& key, const fs::path& signers) {
    auto publicKey = readFile(key.string() + ".pub");
    writeFile(signers, "QK4TR8MZ2V namespaces=\"vantrel-release\" " + publicKey);
    return signers;
}

void makeBundle(const fs::path& root) {
    writeFile(root / "bin/VantrelAgent", "#!/bin/sh\nexit 0\n", true);
    writeFile(root / "Info.json", "{\"CFBundleShortVersionString\": \"2.0\"}\n");
    writeFile(root / "Resources/lib/vantrel_agent/__init__.py", "# agent\n");
    writeFile(root / "Resources/lib/vantrel_agent/with space 'q'.py", "x = 1\n");
    fs::create_directories(root / "Resources/empty");
    fs::create_symlink("lib/vantrel_agent", root / "Resources/agent");
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            bool executable =
                (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none;
            fs::permissions(entry.path(), static_cast<fs::perms>(executable ? 0555 : 0444));
        }
    }
}

void signBundle(const fs::path& root, const fs::path& key) {
    auto list = root / kFileListName;
    fs::remove(list);
    fs::remove(root / kFileListSignatureName);
    auto description = describeBundle(root);
    ASSERT_TRUE(description);
    writeFile(list, description->dump(1) + "\n");
    run("/usr/bin/ssh-keygen",
        {"-q", "-Y", "sign", "-f", key.string(), "-n", "vantrel-release", list.string()});
}

void packArchive(const fs::path& folder, const fs::path& archive) {
    run("/bin/tar", {"-czf", archive.string(), "-C", folder.string(), "VantrelAgent"});
}

}  // namespace vantrel::testing
