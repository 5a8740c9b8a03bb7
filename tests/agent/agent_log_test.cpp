#include "agent/agent_log.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

TEST(AgentLog, TheSizeLimitAppliesOnlyPastFiveMillionBytes) {
    for (size_t size : {size_t{5'000'000}, size_t{5'000'001}}) {
        testing::TempDir dir;
        auto path = dir / "agent.log";
        testing::writeFile(path, std::string(size, 'a'));
        AgentLog log(path);
        log.append("new\n");
        auto content = testing::readFile(path);
        if (size == 5'000'000) {
            EXPECT_EQ(content.size(), size + 4);
            EXPECT_EQ(content.substr(size), "new\n");
        } else {
            EXPECT_EQ(content, "new\n");
        }
    }
}

TEST(AgentLog, KeepsAppendingAfterOpeningOnce) {
    testing::TempDir dir;
    AgentLog log(dir / "agent.log");
    log.append("a");
    testing::writeFile(dir / "other", "x");
    log.append("b\n");
    EXPECT_EQ(testing::readFile(dir / "agent.log"), "ab\n");
}

TEST(AgentLog, AMissingFolderLosesOnlyWhatCameBeforeIt) {
    testing::TempDir dir;
    AgentLog log(dir / "Logs/agent.log");
    log.append("lost\n");
    std::filesystem::create_directories(dir / "Logs");
    log.append("kept\n");
    EXPECT_EQ(testing::readFile(dir / "Logs/agent.log"), "kept\n");
}

}  // namespace
}  // namespace vantrel
