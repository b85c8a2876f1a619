// A big file rebuilt from the kept version's copy and a few fetched ranges, against the test
// website through the real HttpFetch, the same cases in both builds: what nginx was asked for, and
// every way the rebuild gives up and downloads the file whole. The test writes its own website
// (files by fingerprint, chunk lists, a manifest signed through the test website).
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "tests/update/website_scenario.h"
#include "update/engine.h"
#include "update/store/install_root.h"
#include "update/trust/chunk_list.h"
#include "update/trust/crypto.h"
#include "update/trust/packed.h"
#include "website_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr char kPack[] = "data/pack.dat";

// A file as its chunks; no chunks list when chunked is false, and a packed object (one stream per
// chunk, with a packed chunk list when chunked) when packed.
struct Content {
  std::vector<std::string> chunks;
  bool chunked = true;
  bool packed = false;
  // Files a patch rebuilds it from (PatchOf), named in its manifest entry.
  std::vector<std::string> bases = {};
  std::string Bytes() const {
    std::string bytes;
    for (const std::string& chunk : chunks) bytes += chunk;
    return bytes;
  }
};
using Client = std::map<std::string, Content>;

ChunkList ListOf(const Content& content) {
  ChunkList list;
  for (const std::string& chunk : content.chunks) {
    list.chunks.push_back({list.fileSize, static_cast<uint32_t>(chunk.size()), Sha256Hex(chunk)});
    list.fileSize += chunk.size();
  }
  return list;
}

// 60 chunks of uneven sizes.
Content PackOne() {
  const size_t sizes[] = {3000, 5000, 4096, 7001, 6000};
  Content pack;
  for (uint32_t i = 0; i < 60; ++i) pack.chunks.push_back(RandomBytes(sizes[i % 5], i));
  return pack;
}

// PackOne with chunk 3 changed, chunks 10 and 11 changed (one range), and 100 bytes inserted into
// chunk 30, which moves every later chunk.
Content PackTwo() {
  Content pack = PackOne();
  pack.chunks[3] = RandomBytes(pack.chunks[3].size(), 1003);
  pack.chunks[10] = RandomBytes(pack.chunks[10].size(), 1010);
  pack.chunks[11] = RandomBytes(999, 1011);
  pack.chunks[30].insert(50, RandomBytes(100, 1030));
  return pack;
}

// The packed object: each chunk packed on its own, or the whole file when it has no chunk list.
std::string PackedOf(const Content& content) {
  if (!content.chunked) return PackBytes(content.Bytes());
  std::string packed;
  for (const std::string& chunk : content.chunks) packed += PackBytes(chunk);
  return packed;
}

// Bytes that deflate to about half: each half of a chunk is the other.
std::string Squeezable(size_t size, uint32_t seed) {
  const std::string half = RandomBytes(size / 2, seed);
  return half + half + std::string(size % 2, 'k');
}

// The content packed, every other chunk made squeezable.
Content Packed(Content content) {
  content.packed = true;
  for (size_t i = 0; i < content.chunks.size(); i += 2) {
    content.chunks[i] = Squeezable(content.chunks[i].size(), 500 + static_cast<uint32_t>(i));
  }
  return content;
}

void AppendVarint(std::string& out, uint64_t value) {
  for (; value >= 0x80; value >>= 7) out += static_cast<char>((value & 0x7f) | 0x80);
  out += static_cast<char>(value);
}

// A deflated patch that rebuilds next from old in one record of one run: old's bytes as far as
// both go, each with next's difference added, then the rest of next as it is. Small when next
// differs from old in a few bytes only.
std::string PatchOf(const std::string& old, const std::string& next) {
  std::string patch = "KVPT";
  for (const auto& [value, width] : {std::pair<uint64_t, int>{1, 4}, {next.size(), 8}}) {
    for (int i = 0; i < width; ++i) patch += static_cast<char>(value >> (8 * i));
  }
  const size_t copy = std::min(old.size(), next.size());
  AppendVarint(patch, copy);
  AppendVarint(patch, next.size() - copy);
  AppendVarint(patch, 0);
  if (copy != 0) {
    AppendVarint(patch, 0);
    AppendVarint(patch, copy);
  }
  for (size_t i = 0; i < copy; ++i) patch += static_cast<char>(next[i] - old[i]);
  return PackBytes(patch + next.substr(copy));
}

