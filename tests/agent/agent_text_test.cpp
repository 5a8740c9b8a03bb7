#include <sys/stat.h>

#include <gtest/gtest.h>

#include <vector>

#include "agent/line_splitter.h"
#include "agent/pid_file.h"
#include "agent/status_line.h"
#include "support/temp_dir.h"
#include "support/utf8_stream.h"

namespace vantrel {
namespace {

// Rows the fuzz target cannot judge: it trims and prints the same way as the code.
TEST(StatusLine, EachLineReadsAsItsLabel) {
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"Unicode spaces are blank", "\u00A0\u2003\u2000\u200A pv=3\u3000\u205F", "Solar 3 kW"},
        {"CR is no blank", " pv=3\r", "Solar 3\r kW"},
        {"a value after a tab is no number", "pv=1 grid=\t2", "Solar 1 kW"},
        {"a value after a vertical tab is no number", "pv=1 grid=\v2", "Solar 1 kW"},
        {"a zero-width space is no blank", "\u200Bpv=1", "no status"},
        {"a broken character is no blank", "\xE2\x80pv=1", "no status"},
        {"a tab before the waiting line", "\tWaiting for equipment", "waiting"},
        {"17 digits the double decides", "pv=1 grid=1.3749999999999999",
         "Solar 1 kW \u00B7 importing 1.38 kW"},
        {"a tie goes to the even", "pv=1 grid=0.125", "Solar 1 kW \u00B7 importing 0.12 kW"},
        {"minus zero keeps its sign", "pv=1 grid=-0", "Solar 1 kW \u00B7 importing -0.00 kW"},
    };
    for (const auto& [why, line, label] : rows) {
        auto meaning = readLine(line);
        const bool waiting = meaning && meaning->kind == LineMeaning::Kind::waiting;
        EXPECT_EQ(!meaning ? "no status" : waiting ? "waiting" : meaning->label, label) << why;
    }
}

// How many bytes of a character the text ends in; nothing when the text is no UTF-8.
TEST(IncompleteTail, CountsTheUnfinishedCharacterAndRefusesInvalidText) {
    const std::string ascii(127, 'a');
    const std::tuple<const char*, std::string, std::optional<size_t>> rows[] = {
        {"two-byte character", "caf\xC3\xA9", 0},
        {"U+0800 and U+083F", "\xE0\xA0\x80\xE0\xA0\xBF", 0},
        {"a character across a block's end", ascii + "\xC3\xA9" + ascii, 0},
        {"unfinished two-byte", "caf\xC3", 1},
        {"unfinished three-byte after a block", ascii + "a\xE2\x82", 2},
        {"unfinished four-byte", "\xF0\x9F\x98", 3},
        {"overlong two-byte", "\xC0\xAF", std::nullopt},
        {"overlong three-byte start", "\xE0\x80", std::nullopt},
        {"overlong three-byte", "\xE0\x9F\xBF", std::nullopt},
        {"a surrogate", "\xED\xA0\x80", std::nullopt},
        {"past U+10FFFF", "\xF4\x90\x80\x80", std::nullopt},
        {"lead byte F5", "\xF5\x80\x80\x80", std::nullopt},
        {"lead byte F7", "\xF7\xBF\xBF\xBF", std::nullopt},
        {"lead byte F5 unfinished", "x\xF5\x80", std::nullopt},
        {"an invalid byte after a block", ascii + "a" + ascii + "\xFF", std::nullopt},
    };
    for (const auto& [why, text, tail] : rows) {
        EXPECT_EQ(incompleteTail(text), tail) << why;
    }
}

// Chunks in turn and what each decodes to; a stream always recovers for the next chunk.
TEST(Utf8Stream, AHeldBackStartEitherCompletesOrIsDropped) {
    using Chunks = std::vector<std::pair<const char*, std::optional<std::string>>>;
    const std::pair<const char*, Chunks> rows[] = {
        {"a start never completed is dropped alone",
         {{"pv=23\n\xE2", "pv=23\n"}, {"pv=24\n", "pv=24\n"}}},
        {"a start still incomplete is held on", {{"x\xF0\x9F", "x"}, {"\x98", ""}}},
        {"a start completed wrongly", {{"x\xE2", "x"}, {"\x82y\n", std::nullopt}}},
        {"completed, but the chunk is invalid", {{"x\xC3", "x"}, {"\xA9\xFF", std::nullopt}}},
        {"a start dropped with an invalid chunk",
         {{"x\xE2", "x"}, {"\xFF", std::nullopt}, {"\x82\xAC\n", std::nullopt}}},
    };
    for (const auto& [why, chunks] : rows) {
        SCOPED_TRACE(why);
        Utf8Stream stream;
        for (const auto& [chunk, text] : chunks) {
            EXPECT_EQ(stream.decode(chunk), text) << ::testing::PrintToString(std::string(chunk));
        }
        EXPECT_EQ(stream.decode("z\n"), "z\n") << "the next chunk";
    }
}

