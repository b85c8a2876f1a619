#pragma once

// Version names and whether both the launcher and the publisher take them: one rule, one table.

#include <string>
#include <vector>

struct VersionNameCase {
  std::string name;
  bool valid;
};

inline const std::vector<VersionNameCase>& VersionNameCases() {
  static const std::vector<VersionNameCase> cases = {
      {"1.0", true},
      {"2024-05-01.3", true},
      {"x", true},
      {"Z", true},
      {"7", true},
      {"1.0-", true},
      {"a..b", true},
      {"CONSOLE", true},
      {"COM10", true},
      {"con1", true},
      {"1.con", true},
      {std::string(40, 'a'), true},
      {std::string(41, 'a'), false},
      {"", false},
      {".", false},
      {"..", false},
      {".1.0", false},
      {"1 0", false},
      {"1/0", false},
      {"1\\0", false},
      {"c:1", false},
      {"1_0", false},
      {"1~1", false},
      {"1.0\n", false},
      {std::string("1\0", 2), false},
      {"1.\x80", false},
      {"\xC3\xA9t\xC3\xA9", false},
      {"1.\xFF", false},
      // Windows drops a trailing dot: "Versions\1.0.." would become "Versions\1.0".
      {"1.0.", false},
      {"1.0..", false},
      // Device names, with or without an extension, in any case.
      {"CON", false},
      {"nul", false},
      {"Aux", false},
      {"PRN.1", false},
      {"COM1", false},
      {"com0", false},
      {"LPT9.2", false},
      {"lpt1-x.3", true},
  };
  return cases;
}