uint64_t OffsetOf(const Content& content, size_t chunk) {
  uint64_t offset = 0;
  for (size_t i = 0; i < chunk; ++i) offset += content.chunks[i].size();
  return offset;
}

// The percentage of a progress report, or -1.
int Percent(const std::string& report) {
  const std::string lead = "Updating Kelvadon... ";
  if (report.rfind(lead, 0) != 0 || report.back() != '%') return -1;
  return std::stoi(report.substr(lead.size()));
}

class ChunkedRebuildWebsiteTest : public WebsiteScenarioTest {
 protected:
  void SetUp() override {
    WebsiteScenarioTest::SetUp();
    files_ = site_.root / scenario_ / "client" / "files";
  }

  // Puts the files and their chunk lists on the website and signs a manifest naming them.
  void Publish(const std::string& version, const Client& client) {
    std::string json = "{\"version\": \"" + version +
                       "\", \"sequence\": " + std::to_string(++sequence_) + ", \"files\": [";
    const char* separator = "";
    for (const auto& [path, content] : client) {
      const std::string bytes = content.Bytes();
      const std::string sha256 = Sha256Hex(bytes);
      WriteFiles(files_, {{sha256, bytes}});
      json += separator;
      separator = ", ";
      json += "{\"path\": \"" + path + "\", \"sha256\": \"" + sha256 +
              "\", \"size\": " + std::to_string(bytes.size());
      if (content.chunked) {
        const std::string list = SerializeChunkList(ListOf(content));
        WriteFiles(files_, {{Sha256Hex(list), list}});
        json += ", \"chunks\": \"" + Sha256Hex(list) + "\"";
      }
      if (content.packed) {
        const std::string packed = PackedOf(content);
        WriteFiles(files_, {{Sha256Hex(packed), packed}});
        json += ", \"packed\": {\"sha256\": \"" + Sha256Hex(packed) +
                "\", \"size\": " + std::to_string(packed.size());
        if (content.chunked) {
          ChunkList list = ListOf(content);
          list.packed = true;
          for (size_t i = 0; i < list.chunks.size(); ++i) {
            list.chunks[i].packedSize = static_cast<uint32_t>(PackBytes(content.chunks[i]).size());
          }
          const std::string listBytes = SerializeChunkList(list);
          WriteFiles(files_, {{Sha256Hex(listBytes), listBytes}});
          json += ", \"chunks\": \"" + Sha256Hex(listBytes) + "\"";
        }
        json += "}";
      }
      const char* listed = ", \"patches\": [";
      for (const std::string& base : content.bases) {
        const std::string patch = PatchOf(base, bytes);
        WriteFiles(files_, {{Sha256Hex(patch), patch}});
        json += std::exchange(listed, ", ") + std::string("{\"from\": \"") + Sha256Hex(base) +
                "\", \"sha256\": \"" + Sha256Hex(patch) +
                "\", \"size\": " + std::to_string(patch.size()) + "}";
      }
      if (!content.bases.empty()) json += "]";
      json += "}";
    }
    json += "]}";
    std::string error;
    ASSERT_TRUE(SignTestManifest(site_, scenario_, json, error)) << error;
  }

