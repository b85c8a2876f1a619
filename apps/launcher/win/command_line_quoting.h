#pragma once

#include <string>
#include <string_view>
#include <vector>

// The refusals of StartProgram, shown behind the caller's lead-in. They speak of a link because
// the player's argument comes from a kelvadon: link.
inline constexpr char kQuoteInArgumentError[] = "That link has a \" in it";
inline constexpr char kUnreadableArgumentError[] = "That link isn't text Windows can read";

// Converts the UTF-8 arguments for Windows, in order. Stops at the first one that is not valid
// UTF-8 or holds a double quote: false, the sentence for the user in error, and wide emptied.
// error is left alone on success.
bool ConvertArguments(const std::vector<std::string>& args, std::vector<std::wstring>& wide,
                      std::string& error);

// A double quote, the program path, a double quote, then for each argument a space and the
// argument in double quotes, with the backslashes directly before its closing quote doubled
// (CommandLineToArgvW reads 2n backslashes before a quote as n). The arguments must hold no
// double quote.
std::wstring BuildCommandLine(std::wstring_view program, const std::vector<std::wstring>& args);
