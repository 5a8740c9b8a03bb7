#pragma once

#include <optional>
#include <string>

namespace vantrel::url {

// URL parsing on libcurl's parser. An address parses when it is absolute (it has a scheme).
bool parses(const std::string& address);
std::optional<std::string> host(const std::string& address);
std::optional<std::string> scheme(const std::string& address);

}  // namespace vantrel::url
