#pragma once

#include <filesystem>
#include <string>

#include "update/engine.h"
#include "update/trust/manifest.h"

// Keeps the InstallRoot's KelvadonLauncher.exe current after a good update: the manifest's
// launcher (downloaded by its fingerprint) unless the running launcher is that one, otherwise the
// running launcher's own bytes without their stamp. Writes website.txt when website is not empty.
// No image is held whole in memory. The installed copy is replaced in one rename, never left
// missing or partly written, and an unreadable own executable never replaces it. error may receive
// a sentence while the result is still true (a failed download of the new launcher is not fatal);
// false only when the installed copy could not be written. Waits while another launcher works on
// the same InstallRoot. Without rememberWebsite, website.txt is left as it is: the website
// serves this run only.
bool UpdateLauncherCopy(const std::filesystem::path& root, const std::string& website,
                        const Manifest& manifest, bool rememberWebsite,
                        const UpdateEnvironment& environment, std::string& error);
