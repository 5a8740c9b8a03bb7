#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace vantrel {

// The full path of a running process's executable, as the system reports it.
std::optional<std::filesystem::path> executablePathOf(pid_t pid);

}  // namespace vantrel
