#pragma once

#include <filesystem>
#include <string>

// Names of the shortcut files: a folder of the Start menu's programs holding the studio link and
// the internet shortcut, and the same studio link on the desktop.
inline constexpr char kShortcutFolderName[] = "Kelvadon";
inline constexpr char kStudioLinkName[] = "Kelvadon Studio.lnk";
inline constexpr char kInternetShortcutName[] = "Kelvadon.url";

// Creates or overwrites the shell link at linkPath: it starts target with the arguments in the
// target's folder, with the description and, when iconPath is not empty, the first icon of
// iconPath. Creates the link's folder when missing. Reports nothing; the thread must have a COM
// apartment.
void CreateShortcut(const std::filesystem::path& linkPath, const std::filesystem::path& target,
                    const std::wstring& arguments, const std::filesystem::path& iconPath,
                    const std::wstring& description);

// Writes the studio link into the Start-menu folder and onto the desktop, and, when the website
// is not empty, the internet shortcut to its games page. Starts and ends a single-threaded COM
// apartment of its own. Reports nothing.
void CreateShortcuts(const std::filesystem::path& launcherPath,
                     const std::filesystem::path& studioPath, const std::string& website);
