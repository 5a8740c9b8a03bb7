#include "agent/pid_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

TEST(PidFile, ParseTable) {
    struct Case {
        const char* text;
        std::optional<pid_t> pid;
    } cases[] = {
        {"  1234 \n", 1234},          {"\t+42\n", 42},
        {"2147483647", 2147483647},   {"1", std::nullopt},
        {"-5", std::nullopt},         {"12a", std::nullopt},
        {" \n", std::nullopt},        {"+", std::nullopt},
        {"+-5", std::nullopt},        {"1 2", std::nullopt},
        {"2147483648", std::nullopt},
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

// Whatever is found in the pid file's place, reading it neither throws nor waits.
TEST(PidFile, AnythingButASmallRegularFileIsIgnored) {
    testing::TempDir dir;
    EXPECT_FALSE(writePidFile(dir / "missing/agent.pid", 7));
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    testing::writeFile(dir / "large", std::string(8192, ' ') + "1234");
    std::filesystem::create_symlink(dir / "fifo", dir / "link");
    for (const char* name : {"missing/agent.pid", "folder", "fifo", "large", "link"}) {
        EXPECT_EQ(readPidFile(dir / name), std::nullopt) << name;
    }
}

}  // namespace
}  // namespace vantrel
