#include <cerrno>
#include <system_error>

#include "menubar/autostart_entry.h"
#include "menubar/login_item.h"
#include "support/atomic_file.h"
#include "support/error_text.h"
#include "support/file_io.h"

namespace vantrel {
namespace {

// An XDG autostart entry that runs this executable.
class AutostartLoginItem final : public LoginItem {
  public:
    AutostartLoginItem(std::filesystem::path executable, std::filesystem::path entry)
        : executable_(std::move(executable)), entry_(std::move(entry)) {}

    bool isEnabled() const override {
        auto text = readWholeFile(entry_);
        return text && autostartProgram(*text) == executable_.string();
    }

    std::optional<std::string> enable() override {
        const auto& file = entry_;
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
        std::filesystem::remove(entry_, error);
        if (error) {
            return error.message();
        }
        return std::nullopt;
    }

  private:
    const std::filesystem::path executable_;
    const std::filesystem::path entry_;
};

}  // namespace

std::unique_ptr<LoginItem> makeLoginItem(std::filesystem::path executable,
                                         std::filesystem::path entry) {
    return std::make_unique<AutostartLoginItem>(std::move(executable), std::move(entry));
}

}  // namespace vantrel
