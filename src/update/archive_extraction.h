#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "update/release_tools_archive.h"

namespace vantrel {

// Every member of the gzip-compressed tar archive read from `fd`, from where the file offset
// stands, by its header alone; nothing when anything in it is refused or it holds more members or
// data than `limits` allow.
std::optional<std::vector<ArchiveEntry>> listArchive(int fd, const ArchiveLimits& limits);

// Judges the archive by its listing and only then writes the members of its folder `top` into
// `into`, which it creates (its parent must exist, it must not): files without write or set-id
// bits, folders 0755, links as they are. The data is read again and must match the judged
// headers; nothing but judged members is written, and no file past its size or the limits. False,
// with `into` gone, when anything is refused or fails.
bool extractArchive(const std::filesystem::path& archive, std::string_view top,
                    const std::filesystem::path& into, const ArchiveLimits& limits = {});

}  // namespace vantrel