  // Publishes second as 2.0 after change(), updates the installed 1.0 to it from website (nginx
  // when empty) and checks the files it placed; what nginx was asked for meanwhile.
  std::vector<LoggedRequest> UpdateTo(const Client& second, const std::function<void()>& change,
                                      const std::string& website) {
    Publish("2.0", second);
    change();
    NewRequests();
    const UpdateResult result = Run(website);
    EXPECT_TRUE(result.ready) << result.error;
    for (const auto& [path, content] : second) {
      EXPECT_EQ(ReadBytes(root_ / "Versions" / "2.0" / path), content.Bytes()) << path;
    }
    EXPECT_TRUE(!reports_.empty() && reports_.back().text == "Updating Kelvadon... 100%");
    return NewRequests();
  }

  static std::string FileUrl(const std::string& bytes) {
    return "/client/files/" + Sha256Hex(bytes);
  }

  fs::path files_;
  int sequence_ = 0;
};

// Each case installs 1.0 into a root of its own, changes something, and updates to 2.0. What it
// expects of the pack: ranges nginx answered with 206 (start and length in the new file, in any
// order), and whether it was fetched whole.
TEST_F(ChunkedRebuildWebsiteTest, UpdatesOfAPack) {
  const Content one = PackOne();
  const Content two = PackTwo();
  const Content player = {{"player one"}, false};
  const Content newPack = {{RandomBytes(5000, 77), RandomBytes(3000, 78)}, true};
  const std::vector<uint64_t> changed = {
      two.chunks[3].size(), two.chunks[10].size() + two.chunks[11].size(), two.chunks[30].size()};
  const Client clientOne = {{"kelvadon_player.exe", player}, {kPack, one}};
  const Client clientTwo = {{"kelvadon_player.exe", {{"player two"}, false}}, {kPack, two}};
  Content unchunkedOne = one;
  unchunkedOne.chunked = false;
  const std::string listOne = SerializeChunkList(ListOf(one));
  const std::string listTwo = SerializeChunkList(ListOf(two));

  struct Case {
    const char* name;
    Client first;
    Client second;
    // Run after both are published and 1.0 installed, with the root.
    std::function<void(const fs::path&)> change;
    std::string website;  // the address to update from; empty: nginx
    std::vector<uint64_t> ranges;
    bool whole;
    std::string alsoWhole = {};  // another file fetched whole, or empty
  };
  const auto nothing = [](const fs::path&) {};
  const Case cases[] = {
      {"rebuilt from chunks", clientOne, clientTwo, nothing, "", changed, false},
      {"new chunk list with a wrong fingerprint",
       clientOne,
       clientTwo,
       [&](const fs::path&) {
         WriteFiles(files_, {{Sha256Hex(listTwo), listOne}});
       },
       "",
       {},
       true},
      {"kept chunk list with a wrong fingerprint",
       clientOne,
       clientTwo,
       [&](const fs::path&) {
         WriteFiles(files_, {{Sha256Hex(listOne), listTwo}});
       },
       "",
       {},
       true},
      {"new chunk list missing",
       clientOne,
       clientTwo,
       [&](const fs::path&) { fs::remove(files_ / Sha256Hex(listTwo)); },
       "",
       {},
       true},
      // Kept chunks are checked by the file's fingerprint only, once: a file that comes out wrong
      // is fetched whole.
      {"a kept chunk altered on disk", clientOne, clientTwo,
       [&](const fs::path& root) {
         const fs::path kept = root / "Versions" / "1.0" / kPack;
         std::string bytes = ReadBytes(kept);
         bytes[OffsetOf(one, 20) + 7] ^= 1;
         WriteFiles(root / "Versions" / "1.0", {{kPack, bytes}});
       },
       "", changed, true},
      {"a file with no old counterpart", clientOne,
       [&] {
         Client client = clientTwo;
         client["data/new.pak"] = newPack;
         return client;
       }(),
       nothing, "", changed, false, newPack.Bytes()},
      {"kept manifest without chunk lists",
       {{"kelvadon_player.exe", player}, {kPack, unchunkedOne}},
       clientTwo,
       nothing,
       "",
       {},
       true},
      {"ranges answered with the whole file",
       clientOne,
       clientTwo,
       nothing,
       Fault("no-ranges"),
       {},
       true},
      {"a range with a wrong byte",
       clientOne,
       clientTwo,
       nothing,
       Fault("range-wrong-byte"),
       {},
       true},
      {"ranges answered one byte further on",
       clientOne,
       clientTwo,
       nothing,
       Fault("range-shifted"),
       {},
       true},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path root = scratch_ / ("root-" + std::to_string(++count));
    root_ = root;
    Publish("1.0", c.first);
    UpdateResult result = Run();
    ASSERT_TRUE(result.ready) << result.error;
    Publish("2.0", c.second);
    c.change(root);
    NewRequests();
    result = Run(c.website);
    ASSERT_TRUE(result.ready) << result.error;
    for (const auto& [path, content] : c.second) {
      EXPECT_EQ(ReadBytes(root / "Versions" / "2.0" / path), content.Bytes()) << path;
    }
    EXPECT_EQ(CurrentVersionFolder(root), root / "Versions" / "2.0");
    ASSERT_FALSE(reports_.empty());
    // The total counts what the plan fetches; what it could not foresee never goes past it.
    for (const auto& report : reports_) EXPECT_LE(Percent(report.text), 100) << report.text;
    EXPECT_EQ(reports_.back().text, "Updating Kelvadon... 100%");
    if (!c.website.empty()) continue;  // the fault server's answers are not in nginx's log

    std::multiset<uint64_t> ranges;
    int whole = 0;
    int otherWhole = 0;
    for (const LoggedRequest& request : NewRequests()) {
      if (!c.alsoWhole.empty() && request.path == FileUrl(c.alsoWhole)) {
        otherWhole += request.status == 200 ? 1 : 100;
      }
      if (request.path != FileUrl(two.Bytes())) continue;
      if (request.status == 206) ranges.insert(request.bytes);
      if (request.status == 200) ++whole;
    }
    EXPECT_EQ(ranges, std::multiset<uint64_t>(c.ranges.begin(), c.ranges.end()));
    EXPECT_EQ(whole, c.whole ? 1 : 0);
    EXPECT_EQ(otherWhole, c.alsoWhole.empty() ? 0 : 1);
  }
}

