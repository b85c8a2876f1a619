#pragma once

#include <filesystem>

// Takes the registry entries, the Start-menu folder and the desktop link away, exactly those that
// registration writes, and tells the shell that associations changed. Reports nothing.
void UnregisterFromWindows(const std::filesystem::path& installRoot);

// Starts a hidden command that deletes KelvadonLauncher.exe and KelvadonLauncher.old.exe in the
// InstallRoot about two seconds later, without waiting for it. Windows keeps the image of a
// running program, so this is the last thing the uninstall does before the process ends: after
// the closing message, however long the user takes over it. Nothing is started for an
// InstallRoot holding '%' or '"', which the command interpreter would read as more than a path.
// Reports nothing.
void ScheduleLauncherDeletion(const std::filesystem::path& installRoot);
