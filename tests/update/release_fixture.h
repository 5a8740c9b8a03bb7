#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "update/run_tool.h"
#include "update/update_result.h"

namespace vantrel {
// Readable failures: gtest prints results as their kind and text.
void PrintTo(const UpdateResult& result, std::ostream* out);
}  // namespace vantrel

namespace vantrel::testing {

// A throwaway ed25519 key pair: `private` and `private`.pub.
std::filesystem::path makeSigningKey(const std::filesystem::path& folder, const std::string& name);
// An allowed-signers file that lets `key` sign releases.
std::filesystem::path makeSigners(const std::filesystem::path& key,
                                  const std::filesystem::path& signers);

// A small bundle at `root` (= …/VantrelAgent): an executable, read-only files, a folder, a link.
void makeBundle(const std::filesystem::path& root);
// Writes the bundle's signed list with the product's own description and signs it with `key`.
void signBundle(const std::filesystem::path& root, const std::filesystem::path& key);
// Packs `folder`'s entries into a gzip-compressed tar at `archive`.
void packArchive(const std::filesystem::path& folder, const std::filesystem::path& archive);

// Runs a command and fails the test when it does not exit 0.
ToolResult run(const std::string& tool, const std::vector<std::string>& arguments);

}  // namespace vantrel::testing
