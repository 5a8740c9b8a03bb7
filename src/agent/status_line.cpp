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

char* putHundredths(char* out, std::uint64_t hundredths) {
    out = std::to_chars(out, out + 20, hundredths / 100).ptr;
    *out++ = '.';
    *out++ = static_cast<char>('0' + hundredths / 10 % 10);
    *out++ = static_cast<char>('0' + hundredths % 10);
    return out;
}

// printf's "%.2f", always with "." as the decimal point. A finite, non-negative value below 2^56
// times 100 is exact in a long double of 64 bits or more, so rounding that product to an integer
// rounds exactly as printf does; anything else takes the general conversion.
char* putTwoDecimals(char* out, double value) {
    constexpr bool wideEnough = std::numeric_limits<long double>::digits >= 64;
    if (!wideEnough || !std::isfinite(value) || std::signbit(value) || value >= 7e16) {
        return std::to_chars(out, out + 330, value, std::chars_format::fixed, 2).ptr;
    }
    return putHundredths(
        out, static_cast<std::uint64_t>(std::llrint(static_cast<long double>(value) * 100)));
}

struct Fields {
    std::optional<std::string_view> pv;
    std::optional<std::string_view> grid;
};

// Pieces between spaces; "=" at a piece's start dropped; the key is the text before the first
// "=" (so "pv=" starts a pv piece); an empty value is not recorded; a later value replaces an
// earlier one.
Fields fields(std::string_view line) {
    Fields recorded;
    while (!line.empty()) {
        size_t space = std::min(line.find(' '), line.size());
        std::string_view piece = line.substr(0, space);
        line.remove_prefix(std::min(space + 1, line.size()));
        while (piece.starts_with('=')) {
            piece.remove_prefix(1);
        }
        if (piece.size() > 3 && piece.starts_with("pv=")) {
            recorded.pv = piece.substr(3);
        } else if (piece.size() > 5 && piece.starts_with("grid=")) {
            recorded.grid = piece.substr(5);
        }
    }
    return recorded;
}

// The magnitude in hundredths and the sign of a plain decimal ("-12.345", "kW" anywhere skipped),
// when its digits alone decide "%.2f" of the double strtod gives. With at most 15 digits, counting
// two decimals at least, the double lies nearer to the text than any rounding boundary does,
// unless the text lies exactly on one. Anything else is left to the general conversion.
struct Hundredths {
    std::uint64_t magnitude;
    bool negative;
};

std::optional<Hundredths> plainHundredths(std::string_view text) {
    bool negative = text.starts_with('-');
    std::uint64_t number = 0;
    size_t digits = 0, decimals = 0;
    bool point = false;
    for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
        if (unsigned digit = static_cast<unsigned char>(text[i]) - '0'; digit <= 9) {
            number = number * 10 + digit;
            ++digits;
            decimals += point ? 1 : 0;
        } else if (text[i] == 'k' && i + 1 < text.size() && text[i + 1] == 'W') {
            ++i;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    // Minus zero is printed with its sign: the general conversion writes it.
    if (digits == 0 || digits + (decimals < 2 ? 2 - decimals : 0) > 15 ||
        (negative && number == 0)) {
        return std::nullopt;
    }
    std::uint64_t unit = 1;
    for (; decimals > 2; --decimals) {
        unit *= 10;
    }
    for (; decimals < 2; ++decimals) {
        number *= 10;
    }
    std::uint64_t rest = number % unit;
    if (2 * rest == unit) {
        return std::nullopt;  // exactly half way: the double's own bits decide
    }
    return Hundredths{number / unit + (2 * rest > unit ? 1 : 0), negative};
}

// " · exporting 1.23 kW" or " · importing …" for a grid value that is a number, else nothing.
char* putGrid(char* out, std::string_view value) {
    if (auto hundredths = plainHundredths(value)) {
        out = put(out, hundredths->negative ? " \u00B7 exporting " : " \u00B7 importing ");
        return put(putHundredths(out, hundredths->magnitude), " kW");
    }
    auto grid = parseNumber(withoutKilowatts(value));
    if (!grid) {
        return out;
    }
    out = put(out, *grid < 0 ? " \u00B7 exporting " : " \u00B7 importing ");
    return put(putTwoDecimals(out, *grid < 0 ? -*grid : *grid), " kW");
}

// The label is written into a buffer sized for the longest outcome (on the stack for the usual
// short line), then copied out at its length.
std::string statusLabel(std::string_view line) {
    auto recorded = fields(line);
    char small[512];
    std::string large;
    char* begin = small;
    if (line.size() + kLongestGridPhrase > sizeof small) {
        large.resize(line.size() + kLongestGridPhrase);
        begin = large.data();
    }
    char* out = put(begin, "Solar ");
    out = recorded.pv ? copyWithoutKilowatts(out, *recorded.pv) : put(out, "?");
    out = put(out, " kW");
    if (recorded.grid) {
        out = putGrid(out, *recorded.grid);
    }
    return std::string(begin, out);
}

}  // namespace

std::optional<LineMeaning> readLine(std::string_view line) {
    if (!mayMatter(line)) {
        return std::nullopt;
    }
    // A line that starts with a letter and ends in an ASCII byte other than a blank needs no
    // trimming.
    auto last = static_cast<unsigned char>(line.back());
    bool bare = (line[0] == 'p' || line[0] == 'W') && last < 0x80 && last != ' ' && last != '\t';
    std::string_view text = bare ? line : trimmed(line);
    if (text.starts_with("pv=")) {
        return LineMeaning{LineMeaning::Kind::status, statusLabel(text)};
    }
    if (text.starts_with("Waiting to be paired") || text.starts_with("Waiting for equipment")) {
        return LineMeaning{LineMeaning::Kind::waiting, {}};
    }
    return std::nullopt;
}

}  // namespace vantrel
