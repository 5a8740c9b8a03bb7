#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "update/tar_header.h"
#include "update/tar_reader.h"

namespace vantrel {
namespace {

using namespace std::literals;

void put(TarBlock& block, std::size_t at, std::string_view text) {
    std::memcpy(block.data() + at, text.data(), text.size());
}

void seal(TarBlock& block) {
    put(block, 148, "        ");
    unsigned sum = 0;
    for (char c : block) {
        sum += static_cast<unsigned char>(c);
    }
    char field[9];
    std::snprintf(field, sizeof field, "%06o", sum);
    put(block, 148, std::string_view(field, 7));
}

// A sound POSIX header, as a release's writer makes it.
TarBlock header(std::string_view name, char type = '0', std::uint64_t size = 0,
                std::string_view link = "") {
    TarBlock block{};
    char size_[13];
    std::snprintf(size_, sizeof size_, "%011llo", static_cast<unsigned long long>(size));
    put(block, 0, name);
    put(block, 100, "0000755");
    put(block, 108, "0000000");
    put(block, 116, "0000000");
    put(block, 124, size_);
    put(block, 136, "14712345670");
    block[156] = type;
    put(block, 157, link);
    put(block, 257, "ustar\0"s + "00");
    seal(block);
    return block;
}

TEST(TarHeader, RefusesEveryUnsoundField) {
    struct Case {
        const char* what;
        std::function<void(TarBlock&)> change;
        bool sound;
    } cases[] = {
        {"as written", [](auto&) {}, true},
        {"space-ended mode", [](auto& b) { put(b, 100, "755 \0\0\0\0"sv); }, true},
        {"no magic", [](auto& b) { put(b, 257, std::string(8, '\0')); }, false},
        {"a wrong checksum", [](auto& b) { b[148] = '1'; }, false},
        {"an 8 in the size", [](auto& b) { b[130] = '8'; }, false},
        {"a binary size", [](auto& b) { b[124] = '\x80'; }, false},
        {"an empty mode", [](auto& b) { put(b, 100, std::string(8, '\0')); }, false},
        {"a digit after the end", [](auto& b) { put(b, 116, "0000 01"); }, false},
        {"a bad time", [](auto& b) { b[136] = 'x'; }, false},
        {"bytes after the name's NUL", [](auto& b) { put(b, 0, "a\0b"s); }, false},
        {"bytes after the link's NUL", [](auto& b) { b[200] = 'x'; }, false},
    };
    for (const auto& c : cases) {
        TarBlock block = header("VantrelAgent/a");
        c.change(block);
        std::string_view(c.what) != "a wrong checksum" ? seal(block) : void();
        EXPECT_EQ(parseTarHeader(block).has_value(), c.sound) << c.what;
    }
    TarBlock prefixed = header("a");
    put(prefixed, 345, "VantrelAgent/bin");
    seal(prefixed);
    EXPECT_EQ(parseTarHeader(prefixed)->name, "VantrelAgent/bin/a") << "the prefix joined";
}

TEST(TarHeader, TakesOnlyTheExtendedRecordsAReleaseWrites) {
    struct Case {
        const char* what;
        std::vector<std::pair<char, std::string>> records;
        std::optional<std::string> name;  // nothing: refused
    } cases[] = {
        {"a pax path and time", {{'x', "11 path=ab\n27 mtime=1765120000.123456\n"}}, "ab"},
        {"a GNU long name", {{'L', "ab\0"s}}, "ab"},
        {"pax and GNU names both", {{'x', "11 path=ab\n"}, {'L', "c\0"s}}, {}},
        {"a record twice", {{'x', "11 path=ab\n"}, {'x', "11 size=10\n"}}, {}},
        {"a wrong length", {{'x', "12 path=ab\n"}}, {}},
        {"a leading zero", {{'x', "011 path=a\n"}}, {}},
        {"no line end", {{'x', "11 path=abc"}}, {}},
        {"an unknown key", {{'x', "22 GNU.sparse.major=1\n"}}, {}},
        {"a NUL in a path", {{'x', "11 path=a\0\n"s}}, {}},
        {"a path past 4 KiB", {{'x', "4108 path=" + std::string(4097, 'a') + "\n"}}, {}},
        {"a long name without its NUL", {{'L', "ab"}}, {}},
        {"a NUL inside a long name", {{'L', "a\0b\0"s}}, {}},
        {"a global record", {{'g', "11 path=ab\n"}}, {}},
    };
    for (const auto& c : cases) {
        TarOverrides overrides;
        bool taken = true;
        for (const auto& [type, data] : c.records) {
            taken = taken && applyExtendedRecord(type, data, overrides);
        }
        EXPECT_EQ(taken ? overrides.name : std::nullopt, c.name) << c.what;
    }
    TarOverrides sized;
    ASSERT_TRUE(applyExtendedRecord('x', "16 size=9000000\n25 linkpath=VantrelAgent\n", sized));
    auto file = describeMember(*parseTarHeader(header("a")), sized);
    EXPECT_FALSE(file) << "a link name on a file";
    sized.linkName.reset();
    EXPECT_EQ(describeMember(*parseTarHeader(header("a")), sized)->size, 9000000u) << "pax size";
    EXPECT_FALSE(describeMember(*parseTarHeader(header("a", '5', 1)), {})) << "data on a folder";
}

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
    std::optional<std::size_t> read(char* into, std::size_t most) override {
        std::size_t size = std::min(most, bytes_.size() - at_);
        std::memcpy(into, bytes_.data() + at_, size);
        at_ += size;
        return size;
    }

  private:
    std::string bytes_;
    std::size_t at_ = 0;
};

std::string blocks(std::initializer_list<TarBlock> list) {
    std::string bytes;
    for (const auto& block : list) {
        bytes.append(block.data(), block.size());
    }
    return bytes;
}

// The members' names, or nothing when the reader refuses the stream.
std::optional<std::vector<std::string>> names(std::string bytes) {
    MemorySource source(std::move(bytes));
    TarReader reader(source);
    std::vector<std::string> listed;
    while (auto entry = reader.next()) {
        listed.push_back(entry->name);
    }
    return reader.ended() ? std::optional(listed) : std::nullopt;
}

TEST(TarReader, EndsOnlyWithTwoZeroBlocksAndZeroPadding) {
    TarBlock data{}, zero{};
    data.fill('d');
    TarBlock pax = header("././@PaxHeader", 'x', 11);
    TarBlock path{};
    put(path, 0, "11 path=ab\n");
    const std::string member = blocks({header("a", '0', 512), data});
    const std::string end = blocks({zero, zero});
    struct Case {
        const char* what;
        std::string bytes;
        std::optional<std::vector<std::string>> names;
    } cases[] = {
        {"a member", member + end, std::vector<std::string>{"a"}},
        {"a pax name", blocks({pax, path, header("b")}) + end, std::vector<std::string>{"ab"}},
        {"a record's padding", member + end + std::string(20 * 512, '\0'),
         std::vector<std::string>{"a"}},
        {"one zero block", member + blocks({zero}), {}},
        {"no end", member, {}},
        {"a truncated member", member.substr(0, 1000), {}},
        {"a pax record at the end", blocks({pax, path}) + end, {}},
        {"bytes after the end", member + end + "x", {}},
        {"a block after the end", member + end + blocks({header("b")}), {}},
        {"padding past a record", member + end + std::string(21 * 512, '\0'), {}},
        {"non-zero data padding", blocks({header("a", '0', 1), data}) + end, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names(c.bytes), c.names) << c.what;
    }
}

}  // namespace
}  // namespace vantrel
