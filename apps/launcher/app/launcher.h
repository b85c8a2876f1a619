#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"

// The whole run after the process entry: mode choice, then the uninstall or the launch mode.
int RunLauncher(const std::vector<std::string>& args);

// Settles website and playToken from the sources in their order: --website (already in the
// context), the executable's stamp, its setup file name, website.txt, and a link's origin.
void ResolveWebsite(LaunchContext& context, std::string_view ownImage, std::string_view ownFileName,
                    std::string_view websiteFileText);
