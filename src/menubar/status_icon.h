#pragma once

#include <QIcon>

#include <filesystem>

namespace vantrel {

// The application's icon, in the tray and on its windows: the bundle's artwork when it can be
// read, else the desktop theme's sun, else a sun drawn here. The artwork is amber with a dark rim
// and is not tinted, so that it reads on light and dark panels alike.
QIcon statusIcon(const std::filesystem::path& artwork);

// The last resort of statusIcon, in the artwork's colours.
QIcon drawnSun();

}  // namespace vantrel
