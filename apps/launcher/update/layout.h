#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

// The default InstallRoot: the local application-data folder (or, failing that, the temporary
// folder) followed by "Kelvadon". Empty when neither folder is known.
std::filesystem::path GetInstallRoot();

// 1 to 40 bytes of ASCII letters, digits, '-' and '.', not starting with '.'.
bool IsValidVersionName(std::string_view name);

// The content of the completion marker of a version: a note for a person who opens the folder.
std::string MarkerText(std::string_view versionName);

// The folder of the version named by current.txt when it holds its completion marker; else empty.
std::filesystem::path CurrentVersionFolder(const std::filesystem::path& root);

// Replaces bytes with the file's content. False (bytes untouched) when the file cannot be opened.
// When whole is given it says whether every byte was read (a read error part way leaves it false).
bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes, bool* whole = nullptr);

// Creates the parent folders, then writes the file; true only when every byte reached the file
// and the file was closed without error.
bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);

// Removes a file or a folder with everything in it. A missing path is not an error.
std::error_code RemovePathTree(const std::filesystem::path& path);

// Renames a file or folder; a file of the target name is replaced (the standard library's rename:
// MoveFileExW with MOVEFILE_REPLACE_EXISTING on Windows). False, with the reason in ec, on failure.
bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& ec);

// Writes the bytes to a temporary file beside path (its name followed by ".new"), flushes and
// closes it, then renames it over path, so a reader or an interrupted run finds the whole old
// content or the whole new content and never a part of either. Windows refuses to replace a
// running executable but lets it be renamed: when the rename fails while path exists and
// asideIfBusy is given, path is moved there first and the rename is tried again, and if that
// also fails the old file is moved back. True when path holds the bytes; on false the temporary
// file has been removed.
bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           const std::filesystem::path& asideIfBusy = {});

// The path as UTF-8 for a sentence shown to the user. Never throws: when the path is not valid
// Unicode (possible only in a name the system gave), every character outside ASCII shows as
// U+FFFD.
std::string PathForMessage(const std::filesystem::path& path);

// Names inside the InstallRoot.
inline constexpr char kCurrentFileName[] = "current.txt";
inline constexpr char kWebsiteFileName[] = "website.txt";
inline constexpr char kSequenceFileName[] = "sequence.txt";
inline constexpr char kVersionsFolderName[] = "Versions";
inline constexpr char kMarkerFileName[] = "kelvadon-installed.txt";
inline constexpr char kLauncherFileName[] = "KelvadonLauncher.exe";
inline constexpr char kOldLauncherFileName[] = "KelvadonLauncher.old.exe";
