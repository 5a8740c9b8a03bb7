#include <set>
#include <string>

#include "support/offered_file_name.h"
#include "require.h"
#include "setup/download_naming.h"

using vantrel::fuzz::require;

namespace {

bool isSafeComponent(const std::string& name) {
    return !name.empty() && name.front() != '.' &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// A suggestion that is already a safe name is kept as it is.
bool keptWhenSafe(const std::string& suggested, const std::string& name) {
    return !isSafeComponent(suggested) || name == suggested;
}

}  // namespace

// Whatever the agent or the web page suggests, the names written to are single safe path
// components inside the chosen folder, and the numbered alternatives are all different.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string suggested(reinterpret_cast<const char*>(data), size);

    const auto name = vantrel::offeredFileName(suggested);
    require(isSafeComponent(name), "the name is one safe path component", suggested);
    require(keptWhenSafe(suggested, name), "a safe name is kept", suggested);

    const auto candidates = vantrel::downloadCandidates(name);
    require(candidates.size() == 99 && candidates.front() == name, "the name itself, then 2 to 99");
    for (const auto& candidate : candidates) {
        require(isSafeComponent(candidate), "every numbered name is one safe path component");
    }
    require(std::set<std::string>(candidates.begin(), candidates.end()).size() == candidates.size(),
            "the numbered names are all different");
    return 0;
}
