#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "require.h"
#include "setup/link_policy.h"

using vantrel::decideLink;
using vantrel::fuzz::require;

namespace {

struct Host {
    const char* text;
    bool agents;  // names the loopback address the agent listens on
};

const char* const kSchemes[] = {"http", "https", "ftp", "file", "ws", "x-app"};
const Host kHosts[] = {{"127.0.0.1", true},   {"localhost", true},   {"127.0.0.2", false},
                       {"[::1]", false},      {"localhost.", false}, {"10.0.0.1", false},
                       {"example.com", false}};

// A host from the list, or a name of host characters that starts with a letter, so that it is
// never an address in disguise.
Host drawHost(FuzzedDataProvider& input, std::string& text) {
    if (input.ConsumeBool()) {
        Host host = input.PickValueInArray(kHosts);
        text = host.text;
        return host;
    }
    text = "h";
    for (auto c : input.ConsumeRandomLengthString(24)) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-') {
            text.push_back(c);
        }
    }
    return {text.c_str(), false};
}

// The rest of an address after its authority: a path, query or fragment of printable text.
std::string drawTail(FuzzedDataProvider& input) {
    std::string tail;
    for (auto c : input.ConsumeRandomLengthString(32)) {
        if (c > ' ' && c < 0x7f && c != '\\') {
            tail.push_back(c);
        }
    }
    const char* const starts[] = {"/", "?", "#"};
    return tail.empty() ? tail : input.PickValueInArray(starts) + tail;
}

}  // namespace

// Exactly the agent's own host stays in the view, on any scheme, port, user or path; every other
// host opens outside; free text is decided without failing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string scheme = input.PickValueInArray(kSchemes);
    // A file address names at most a host, no user or port, and always a path.
    const bool file = scheme == "file";
    const std::string user = input.ConsumeBool() && !file ? "user@" : "";
    std::string hostText;
    const Host host = drawHost(input, hostText);
    const std::string port = input.ConsumeBool() && !file
                                 ? ":" + std::to_string(input.ConsumeIntegralInRange(1, 65535))
                                 : "";
    const std::string tail = (file ? "/" : "") + drawTail(input);
    const std::string url = scheme + "://" + user + hostText + port + tail;
    const bool stays = decideLink(url) == vantrel::LinkDecision::stayInView;
    require(stays == host.agents, "exactly the agent's own host stays in the view", url);

    const std::string text = input.ConsumeRemainingBytesAsString();
    decideLink(text);
    return 0;
}
