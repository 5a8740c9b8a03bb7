#include "update/tar_reader.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace vantrel {
namespace {

// Far beyond any name a release holds, and all the memory a record may take.
constexpr std::size_t kLongestRecord = 64 * 1024;
// Writers pad an archive to whole records of 20 blocks after its two closing zero blocks.
constexpr std::size_t kMostPaddingBlocks = 20;

std::size_t paddingAfter(std::uint64_t size) {
    return static_cast<std::size_t>((kTarBlockSize - size % kTarBlockSize) % kTarBlockSize);
}

}  // namespace

std::optional<ArchiveEntry> TarReader::refuse() {
    failed_ = true;
    return std::nullopt;
}

bool TarReader::readExactly(char* into, std::size_t size) {
    return source_.read(into, size) == size;
}

bool TarReader::readZeros(std::size_t size) {
    TarBlock block{};
    for (std::size_t left = size; left > 0;) {
        std::size_t piece = std::min(left, block.size());
        if (!readExactly(block.data(), piece) ||
            !std::all_of(block.begin(), block.begin() + static_cast<long>(piece),
                         [](char c) { return c == '\0'; })) {
            return false;
        }
        left -= piece;
    }
    return true;
}

bool TarReader::skipData() {
    std::array<char, 16 * 1024> buffer;
    while (dataLeft_ > 0) {
        auto got = readData(buffer.data(), buffer.size());
        if (!got) {
            return false;
        }
    }
    return readZeros(std::exchange(paddingLeft_, 0));
}

std::optional<std::size_t> TarReader::readData(char* into, std::size_t most) {
    std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(most, dataLeft_));
    if (failed_ || !readExactly(into, size)) {
        failed_ = true;
        return std::nullopt;
    }
    dataLeft_ -= size;
    return size;
}

// The second zero block, then only whole zero blocks up to the record's end, then nothing.
bool TarReader::readEnd() {
    TarBlock block;
    if (!readExactly(block.data(), block.size()) || !isZeroBlock(block)) {
        return false;
    }
    for (std::size_t padding = 0;; ++padding) {
        auto got = source_.read(block.data(), block.size());
        if (got == 0u) {
            return true;
        }
        if (padding == kMostPaddingBlocks || got != block.size() || !isZeroBlock(block)) {
            return false;
        }
    }
}

// The next header that describes a member, the records before it taken into `overrides`.
std::optional<TarHeader> TarReader::readHeader(TarOverrides& overrides) {
    for (;;) {
        TarBlock block;
        if (!readExactly(block.data(), block.size())) {
            return std::nullopt;
        }
        if (isZeroBlock(block)) {
            ended_ = overrides.applied.empty() && readEnd();
            return std::nullopt;
        }
        auto header = parseTarHeader(block);
        if (!header || !isExtendedRecord(header->type)) {
            return header;
        }
        if (header->size > kLongestRecord) {
            return std::nullopt;
        }
        std::string data(static_cast<std::size_t>(header->size), '\0');
        if (!readExactly(data.data(), data.size()) || !readZeros(paddingAfter(data.size())) ||
            !applyExtendedRecord(header->type, data, overrides)) {
            return std::nullopt;
        }
    }
}

std::optional<ArchiveEntry> TarReader::next() {
    if (ended_ || failed_ || !skipData()) {
        return refuse();
    }
    TarOverrides overrides;
    auto header = readHeader(overrides);
    if (ended_) {
        return std::nullopt;
    }
    auto entry = header ? describeMember(*header, overrides) : std::nullopt;
    if (!entry) {
        return refuse();
    }
    dataLeft_ = entry->size;
    paddingLeft_ = paddingAfter(entry->size);
    return entry;
}

}  // namespace vantrel
