#pragma once

#include <string>
#include <string_view>

// Why Windows could not hold a file or folder of this name as it is spelled, or empty when it
// can: it would refuse the name, change it (a trailing dot or space is dropped), take it for a
// device (CON, NUL, COM1.txt, in any case) or for the short name of another file (KELVAD~1.EXE).
std::string WindowsNameProblem(std::string_view name);

// Why the text cannot name a version, or empty when it can: 1 to 40 bytes of ASCII letters,
// digits, '-' and '.', not starting with '.', and a name Windows keeps as it is spelled.
std::string VersionNameProblem(std::string_view name);
bool IsValidVersionName(std::string_view name);
