// State equality: an equivalence that follows the texts' canonical (NFC) forms, byte for byte,
// U+0000 included; text that is not valid UTF-8 equals only itself.
#include <fuzzer/FuzzedDataProvider.h>
#include <utf8proc.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "agent/agent_state.h"

namespace {

using vantrel::AgentState;

// NFC by the library's own whole-string call, independently of how equality reaches it.
std::optional<std::string> nfc(const std::string& text) {
    utf8proc_uint8_t* out = nullptr;
    auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                               static_cast<utf8proc_ssize_t>(text.size()), &out,
                               static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0) {
        return std::nullopt;
    }
    std::string result(reinterpret_cast<char*>(out), static_cast<size_t>(length));
    std::free(out);
    return result;
}

bool expectedEqual(const std::string& a, const std::string& b) {
    auto na = nfc(a);
    auto nb = nfc(b);
    if (!na || !nb) {
        return a == b;
    }
    return *na == *nb;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string prefix = input.ConsumeRandomLengthString(64);
    std::string a = input.ConsumeRandomLengthString(256);
    std::string b = input.ConsumeRemainingBytesAsString();

    for (auto make : {&AgentState::reading, &AgentState::stopped}) {
        AgentState x = make(a), y = make(b);
        check(x == x && y == y);
        check((x == y) == (y == x));
        check((x == y) == expectedEqual(a, b));
        // A NUL starts a new character: what follows it decides as much as what precedes it.
        std::string nul(1, '\0');
        check((make(prefix + nul + a) == make(prefix + nul + b)) == (x == y));
        check(make(a + nul) != make(a + nul + nul));
        check(x.menuText().size() >= a.size());
    }
    check(AgentState::reading(a) != AgentState::stopped(a));
    check(AgentState::starting() != AgentState::reading(a));
    return 0;
}
