#include "menubar/autostart_entry.h"

#include <sstream>

namespace vantrel {
namespace {

constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
// Inside double quotes these four still need a backslash.
constexpr std::string_view kEscapedInQuotes = "\"`$\\";

// The escapes every string value of a desktop entry uses, applied after quoting.
std::string escapeValue(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string unescapeValue(std::string_view text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        switch (text[++i]) {
            case 's':
                plain += ' ';
                break;
            case 'n':
                plain += '\n';
                break;
            case 't':
                plain += '\t';
                break;
            case 'r':
                plain += '\r';
                break;
            default:
                plain += text[i];
        }
    }
    return plain;
}

std::string unescapePercent(std::string_view text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        plain += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') {
            ++i;
        }
    }
    return plain;
}

// The first argument of an (already unescaped) Exec value; nothing for an unterminated quote.
std::optional<std::string> firstArgument(std::string_view exec) {
    size_t i = exec.find_first_not_of(' ');
    if (i == std::string_view::npos) {
        return std::nullopt;
    }
    if (exec[i] != '"') {
        auto end = exec.find(' ', i);
        return unescapePercent(exec.substr(i, end == std::string_view::npos ? end : end - i));
    }
    std::string argument;
    for (++i; i < exec.size(); ++i) {
        if (exec[i] == '"') {
            return unescapePercent(argument);
        }
        if (exec[i] == '\\' && i + 1 < exec.size()) {
            ++i;
        }
        argument += exec[i];
    }
    return std::nullopt;
}

}  // namespace

std::string quoteExecArgument(std::string_view argument) {
    std::string percent;
    for (char c : argument) {
        percent += c;
        if (c == '%') {
            percent += '%';
        }
    }
    if (!argument.empty() && argument.find_first_of(kReserved) == std::string_view::npos) {
        return percent;
    }
    std::string quoted = "\"";
    for (char c : percent) {
        if (kEscapedInQuotes.find(c) != std::string_view::npos) {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string autostartEntry(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vantrel Agent\n"
           "Comment=Keeps the Vantrel agent running\n"
           "Exec=" +
           escapeValue(quoteExecArgument(executable.string()) + " --login-item") +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::optional<std::string> autostartProgram(std::string_view entry) {
    std::istringstream lines{std::string(entry)};
    std::string line;
    bool inMainGroup = false;
    while (std::getline(lines, line)) {
        if (line.starts_with("[")) {
            inMainGroup = line == "[Desktop Entry]";
        } else if (inMainGroup && line.starts_with("Exec=")) {
            return firstArgument(unescapeValue(std::string_view(line).substr(5)));
        }
    }
    return std::nullopt;
}

}  // namespace vantrel
