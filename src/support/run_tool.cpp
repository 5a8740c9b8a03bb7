#include "support/run_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/child_process.h"
#include "support/unique_fd.h"
#include "support/utf8_stream.h"

namespace vantrel {
namespace {

std::string readToEnd(int fd) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return bytes;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

// Tools see an environment of our making, so that nothing the user's shell sets (GZIP,
// LD_PRELOAD, a locale) changes what they do or how they say it.
const std::vector<std::string> kToolEnvironment{"PATH=/usr/local/bin:/usr/bin:/bin", "LC_ALL=C"};

}  // namespace

ToolResult runTool(const std::string& tool, const std::vector<std::string>& arguments, int input) {
    auto [readEnd, writeEnd] = makePipe(O_CLOEXEC);
    if (!readEnd.valid()) {
        return {};
    }
    auto started = ChildProcess::spawn({.executable = tool,
                                        .arguments = arguments,
                                        .environment = kToolEnvironment,
                                        .output = writeEnd.get(),
                                        .input = input});
    writeEnd.reset();
    if (!started.child) {
        return {};
    }
    // Read first: a tool that fills the pipe would otherwise never exit.
    std::string bytes = readToEnd(readEnd.get());
    int status = started.child->wait();
    if (incompleteTail(bytes) != size_t{0}) {
        bytes.clear();
    }
    return {status, std::move(bytes)};
}

}  // namespace vantrel
