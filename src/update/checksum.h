#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "update/shell.h"

namespace vantrel {

inline constexpr const char* kChecksumTool = "/usr/bin/shasum";

// The checksum tool's verdict on a file: a status of 0 and a first space-separated piece of its
// output equal to `expected`, character for character.
bool digestMatches(const ShellResult& checksum, std::string_view expected);

// Runs `tool` -a 256 on the file and compares its digest with `expected`.
bool checksumMatches(const std::filesystem::path& file, std::string_view expected,
                     const std::string& tool = kChecksumTool);

}  // namespace vantrel
