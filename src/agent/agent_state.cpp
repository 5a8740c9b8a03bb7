#include "agent/agent_state.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace vantrel {
namespace {

// Text below U+0300 (every byte below 0xCC) holds no combining mark and no character with a
// singleton decomposition, so it is already in normal form.
bool alreadyNormal(const std::string& text) {
    for (unsigned char c : text) {
        if (c >= 0xCC) {
            return false;
        }
    }
    return true;
}

// The whole text, U+0000 included; text that is not valid UTF-8 stays as it is.
std::string normalized(const std::string& text) {
    utf8proc_uint8_t* nfc = nullptr;
    utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &nfc,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(nfc, &std::free);
    if (length < 0 || !nfc) {
        return text;
    }
    return std::string(reinterpret_cast<const char*>(nfc), static_cast<size_t>(length));
}

bool canonicallyEqual(const std::string& a, const std::string& b) {
    if (a == b) {
        return true;
    }
    // Differing bytes of text already in normal form mean differing text.
    if (alreadyNormal(a) && alreadyNormal(b)) {
        return false;
    }
    return normalized(a) == normalized(b);
}

}  // namespace

std::string AgentState::menuText() const {
    switch (kind_) {
        case Kind::reading:
            return text_;
        case Kind::stopped:
            return "Stopped \u2014 " + text_;
        case Kind::starting:
            return "Starting\u2026";
        case Kind::waitingToPair:
            return "Waiting to be paired";
    }
    return {};
}

bool operator==(const AgentState& a, const AgentState& b) {
    if (a.kind_ != b.kind_) {
        return false;
    }
    return (a.kind_ != AgentState::Kind::reading && a.kind_ != AgentState::Kind::stopped) ||
           canonicallyEqual(a.text_, b.text_);
}

}  // namespace vantrel
