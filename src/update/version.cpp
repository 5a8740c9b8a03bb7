#include "update/version.h"

#include <algorithm>
#include <charconv>

namespace vantrel {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// An optional single sign, then one or more ASCII digits and nothing else; anything else is 0.
std::int64_t pieceNumber(std::string_view piece) {
    std::string_view digits = piece;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) {
        return 0;
    }
    // from_chars takes a minus but not a plus, and the plus adds nothing.
    std::string_view text = piece.front() == '+' ? digits : piece;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

}  // namespace

std::vector<std::int64_t> versionNumbers(std::string_view version) {
    std::vector<std::int64_t> numbers;
    while (!version.empty()) {
        auto dot = version.find('.');
        auto piece = version.substr(0, dot);
        if (!piece.empty()) {
            numbers.push_back(pieceNumber(piece));
        }
        version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
    }
    return numbers;
}

bool isNewerVersion(std::string_view manifestVersion, std::string_view installedVersion) {
    auto manifest = versionNumbers(manifestVersion);
    auto installed = versionNumbers(installedVersion);
    for (size_t i = 0; i < std::max(manifest.size(), installed.size()); ++i) {
        std::int64_t left = i < manifest.size() ? manifest[i] : 0;
        std::int64_t right = i < installed.size() ? installed[i] : 0;
        if (left != right) {
            return left > right;
        }
    }
    return false;
}

}  // namespace vantrel
