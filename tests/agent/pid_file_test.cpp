#include "agent/pid_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

TEST(PidFile, ParseTable) {
    struct Case {
        const char* text;
        std::optional<pid_t> pid;
    } cases[] = {
        {"1234", 1234},        {"  1234 \n", 1234},
        {"\t+42\n", 42},       {"2147483647", 2147483647},
        {"0", std::nullopt},   {"1", std::nullopt},
        {"-5", std::nullopt},  {"12a", std::nullopt},
        {"", std::nullopt},    {" \n", std::nullopt},
        {"+", std::nullopt},   {"--5", std::nullopt},
        {"+-5", std::nullopt}, {"2147483648", std::nullopt},
        {"1 2", std::nullopt}, {"99999999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parsePidFile(c.text), c.pid) << '"' << c.text << '"';
    }
}

TEST(PidFile, WritesDigitsOnlyAndReplacesTheFile) {
    testing::TempDir dir;
    auto path = dir / "agent.pid";
    testing::writeFile(path, "old content that is longer");
    ASSERT_TRUE(writePidFile(path, 4321));
    EXPECT_EQ(testing::readFile(path), "4321");
    EXPECT_EQ(readPidFile(path), 4321);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(PidFile, AMissingFolderIsNoCrash) {
    testing::TempDir dir;
    EXPECT_FALSE(writePidFile(dir / "missing/agent.pid", 7));
    EXPECT_EQ(readPidFile(dir / "missing/agent.pid"), std::nullopt);
}

}  // namespace
}  // namespace vantrel
