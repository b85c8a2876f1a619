// Copies, hashes and file tails in pieces, in both builds: the excerpts the self-update takes of
// its own image and the checked copies the engine makes of kept files; and the planner's choice of
// where each byte of a file comes from.
#include "update/transfer/transfer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "update/transfer/executor.h"
#include "update/transfer/plan.h"

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

// Bytes that differ from one seed to the next.
std::string Seeded(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
  return bytes;
}

// A plan's pieces as text: "OFFSET+LENGTH SOURCE" each, the source "web" or the disk file's name.
std::string Pieces(const FilePlan& plan) {
  std::string text;
  for (const Piece& piece : plan.pieces) {
    text += (text.empty() ? "" : ", ") + std::to_string(piece.offset) + "+" +
            std::to_string(piece.length) + " " +
            (piece.disk == kFromWebsite ? std::string("web")
                                        : plan.disks[piece.disk].filename().string());
  }
  return text;
}

// Where each byte of a file comes from, by the rules in the order the planner tries them.
TEST_F(TransferTest, APlanTakesEachRunFromTheCheapestSource) {
  // Six chunks of 3000 bytes; the kept file at the same path differs in the fourth.
  std::vector<std::string> chunks;
  for (uint32_t i = 0; i < 6; ++i) chunks.push_back(Seeded(3000, i));
  std::vector<std::string> old = chunks;
  old[3] = Seeded(3000, 99);
  const std::string bytes = Joined(chunks);
  const std::string newList = ChunkListBytes(chunks);
  const std::string oldList = ChunkListBytes(old);
  WriteFiles(scratch_, {{"kept", Joined(old)}, {"partner", bytes}, {"other", bytes}});
  ChunkedKeptFiles chunked;
  AddChunkedKeptFile(chunked, {"data/pack.dat", Sha256Hex(Joined(old)), 18000, Sha256Hex(oldList)},
                     scratch_ / "kept");

  DownloadSettings wholeFiles;
  DownloadSettings smallRanges;
  smallRanges.rangedFileBytes = 8000;
  smallRanges.pieceBytes = 4000;
  struct Case {
    const char* name;
    bool chunkList;  // the entry names one
    bool listOnWebsite;
    std::vector<fs::path> partners;
    StagedFile staged;
    const ChunkedKeptFiles* kept;
    const DownloadSettings* settings;
    std::string pieces;
    uint64_t fetch;
    uint64_t write;
    size_t requests;
  };
  const ChunkedKeptFiles none;
  const Case cases[] = {
      {"a kept file of its fingerprint is copied, the next one kept in reserve",
       true,
       true,
       {scratch_ / "partner", scratch_ / "other"},
       {},
       &chunked,
       &wholeFiles,
       "0+18000 partner",
       0,
       18000,
       0},
      {"a file cut short continues where its bytes run together",
       false,
       true,
       {},
       {.whole = false, .length = 7000, .resumeFrom = 5000},
       &none,
       &wholeFiles,
       "0+5000 out, 5000+13000 web",
       13000,
       13000,
       0},
      {"a large file comes in pieces",
       false,
       true,
       {},
       {},
       &none,
       &smallRanges,
       "0+4000 web, 4000+4000 web, 8000+4000 web, 12000+4000 web, 16000+2000 web",
       18000,
       18000,
       0},
      {"a changed file is rebuilt from the kept file's chunks, in merged runs",
       true,
       true,
       {},
       {},
       &chunked,
       &wholeFiles,
       "0+9000 kept, 9000+3000 web, 12000+6000 kept",
       3000,
       18000,
       2},
      {"a chunk list that cannot be had leaves the whole-file rule",
       true,
       false,
       {},
       {},
       &chunked,
       &wholeFiles,
       "0+18000 web",
       18000,
       18000,
       1},
      {"with nothing to rebuild from, no chunk list is asked for",
       true,
       true,
       {},
       {},
       &none,
       &wholeFiles,
       "0+18000 web",
       18000,
       18000,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(scratch_ / "web");
    WriteFiles(scratch_ / "web", {{"client/files/" + Sha256Hex(oldList), oldList}});
    if (c.listOnWebsite) {
      WriteFiles(scratch_ / "web", {{"client/files/" + Sha256Hex(newList), newList}});
    }
    const ManifestFile file{"data/pack.dat", Sha256Hex(bytes), bytes.size(),
                            c.chunkList ? Sha256Hex(newList) : std::string()};
    FetchLog log;
    const HttpSessionOwner session = OpenHttpSession();
    const FilePlan plan = PlanFile(FolderFetcher(scratch_ / "web", &log), *session, *provider_,
                                   {.website = kTestWebsite,
                                    .file = file,
                                    .destination = scratch_ / "out",
                                    .staged = c.staged,
                                    .partners = c.partners,
                                    .chunked = *c.kept,
                                    .kept = {},
                                    .settings = *c.settings});
    EXPECT_EQ(Pieces(plan), c.pieces);
    EXPECT_EQ(plan.fetchBytes, c.fetch);
    EXPECT_EQ(plan.writeBytes, c.write);
    EXPECT_EQ(log.urls.size(), c.requests);
  }
}

// A kept copy that changed on the disk is passed over for the next one before the website is
// asked; with none left right, the file is fetched whole.
TEST_F(TransferTest, KeptCopiesAreTriedInTurnBeforeTheWebsite) {
  const std::string bytes = Seeded(5000, 7);
  std::string damaged = bytes;
  damaged[100] ^= 1;
  WriteFiles(
      scratch_,
      {{"damaged", damaged}, {"right", bytes}, {"web/client/files/" + Sha256Hex(bytes), bytes}});
  for (const bool rightKept : {true, false}) {
    SCOPED_TRACE(rightKept ? "a right copy is kept" : "no right copy is kept");
    FilePlan plan = WholeDownload(std::string(kTestWebsite) + "/client/files/" + Sha256Hex(bytes),
                                  Sha256Hex(bytes), bytes.size(), scratch_ / "out");
    plan.disks = {scratch_ / "damaged"};
    plan.pieces = {{0, bytes.size(), 0, 0}};
    if (rightKept) plan.partners = {scratch_ / "damaged", scratch_ / "right"};
    FetchLog log;
    const HttpSessionOwner session = OpenHttpSession();
    const TransferResult result = RunPlans(
        FolderFetcher(scratch_ / "web", &log), *session, {plan}, [](uint64_t) {}, [] {});
    EXPECT_EQ(result.failed, 1u);
    EXPECT_EQ(ReadBytes(scratch_ / "out"), bytes);
    EXPECT_EQ(log.urls.size(), rightKept ? 0u : 1u);
  }
}

}  // namespace