// A line of exactly the cap is kept, also when it arrives in pieces; a line's end starts the next
// afresh: neither the text kept for it nor an overlong line's drop carries over.
TEST(LineSplitter, ALineEndResetsThePendingTextAndTheOverlongDrop) {
    using Lines = std::vector<std::string>;
    const std::tuple<const char*, std::vector<const char*>, Lines> rows[] = {
        {"a line of the cap in pieces", {"ab", "cd\n"}, {"abcd"}},
        {"the kept text is cleared", {"ab", "c\nd\n"}, {"abc", "d"}},
        {"an overlong drop ends with its line", {"abcdef", "\nxy\n"}, {"xy"}},
    };
    for (const auto& [step, chunks, expected] : rows) {
        LineSplitter splitter(4);
        Lines lines;
        for (const char* chunk : chunks) {
            splitter.feed(chunk, [&](std::string_view line) { lines.emplace_back(line); });
        }
        EXPECT_EQ(lines, expected) << step;
        EXPECT_EQ(splitter.pending(), "") << step;
    }
}

// Line feeds are found 64 bytes at a time: at each edge of such a block, and in the short rest.
TEST(LineSplitter, FindsEveryLineFeedWhereverItFallsInALongChunk) {
    std::string text(200, 'x');
    std::vector<std::string> expected;
    size_t start = 0;
    for (size_t feed : {0, 1, 62, 63, 64, 65, 127, 128, 191, 192, 199}) {
        text[feed] = '\n';
        expected.push_back(text.substr(start, feed - start));
        start = feed + 1;
    }
    std::vector<std::string> lines;
    LineSplitter(200).feed(text, [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, expected) << "the lines of 200 bytes with feeds at the blocks' edges";
}

// Only a whole record counts: a strict decimal pid above 1, the start time in digits and a boot
// identifier; an older copy's bare pid names no process this run can be sure of.
TEST(PidFile, OnlyAWholeRecordOfPidStartAndBootIsRead) {
    const std::pair<const char*, std::optional<AgentIdentity>> read[] = {
        {"  1234 77 0a1b-c2\n", AgentIdentity{1234, 77, "0a1b-c2"}},
        {"\t+42\t0 f\n", AgentIdentity{42, 0, "f"}},
        {"2147483647 1 b", AgentIdentity{2147483647, 1, "b"}},
    };
    for (const auto& [text, identity] : read) {
        EXPECT_EQ(parsePidFile(text), identity) << "pid file \"" << text << '"';
    }
    for (const char* text :
         {"1234", "1234 77", "1234 77 b extra", "1234 77 B", "1234 -77 b", "1234 7x b", "1 77 b",
          "-5 77 b", "12a 77 b", "+-5 77 b", "--5 77 b", "2147483648 77 b", " \n"}) {
        EXPECT_EQ(parsePidFile(text), std::nullopt) << "pid file \"" << text << '"';
    }
}

TEST(PidFile, ARecordWrittenReplacesTheFileAndOnlyASmallRegularFileIsRead) {
    testing::TempDir dir;
    testing::writeFile(dir / "agent.pid", "old content that is longer than the record");
    const AgentIdentity agent{4321, 99, "5e-a"};
    ASSERT_TRUE(writePidFile(dir / "agent.pid", agent));
    EXPECT_EQ(readPidFile(dir / "agent.pid"), agent) << "a record written is read back";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "nothing is left beside the pid file";
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    testing::writeFile(dir / "large", std::string(8192, ' ') + "1234 77 b");
    std::filesystem::create_symlink(dir / "fifo", dir / "link");
    for (const char* name : {"missing/agent.pid", "folder", "fifo", "large", "link"}) {
        EXPECT_EQ(readPidFile(dir / name), std::nullopt) << "a pid file that is " << name;
    }
}

}  // namespace
}  // namespace vantrel
