#pragma once

#include <filesystem>
#include <string>

// Registers the kelvadon: links, the document types, the uninstall entry and the shortcuts for
// the launcher copy at launcherPath, writing the whole set again on every call. Reports nothing.
void RegisterWithWindows(const std::filesystem::path& installRoot,
                         const std::filesystem::path& launcherPath, const std::string& website,
                         const std::string& versionName);
