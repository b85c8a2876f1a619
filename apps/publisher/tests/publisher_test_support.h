#pragma once

// What the publisher's tests share: one run of the tool with its output caught, reading a file
// the tool wrote, and rebuilding a file with the launcher's patch applier.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "publisher.h"
#include "update/trust/patch.h"

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

inline void Write(const std::filesystem::path& path, std::string_view bytes) {
  ASSERT_TRUE(WriteWholeFile(path, bytes)) << path;
}

inline std::string Read(const std::filesystem::path& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes)) << path;
  return bytes;
}

// Applies the inflated patch to old in pieces of cut bytes; false when the applier refused or the
// patch did not end.
inline bool ApplyPatch(const std::string& old, const std::string& patch, size_t cut,
                       std::string& next) {
  next.clear();
  PatchState state = StartPatch(old.size());
  const OldFileReader read = [&](uint64_t offset, char* buffer, size_t size) {
    if (offset > old.size() || size > old.size() - offset) return false;
    std::copy_n(old.data() + offset, size, buffer);
    return true;
  };
  const PatchOutput write = [&](const char* data, size_t size) {
    next.append(data, size);
    return true;
  };
  for (size_t at = 0; at < patch.size(); at += cut) {
    if (!ApplyPatchBytes(state, patch.data() + at, std::min(cut, patch.size() - at), read, write)) {
      return false;
    }
  }
  return PatchComplete(state);
}

// A build moved by a rebuild: every 64th byte shifted (an address), inserted put in at a third,
// 3000 bytes taken out at the half.
inline std::string Rebuilt(const std::string& old, const std::string& inserted) {
  std::string next = old;
  for (size_t i = 0; i + 4 <= next.size(); i += 64) next[i] = static_cast<char>(next[i] + 16);
  next.insert(next.size() / 3, inserted);
  next.erase(next.size() / 2, 3000);
  return next;
}

// Stores other under its own name and makes the manifest in the client folder name it instead of
// name, with its size when the manifest gives one after the name (a packed object's).
inline void NameInstead(const std::filesystem::path& client, const std::string& name,
                        const std::string& other) {
  Write(client / "files" / Sha256Hex(other), other);
  std::string json = Read(client / "manifest.json");
  const size_t at = json.find(name);
  ASSERT_NE(at, std::string::npos) << name;
  json.replace(at, name.size(), Sha256Hex(other));
  const std::string size = "\", \"size\": ";
  if (json.compare(at + 64, size.size(), size) == 0) {
    const size_t from = at + 64 + size.size();
    json.replace(from, json.find_first_not_of("0123456789", from) - from,
                 std::to_string(other.size()));
  }
  Write(client / "manifest.json", json);
}
