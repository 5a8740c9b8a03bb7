#pragma once

#include <QIcon>

#include <filesystem>

namespace vantrel {

// The tray icon: the bundle's artwork when it can be read, else the desktop theme's sun, else a
// sun drawn here. Always a template-style (mask) icon that the platform may tint.
QIcon statusIcon(const std::filesystem::path& artwork);

// The last resort of statusIcon.
QIcon drawnSun();

}  // namespace vantrel
