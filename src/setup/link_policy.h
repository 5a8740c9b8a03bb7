#pragma once

#include <string>

namespace vantrel {

enum class LinkDecision { stayInView, openOutside };

// Where a navigation to `url` belongs: the agent's own pages (no host, or exactly "127.0.0.1" or
// "localhost" on any port and scheme) stay in the setup window; everything else opens outside.
LinkDecision decideLink(const std::string& url);

}  // namespace vantrel
