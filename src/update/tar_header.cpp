#include "update/tar_header.h"

#include <algorithm>

namespace vantrel {
namespace {

using Kind = ArchiveEntry::Kind;

// Where each field of a header block lies: offset and length.
struct Field {
    std::size_t at;
    std::size_t length;
};
constexpr Field kName{0, 100}, kMode{100, 8}, kUid{108, 8}, kGid{116, 8}, kSize{124, 12},
    kMtime{136, 12}, kChecksum{148, 8}, kLinkName{157, 100}, kMagic{257, 8}, kPrefix{345, 155};
constexpr std::size_t kType = 156;
constexpr std::string_view kPosixMagic(
    "ustar\0"
    "00",
    8);
constexpr std::string_view kGnuMagic("ustar  \0", 8);

std::string_view fieldOf(const TarBlock& block, Field field) {
    return std::string_view(block.data() + field.at, field.length);
}

// Octal digits, then only NULs or spaces to the field's end.
std::optional<std::uint64_t> octal(std::string_view field) {
    std::size_t digits = 0;
    std::uint64_t value = 0;
    for (; digits < field.size() && field[digits] >= '0' && field[digits] <= '7'; ++digits) {
        value = value * 8 + static_cast<std::uint64_t>(field[digits] - '0');
    }
    bool padded = field.substr(digits).find_first_not_of(std::string_view("\0 ", 2)) ==
                  std::string_view::npos;
    return digits > 0 && padded ? std::optional(value) : std::nullopt;
}

// Text up to the first NUL, the rest of the field NULs only.
std::optional<std::string> text(std::string_view field) {
    std::size_t end = std::min(field.find('\0'), field.size());
    if (field.find_first_not_of('\0', end) != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(field.substr(0, end));
}

// The sum of the block's bytes, the checksum field counted as spaces.
std::uint64_t checksumOf(const TarBlock& block) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < block.size(); ++i) {
        bool inField = i >= kChecksum.at && i < kChecksum.at + kChecksum.length;
        sum += inField ? ' ' : static_cast<unsigned char>(block[i]);
    }
    return sum;
}

bool fieldsAreSound(const TarBlock& block) {
    auto magic = fieldOf(block, kMagic);
    return (magic == kPosixMagic || magic == kGnuMagic) &&
           octal(fieldOf(block, kChecksum)) == checksumOf(block) &&
           std::ranges::all_of(std::array{kUid, kGid, kMtime}, [&](Field field) {
               return octal(fieldOf(block, field)).has_value();
           });
}

// POSIX headers may hold the start of a long name in the prefix; GNU ones keep other data there.
std::optional<std::string> nameOf(const TarBlock& block) {
    auto name = text(fieldOf(block, kName));
    if (fieldOf(block, kMagic) == kGnuMagic || !name) {
        return name;
    }
    auto prefix = text(fieldOf(block, kPrefix));
    if (!prefix) {
        return std::nullopt;
    }
    return prefix->empty() ? *name : *prefix + "/" + *name;
}

// Plain decimal without a sign or leading zeros, as pax records write lengths and sizes.
std::optional<std::uint64_t> decimal(std::string_view digits) {
    if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits.front() == '0') ||
        !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char digit : digits) {
        value = value * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    return value;
}

// A name given once, not empty, no longer than a path may be, without a NUL inside.
bool setName(std::optional<std::string>& slot, std::string_view value) {
    constexpr std::size_t kLongestPath = 4096;
    if (slot || value.empty() || value.size() > kLongestPath ||
        value.find('\0') != std::string_view::npos) {
        return false;
    }
    slot = std::string(value);
    return true;
}

struct PaxRecord {
    std::string_view key;
    std::string_view value;
};

