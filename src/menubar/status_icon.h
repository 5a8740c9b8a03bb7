#pragma once

#include <QIcon>

#include <filesystem>
#include <string>

namespace vantrel {

// The application's icon, in the tray and on its windows: the bundle's artwork when it can be
// read, else the desktop theme's sun, else a sun drawn here. The artwork is amber with a dark rim
// and is not tinted, so that it reads on light and dark panels alike.
QIcon statusIcon(const std::filesystem::path& artwork);

// The icon of the theme with this name (themes may replace it), else statusIcon(artwork).
QIcon themedIcon(const std::string& name, const std::filesystem::path& artwork);

// Looks icons up by name in `folder` (a tree like hicolor's) after every other place, so that the
// bundle's own icons are found where nothing installed them and any theme still comes first.
void addIconFolder(const std::filesystem::path& folder);

// The last resort of statusIcon, in the artwork's colours.
QIcon drawnSun();

}  // namespace vantrel
