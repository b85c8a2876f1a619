#include "win/uninstall.h"

// Linux has no registry or shortcuts of the launcher's to take away; this stand-in does nothing.
void UnregisterFromWindows(const std::filesystem::path& /*installRoot*/) {}

// On Linux a running program's file can simply be removed; this stand-in does nothing.
void ScheduleLauncherDeletion(const std::filesystem::path& /*installRoot*/) {}
