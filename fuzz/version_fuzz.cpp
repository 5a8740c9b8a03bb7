#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "require.h"
#include "update/version.h"

using vantrel::isNewerVersion;
using vantrel::fuzz::require;

namespace {

bool same(const std::string& a, const std::string& b) {
    return !isNewerVersion(a, b) && !isNewerVersion(b, a);
}

}  // namespace

// Version comparison is a strict order on the dotted numbers, deaf to empty pieces and trailing
// zeros.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string a = input.ConsumeRandomLengthString(64);
    const std::string b = input.ConsumeRandomLengthString(64);
    const std::string c = input.ConsumeRemainingBytesAsString();

    require(!isNewerVersion(a, a), "a version is not newer than itself");
    require(!(isNewerVersion(a, b) && isNewerVersion(b, a)), "newer is antisymmetric");
    if (isNewerVersion(a, b) && isNewerVersion(b, c)) {
        require(isNewerVersion(a, c), "newer is transitive");
    }
    if (same(a, b) && same(b, c)) {
        require(same(a, c), "equal versions are transitively equal");
    }
    if (same(a, b)) {
        require(isNewerVersion(a, c) == isNewerVersion(b, c) &&
                    isNewerVersion(c, a) == isNewerVersion(c, b),
                "equal versions compare alike with any third");
    }
    require(same(a, a + ".0") && same(a, "." + a) && same(a, a + ".."),
            "empty pieces and a trailing zero change nothing");
    require(isNewerVersion(a + ".1", a) && !isNewerVersion(a, a + ".1"),
            "one more positive piece is newer");
    require(same(a + ".x", a + ".0"), "a piece that is not a number counts as zero");
    return 0;
}
