#pragma once

// The InstallRoot: its names, and which version in it is complete and current.

#include <filesystem>
#include <string>
#include <string_view>

struct Manifest;

// The default InstallRoot: the local application-data folder (or, failing that, the temporary
// folder) followed by "Kelvadon". Empty when neither folder is known.
std::filesystem::path GetInstallRoot();

// The content of the completion marker of a version: a note for a person who opens the folder.
std::string MarkerText(std::string_view versionName);

// The folder of the version named by current.txt when it holds its completion marker; else empty.
std::filesystem::path CurrentVersionFolder(const std::filesystem::path& root);

// Whether the Versions folder holds a folder named exactly version, byte for byte, with its
// completion marker. Windows also finds a folder by another spelling (other letter case), but
// current.txt must name the folder itself.
bool HoldsCompleteVersion(const std::filesystem::path& versions, const std::string& version);

// Reads manifest.json and manifest.sig from a version folder and parses them with ParseManifest.
// False when either file cannot be read or the manifest is refused.
bool LoadInstalledManifest(const std::filesystem::path& versionFolder, Manifest& manifest);

// Names inside the InstallRoot.
inline constexpr char kCurrentFileName[] = "current.txt";
inline constexpr char kWebsiteFileName[] = "website.txt";
inline constexpr char kSequenceFileName[] = "sequence.txt";
inline constexpr char kVersionsFolderName[] = "Versions";
inline constexpr char kMarkerFileName[] = "kelvadon-installed.txt";
inline constexpr char kLauncherFileName[] = "KelvadonLauncher.exe";
inline constexpr char kOldLauncherFileName[] = "KelvadonLauncher.old.exe";
// The client's programs inside a version folder.
inline constexpr char kPlayerFileName[] = "kelvadon_player.exe";
inline constexpr char kStudioFileName[] = "kelvadon_studio.exe";
