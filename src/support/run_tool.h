#pragma once

#include <string>
#include <vector>

namespace vantrel {

struct ToolResult {
    int status = -1;     // the exit status; -1 when the tool could not be started
    std::string output;  // standard output and error together; "" when not valid UTF-8
};

// Runs a system tool with one pipe for its standard output and error, reads that pipe to its end
// and only then waits for the tool. Blocking; the tool gets an environment of its own (a fixed
// PATH, the C locale, HOME) and inherits our working folder but none of our descriptors besides
// standard input, or `input` in its place.
ToolResult runTool(const std::string& tool, const std::vector<std::string>& arguments,
                   int input = -1);

}  // namespace vantrel