// Files the website has packed, installed and then updated: what nginx was asked for, and every
// way a packed object can fail and leave the raw file to be fetched once, whole.
TEST_F(ChunkedRebuildWebsiteTest, PackedFilesAndTheirFallback) {
  const std::string player = "kelvadon_player.exe";
  const Content playerTwo = Packed({{"player two", Squeezable(20000, 2)}, false});
  const Content two = Packed(PackTwo());
  const Client clientOne = {{player, Packed({{"player one", Squeezable(20000, 1)}, false})},
                            {kPack, Packed(PackOne())}};
  const Client clientTwo = {{player, playerTwo}, {kPack, two}};
  const auto store = [&](const Content& content, const std::string& bytes) {
    return [&, content, bytes] { WriteFiles(files_, {{Sha256Hex(PackedOf(content)), bytes}}); };
  };
  std::string otherBytes = playerTwo.Bytes();
  otherBytes[9] ^= 1;
  Client unpacked = clientTwo;
  for (auto& [path, content] : unpacked) content.packed = false;

  struct Case {
    const char* name;
    std::string rawWhole;  // the file fetched whole as stored, if any; the others only packed
    std::function<void()> change = [] {};
    Client second = {};        // clientTwo when empty
    std::string website = {};  // the address to update from; empty: nginx
  };
  const Case cases[] = {
      {"packed, the pack rebuilt from packed chunks", ""},
      {"packed object missing", kPack, [&] { fs::remove(files_ / Sha256Hex(PackedOf(two))); }},
      {"packed object cut short", kPack, store(two, PackedOf(two).substr(0, 20000))},
      {"inflating to too many bytes", player, store(playerTwo, PackBytes(playerTwo.Bytes() + "x"))},
      {"inflating to other bytes", player, store(playerTwo, PackBytes(otherBytes))},
      {"packed object not packed", player, store(playerTwo, playerTwo.Bytes())},
      {"a manifest without packed objects", player, [] {}, unpacked},
      {"ranges answered with the whole file", "", [] {}, {}, Fault("no-ranges")},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Client& second = c.second.empty() ? clientTwo : c.second;
    root_ = scratch_ / ("packed-root-" + std::to_string(++count));
    Publish("1.0", clientOne);
    NewRequests();
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ready) << result.error;
    // A fresh install fetches packed objects only.
    for (const LoggedRequest& request : NewRequests()) {
      for (const auto& [path, content] : clientOne)
        EXPECT_NE(request.path, FileUrl(content.Bytes()));
    }
    const std::vector<LoggedRequest> requests = UpdateTo(second, c.change, c.website);
    if (!c.website.empty()) continue;  // the fault server's answers are not in nginx's log
    for (const auto& [path, content] : second) {
      // Requests for the raw file: whole (200) and ranges; bytes of packed ranges.
      int whole = 0;
      int ranges = 0;
      uint64_t packedRanges = 0;
      for (const LoggedRequest& request : requests) {
        if (request.path == FileUrl(content.Bytes())) ++(request.status == 200 ? whole : ranges);
        if (request.path == "/client/files/" + Sha256Hex(PackedOf(content)) &&
            request.status == 206) {
          packedRanges += request.bytes;
        }
      }
      EXPECT_EQ(whole, c.rawWhole == path ? 1 : 0) << path;
      EXPECT_TRUE(!content.packed || ranges == 0) << path;
      // The pack's changed chunks only, as ranges of its packed object.
      if (path == kPack && c.rawWhole != path && content.packed) {
        EXPECT_GT(packedRanges, 0u);
        EXPECT_LT(packedRanges, PackedOf(content).size() / 4);
      }
    }
  }
}

