#pragma once

#include <filesystem>

// Takes the registry entries and shortcuts away and has the launcher executables deleted shortly
// after this process ends. Reports nothing.
void UnregisterFromWindows(const std::filesystem::path& installRoot);
