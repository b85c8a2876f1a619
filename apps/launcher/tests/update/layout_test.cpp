#include "files/file_io.h"
#include "update/store/install_root.h"
#include "update/trust/names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/system.h"
#include "common/text.h"
#include "files/disk.h"
#include "files/file_status.h"
#include "tests/update/folder_link.h"
#include "tests/update/version_name_cases.h"

namespace fs = std::filesystem;

namespace {

// Every test works in a folder of its own under the temporary folder, removed at the end.
class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("kelvadon-layout-test-" + std::to_string(random()));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) root_ = candidate;
    }
    ASSERT_FALSE(root_.empty());
  }

  void TearDown() override {
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }

  // Writes a file with the plain standard stream, so that the tests of the helpers do not lean
  // on the helpers themselves.
  void Put(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    out.close();
    ASSERT_TRUE(out) << path;
  }

  std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path root_;
};

TEST(VersionName, AcceptsOnlyShortNamesWindowsKeepsAsSpelled) {
  for (const VersionNameCase& c : VersionNameCases()) {
    EXPECT_EQ(IsValidVersionName(c.name), c.valid) << '"' << c.name << '"';
  }
}

TEST(IsNetworkPath, ServersButNotThisComputersLongPaths) {
  const std::pair<const char*, bool> cases[] = {
      {"\\\\host\\share\\k", true}, {"\\\\host@SSL\\DavWWWRoot\\k", true},
      {"//host/share", true},       {"\\\\?\\UNC\\host\\share", true},
      {"\\\\.\\pipe\\x", true},     {"\\\\?\\C:\\Users\\k", false},
      {"\\\\.\\d:\\k", false},      {"C:\\Users\\k", false},
      {"/home/k", false},           {"relative", false},
  };
  for (const auto& [path, network] : cases) {
    EXPECT_EQ(IsNetworkPath(fs::path(PathFromUtf8(path))), network) << path;
  }
}

TEST(MarkerText, IsTheExactNote) {
  EXPECT_EQ(MarkerText("x"),
            "Kelvadon x, installed by KelvadonLauncher.exe.\r\n"
            "Your own files (logins, settings, saves, places) are in the folder two up from "
            "here.\r\n");
  // Everything after the name is 124 bytes.
  EXPECT_EQ(MarkerText("2.14.0").size(), 9u + 6u + 124u);
}

