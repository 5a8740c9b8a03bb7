#include "agent/status_line.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace vantrel {
namespace {

// Writes value without any "kW" at out (which has room for all of value); returns the new end.
char* copyWithoutKilowatts(char* out, std::string_view value) {
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == 'k' && i + 1 < value.size() && value[i + 1] == 'W') {
            ++i;
        } else {
            *out++ = value[i];
        }
    }
    return out;
}

std::string withoutKilowatts(std::string_view value) {
    std::string result(value.size(), '\0');
    result.resize(static_cast<size_t>(copyWithoutKilowatts(result.data(), value) - result.data()));
    return result;
}

locale_t posixLocale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return locale;
}

// strtod's rules in the POSIX locale; the common decimal forms take the locale-free fast path.
std::optional<double> parseNumber(const std::string& text) {
    // strtod would skip leading white space; the protocol refuses it.
    if (text.empty() || std::string_view(" \t\n\v\f\r").find(text[0]) != std::string_view::npos) {
        return std::nullopt;
    }
    const char* end = text.data() + text.size();
    double value = 0;
    if (auto [stop, error] = std::from_chars(text.data(), end, value);
        error == std::errc() && stop == end) {
        return value;
    }
    char* stop = nullptr;
    value = strtod_l(text.c_str(), &stop, posixLocale());
    if (stop != end) {
        return std::nullopt;
    }
    return value;
}

// Room for "Solar ", " kW", the phrase and the longest "%.2f" of a double (309 digits and more).
constexpr size_t kLongestGridPhrase = 400;

char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// printf's "%.2f", always with "." as the decimal point. A finite, non-negative value below 2^56
// times 100 is exact in a long double of 64 bits or more, so rounding that product to an integer
// rounds exactly as printf does; anything else takes the general conversion.
char* putTwoDecimals(char* out, double value) {
    constexpr bool wideEnough = std::numeric_limits<long double>::digits >= 64;
    if (!wideEnough || !std::isfinite(value) || std::signbit(value) || value >= 7e16) {
        return std::to_chars(out, out + 330, value, std::chars_format::fixed, 2).ptr;
    }
    auto hundredths =
        static_cast<std::uint64_t>(std::llrint(static_cast<long double>(value) * 100));
    out = std::to_chars(out, out + 20, hundredths / 100).ptr;
    *out++ = '.';
    *out++ = static_cast<char>('0' + hundredths / 10 % 10);
    *out++ = static_cast<char>('0' + hundredths % 10);
    return out;
}

struct Fields {
    std::optional<std::string_view> pv;
    std::optional<std::string_view> grid;
};

// Pieces between spaces; "=" at a piece's start dropped; the key is the text before the first
// "="; an empty value is not recorded; a later value replaces an earlier one.
Fields fields(std::string_view line) {
    Fields recorded;
    while (!line.empty()) {
        size_t space = std::min(line.find(' '), line.size());
        std::string_view piece = line.substr(0, space);
        line.remove_prefix(std::min(space + 1, line.size()));
        while (piece.starts_with('=')) {
            piece.remove_prefix(1);
        }
        size_t equals = piece.find('=');
        if (equals == std::string_view::npos || equals + 1 == piece.size()) {
            continue;
        }
        std::string_view key = piece.substr(0, equals), value = piece.substr(equals + 1);
        if (key == "pv") {
            recorded.pv = value;
        } else if (key == "grid") {
            recorded.grid = value;
        }
    }
    return recorded;
}

// The label is written into one buffer sized for the longest outcome, then cut to length.
std::string statusLabel(std::string_view line) {
    auto recorded = fields(line);
    std::optional<double> grid;
    if (recorded.grid) {
        grid = parseNumber(withoutKilowatts(*recorded.grid));
    }
    std::string label(line.size() + kLongestGridPhrase, '\0');
    char* out = put(label.data(), "Solar ");
    out = recorded.pv ? copyWithoutKilowatts(out, *recorded.pv) : put(out, "?");
    out = put(out, " kW");
    if (grid) {
        out = put(out, *grid < 0 ? " \u00B7 exporting " : " \u00B7 importing ");
        out = putTwoDecimals(out, *grid < 0 ? -*grid : *grid);
        out = put(out, " kW");
    }
    label.resize(static_cast<size_t>(out - label.data()));
    return label;
}

}  // namespace

std::optional<LineMeaning> readLine(std::string_view line) {
    if (!mayMatter(line)) {
        return std::nullopt;
    }
    std::string_view text = trimmed(line);
    if (text.starts_with("pv=")) {
        return LineMeaning{LineMeaning::Kind::status, statusLabel(text)};
    }
    if (text.starts_with("Waiting to be paired") || text.starts_with("Waiting for equipment")) {
        return LineMeaning{LineMeaning::Kind::waiting, {}};
    }
    return std::nullopt;
}

}  // namespace vantrel