// The first "LENGTH key=value\n" record of `data`, LENGTH counting the whole record; `data`
// moves past it.
std::optional<PaxRecord> takePaxRecord(std::string_view& data) {
    std::size_t space = data.find(' ');
    auto length = decimal(data.substr(0, space));
    if (space == std::string_view::npos || !length || *length < space + 4 ||
        *length > data.size() || data[*length - 1] != '\n') {
        return std::nullopt;
    }
    auto body = data.substr(space + 1, *length - space - 2);
    data.remove_prefix(*length);
    std::size_t equals = body.find('=');
    if (equals == 0 || equals == std::string_view::npos) {
        return std::nullopt;
    }
    return PaxRecord{body.substr(0, equals), body.substr(equals + 1)};
}

bool applyPaxRecord(const PaxRecord& record, TarOverrides& overrides) {
    // Times and owners are not restored: files belong to whoever updates.
    constexpr std::string_view kIgnored[] = {"mtime", "atime", "ctime", "uid",
                                             "gid",   "uname", "gname"};
    if (record.key == "path") {
        return setName(overrides.name, record.value);
    }
    if (record.key == "linkpath") {
        return setName(overrides.linkName, record.value);
    }
    if (record.key == "size") {
        overrides.size = decimal(record.value);
        return overrides.size.has_value();
    }
    return std::ranges::find(kIgnored, record.key) != std::end(kIgnored);
}

bool applyPaxRecords(std::string_view data, TarOverrides& overrides) {
    while (!data.empty()) {
        auto record = takePaxRecord(data);
        if (!record || !applyPaxRecord(*record, overrides)) {
            return false;
        }
    }
    return true;
}

// A GNU long name: the name and one closing NUL.
bool applyLongName(std::optional<std::string>& slot, std::string_view data) {
    return !data.empty() && data.back() == '\0' && setName(slot, data.substr(0, data.size() - 1));
}

Kind kindOf(char type) {
    switch (type) {
        case '0':
        case '\0':
            return Kind::file;
        case '1':
            return Kind::hardlink;
        case '2':
            return Kind::symlink;
        case '5':
            return Kind::folder;
        default:
            return Kind::other;
    }
}

}  // namespace

bool isZeroBlock(const TarBlock& block) {
    return std::ranges::all_of(block, [](char c) { return c == '\0'; });
}

std::optional<TarHeader> parseTarHeader(const TarBlock& block) {
    if (!fieldsAreSound(block)) {
        return std::nullopt;
    }
    auto name = nameOf(block);
    auto linkName = text(fieldOf(block, kLinkName));
    auto mode = octal(fieldOf(block, kMode));
    auto size = octal(fieldOf(block, kSize));
    if (!name || !linkName || !mode || !size) {
        return std::nullopt;
    }
    return TarHeader{block[kType], std::move(*name), std::move(*linkName), *size,
                     static_cast<unsigned>(*mode & 07777)};
}

bool isExtendedRecord(char type) {
    return type == 'x' || type == 'L' || type == 'K';
}

bool applyExtendedRecord(char type, std::string_view data, TarOverrides& overrides) {
    if (!isExtendedRecord(type) || overrides.applied.find(type) != std::string::npos) {
        return false;
    }
    overrides.applied += type;
    if (type == 'x') {
        return applyPaxRecords(data, overrides);
    }
    return applyLongName(type == 'L' ? overrides.name : overrides.linkName, data);
}

std::optional<ArchiveEntry> describeMember(const TarHeader& header, const TarOverrides& overrides) {
    ArchiveEntry entry;
    entry.kind = kindOf(header.type);
    entry.name = overrides.name.value_or(header.name);
    entry.mode = header.mode;
    std::string linkName = overrides.linkName.value_or(header.linkName);
    std::uint64_t size = overrides.size.value_or(header.size);
    bool isLink = entry.kind == Kind::symlink || entry.kind == Kind::hardlink;
    if ((!isLink && !linkName.empty()) || (entry.kind != Kind::file && size != 0)) {
        return std::nullopt;
    }
    entry.linkTarget = std::move(linkName);
    entry.size = size;
    return entry;
}

}  // namespace vantrel