TEST_F(LayoutTest, CurrentVersionFolder) {
  struct Case {
    const char* label;
    bool hasCurrent;
    std::string current;
    std::string markerFolder;  // relative to the InstallRoot; empty for no marker
    bool markerIsFolder;
    std::string expected;  // version name, or empty for nothing installed
  };
  const std::string longest(40, 'a');
  const std::string tooLong(41, 'b');
  const Case cases[] = {
      {"plain", true, "1.0\n", "Versions/1.0", false, "1.0"},
      {"no line end", true, "1.0", "Versions/1.0", false, "1.0"},
      {"crlf", true, "1.0\r\n", "Versions/1.0", false, "1.0"},
      {"all trailing whitespace", true, "1.0 \t\n\v\f\r \r\n", "Versions/1.0", false, "1.0"},
      {"leading space", true, " 1.0", "Versions/1.0", false, ""},
      {"leading tab", true, "\t1.0\n", "Versions/1.0", false, ""},
      {"second line", true, "1.0\n2.0\n", "Versions/1.0", false, ""},
      {"empty", true, "", "Versions/1.0", false, ""},
      {"only whitespace", true, "\r\n", "Versions/1.0", false, ""},
      {"no current.txt", false, "", "Versions/1.0", false, ""},
      {"no marker", true, "1.0\n", "", false, ""},
      {"marker of another version", true, "1.0\n", "Versions/2.0", false, ""},
      {"marker is a folder", true, "1.0\n", "Versions/1.0", true, "1.0"},
      {"backslash parent", true, "..\\x\n", "x", false, ""},
      {"slash parent", true, "../x\n", "x", false, ""},
      {"leading dot", true, ".x\n", "Versions/.x", false, ""},
      {"41 bytes", true, tooLong + "\n", "Versions/" + tooLong, false, ""},
      {"40 bytes", true, longest + "\n", "Versions/" + longest, false, longest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // The version's folder exists in every case, so only current.txt and the marker decide.
    fs::create_directories(root_ / "Versions" / "1.0");
    if (c.hasCurrent) Put(root_ / "current.txt", c.current);
    if (!c.markerFolder.empty()) {
      const fs::path marker = root_ / fs::path(c.markerFolder) / "kelvadon-installed.txt";
      if (c.markerIsFolder) {
        fs::create_directories(marker);
      } else {
        Put(marker, MarkerText("1.0"));
      }
    }
    const fs::path expected = c.expected.empty() ? fs::path() : root_ / "Versions" / c.expected;
    EXPECT_EQ(CurrentVersionFolder(root_), expected);
    fs::remove_all(root_ / "Versions");
    fs::remove_all(root_ / "x");
    fs::remove(root_ / "current.txt");
  }
}

TEST_F(LayoutTest, ReadWholeFileReadsEveryByte) {
  // Bytes a text-mode read would change or stop at (CR LF, NUL, Ctrl-Z), in a file larger than
  // any one read buffer.
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i * 7 % 256);
  content += "\r\n\x1A\r";
  const struct {
    const char* label;
    std::string bytes;
  } cases[] = {{"binary", content}, {"empty", ""}, {"one byte", "\x1A"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Put(root_ / "file.bin", c.bytes);
    std::string bytes = "left over";
    bool whole = false;
    ASSERT_TRUE(ReadWholeFile(root_ / "file.bin", bytes, &whole));
    EXPECT_TRUE(bytes == c.bytes) << bytes.size() << " bytes read of " << c.bytes.size();
    EXPECT_TRUE(whole);
    bytes = "left over";
    EXPECT_TRUE(ReadWholeFile(root_ / "file.bin", bytes));
    EXPECT_EQ(bytes.size(), c.bytes.size());
  }
}

TEST_F(LayoutTest, ReadWholeFileLeavesBytesWhenItCannotOpen) {
  fs::create_directories(root_ / "folder");
  for (const fs::path& path : {root_ / "missing.txt", root_ / "folder", root_ / "no" / "x"}) {
    SCOPED_TRACE(path.string());
    std::string bytes = "untouched";
    EXPECT_FALSE(ReadWholeFile(path, bytes));
    EXPECT_EQ(bytes, "untouched");
  }
}

TEST_F(LayoutTest, WriteWholeFileCreatesFoldersAndTruncates) {
  const fs::path file = root_ / "Versions" / "1.0.partial" / "bin" / "a.dll";
  ASSERT_TRUE(WriteWholeFile(file, std::string("MZ\0\r\n\x1A", 6)));
  EXPECT_TRUE(fs::is_directory(root_ / "Versions" / "1.0.partial" / "bin"));
  EXPECT_EQ(Get(file), std::string("MZ\0\r\n\x1A", 6));

  Put(root_ / "current.txt", "a much longer text than the next one\n");
  ASSERT_TRUE(WriteWholeFile(root_ / "current.txt", "1.0\n"));
  EXPECT_EQ(Get(root_ / "current.txt"), "1.0\n");
  ASSERT_TRUE(WriteWholeFile(root_ / "current.txt", ""));
  EXPECT_EQ(fs::file_size(root_ / "current.txt"), 0u);
}

TEST_F(LayoutTest, WriteWholeFileFailsWhereNoFileCanBe) {
  // Tests may run with rights that no permission bit stops, so the failures are made by the
  // shape of the tree: a folder where the file must be, or a file where a folder must be.
  fs::create_directories(root_ / "Versions" / "1.0" / "a.dll");
  EXPECT_FALSE(WriteWholeFile(root_ / "Versions" / "1.0" / "a.dll", "bytes"));
  EXPECT_TRUE(fs::is_directory(root_ / "Versions" / "1.0" / "a.dll"));

  Put(root_ / "blocker", "a file");
  EXPECT_FALSE(WriteWholeFile(root_ / "blocker" / "bin" / "a.dll", "bytes"));
  EXPECT_EQ(Get(root_ / "blocker"), "a file");
}

// A file opened for updating keeps its bytes and takes new ones at any offset, through several
// handles at once; a missing file is made, and a folder is never opened.
TEST_F(LayoutTest, OpenForUpdatingWritesAtOffsetsAndKeepsTheRest) {
  const fs::path file = root_ / "Versions" / "1.0.partial" / "packs" / "big.pak";
  std::FILE* first = OpenForUpdating(file);
  ASSERT_NE(first, nullptr) << "a missing file and its folders are made";
  std::FILE* second = OpenForUpdating(file);
  ASSERT_NE(second, nullptr) << "a second handle on the same file";
  const std::string start(kFilePieceBytes + 3, 's');
  ASSERT_TRUE(SeekOpenFile(second, start.size()));
  EXPECT_EQ(std::fwrite("end", 1, 3, second), 3u);
  EXPECT_EQ(std::fwrite(start.data(), 1, start.size(), first), start.size());
  EXPECT_TRUE(CloseWrittenFile(first));
  EXPECT_TRUE(CloseWrittenFile(second));
  EXPECT_EQ(Get(file), start + "end");

  std::FILE* again = OpenForUpdating(file);
  ASSERT_NE(again, nullptr);
  uint64_t size = 0;
  EXPECT_TRUE(OpenFileSize(again, size));
  EXPECT_EQ(size, start.size() + 3) << "opening truncated the file";
  ASSERT_TRUE(SeekOpenFile(again, 1));
  EXPECT_EQ(std::fwrite("XY", 1, 2, again), 2u);
  EXPECT_TRUE(CloseWrittenFile(again));
  EXPECT_EQ(Get(file), "sXY" + start.substr(3) + "end");

  fs::create_directories(root_ / "folder");
  EXPECT_EQ(OpenForUpdating(root_ / "folder"), nullptr);
  EXPECT_TRUE(fs::is_directory(root_ / "folder"));
}

// A file cut while open keeps exactly the bytes before the cut, including those its stream had
// not yet written out, and takes new ones after it.
TEST_F(LayoutTest, TruncateOpenFileKeepsTheStart) {
  const fs::path file = root_ / "cut.bin";
  const std::string bytes(3 * kFilePieceBytes + 5, 'b');
  const struct {
    const char* name;
    uint64_t size;
  } cases[] = {{"nothing", 0},
               {"one byte", 1},
               {"within a piece", kFilePieceBytes - 1},
               {"all but one", bytes.size() - 1},
               {"all", bytes.size()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::FILE* out = OpenForWriting(file);
    ASSERT_NE(out, nullptr);
    // Not flushed: the cut must write the stream's buffer out first.
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    EXPECT_TRUE(TruncateOpenFile(out, c.size));
    uint64_t size = 0;
    EXPECT_TRUE(OpenFileSize(out, size));
    EXPECT_EQ(size, c.size);
    ASSERT_TRUE(SeekOpenFile(out, c.size));
    EXPECT_EQ(std::fwrite("end", 1, 3, out), 3u);
    EXPECT_TRUE(CloseWrittenFile(out));
    EXPECT_EQ(Get(file), bytes.substr(0, c.size) + "end");
  }
}

TEST_F(LayoutTest, WriteWholeFileReportsAFullDisk) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a device that is always full";
#else
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // A few bytes stay in the stream's buffer until the close, where the full disk shows.
  EXPECT_FALSE(WriteWholeFile("/dev/full", "1.0\n"));
#endif
}

// Pushing bytes and folder entries to the disk succeeds on every ordinary file and folder, at a
// path past the old limit too; a written file then holds exactly its bytes.
TEST_F(LayoutTest, FlushesToTheDiskSucceed) {
  const fs::path deep = root_ / std::string(120, 'd') / std::string(120, 'e');
  struct Case {
    fs::path path;
    std::string bytes;  // written to the file; a folder when folder is set
    bool folder;
  };
  const std::vector<Case> cases = {
      {root_ / "current.txt.new", "1.0\n", false},
      {root_ / "Versions" / "1.0.partial" / "empty.dat", "", false},
      {deep / "big.pak", std::string(3 * kFilePieceBytes + 7, 'b'), false},
      {root_ / "Versions", "", true},
      {deep, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.filename().string());
    if (c.folder) {
      fs::create_directories(c.path);
      EXPECT_EQ(FlushFolderToDisk(c.path), 0);
      EXPECT_EQ(FlushStagedFilesToDisk(c.path), 0);
      EXPECT_TRUE(FlushStagedFiles(c.path));
      continue;
    }
    std::FILE* file = OpenForWriting(c.path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::fwrite(c.bytes.data(), 1, c.bytes.size(), file), c.bytes.size());
    EXPECT_EQ(std::fflush(file), 0);
    EXPECT_EQ(FlushFileToDisk(file), 0);
    EXPECT_EQ(FlushStagedFileToDisk(file), 0);
    EXPECT_TRUE(c.bytes.empty() ? CloseStagedFile(file) : CloseWrittenFile(file));
    std::string bytes;
    EXPECT_TRUE(ReadWholeFile(c.path, bytes));
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST_F(LayoutTest, RemovePathTree) {
  const fs::path tree = root_ / "Versions";
  Put(tree / "1.0" / "bin" / "a.dll", "a");
  Put(tree / "1.0" / "kelvadon-installed.txt", "m");
  fs::create_directories(tree / "2.0.partial" / "empty");
  Put(tree / "stray.txt", "s");
  Put(root_ / "current.txt", "1.0\n");
  fs::create_directories(root_ / "empty");

  const fs::path removed[] = {root_ / "current.txt", root_ / "empty", tree, root_ / "missing",
                              root_ / "missing" / "deeper"};
  for (const fs::path& path : removed) {
    SCOPED_TRACE(path.string());
    EXPECT_FALSE(RemovePathTree(path));
    std::error_code ec;
    EXPECT_FALSE(fs::exists(fs::symlink_status(path, ec)));
  }
  EXPECT_TRUE(fs::is_empty(root_));
}

// A junction on Windows, a symbolic link on Linux: removed as one entry, never entered, at the
// top of the removal and inside a tree; what it leads to (with a marker to tempt a clean-up)
// stays whole.
TEST_F(LayoutTest, RemovePathTreeLeavesLinkedFoldersAlone) {
  Put(root_ / "user" / "saves" / "game.sav", "mine");
  Put(root_ / "user" / kMarkerFileName, "not the launcher's");
  fs::create_directories(root_ / "Versions" / "1.0");
  std::string error;
  if (!MakeFolderLink(root_ / "Versions" / "1.0" / "link", root_ / "user", error)) {
    GTEST_SKIP() << "no folder links here: " << error;
  }
  ASSERT_TRUE(MakeFolderLink(root_ / "top-link", root_ / "user", error)) << error;
  ASSERT_TRUE(MakeFolderLink(root_ / "Versions" / "2.0", root_ / "user", error)) << error;
  EXPECT_EQ(EntryKindOf(root_ / "top-link"), EntryKind::Link);
  EXPECT_EQ(EntryKindOf(root_ / "user"), EntryKind::Folder);

  const std::error_code treeError = RemovePathTree(root_ / "Versions");
  const std::error_code linkError = RemovePathTree(root_ / "top-link");
  if (!LinksCanBeRemoved()) {
    // Wine refuses to remove a host link it shows as a reparse point; what matters here, that
    // nothing is removed through it, still holds.
    EXPECT_TRUE(linkError);
    EXPECT_EQ(EntryKindOf(root_ / "top-link"), EntryKind::Link);
  } else {
    EXPECT_FALSE(treeError);
    EXPECT_FALSE(linkError);
    EXPECT_EQ(EntryKindOf(root_ / "Versions"), EntryKind::Missing);
    EXPECT_EQ(EntryKindOf(root_ / "top-link"), EntryKind::Missing);
  }
  EXPECT_EQ(Get(root_ / "user" / "saves" / "game.sav"), "mine");
  EXPECT_EQ(Get(root_ / "user" / kMarkerFileName), "not the launcher's");
  for (const char* link : {"Versions/1.0/link", "Versions/2.0", "top-link"}) {
    RemoveFolderLink(root_ / fs::path(link).make_preferred());
  }
}

// A file's kind and size from its entry alone, past the old path limit too, and a link as a link
// whatever it leads to.
TEST_F(LayoutTest, StatusesGiveKindAndSizeWithoutFollowingLinks) {
  const fs::path deep = fs::path(std::string(120, 'd')) / std::string(120, 'e') / "far.dat";
  Put(root_ / "player.exe", "twelve bytes");
  Put(root_ / "empty.txt", "");
  Put(root_ / "bin" / "lib.dll", std::string(70000, 'x'));
  Put(root_ / deep, "far");
  Put(root_ / "user" / "game.sav", "a save of some length");
  std::string error;
  const bool linked = MakeFolderLink(root_ / "saves-link", root_ / "user", error);
  const struct {
    fs::path path;
    EntryKind kind;
    uint64_t size;
  } cases[] = {
      {"player.exe", EntryKind::File, 12},
      {"empty.txt", EntryKind::File, 0},
      {fs::path("bin") / "lib.dll", EntryKind::File, 70000},
      {deep, EntryKind::File, 3},
      {"bin", EntryKind::Folder, 0},
      {"missing.dll", EntryKind::Missing, 0},
      {fs::path("missing") / "lib.dll", EntryKind::Missing, 0},
      {fs::path("player.exe") / "lib.dll", EntryKind::Missing, 0},
      {"saves-link", linked ? EntryKind::Link : EntryKind::Missing, 0},
  };
  // Enough paths for both threads, each case at a place of its own in the list.
  std::vector<fs::path> relatives;
  for (int round = 0; round < 60; ++round) {
    for (const auto& c : cases) relatives.push_back(c.path);
  }
  const std::vector<FileStatus> statuses = StatusesOf(root_, relatives);
  ASSERT_EQ(statuses.size(), relatives.size());
  for (size_t i = 0; i < relatives.size(); ++i) {
    const auto& c = cases[i % std::size(cases)];
    SCOPED_TRACE(PathToUtf8(c.path));
    EXPECT_EQ(statuses[i].kind, c.kind);
    EXPECT_EQ(statuses[i].size, c.size);
  }
  EXPECT_EQ(StatusesOf(root_ / "missing", {"a"})[0].kind, EntryKind::Missing);
  if (linked) RemoveFolderLink(root_ / "saves-link");
}

// Longer than Windows' 260-character limit at every step the helpers take.
TEST_F(LayoutTest, HelpersReachPathsPastTheOldLimit) {
  const fs::path deep =
      root_ / std::string(100, 'a') / std::string(100, 'b') / std::string(80, 'c');
  const fs::path file = deep / "file.dll";
  ASSERT_GT(fs::absolute(file).native().size(), 300u);
  ASSERT_TRUE(WriteWholeFile(file, "long way down"));
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(file, bytes));
  EXPECT_EQ(bytes, "long way down");
  EXPECT_EQ(EntryKindOf(file), EntryKind::File);
  std::error_code ec;
  EXPECT_TRUE(RenameReplacing(file, deep / "renamed.dll", ec)) << ec.value();
  EXPECT_TRUE(ReplaceFileAtomically(deep / "renamed.dll", "replaced"));
  EXPECT_TRUE(ReadWholeFile(deep / "renamed.dll", bytes));
  EXPECT_EQ(bytes, "replaced");
  EXPECT_FALSE(RemovePathTree(root_ / std::string(100, 'a')));
  EXPECT_EQ(EntryKindOf(root_ / std::string(100, 'a')), EntryKind::Missing);
}

// The rename's reason is the system's own description, one line, never a bare number.
TEST_F(LayoutTest, RenameFailureCarriesTheSystemsWords) {
  std::error_code ec;
  EXPECT_FALSE(RenameReplacing(root_ / "missing", root_ / "other", ec));
  ASSERT_TRUE(ec);
  const std::string text = SystemErrorText(ec.value());
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("error " + std::to_string(ec.value())), std::string::npos) << text;
#ifdef _WIN32
  EXPECT_TRUE(ec.value() == ERROR_FILE_NOT_FOUND || ec.value() == ERROR_PATH_NOT_FOUND);
#else
  EXPECT_EQ(text, "No such file or directory");
#endif
}

}  // namespace
