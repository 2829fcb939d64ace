#pragma once

// "Start at login": an XDG autostart entry in the user's config folder that
// starts the app in the background, since automatic recording only works
// while the app runs.

#include <QString>

namespace Autostart {

// The entry's path: $XDG_CONFIG_HOME/autostart/tallisen.desktop.
QString entryPath();
bool isEnabled();
// Writes or removes the entry; throws FileSystemError when it cannot.
void setEnabled(bool enabled);

} // namespace Autostart
