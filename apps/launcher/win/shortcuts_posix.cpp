#include "win/shortcuts.h"

// Linux has no shell links or Start menu to write; this stand-in does nothing.
void CreateShortcut(const std::filesystem::path& /*linkPath*/,
                    const std::filesystem::path& /*target*/, const std::wstring& /*arguments*/,
                    const std::filesystem::path& /*iconPath*/,
                    const std::wstring& /*description*/) {}

// Linux has no Start menu or desktop links of this kind; this stand-in does nothing.
void CreateShortcuts(const std::filesystem::path& /*launcherPath*/,
                     const std::filesystem::path& /*studioPath*/, const std::string& /*website*/) {}