// A changed file rebuilt from its kept version by a patch, and every way a patch can be of no use
// or fail, which leaves the file to its plan without the patch: what nginx was asked for.
TEST_F(ChunkedRebuildWebsiteTest, PatchedFilesAndTheirFallback) {
  const std::string player = "kelvadon_player.exe";
  const Content playerOne = {{"player one", RandomBytes(30000, 1)}, false};
  const Content packOne = PackOne();
  // A few bytes changed in three chunks, as a rebuild of a program changes it.
  Content packTwo = packOne;
  for (const size_t chunk : {3, 10, 40}) packTwo.chunks[chunk][100] ^= 1;
  Content playerTwo = playerOne;
  playerTwo.chunks[1][7] ^= 1;
  const auto patched = [](Content content, const Content& base) {
    content.bases = {base.Bytes()};
    return content;
  };
  const Client clientOne = {{player, playerOne}, {kPack, packOne}};
  const Client clientTwo = {{player, patched(playerTwo, playerOne)},
                            {kPack, patched(packTwo, packOne)}};
  const auto store = [&](const std::string& base, const Content& next, const std::string& bytes) {
    return [&, base, next, bytes] {
      WriteFiles(files_, {{Sha256Hex(PatchOf(base, next.Bytes())), bytes}});
    };
  };
  Content otherPlayer = playerTwo;
  otherPlayer.chunks[1][8] ^= 1;
  Content longerPlayer = playerTwo;
  longerPlayer.chunks[1] += "x";
  const std::string packPatch = PatchOf(packOne.Bytes(), packTwo.Bytes());

  struct Case {
    const char* name;
    // Whether the patches were fetched, and whether the files then came from their plans without
    // them: the pack from ranges, the player whole.
    bool patchesFetched;
    bool fellBack;
    std::function<void()> change = [] {};
    Client second = {};        // clientTwo when empty
    std::string website = {};  // the address to update from; empty: nginx
  };
  const Case cases[] = {
      {"patched", true, false},
      {"no patch of a kept file",
       false,
       true,
       [] {},
       {{player, patched(playerTwo, {{"other"}})}, {kPack, patched(packTwo, {{"other"}})}}},
      {"a manifest without patches", false, true, [] {}, {{player, playerTwo}, {kPack, packTwo}}},
      {"patches cut short", true, true,
       [&] {
         store(playerOne.Bytes(), playerTwo, "")();
         store(packOne.Bytes(), packTwo, packPatch.substr(0, packPatch.size() / 2))();
       }},
      {"a patch giving too many bytes", true, true,
       store(playerOne.Bytes(), playerTwo, PatchOf(playerOne.Bytes(), longerPlayer.Bytes()))},
      {"a patch giving other bytes", true, true,
       store(playerOne.Bytes(), playerTwo, PatchOf(playerOne.Bytes(), otherPlayer.Bytes()))},
      {"ranges answered with the whole file", true, false, [] {}, {}, Fault("no-ranges")},
  };
  int count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Client& second = c.second.empty() ? clientTwo : c.second;
    root_ = scratch_ / ("patched-root-" + std::to_string(++count));
    Publish("1.0", clientOne);
    const UpdateResult result = Run();
    ASSERT_TRUE(result.ready) << result.error;
    const std::vector<LoggedRequest> requests = UpdateTo(second, c.change, c.website);
    if (!c.website.empty()) continue;  // the fault server's answers are not in nginx's log
    for (const auto& [path, content] : second) {
      // The player fell back when its stored patch was changed, and the pack when its was.
      const std::string patch = PatchOf(clientOne.at(path).Bytes(), content.Bytes());
      const bool patchChanged = ReadBytes(files_ / Sha256Hex(patch)) != patch;
      const bool fellBack = c.fellBack && (patchChanged || !c.patchesFetched);
      int patches = 0;
      int whole = 0;
      int ranges = 0;
      for (const LoggedRequest& request : requests) {
        if (request.path == "/client/files/" + Sha256Hex(patch)) ++patches;
        if (request.path == FileUrl(content.Bytes())) ++(request.status == 200 ? whole : ranges);
      }
      EXPECT_EQ(patches, c.patchesFetched && (!content.bases.empty()) ? 1 : 0) << path;
      EXPECT_EQ(whole, fellBack && path == player ? 1 : 0) << path;
      EXPECT_EQ(ranges > 0, fellBack && path == kPack) << path;
    }
  }
}

