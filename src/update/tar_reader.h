#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "update/release_tools_archive.h"
#include "update/tar_header.h"

namespace vantrel {

// Bytes read in order: how many were put into `into` (fewer than `most` only at the end), or
// nothing on an error.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::optional<std::size_t> read(char* into, std::size_t most) = 0;
};

// The members of a tar archive (ustar, with pax and GNU long-name records) one by one, every
// header judged strictly. The archive must close with two zero blocks, followed by at most a
// record's zero padding and then the source's end. After any refusal it reads no further.
class TarReader {
  public:
    explicit TarReader(ByteSource& source) : source_(source) {}

    // The next member, its extended records applied; nothing at the archive's sound end (then
    // `ended()`) or when anything is refused. Whatever is left of the member before is skipped.
    std::optional<ArchiveEntry> next();
    bool ended() const { return ended_; }

    // The current member's data in pieces: the bytes read, 0 once it is all read.
    std::optional<std::size_t> readData(char* into, std::size_t most);

  private:
    bool readExactly(char* into, std::size_t size);
    bool skipData();
    bool readZeros(std::size_t size);
    std::optional<TarHeader> readHeader(TarOverrides& overrides);
    bool readEnd();
    std::optional<ArchiveEntry> refuse();

    ByteSource& source_;
    std::uint64_t dataLeft_ = 0;
    std::size_t paddingLeft_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

}  // namespace vantrel
