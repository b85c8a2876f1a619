#pragma once

#include <filesystem>
#include <string>

// The message followed by " (Windows error N)" with the calling thread's last error. Call it
// directly after the failing call, before anything else can change the error. The Linux stand-in
// uses errno.
std::string WithWindowsError(const std::string& message);

// The system's own description of an error number (Windows: GetLastError's numbers, worded by
// FormatMessageW; Linux: errno's, by strerror), without a line end. Never empty.
std::string SystemErrorText(int code);

// The form of a path to hand to the file system. Windows: the "\\?\" form of its full path, which
// lifts the 260-character limit on every supported Windows (a server path becomes
// "\\?\UNC\server\..."); a path already in that form, or one that cannot be made full, is given
// back unchanged. Linux: the path itself. Sentences for the user show the ordinary path.
std::filesystem::path FileSystemPath(const std::filesystem::path& path);

enum class KnownFolder { LocalAppData, Programs, Desktop };

// The folder Windows knows under that identifier, or an empty path.
std::filesystem::path KnownFolderPath(KnownFolder folder);

// The system temporary folder, or an empty path when there is none.
std::filesystem::path TemporaryFolder();

// Full path of the running executable, or an empty path when it cannot be read whole.
std::filesystem::path OwnExecutablePath();
