#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vantrel::fuzz {

// A broken invariant: libFuzzer sees the abort as a crash and keeps the input that caused it;
// `subject` names the value it was broken for.
inline void require(bool holds, const char* invariant, std::string_view subject = {}) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s [%.*s]\n", invariant,
                     static_cast<int>(subject.size()), subject.data());
        std::abort();
    }
}

}  // namespace vantrel::fuzz
