#include "agent/agent_log.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vantrel {
namespace {

// The file is cut only past five million bytes; a folder made late loses only what came before.
TEST(AgentLog, TheSizeLimitAppliesOnlyPastFiveMillionBytes) {
    for (size_t size : {size_t{5'000'000}, size_t{5'000'001}}) {
        testing::TempDir dir;
        testing::writeFile(dir / "agent.log", std::string(size, 'a'));
        AgentLog log(dir / "agent.log");
        log.append("new\n");
        auto content = testing::readFile(dir / "agent.log");
        EXPECT_EQ(content, size == 5'000'000 ? std::string(size, 'a') + "new\n" : "new\n");
    }
    testing::TempDir dir;
    AgentLog log(dir / "Logs/agent.log");
    log.append("lost\n");
    std::filesystem::create_directories(dir / "Logs");
    log.append("kept\n");
    log.append("and more\n");
    EXPECT_EQ(testing::readFile(dir / "Logs/agent.log"), "kept\nand more\n");
}

}  // namespace
}  // namespace vantrel
