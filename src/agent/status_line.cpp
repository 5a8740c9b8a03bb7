#include "agent/status_line.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace vantrel {
namespace {

// Length of the white-space character at the start of text, or 0.
size_t spaceAtStart(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.empty()) {
        return 0;
    }
    if (text[0] == ' ' || text[0] == '\t') {
        return 1;
    }
    if (text.size() >= 2 && byte(0) == 0xC2 && byte(1) == 0xA0) {
        return 2;  // U+00A0
    }
    if (text.size() < 3) {
        return 0;
    }
    unsigned a = byte(0), b = byte(1), c = byte(2);
    bool space = (a == 0xE1 && b == 0x9A && c == 0x80) ||                 // U+1680
                 (a == 0xE2 && b == 0x80 && (c <= 0x8A || c == 0xAF)) ||  // U+2000–200A, U+202F
                 (a == 0xE2 && b == 0x81 && c == 0x9F) ||                 // U+205F
                 (a == 0xE3 && b == 0x80 && c == 0x80);                   // U+3000
    return space ? 3 : 0;
}

// Length of the white-space character that ends text, or 0.
size_t spaceAtEnd(std::string_view text) {
    for (size_t length : {1u, 2u, 3u}) {
        if (text.size() >= length && spaceAtStart(text.substr(text.size() - length)) == length) {
            return length;
        }
    }
    return 0;
}

void appendWithoutKilowatts(std::string& out, std::string_view value) {
    for (size_t found; (found = value.find("kW")) != std::string_view::npos;) {
        out.append(value.substr(0, found));
        value.remove_prefix(found + 2);
    }
    out.append(value);
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

// printf's "%.2f", always with "." as the decimal point.
void appendTwoDecimals(std::string& out, double value) {
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    out.append(buffer, result.ptr);
}

struct Fields {
    std::optional<std::string_view> pv;
    std::optional<std::string_view> grid;
};

Fields fields(std::string_view line) {
    Fields recorded;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        std::string_view piece = line.substr(start, end - start);
        piece.remove_prefix(std::min(piece.find_first_not_of('='), piece.size()));
        if (size_t equals = piece.find('='); equals != std::string_view::npos) {
            std::string_view key = piece.substr(0, equals), value = piece.substr(equals + 1);
            if (!value.empty() && key == "pv") {
                recorded.pv = value;
            } else if (!value.empty() && key == "grid") {
                recorded.grid = value;
            }
        }
        start = end + 1;
    }
    return recorded;
}

std::string statusLabel(std::string_view line) {
    auto recorded = fields(line);
    std::string label = "Solar ";
    if (recorded.pv) {
        appendWithoutKilowatts(label, *recorded.pv);
    } else {
        label += '?';
    }
    label += " kW";
    if (!recorded.grid) {
        return label;
    }
    std::string grid;
    appendWithoutKilowatts(grid, *recorded.grid);
    auto value = parseNumber(grid);
    if (!value) {
        return label;
    }
    label += *value < 0 ? " \u00B7 exporting " : " \u00B7 importing ";
    appendTwoDecimals(label, *value < 0 ? -*value : *value);
    label += " kW";
    return label;
}

// A line that trims to one starting with "p" or "W" can only start with one of these bytes:
// the ASCII letters themselves, space, tab, or the lead byte of a wider space separator.
bool mayMatter(std::string_view line) {
    if (line.empty()) {
        return false;
    }
    switch (static_cast<unsigned char>(line[0])) {
        case 'p':
        case 'W':
        case ' ':
        case '\t':
        case 0xC2:
        case 0xE1:
        case 0xE2:
        case 0xE3:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string_view trimmed(std::string_view line) {
    while (size_t length = spaceAtStart(line)) {
        line.remove_prefix(length);
    }
    while (size_t length = spaceAtEnd(line)) {
        line.remove_suffix(length);
    }
    return line;
}

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
