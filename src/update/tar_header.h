#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/release_tools_archive.h"

namespace vantrel {

inline constexpr std::size_t kTarBlockSize = 512;
using TarBlock = std::array<char, kTarBlockSize>;

// What one header block of a ustar or GNU tar archive says, its fields judged strictly: a sound
// checksum, octal numbers, names padded with NULs only.
struct TarHeader {
    char type = 0;
    std::string name;
    std::string linkName;
    std::uint64_t size = 0;
    unsigned mode = 0;
};

// What extended records (pax 'x', GNU 'L' and 'K') say of the member whose header follows them.
struct TarOverrides {
    std::optional<std::string> name;
    std::optional<std::string> linkName;
    std::optional<std::uint64_t> size;
    std::string applied;  // the type flags of the records taken, each allowed once
};

bool isZeroBlock(const TarBlock& block);

std::optional<TarHeader> parseTarHeader(const TarBlock& block);

// Whether the header only carries records for the next one.
bool isExtendedRecord(char type);

// Takes the data of an extended record of `type` into `overrides`; false when it is malformed,
// names a key outside the few a release carries, or repeats a record type.
bool applyExtendedRecord(char type, std::string_view data, TarOverrides& overrides);

// The member a header describes once the records before it apply; nothing for a NUL inside a
// name, a link name on what is no link, or data on what is no file.
std::optional<ArchiveEntry> describeMember(const TarHeader& header, const TarOverrides& overrides);

}  // namespace vantrel
