// Copies, hashes and file tails in pieces, in both builds: the excerpts the self-update takes of
// its own image and the checked copies the engine makes of kept files.
#include "update/transfer/transfer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/file_io.h"
#include "tests/update/test_website.h"

namespace fs = std::filesystem;

namespace {

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = MakeScratchFolder("kelvadon-transfer-test-");
    ASSERT_FALSE(scratch_.empty());
    provider_ = OpenSha256Provider();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(scratch_, ec);
  }

  fs::path scratch_;
  Sha256ProviderOwner provider_;
};

// Bytes that differ along the file, so that a piece out of place shows.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  return bytes;
}

TEST_F(TransferTest, ExcerptsWithPatchesAcrossPieces) {
  const size_t piece = kFilePieceBytes;
  const std::string file = Pattern(2 * piece + 100);
  WriteFiles(scratch_, {{"source.bin", file}});
  const fs::path source = scratch_ / "source.bin";
  struct Case {
    const char* name;
    FileExcerpt excerpt;
    bool readable;  // false: the excerpt asks for more than the file holds
  };
  const Case cases[] = {
      {"the whole file", {}, true},
      {"the whole file by its length", {file.size(), {}}, true},
      {"nothing", {0, {}}, true},
      {"up to a piece boundary", {piece, {}}, true},
      {"one byte past a piece boundary", {piece + 1, {}}, true},
      {"a patch in the first piece", {1000, {{10, "ABCD"}}}, true},
      {"a patch across a piece boundary", {file.size(), {{piece - 2, "WXYZ"}}}, true},
      {"patches at the start and the very end", {500, {{0, "S"}, {496, "ENDS"}}}, true},
      {"a patch running past the excerpt", {500, {{498, "ABCD"}}}, true},
      {"a patch wholly past the excerpt", {500, {{600, "ABCD"}}}, true},
      {"one byte more than the file", {file.size() + 1, {}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string expected;
    if (c.readable) {
      expected =
          file.substr(0, static_cast<size_t>(std::min<uint64_t>(c.excerpt.length, file.size())));
      for (const BytePatch& patch : c.excerpt.patches) {
        for (size_t i = 0; i < patch.bytes.size(); ++i) {
          if (patch.offset + i < expected.size()) expected[patch.offset + i] = patch.bytes[i];
        }
      }
    }
    const std::string hash = HashFileExcerpt(source, *provider_, c.excerpt);
    EXPECT_EQ(hash, c.readable ? Sha256Hex(expected) : "");

    const fs::path copy = scratch_ / "copies" / "copy.bin";
    const CopyOutcome good =
        CopyFileChecked(source, c.excerpt, copy, Sha256Hex(expected), *provider_);
    EXPECT_EQ(good, c.readable ? CopyOutcome::Done : CopyOutcome::Wrong);
    EXPECT_EQ(fs::exists(copy), c.readable);
    if (c.readable) {
      EXPECT_EQ(ReadBytes(copy), expected);
    }
    // Another fingerprint: the copy is made, found wrong and removed.
    EXPECT_EQ(CopyFileChecked(source, c.excerpt, copy, std::string(64, 'a'), *provider_),
              CopyOutcome::Wrong);
    EXPECT_FALSE(fs::exists(copy));
  }
}

TEST_F(TransferTest, CopiesThatCannotBeMade) {
  WriteFiles(scratch_, {{"source.bin", "bytes"}, {"blocked/inside.txt", "mine"}});
  const std::string hash = Sha256Hex("bytes");
  // A missing source leaves no file behind.
  EXPECT_EQ(CopyFileChecked(scratch_ / "missing.bin", {}, scratch_ / "out.bin", hash, *provider_),
            CopyOutcome::Wrong);
  EXPECT_FALSE(fs::exists(scratch_ / "out.bin"));
  // A folder in the way is not written and is left as it was.
  EXPECT_EQ(CopyFileChecked(scratch_ / "source.bin", {}, scratch_ / "blocked", hash, *provider_),
            CopyOutcome::NotWritten);
  EXPECT_EQ(ReadBytes(scratch_ / "blocked" / "inside.txt"), "mine");
  EXPECT_EQ(HashFileExcerpt(scratch_ / "missing.bin", *provider_), "");
  EXPECT_EQ(HashFileExcerpt(scratch_ / "blocked", *provider_), "");
  EXPECT_EQ(HashFileExcerpt(scratch_ / "source.bin", *provider_), hash);
}

TEST_F(TransferTest, FileTails) {
  const std::string file = Pattern(5000);
  WriteFiles(scratch_, {{"file.bin", file}, {"empty.bin", ""}});
  struct Case {
    const char* name;
    const char* file;
    size_t count;
    bool read;
    std::string tail;
    uint64_t size;
  };
  const Case cases[] = {
      {"the last bytes", "file.bin", 1072, true, file.substr(5000 - 1072), 5000},
      {"more than the file", "file.bin", 9000, true, file, 5000},
      {"exactly the file", "file.bin", 5000, true, file, 5000},
      {"none", "file.bin", 0, true, "", 5000},
      {"an empty file", "empty.bin", 1072, true, "", 0},
      {"no file", "missing.bin", 1072, false, "untouched", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string tail = "untouched";
    uint64_t size = 7;
    EXPECT_EQ(ReadFileTail(scratch_ / c.file, c.count, tail, size), c.read);
    EXPECT_EQ(tail, c.tail);
    EXPECT_EQ(size, c.size);
  }
}

}  // namespace
