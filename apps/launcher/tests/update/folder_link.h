#pragma once

#include <filesystem>
#include <string>

// Makes link, a new entry, lead to the folder target: a junction (a mount-point reparse point
// set with FSCTL_SET_REPARSE_POINT) on Windows, a symbolic link on Linux. False, with what went
// wrong in error, when the system cannot make one.
bool MakeFolderLink(const std::filesystem::path& link, const std::filesystem::path& target,
                    std::string& error);

// False under Wine, which cannot remove the host link MakeFolderLink makes there.
bool LinksCanBeRemoved();

// Removes a link from MakeFolderLink by the means that work here, so that a clean-up that
// follows links (the standard library's remove_all under mingw) never reaches its target.
void RemoveFolderLink(const std::filesystem::path& link);
