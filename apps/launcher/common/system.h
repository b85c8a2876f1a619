#pragma once

#include <filesystem>
#include <string>

// The message followed by " (Windows error N)" with the calling thread's last error. Call it
// directly after the failing call, before anything else can change the error. The Linux stand-in
// uses errno.
std::string WithWindowsError(const std::string& message);

enum class KnownFolder { LocalAppData, Programs, Desktop };

// The folder Windows knows under that identifier, or an empty path.
std::filesystem::path KnownFolderPath(KnownFolder folder);

// The system temporary folder, or an empty path when there is none.
std::filesystem::path TemporaryFolder();

// Full path of the running executable, or an empty path when it cannot be read whole.
std::filesystem::path OwnExecutablePath();
