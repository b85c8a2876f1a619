#include "win/command_line_quoting.h"

#include <system_error>

#include "common/text.h"

bool ConvertArguments(const std::vector<std::string>& args, std::vector<std::wstring>& wide,
                      std::string& error) {
  wide.clear();
  for (const std::string& arg : args) {
    std::wstring converted;
    try {
      converted = Utf8ToWide(arg);
    } catch (const std::system_error&) {
      wide.clear();
      error = kUnreadableArgumentError;
      return false;
    }
    if (converted.find(L'"') != std::wstring::npos) {
      wide.clear();
      error = kQuoteInArgumentError;
      return false;
    }
    wide.push_back(std::move(converted));
  }
  return true;
}

namespace {

// Appends a space and the argument in double quotes. Backslashes directly before the closing
// quote are doubled: CommandLineToArgvW reads 2n backslashes before a quote as n, whereas an odd
// count would turn the closing quote into part of the argument and merge the rest of the line
// into it. Every other character goes on unchanged. The argument must hold no double quote.
void AppendQuotedArgument(std::wstring& line, std::wstring_view argument) {
  size_t trailingBackslashes = 0;
  while (trailingBackslashes < argument.size() &&
         argument[argument.size() - 1 - trailingBackslashes] == L'\\') {
    ++trailingBackslashes;
  }
  line += L" \"";
  line += argument;
  line.append(trailingBackslashes, L'\\');
  line += L'"';
}

}  // namespace

std::wstring BuildCommandLine(std::wstring_view program, const std::vector<std::wstring>& args) {
  std::wstring line = L"\"";
  line += program;
  line += L'"';
  for (const std::wstring& arg : args) AppendQuotedArgument(line, arg);
  return line;
}
