#pragma once

// What the publisher's tests share: one run of the tool with its output caught, and reading a
// file the tool wrote.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "publisher.h"

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

inline Result RunTool(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  Result result;
  result.code = RunPublisher(args, out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

inline std::string Read(const std::filesystem::path& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes)) << path;
  return bytes;
}
