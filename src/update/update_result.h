#pragma once

#include <string>
#include <string_view>

#include "support/platform_words.h"

namespace vantrel {

// The outcome of one update check.
class UpdateResult {
  public:
    // available: a newer release that this copy's package manager installs, not the app.
    enum class Kind { current, installed, available, failed };

    static UpdateResult current(std::string installedVersion) {
        return {Kind::current, std::move(installedVersion)};
    }
    static UpdateResult installed(std::string newVersion) {
        return {Kind::installed, std::move(newVersion)};
    }
    static UpdateResult available(std::string newVersion) {
        return {Kind::available, std::move(newVersion)};
    }
    static UpdateResult failed(std::string reason) { return {Kind::failed, std::move(reason)}; }
    // A verified release that could not be tried or put in place here: the user is told even of an
    // automatic check's, since this copy keeps running the version it is.
    static UpdateResult notPutInPlace(std::string reason) {
        UpdateResult result{Kind::failed, std::move(reason)};
        result.notPutInPlace_ = true;
        return result;
    }

    Kind kind() const { return kind_; }
    // The version of current, installed and available, the reason of failed.
    const std::string& text() const { return text_; }
    bool wasNotPutInPlace() const { return notPutInPlace_; }

    friend bool operator==(const UpdateResult&, const UpdateResult&) = default;

  private:
    UpdateResult(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
    bool notPutInPlace_ = false;
};

namespace reasons {
inline constexpr const char* kDownloadFailed = "the download failed";
inline constexpr const char* kChecksumMismatch =
    "the download did not match its published checksum";
inline constexpr const char* kNotSigned =
    "the downloaded app is not signed by Vantrel \u2014 refusing to install it";
inline constexpr const char* kCouldNotPrepare = "could not prepare the update";

// A verified release built for other computers than this one.
inline std::string builtForAnotherMachine(std::string_view release, std::string_view machine) {
    return "the downloaded app is for " + std::string(release) + " computers, not this " +
           std::string(machine) + " one";
}
// No usable manifest, whatever the cause; always names the built-in server.
inline std::string couldNotReach(std::string_view defaultHost) {
    return "could not reach " + std::string(defaultHost);
}
// A newer release, but the running bundle's folder is not writable.
inline std::string cannotReplaceItself(std::string_view newVersion) {
    return std::string(newVersion) +
           " is available, but this copy of the app "
           "is somewhere it cannot replace itself. " +
           platform_words::kMoveToWritableFolder;
}
// The release's executable did not answer with its version here.
inline std::string doesNotStart(std::string_view newVersion) {
    return std::string(newVersion) + " does not start on this computer";
}
// The file system refused to exchange the bundles (a mount point, an overlay, a network folder).
inline std::string couldNotPutInPlace(std::string_view newVersion, std::string_view why) {
    return "could not put " + std::string(newVersion) + " in place: " + std::string(why);
}
// A release that failed here before: offered again only once a newer one appears.
inline std::string refused(std::string_view newVersion) {
    return std::string(newVersion) +
           " could not be installed here before; waiting for a newer version";
}
}  // namespace reasons

}  // namespace vantrel
