#include "update/trust/manifest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>

#include "files/file_io.h"
#include "signed_fixture.h"
#include "update/store/install_root.h"

namespace fs = std::filesystem;

namespace {

constexpr char kPrefix[] = "The update's list of files doesn't make sense (";
constexpr char kUnsigned[] = "The update isn't signed by Kelvadon, so it wasn't installed";
constexpr char kNoKey[] =
    "This copy of the launcher was built before the release key was made (see "
    "apps/launcher/README.txt)";

const std::string kHash = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kHashJson = "\"" + kHash + "\"";

std::string Entry(const std::string& path, const std::string& sha = kHashJson,
                  const std::string& size = "1") {
  return "{\"path\": " + path + ", \"sha256\": " + sha + ", \"size\": " + size + "}";
}

std::string Document(const std::string& version, const std::string& files,
                     const std::string& launcher = "") {
  std::string text = "{\"version\": " + version + ", \"files\": " + files;
  if (!launcher.empty()) text += ", \"launcher\": " + launcher;
  return text + "}";
}

// A document whose only file has the given "path" JSON value.
std::string WithPath(const std::string& path) {
  return Document("\"1.0\"", "[" + Entry(path) + "]");
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

PublicKey FixtureKey() {
  const std::string bytes = FromHex(kSignedManifestKeyHex);
  PublicKey key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

Manifest Junk() {
  Manifest junk;
  junk.version = "junk";
  junk.files = {{"junk", "junk", 7, "junk"}};
  junk.launcher = {"junk.exe", "junk", 7, "junk"};
  return junk;
}

TEST(ParseManifestContent, Rules) {
  const std::string okEntry = Entry("\"a.exe\"");
  const std::string valid = Document("\"1.0\"", "[" + okEntry + "]");
  const std::string path300 = std::string(150, 'a') + "/" + std::string(149, 'b');
  struct Case {
    const char* what;
    std::string json;
    const char* reason;  // nullptr when the manifest is accepted
  };
  const Case cases[] = {
      {"minimal", valid, nullptr},
      {"extra members everywhere",
       "{\"x\": [1, {}], \"version\": \"1.0\", \"files\": [{\"path\": \"a\", \"extra\": null, "
       "\"sha256\": " +
           kHashJson + ", \"size\": 3}], \"launcher\": " +
           Entry("\"L.exe\"").insert(1, "\"more\": true, ") + ", \"tail\": \"t\"}",
       nullptr},
      {"version of 40 bytes", Document(Quote(std::string(40, 'v')), "[" + okEntry + "]"), nullptr},
      {"version of 41 bytes", Document(Quote(std::string(41, 'v')), "[" + okEntry + "]"),
       "bad version"},
      {"version starting with a dot", Document("\".1\"", "[" + okEntry + "]"), "bad version"},
      {"version with a space", Document("\"1 0\"", "[" + okEntry + "]"), "bad version"},
      {"version as a number", Document("1.0", "[" + okEntry + "]"), "bad version"},
      {"no version", "{\"files\": [" + okEntry + "]}", "bad version"},
      {"top level array", "[" + valid + "]", "bad version"},
      {"top level string", "\"1.0\"", "bad version"},
      {"no files", "{\"version\": \"1.0\"}", "no files"},
      {"empty files", Document("\"1.0\"", "[]"), "no files"},
      {"files as an object", Document("\"1.0\"", "{\"a\": " + okEntry + "}"), "no files"},
      {"file entry not an object", Document("\"1.0\"", "[" + okEntry + ", 5]"), "bad file"},
      {"file entry null", Document("\"1.0\"", "[null]"), "bad file"},
      {"upper-case fingerprint",
       Document("\"1.0\"", "[" + Entry("\"a\"", Quote("A" + kHash.substr(1))) + "]"), "bad file"},
      {"63-digit fingerprint",
       Document("\"1.0\"", "[" + Entry("\"a\"", Quote(kHash.substr(1))) + "]"), "bad file"},
      {"65-digit fingerprint", Document("\"1.0\"", "[" + Entry("\"a\"", Quote(kHash + "0")) + "]"),
       "bad file"},
      {"fingerprint with g",
       Document("\"1.0\"", "[" + Entry("\"a\"", Quote("g" + kHash.substr(1))) + "]"), "bad file"},
      {"fingerprint as a number", Document("\"1.0\"", "[" + Entry("\"a\"", "1") + "]"), "bad file"},
      {"no fingerprint", Document("\"1.0\"", "[{\"path\": \"a\", \"size\": 1}]"), "bad file"},
      {"path a/../b", WithPath("\"a/../b\""), "bad file"},
      {"path ./a", WithPath("\"./a\""), "bad file"},
      {"path a/./b", WithPath("\"a/./b\""), "bad file"},
      {"path ..", WithPath("\"..\""), "bad file"},
      {"path a//b", WithPath("\"a//b\""), "bad file"},
      {"path a\\\\b", WithPath("\"a\\\\\\\\b\""), "bad file"},
      {"path a/", WithPath("\"a/\""), "bad file"},
      {"path /a", WithPath("\"/a\""), "bad file"},
      {"path \\a", WithPath("\"\\\\a\""), "bad file"},
      {"path C:a", WithPath("\"C:a\""), "bad file"},
      {"path a:b", WithPath("\"a:b\""), "bad file"},
      {"empty path", WithPath("\"\""), "bad file"},
      {"path as a number", WithPath("7"), "bad file"},
      {"no path", Document("\"1.0\"", "[{\"sha256\": " + kHashJson + ", \"size\": 1}]"),
       "bad file"},
      {"path of 301 bytes", WithPath(Quote(path300 + "c")), "bad file"},
      {"path of 300 bytes", WithPath(Quote(path300)), nullptr},
      {"path a\\b", WithPath("\"a\\\\b\""), nullptr},
      {"path with spaces and UTF-8", WithPath("\" caf\xC3\xA9 /x y\""), nullptr},
      {"size 12.7", Document("\"1.0\"", "[" + Entry("\"a\"", kHashJson, "12.7") + "]"), nullptr},
      {"size -1", Document("\"1.0\"", "[" + Entry("\"a\"", kHashJson, "-1") + "]"), "bad file"},
      {"size -0.5", Document("\"1.0\"", "[" + Entry("\"a\"", kHashJson, "-0.5") + "]"), "bad file"},
      {"size as a string", Document("\"1.0\"", "[" + Entry("\"a\"", kHashJson, "\"12\"") + "]"),
       "bad file"},
      {"size null", Document("\"1.0\"", "[" + Entry("\"a\"", kHashJson, "null") + "]"), "bad file"},
      {"no size", Document("\"1.0\"", "[{\"path\": \"a\", \"sha256\": " + kHashJson + "}]"),
       "bad file"},
      {"huge size", Document("\"1.0\"", "[" + Entry("\"a\"", kHashJson, "1e300") + "]"), nullptr},
      {"launcher null", Document("\"1.0\"", "[" + okEntry + "]", "null"), "bad launcher"},
      {"launcher as a string", Document("\"1.0\"", "[" + okEntry + "]", "\"L.exe\""),
       "bad launcher"},
      {"launcher with upper-case fingerprint",
       Document("\"1.0\"", "[" + okEntry + "]",
                Entry("\"L.exe\"", Quote(kHash.substr(0, 63) + "F"))),
       "bad launcher"},
      {"launcher with a bad path", Document("\"1.0\"", "[" + okEntry + "]", Entry("\"../L.exe\"")),
       "bad launcher"},
      {"bad file before bad launcher", Document("\"1.0\"", "[" + Entry("\"/a\"") + "]", "null"),
       "bad file"},
      {"first of two versions counts",
       "{\"version\": \"1.0\", \"version\": \".x\", \"files\": [" + okEntry + "]}", nullptr},
      {"first of two versions counts, bad",
       "{\"version\": \".x\", \"version\": \"1.0\", \"files\": [" + okEntry + "]}", "bad version"},
      {"first of two files lists counts",
       "{\"version\": \"1.0\", \"files\": [], \"files\": [" + okEntry + "]}", "no files"},
      // A size of 0 is the empty file's: any other fingerprint could only be a download without
      // end.
      {"size 0 with another fingerprint",
       Document("\"1.0\"", "[" + Entry("\"a\"", kHashJson, "0") + "]"), "bad file"},
      {"launcher of size 0 with another fingerprint",
       Document("\"1.0\"", "[" + okEntry + "]", Entry("\"l.exe\"", kHashJson, "0.5")),
       "bad launcher"},
      {"size 0, the empty file",
       Document("\"1.0\"", "[" + Entry("\"a\"", Quote(kEmptyFileSha256), "0") + "]"), nullptr},
      {"first of two fingerprints counts",
       Document("\"1.0\"", "[{\"path\": \"a\", \"sha256\": " + kHashJson +
                               ", \"sha256\": \"X\", \"size\": 1}]"),
       nullptr},
  };
  for (const Case& c : cases) {
    Manifest manifest = Junk();
    std::string error = "untouched";
    const bool parsed = ParseManifestContent(c.json, manifest, error);
    if (c.reason == nullptr) {
      EXPECT_TRUE(parsed) << c.what << ": " << error;
      EXPECT_EQ(error, "untouched") << c.what;
    } else {
      EXPECT_FALSE(parsed) << c.what;
      EXPECT_EQ(error, std::string(kPrefix) + c.reason + ")") << c.what;
    }
  }
}

TEST(ParseManifestContent, Values) {
  const std::string json =
      Document("\"2.14.0\"",
               "[" + Entry("\"b/one.dll\"", kHashJson, "12.7") + ", " +
                   Entry("\"a\\\\two.dat\"", Quote(std::string(64, 'f')), "1e300") + ", " +
                   Entry("\"c\"", Quote(kEmptyFileSha256), "-0") + "]",
               Entry("\"KelvadonLauncher.exe\"", Quote(std::string(64, '0')), "4096"));
  Manifest manifest = Junk();
  std::string error;
  ASSERT_TRUE(ParseManifestContent(json, manifest, error)) << error;
  EXPECT_EQ(manifest.version, "2.14.0");
  ASSERT_EQ(manifest.files.size(), 3u);
  EXPECT_EQ(manifest.files[0].path, "b/one.dll");
  EXPECT_EQ(manifest.files[0].sha256, kHash);
  EXPECT_EQ(manifest.files[0].size, 12u);
  EXPECT_EQ(manifest.files[1].path, "a\\two.dat");
  EXPECT_EQ(manifest.files[1].size, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(manifest.files[2].size, 0u);
  EXPECT_EQ(manifest.launcher.path, "KelvadonLauncher.exe");
  EXPECT_EQ(manifest.launcher.sha256, std::string(64, '0'));
  EXPECT_EQ(manifest.launcher.size, 4096u);

  // Without a launcher entry the launcher is empty, whatever the record held before.
  manifest = Junk();
  ASSERT_TRUE(ParseManifestContent(WithPath("\"a\""), manifest, error)) << error;
  EXPECT_EQ(manifest.launcher.path, "");
  EXPECT_EQ(manifest.launcher.sha256, "");
  EXPECT_EQ(manifest.launcher.size, 0u);
  ASSERT_EQ(manifest.files.size(), 1u);
}

// The optional chunk-list member: the same entry with and without it parses to the same file,
// and a member that is no fingerprint is read as none rather than refusing the update.
TEST(ParseManifestContent, ChunksMember) {
  const std::string other(64, 'e');
  struct Case {
    const char* what;
    std::string member;  // inserted into the entry; empty: none
    std::string chunks;  // expected
  };
  const Case cases[] = {
      {"absent", "", ""},
      {"a fingerprint", ", \"chunks\": " + Quote(other), other},
      {"upper-case digit", ", \"chunks\": " + Quote("E" + other.substr(1)), ""},
      {"63 digits", ", \"chunks\": " + Quote(other.substr(1)), ""},
      {"empty text", ", \"chunks\": \"\"", ""},
      {"a number", ", \"chunks\": 7", ""},
      {"null", ", \"chunks\": null", ""},
      {"an object", ", \"chunks\": {\"sha256\": " + Quote(other) + "}", ""},
      {"first of two counts", ", \"chunks\": " + Quote(other) + ", \"chunks\": \"x\"", other},
  };
  for (const Case& c : cases) {
    std::string entry = Entry("\"pack.dat\"", kHashJson, "4096");
    entry.insert(entry.size() - 1, c.member);
    const std::string json =
        Document("\"1.0\"", "[" + entry + ", " + Entry("\"small.dll\"") + "]", entry);
    Manifest manifest = Junk();
    std::string error;
    ASSERT_TRUE(ParseManifestContent(json, manifest, error)) << c.what << ": " << error;
    ASSERT_EQ(manifest.files.size(), 2u) << c.what;
    EXPECT_EQ(manifest.files[0].path, "pack.dat") << c.what;
    EXPECT_EQ(manifest.files[0].sha256, kHash) << c.what;
    EXPECT_EQ(manifest.files[0].size, 4096u) << c.what;
    EXPECT_EQ(manifest.files[0].chunks, c.chunks) << c.what;
    EXPECT_EQ(manifest.files[1].chunks, "") << c.what;
    EXPECT_EQ(manifest.launcher.chunks, c.chunks) << c.what;
  }
}

// The optional packed member: read whole when good, and as none when any part of it is not, so a
// publisher's slip costs only the raw download.
TEST(ParseManifestContent, PackedMember) {
  const std::string a(64, 'a');
  const std::string b(64, 'b');
  const auto packed = [](const std::string& members) { return ", \"packed\": {" + members + "}"; };
  struct Case {
    const char* what;
    std::string member;
    PackedObject expected;
  };
  const Case cases[] = {
      {"absent", "", {}},
      {"a file", packed("\"sha256\": " + Quote(a) + ", \"size\": 900"), {a, 900}},
      {"a chunked file",
       packed("\"sha256\": " + Quote(a) + ", \"size\": 900.5, \"chunks\": " + Quote(b)),
       {a, 900, b}},
      {"chunks no fingerprint",
       packed("\"sha256\": " + Quote(a) + ", \"size\": 900, \"chunks\": \"x\""),
       {a, 900}},
      {"size 0", packed("\"sha256\": " + Quote(a) + ", \"size\": 0"), {}},
      {"size negative", packed("\"sha256\": " + Quote(a) + ", \"size\": -1"), {}},
      {"size a text", packed("\"sha256\": " + Quote(a) + ", \"size\": \"900\""), {}},
      {"size absent", packed("\"sha256\": " + Quote(a)), {}},
      {"sha256 upper case",
       packed("\"sha256\": " + Quote("A" + a.substr(1)) + ", \"size\": 9"),
       {}},
      {"a text", ", \"packed\": " + Quote(a), {}},
  };
  for (const Case& c : cases) {
    std::string entry = Entry("\"pack.dat\"", kHashJson, "4096");
    entry.insert(entry.size() - 1, c.member);
    Manifest manifest = Junk();
    std::string error;
    ASSERT_TRUE(
        ParseManifestContent(Document("\"1.0\"", "[" + entry + "]", entry), manifest, error))
        << c.what << ": " << error;
    for (const ManifestFile* file : {&manifest.files[0], &manifest.launcher}) {
      EXPECT_EQ(file->packed.sha256, c.expected.sha256) << c.what;
      EXPECT_EQ(file->packed.size, c.expected.size) << c.what;
      EXPECT_EQ(file->packed.chunks, c.expected.chunks) << c.what;
    }
  }
}

// The optional patches member: each good patch is read, each bad one left out alone.
TEST(ParseManifestContent, PatchesMember) {
  const std::string a(64, 'a');
  const std::string b(64, 'b');
  const auto patch = [](const std::string& from, const std::string& sha256,
                        const std::string& size) {
    return "{\"from\": " + Quote(from) + ", \"sha256\": " + Quote(sha256) + ", \"size\": " + size +
           "}";
  };
  const std::string good = patch(a, b, "700");
  std::string many;
  for (int i = 0; i < 20; ++i) many += ", " + good;
  struct Case {
    const char* what;
    std::string member;
    size_t read;  // good patches read, each the good one
  };
  const std::vector<Case> cases = {
      {"one", "[" + good + "]", 1},
      {"bad ones beside a good one",
       "[" + patch("x", b, "7") + ", " + patch(a, b, "0") + ", " + patch(a, b, "\"7\"") + ", 5, " +
           patch(kHash, b, "7") + ", " + good + "]",
       1},
      {"a list too long", "[" + good + many + "]", kMaxPatchesPerFile},
      {"not a list", good, 0},
  };
  for (const Case& c : cases) {
    std::string entry = Entry("\"pack.dat\"", kHashJson, "4096");
    entry.insert(entry.size() - 1, ", \"patches\": " + c.member);
    Manifest manifest = Junk();
    std::string error;
    ASSERT_TRUE(
        ParseManifestContent(Document("\"1.0\"", "[" + entry + "]", entry), manifest, error))
        << c.what << ": " << error;
    ASSERT_EQ(manifest.files[0].patches.size(), c.read) << c.what;
    for (const PatchObject& read : manifest.files[0].patches) {
      EXPECT_EQ(read.from, a) << c.what;
      EXPECT_EQ(read.sha256, b) << c.what;
      EXPECT_EQ(read.size, 700u) << c.what;
    }
  }
}

TEST(ParseManifestContent, MalformedJsonCarriesTheReadersMessage) {
  for (const char* text : {"", "{", "{\"version\": \"1.0\",}", "[1, 2", "nul"}) {
    Manifest manifest;
    std::string error;
    EXPECT_FALSE(ParseManifestContent(text, manifest, error)) << text;
    EXPECT_EQ(error.rfind(kPrefix, 0), 0u) << error;
    EXPECT_EQ(error.back(), ')') << error;
    EXPECT_GT(error.size(), std::string(kPrefix).size() + 1) << error;
  }
}

TEST(ByteCountFromNumber, NeverLeavesTheRangeOfItsType) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  struct Case {
    double number;
    uint64_t expected;
  };
  const Case cases[] = {
      {std::nan(""), 0},
      {-0.0, 0},
      {0.5, 0},
      {12.7, 12},
      {9223372036854775808.0, 9223372036854775808ull},
      {18446744073709549568.0, 18446744073709549568ull},  // the largest double below 2^64
      {18446744073709551616.0, kMax},
      {1e300, kMax},
      {std::numeric_limits<double>::infinity(), kMax},
  };
  for (const Case& c : cases) EXPECT_EQ(ByteCountFromNumber(c.number), c.expected) << c.number;
}

TEST(ParseManifestWithKey, SignatureComesFirst) {
  const PublicKey key = FixtureKey();
  const std::string manifestBytes(kSignedManifest);
  const std::string signature = FromHex(kSignedManifestSignatureHex);

  Manifest manifest = Junk();
  std::string error = "untouched";
  ASSERT_TRUE(ParseManifestWithKey(key, manifestBytes, signature, manifest, error)) << error;
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(manifest.version, "1.0");
  ASSERT_EQ(manifest.files.size(), 2u);
  EXPECT_EQ(manifest.files[1].path, "kelvadon_studio.exe");
  EXPECT_EQ(manifest.launcher.path, "KelvadonLauncher.exe");

  std::string changed = manifestBytes;
  changed[changed.find("1.0")] = '2';
  struct Case {
    const char* what;
    PublicKey key;
    std::string manifest;
    std::string signature;
    const char* error;
  };
  const Case cases[] = {
      {"no key, good signature", PublicKey{}, manifestBytes, signature, kNoKey},
      {"no key, no signature", PublicKey{}, "not even JSON", "", kNoKey},
      {"63-byte signature", key, manifestBytes, signature.substr(0, 63), kUnsigned},
      {"65-byte signature", key, manifestBytes, signature + "x", kUnsigned},
      {"one changed byte", key, changed, signature, kUnsigned},
      {"trailing newline", key, manifestBytes + "\n", signature, kUnsigned},
      {"unsigned garbage", key, "not even JSON", signature, kUnsigned},
  };
  for (const Case& c : cases) {
    Manifest unused;
    error = "untouched";
    EXPECT_FALSE(ParseManifestWithKey(c.key, c.manifest, c.signature, unused, error)) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
}

TEST(ParseManifest, ChecksAgainstTheBuiltInKey) {
  Manifest manifest;
  std::string error;
  const std::string signature = FromHex(kSignedManifestSignatureHex);
  if (ReleaseKey == FixtureKey()) GTEST_SKIP() << "built with the test fixture's key";
  EXPECT_FALSE(ParseManifest(kSignedManifest, signature, manifest, error));
  EXPECT_EQ(error, HasReleaseKey() ? kUnsigned : kNoKey);
}

class LoadInstalledManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = fs::temp_directory_path() / ("kelvadon-manifest-test-" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directories(folder_));
  }
  void TearDown() override { RemovePathTree(folder_); }
  fs::path folder_;
};

TEST_F(LoadInstalledManifestTest, NeedsBothFiles) {
  Manifest manifest;
  EXPECT_FALSE(LoadInstalledManifest(folder_ / "missing", manifest));
  ASSERT_TRUE(WriteWholeFile(folder_ / "manifest.json", kSignedManifest));
  EXPECT_FALSE(LoadInstalledManifest(folder_, manifest));
  // With both present, the stored files get the full check again.
  ASSERT_TRUE(WriteWholeFile(folder_ / "manifest.sig", FromHex(kSignedManifestSignatureHex)));
  std::string error;
  Manifest expected;
  EXPECT_EQ(LoadInstalledManifest(folder_, manifest),
            ParseManifest(kSignedManifest, FromHex(kSignedManifestSignatureHex), expected, error));
}

}  // namespace
