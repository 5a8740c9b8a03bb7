// The status-line reader against a plain reading of the protocol: fields in a map, the grid
// value by strtod and the phrase by snprintf, both in the POSIX locale. Every line must give the
// same meaning and, for a status line, byte for byte the same label.
#include <locale.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "agent/status_line.h"

namespace {

locale_t posix() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return locale;
}

std::string withoutKilowatts(std::string_view value) {
    std::string result;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value.substr(i, 2) == "kW") {
            ++i;
        } else {
            result += value[i];
        }
    }
    return result;
}

std::string expectedLabel(std::string_view line) {
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = std::min(line.find(' ', start), line.size());
        std::string piece(line.substr(start, end - start));
        piece.erase(0, std::min(piece.find_first_not_of('='), piece.size()));
        size_t equals = piece.find('=');
        if (equals != std::string::npos && equals + 1 < piece.size()) {
            fields[piece.substr(0, equals)] = piece.substr(equals + 1);
        }
        start = end + 1;
    }
    std::string label =
        "Solar " + (fields.count("pv") ? withoutKilowatts(fields["pv"]) : "?") + " kW";
    if (!fields.count("grid")) {
        return label;
    }
    std::string grid = withoutKilowatts(fields["grid"]);
    if (grid.empty() || std::string_view(" \t\n\v\f\r").find(grid[0]) != std::string_view::npos) {
        return label;
    }
    char* end = nullptr;
    double value = strtod_l(grid.c_str(), &end, posix());
    if (end != grid.c_str() + grid.size()) {
        return label;
    }
    locale_t previous = uselocale(posix());
    char phrase[512];
    std::snprintf(phrase, sizeof phrase, value < 0 ? "exporting %.2f kW" : "importing %.2f kW",
                  value < 0 ? -value : value);
    uselocale(previous);
    return label + " \u00B7 " + phrase;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    if (line.find('\n') != std::string_view::npos || line.find('\0') != std::string_view::npos) {
        return 0;
    }
    auto meaning = vantrel::readLine(line);
    std::string_view text = vantrel::trimmed(line);
    if (text.starts_with("pv=")) {
        if (!meaning || meaning->kind != vantrel::LineMeaning::Kind::status ||
            meaning->label != expectedLabel(text)) {
            std::abort();
        }
    } else if (text.starts_with("Waiting to be paired") ||
               text.starts_with("Waiting for equipment")) {
        if (!meaning || meaning->kind != vantrel::LineMeaning::Kind::waiting) {
            std::abort();
        }
    } else if (meaning) {
        std::abort();
    }
    return 0;
}
