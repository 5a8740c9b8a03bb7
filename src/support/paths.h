#pragma once

#include <filesystem>

namespace vantrel {

// Every file-system location the application uses, computed afresh at each call.
// The resources come from the bundle; the per-user folders follow the XDG base directories.
class Paths {
  public:
    Paths() = delete;

    static std::filesystem::path python();
    static std::filesystem::path pythonHome();
    static std::filesystem::path pythonPath();
    static std::filesystem::path support();
    static std::filesystem::path state();
    static std::filesystem::path spool();
    static std::filesystem::path logDirectory();
    static std::filesystem::path log();

    // Creates support, then logDirectory. Throws std::system_error at the first failure; its
    // code's message is the reason to show.
    static void createDirectories();

    // The per-user base folders: XDG_DATA_HOME, XDG_STATE_HOME and XDG_CONFIG_HOME, or their
    // defaults under HOME.
    static std::filesystem::path applicationSupport();
    static std::filesystem::path library();
    static std::filesystem::path configuration();
};

}  // namespace vantrel
