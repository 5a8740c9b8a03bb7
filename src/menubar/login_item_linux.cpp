#include <cerrno>
#include <system_error>

#include "menubar/autostart_entry.h"
#include "menubar/login_item.h"
#include "support/atomic_file.h"
#include "support/error_text.h"
#include "support/file_io.h"
#include "support/paths.h"

namespace vantrel {
namespace {

// Worked out afresh at each use, so that a changed environment is followed.
std::filesystem::path autostartFile() {
    return Paths::configuration() / "autostart" / "vantrel-agent.desktop";
}

// An XDG autostart entry that runs this executable.
class AutostartLoginItem final : public LoginItem {
  public:
    explicit AutostartLoginItem(std::filesystem::path executable)
        : executable_(std::move(executable)) {}

    bool isEnabled() const override {
        auto text = readWholeFile(autostartFile());
        return text && autostartProgram(*text) == executable_.string();
    }

    std::optional<std::string> enable() override {
        auto file = autostartFile();
        std::error_code error;
        std::filesystem::create_directories(file.parent_path(), error);
        if (error) {
            return error.message();
        }
        if (!writeFileAtomically(file, autostartEntry(executable_))) {
            return describe(errno);
        }
        return std::nullopt;
    }

    std::optional<std::string> disable() override {
        std::error_code error;
        std::filesystem::remove(autostartFile(), error);
        if (error) {
            return error.message();
        }
        return std::nullopt;
    }

  private:
    const std::filesystem::path executable_;
};

}  // namespace

std::unique_ptr<LoginItem> makeLoginItem(std::filesystem::path executable) {
    return std::make_unique<AutostartLoginItem>(std::move(executable));
}

}  // namespace vantrel
