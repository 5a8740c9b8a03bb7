// The agent's own files: its log and its pid file.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "agent/agent_log.h"
#include "agent/pid_file.h"
#include "support/temp_dir.h"

namespace vantrel {
namespace {

// The file is cut only past five million bytes; a folder made late loses only what came before.
TEST(AgentLog, TheSizeLimitAppliesOnlyPastFiveMillionBytes) {
    for (size_t size : {size_t{5'000'000}, size_t{5'000'001}}) {
        testing::TempDir dir;
        testing::writeFile(dir / "agent.log", std::string(size, 'a'));
        AgentLog(dir / "agent.log").append("new\n");
        EXPECT_EQ(testing::readFile(dir / "agent.log"),
                  size == 5'000'000 ? std::string(size, 'a') + "new\n" : "new\n");
    }
    testing::TempDir dir;
    AgentLog log(dir / "Logs/agent.log");
    log.append("lost\n");
    std::filesystem::create_directories(dir / "Logs");
    log.append("kept\n");
    log.append("and more\n");
    EXPECT_EQ(testing::readFile(dir / "Logs/agent.log"), "kept\nand more\n");
}

TEST(PidFile, ParseTable) {
    struct {
        const char* text;
        std::optional<pid_t> pid;
    } cases[] = {{"  1234 \n", 1234},   {"\t+42\n", 42},       {"2147483647", 2147483647},
                 {"1", std::nullopt},   {"-5", std::nullopt},  {"12a", std::nullopt},
                 {"+-5", std::nullopt}, {"1 2", std::nullopt}, {"2147483648", std::nullopt},
                 {" \n", std::nullopt}, {"+", std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(parsePidFile(c.text), c.pid) << '"' << c.text << '"';
    }
}

// Written whole in the file's place; whatever else is found there, reading it neither throws
// nor waits.
TEST(PidFile, AnythingButASmallRegularFileIsIgnored) {
    testing::TempDir dir;
    testing::writeFile(dir / "agent.pid", "old content that is longer");
    ASSERT_TRUE(writePidFile(dir / "agent.pid", 4321));
    EXPECT_EQ(testing::readFile(dir / "agent.pid"), "4321");
    EXPECT_EQ(readPidFile(dir / "agent.pid"), 4321);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

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