// An install stopped part way through a packed file keeps every whole chunk it wrote, and fetches
// the rest as one range of the packed object, starting at the first chunk's stream not kept.
TEST_F(ChunkedRebuildWebsiteTest, AnInstallCutShortFetchesTheRestPacked) {
  const Content pack = Packed(PackOne());
  Publish("1.0", {{kPack, pack}});
  const size_t keptChunks = 25;
  // Ends a few bytes into chunk 25, which is fetched again.
  WriteFiles(versions_ / "1.0.partial", {{kPack, pack.Bytes().substr(0, OffsetOf(pack, 25) + 9)}});
  NewRequests();
  const UpdateResult result = Run();
  ASSERT_TRUE(result.ready) << result.error;
  EXPECT_EQ(ReadBytes(versions_ / "1.0" / kPack), pack.Bytes());
  uint64_t rest = 0;
  for (size_t i = keptChunks; i < pack.chunks.size(); ++i) rest += PackBytes(pack.chunks[i]).size();
  std::vector<std::pair<int, uint64_t>> fetched;
  for (const LoggedRequest& request : NewRequests()) {
    if (request.path == "/client/files/" + Sha256Hex(PackedOf(pack)) ||
        request.path == FileUrl(pack.Bytes())) {
      fetched.emplace_back(request.status, request.bytes);
    }
  }
  EXPECT_EQ(fetched, (std::vector<std::pair<int, uint64_t>>{{206, rest}}));
}

}  // namespace
