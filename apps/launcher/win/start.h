#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Starts the program with the arguments (UTF-8, one string each) and does not wait for it. The
// program runs in its own folder, without a console window, with the launcher's environment.
// False with a sentence for the user in error when an argument holds a double quote or is not
// valid UTF-8 (then nothing is started), or when the system refuses to start it; error is left
// alone on success.
bool StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  std::string& error);

// Asks the system to open the address in the user's browser. Reports nothing, whatever happens.
void OpenInBrowser(const std::string& address);
