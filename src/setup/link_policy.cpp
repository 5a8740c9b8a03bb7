#include "setup/link_policy.h"

#include "support/url.h"

namespace vantrel {
namespace {

// An address with an authority ("scheme://…") names a host even when the parser refuses it, so
// such an address is never mistaken for a hostless one and kept in the view.
bool hasAuthority(const std::string& url) {
    auto colon = url.find(':');
    return colon != std::string::npos && url.compare(colon, 3, "://") == 0;
}

}  // namespace

LinkDecision decideLink(const std::string& url) {
    auto host = url::host(url);
    if (!host) {
        return url::parses(url) || !hasAuthority(url) ? LinkDecision::stayInView
                                                      : LinkDecision::openOutside;
    }
    if (host->empty() || *host == "127.0.0.1" || *host == "localhost") {
        return LinkDecision::stayInView;
    }
    return LinkDecision::openOutside;
}

}  // namespace vantrel
