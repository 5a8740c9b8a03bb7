#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "support/running_app.h"
#include "support/temp_dir.h"

namespace vantrel::testing {

// A headless Wayland session of the test's own: sway on a headless output without XWayland, a
// bar with a StatusNotifier host (swaybar) that starts when the test says, and a session bus that
// any user may join, so that the test serves stand-in desktop services on it. sway refuses to run
// as root: under root the session and the programs run in it get the uid kUser.
class SwaySession {
  public:
    static constexpr uid_t kUser = 65534;

    struct Window {
        std::string appId;
        std::string shell;  // "xdg_shell" for a native Wayland window
        int pid = 0;
        bool floating = false;
        int width = 0, height = 0;
    };

    // `panel` is the bar's background colour.
    explicit SwaySession(const std::string& panel) {
        std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
        ::mkdir(runtime().c_str(), 0700);
        writeFile(dir_ / "bus.conf", busConfig());
        writeFile(dir_ / "sway.conf", swayConfig(panel));
        // The bar waits for its cue, so that a test can start it after the application.
        writeFile(dir_ / "bar",
                  "#!/bin/sh\nwhile [ ! -e '" + (dir_ / "bar-cue").string() +
                      "' ]; do sleep 0.05; done\nexec swaybar \"$@\"\n",
                  true);
        handOver(dir_.path());
        bus_ =
            run("/usr/bin/dbus-daemon",
                {"--config-file=" + (dir_ / "bus.conf").string(), "--nofork", "--print-address=1"},
                currentEnvironment());
        auto env = environment({"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                                "WLR_RENDERER=pixman", "HOME=" + dir_.path().string()});
        setVariable(env, "WAYLAND_DISPLAY", "");  // sway names its own
        sway_ = run("/usr/bin/sway", {"-c", (dir_ / "sway.conf").string()}, env);
    }
    ~SwaySession() {
        for (auto* process : {sway_.get(), bus_.get()}) {
            process->signal(SIGTERM);
            process->waitForExit(30);
        }
    }

    // The bus and the compositor serve; what they said otherwise.
    bool ready(std::string& why) const {
        bool up = bus_->waitForOutput("unix:path=", 30) &&
                  eventually([&] { return !(display_ = displayName()).empty(); }, 30) &&
                  eventually(
                      [&] {
                          return swaymsg({"-t", "get_version"}).find("sway") != std::string::npos;
                      },
                      30);
        why = bus_->output() + sway_->output();
        return up;
    }
    void startBar() const { writeFile(dir_ / "bar-cue", ""); }

    std::string busAddress() const { return "unix:path=" + (dir_ / "bus").string(); }
    const std::filesystem::path& folder() const { return dir_.path(); }
    std::filesystem::path runtime() const { return dir_ / "runtime"; }

    // This process's environment with the session's display and bus, no X11 and `extra`
    // (NAME=value) on top.
    std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const {
        auto env = currentEnvironment();
        setVariable(env, "XDG_RUNTIME_DIR", runtime().string());
        setVariable(env, "WAYLAND_DISPLAY", display_);
        setVariable(env, "DBUS_SESSION_BUS_ADDRESS", busAddress());
        setVariable(env, "SWAYSOCK", (runtime() / "sway.sock").string());
        setVariable(env, "DISPLAY", "");
        setVariable(env, "QT_QPA_PLATFORM", "");
        for (const auto& variable : extra) {
            auto split = variable.find('=');
            setVariable(env, variable.substr(0, split), variable.substr(split + 1));
        }
        return env;
    }

    // A program run in the session, as its user.
    static std::unique_ptr<RunningApp> run(const std::filesystem::path& program,
                                           std::vector<std::string> arguments,
                                           const std::vector<std::string>& env) {
        if (::geteuid() != 0) {
            return std::make_unique<RunningApp>(program, std::move(arguments), env);
        }
        const std::string id = std::to_string(kUser);
        std::vector<std::string> asUser{"--reuid=" + id, "--regid=" + id, "--clear-groups", "--",
                                        program.string()};
        asUser.insert(asUser.end(), arguments.begin(), arguments.end());
        return std::make_unique<RunningApp>("/usr/bin/setpriv", std::move(asUser), env);
    }

    // Gives a folder made by the test to the session's user.
    static void handOver(const std::filesystem::path& folder) {
        if (::geteuid() != 0) {
            return;
        }
        ::chown(folder.c_str(), kUser, kUser);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            ::lchown(entry.path().c_str(), kUser, kUser);
        }
    }

    // What swaymsg printed, once it ended.
    std::string swaymsg(const std::vector<std::string>& arguments) const {
        auto message = run("/usr/bin/swaymsg", arguments, environment());
        eventually([&] { return message->waitForExit(0).has_value(); }, 30);
        return message->output();
    }

    std::vector<Window> windows() const {
        std::vector<Window> found;
        auto tree = nlohmann::json::parse(swaymsg({"-t", "get_tree", "-r"}), nullptr, false);
        collect(tree, false, found);
        return found;
    }

    // A picture of the output, or of the region "x,y wxh" of it, in `file`.
    bool screenshot(const std::filesystem::path& file, const std::string& region = "") const {
        std::vector<std::string> arguments;
        if (!region.empty()) {
            arguments = {"-g", region};
        }
        arguments.push_back((runtime() / "shot.png").string());
        auto grim = run("/usr/bin/grim", arguments, environment());
        bool taken = eventually([&] { return grim->waitForExit(0) == 0; }, 30);
        std::error_code error;
        return taken &&
               std::filesystem::copy_file(runtime() / "shot.png", file,
                                          std::filesystem::copy_options::overwrite_existing, error);
    }

  private:
    // The compositor's socket in the runtime folder, once it is there.
    std::string displayName() const {
        for (const auto& entry : std::filesystem::directory_iterator(runtime())) {
            auto name = entry.path().filename().string();
            if (name.starts_with("wayland-") && entry.is_socket()) {
                return name;
            }
        }
        return "";
    }

    static void collect(const nlohmann::json& node, bool floating, std::vector<Window>& found) {
        if (!node.is_object()) {
            return;
        }
        if (node.contains("pid") && node["pid"].is_number()) {
            const auto& rect = node["rect"];
            found.push_back({node.value("app_id", std::string()),
                             node.value("shell", std::string()), node["pid"].get<int>(), floating,
                             rect.value("width", 0), rect.value("height", 0)});
        }
        for (const auto& child : node.value("nodes", nlohmann::json::array())) {
            collect(child, floating, found);
        }
        for (const auto& child : node.value("floating_nodes", nlohmann::json::array())) {
            collect(child, true, found);
        }
    }

    std::string busConfig() const {
        return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>" +
               busAddress() +
               "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
    }

    std::string swayConfig(const std::string& panel) const {
        return "output HEADLESS-1 resolution 1280x800 scale 2\n"
               "xwayland disable\n"
               "bar {\n  id main\n  position top\n  height 24\n  status_command echo; exec sleep "
               "86400\n"
               "  tray_output *\n"
               "  icon_theme hicolor\n  swaybar_command " +
               (dir_ / "bar").string() +
               "\n"
               "  colors {\n    background " +
               panel + "\n  }\n}\n";
    }

    TempDir dir_;
    mutable std::string display_;
    std::unique_ptr<RunningApp> bus_;
    std::unique_ptr<RunningApp> sway_;
};

}  // namespace vantrel::testing
