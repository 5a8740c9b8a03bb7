#include "agent/status_line.h"

#include <locale.h>
#include <cstdio>
#include <cstdlib>
#include <map>

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

std::string withoutKilowatts(std::string_view value) {
    std::string result;
    result.reserve(value.size());
    for (size_t i = 0; i < value.size();) {
        if (value.compare(i, 2, "kW") == 0) {
            i += 2;
        } else {
            result += value[i++];
        }
    }
    return result;
}

locale_t posixLocale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return locale;
}

std::optional<double> parseNumber(const std::string& text) {
    // strtod would skip leading white space; the protocol refuses it.
    if (text.empty() || std::string_view(" \t\n\v\f\r").find(text[0]) != std::string_view::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    double value = strtod_l(text.c_str(), &end, posixLocale());
    if (end != text.c_str() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string formatted(const char* format, double value) {
    // printf's decimal point follows the thread's locale; the label always uses ".".
    locale_t previous = uselocale(posixLocale());
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, value);
    uselocale(previous);
    return buffer;
}

std::map<std::string_view, std::string_view> fields(std::string_view line) {
    std::map<std::string_view, std::string_view> recorded;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        std::string_view piece = line.substr(start, end - start);
        piece.remove_prefix(std::min(piece.find_first_not_of('='), piece.size()));
        if (size_t equals = piece.find('='); equals != std::string_view::npos) {
            std::string_view value = piece.substr(equals + 1);
            if (!value.empty()) {
                recorded[piece.substr(0, equals)] = value;
            }
        }
        start = end + 1;
    }
    return recorded;
}

std::string statusLabel(std::string_view line) {
    auto recorded = fields(line);
    auto pv = recorded.find("pv");
    std::string production = pv != recorded.end() ? withoutKilowatts(pv->second) : "?";
    std::string label = "Solar " + production + " kW";
    auto grid = recorded.find("grid");
    if (grid == recorded.end()) {
        return label;
    }
    auto value = parseNumber(withoutKilowatts(grid->second));
    if (!value) {
        return label;
    }
    std::string phrase = *value < 0 ? formatted("exporting %.2f kW", -*value)
                                    : formatted("importing %.2f kW", *value);
    return label + " \u00B7 " + phrase;
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
