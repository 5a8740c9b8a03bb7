#include "update/checksum.h"

namespace vantrel {

bool digestMatches(const ShellResult& checksum, std::string_view expected) {
    if (checksum.status != 0) {
        return false;
    }
    // Only the space separates pieces: a digest followed by a tab or a line break is no match.
    std::string_view output = checksum.output;
    size_t start = output.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        return false;
    }
    size_t end = output.find(' ', start);
    return output.substr(start, end - start) == expected;
}

bool checksumMatches(const std::filesystem::path& file, std::string_view expected,
                     const std::string& tool) {
    return digestMatches(shell(tool, {"-a", "256", file.string()}), expected);
}

}  // namespace vantrel
