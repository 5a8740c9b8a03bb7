#include "app/line_printer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

namespace vantrel {
namespace {

using namespace std::string_literals;

class LinePrinterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        readEnd.reset(ends[0]);
        writeEnd.reset(ends[1]);
        ::fcntl(writeEnd.get(), F_SETPIPE_SZ, 4096);
    }

    // Reads until `last` has arrived (or the writer is gone).
    std::string readUntil(const std::string& last) {
        std::string text;
        char buffer[4096];
        ssize_t got;
        while (text.find(last) == std::string::npos &&
               (got = ::read(readEnd.get(), buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }

    UniqueFd readEnd;
    UniqueFd writeEnd;
};

TEST_F(LinePrinterTest, PrintsTheWholeTextOfEachLine) {
    LinePrinter printer(writeEnd.get());
    printer.print("Solar\0 1 kW"s);
    printer.print("caf\u00E9");
    EXPECT_EQ(readUntil("caf\u00E9\n"), "Solar\0 1 kW\ncaf\u00E9\n"s);
}

// Nobody reads: printing still returns at once, and so does the end of the printer.
TEST_F(LinePrinterTest, AReaderThatNeverReadsHoldsNothingUp) {
    std::optional<LinePrinter> printer(std::in_place, writeEnd.get(), 256);
    for (int i = 0; i < 10000; ++i) {
        printer->print("line " + std::to_string(i));
    }
    printer.reset();
}

// A reader that falls behind gets whole lines, in order, and always the latest.
TEST_F(LinePrinterTest, AReaderThatFallsBehindGetsWholeLinesEndingWithTheLatest) {
    LinePrinter printer(writeEnd.get(), 256);
    for (int i = 0; i < 10000; ++i) {
        printer.print("line " + std::to_string(i));
    }
    std::string text = readUntil("line 9999\n");
    ASSERT_TRUE(text.ends_with("\nline 9999\n")) << text.substr(text.size() - 100);
    std::istringstream lines(text);
    int previous = -1;
    for (std::string line; std::getline(lines, line); previous = std::stoi(line.substr(5))) {
        ASSERT_TRUE(line.starts_with("line ")) << line;
        EXPECT_GT(std::stoi(line.substr(5)), previous);
    }
    EXPECT_LT(text.size(), 10000u * 8) << "the lines waiting were folded";
}

}  // namespace
}  // namespace vantrel
