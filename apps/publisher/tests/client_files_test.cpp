#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "json/json.h"
#include "publisher.h"
#include "update/trust/names.h"

namespace {

TEST(WindowsNameProblem, RefusesWhatWindowsCannotHold) {
  const char* refused[] = {
      "CON",          "con",       "Nul",         "nul.txt",  "AUX.tar.gz", "prn",
      "COM1",         "com9.dll",  "LPT1",        "lpt0",     "COM0",       "CONIN$",
      "conout$.log",  "com1 .x",   "COM\xC2\xB9", "trail.",   "trail ",     "a<b",
      "a>b",          "a\"b",      "a|b",         "a?b",      "a*b",        "a:b",
      "a\\b",         "tab\there", "bell\x07",    "\xFF.dat", "\xC3(",      "\xED\xA0\x80.dat",
      "KELVAD~1.EXE", "progra~12",
  };
  for (const char* name : refused) {
    EXPECT_FALSE(WindowsNameProblem(name).empty()) << name;
  }
  const char* accepted[] = {
      "kelvadon_player.exe",
      "CONSOLE",
      "con1",
      "COM10",
      "LPT",
      "nul_device",
      "a.b.c",
      ".hidden",
      "spaced name.txt",
      "caf\xC3\xA9",
      "\xE6\x97\xA5\xE6\x9C\xAC.txt",
      "a;b,c=d",
      "tilde~x~",
  };
  for (const char* name : accepted) {
    EXPECT_EQ(WindowsNameProblem(name), "") << name;
  }
}

TEST(ClientPathProblem, ChecksEveryFolderOnTheWay) {
  EXPECT_EQ(ClientPathProblem("data/levels/one.dat"), "");
  EXPECT_NE(ClientPathProblem("data/con/one.dat"), "");
  EXPECT_NE(ClientPathProblem("data./one.dat"), "");
  EXPECT_NE(ClientPathProblem("data/one.dat "), "");
  // 300 bytes is the launcher's limit.
  const std::string longest = std::string(150, 'a') + "/" + std::string(149, 'b');
  EXPECT_EQ(ClientPathProblem(longest), "");
  EXPECT_NE(ClientPathProblem(longest + "b"), "");
}

TEST(JsonQuoted, ReadsBackThroughTheLaunchersParser) {
  const std::string texts[] = {
      "",
      "plain.txt",
      "quote\" and backslash\\",
      std::string("nul\0and controls\x01\x1f\n\r\t", 21),
      "caf\xC3\xA9 \xF0\x9F\x8E\xAE",
      "slash/and\x7f",
  };
  for (const std::string& text : texts) {
    const JsonValue value = ParseJson(JsonQuoted(text));
    EXPECT_EQ(value.kind, JsonKind::String);
    EXPECT_EQ(value.text, text);
  }
}

TEST(ManifestJson, ReadsBackThroughTheLaunchersParser) {
  Manifest manifest;
  manifest.version = "2.14.0-beta";
  manifest.files = {{"kelvadon_player.exe", std::string(64, 'a'), 18446744073709549568ull},
                    {"data/caf\xC3\xA9.dat", kEmptyFileSha256, 0}};
  manifest.launcher = {"KelvadonLauncher.exe", std::string(64, 'f'), 12};
  const std::string json = ManifestJson(manifest);
  Manifest readBack;
  std::string error;
  ASSERT_TRUE(ParseManifestContent(json, readBack, error)) << error;
  EXPECT_EQ(readBack.version, manifest.version);
  ASSERT_EQ(readBack.files.size(), 2u);
  EXPECT_EQ(readBack.files[0].size, 18446744073709549568ull);
  EXPECT_EQ(readBack.files[1].path, manifest.files[1].path);
  EXPECT_EQ(readBack.launcher.sha256, manifest.launcher.sha256);

  manifest.launcher = {};
  ASSERT_TRUE(ParseManifestContent(ManifestJson(manifest), readBack, error)) << error;
  EXPECT_EQ(readBack.launcher.path, "");
  EXPECT_EQ(ManifestJson(manifest).find("launcher"), std::string::npos);
}

// A file swapped between the listing and the read (a link to the private key, say) would be
// published in its place: the read takes only the file that was listed.
TEST(ReadClientFile, OnlyTheFileThatWasListed) {
  namespace fs = std::filesystem;
  const fs::path root =
      fs::temp_directory_path() / ("kelvadon-client-read-" + std::to_string(getpid()));
  fs::remove_all(root);
  const fs::path client = root / "client";
  fs::create_directories(client);
  const auto put = [](const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  };
  put(root / "secret.pem", "private");
  const std::function<void(const fs::path&)> swaps[] = {
      [](const fs::path&) {},
      [&](const fs::path& file) {
        fs::remove(file);
        fs::create_symlink(root / "secret.pem", file);
      },
      [&](const fs::path& file) {
        put(root / "other", "other");
        fs::rename(root / "other", file);
      },
  };
  for (size_t i = 0; i < std::size(swaps); ++i) {
    for (const char* name : {"kelvadon_player.exe", "kelvadon_studio.exe"}) put(client / name, "x");
    std::vector<ClientFile> files;
    std::string error;
    ASSERT_TRUE(ListClientFiles(client, files, error)) << error;
    swaps[i](files[0].source);
    std::string bytes = "stale";
    error.clear();
    EXPECT_EQ(ReadClientFile(files[0], bytes, error), i == 0) << i << ": " << error;
    EXPECT_EQ(bytes, i == 0 ? "x" : "") << i;
    fs::remove(files[0].source);
  }
  fs::remove_all(root);
}

}  // namespace
