#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <system_error>

#include "chunker.h"
#include "files/file_io.h"
#include "net/stamp.h"
#include "net/website.h"
#include "publisher.h"
#include "update/trust/freshness.h"
#include "update/trust/names.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "  kelvadon-publish keygen --private-key FILE --release-key FILE\n"
    "  kelvadon-publish publish --client DIR --version NAME --private-key FILE --website DIR\n"
    "                           [--launcher EXE [--new-release-key FILE]]\n"
    "                           [--expires-in DAYS] [--sequence N] [--dry-run] [--json]\n"
    "                           [--allow-unsigned-launcher]\n"
    "  kelvadon-publish refresh --website DIR --private-key FILE --expires-in DAYS\n"
    "                           [--sequence N]\n"
    "  kelvadon-publish setup --launcher EXE --website URL [--play TOKEN] --out FILE\n"
    "                         [--allow-http]\n"
    "  kelvadon-publish verify --website DIR --release-key FILE [--json]\n"
    "  kelvadon-publish verify --url URL --release-key FILE [--full]\n"
    "  kelvadon-publish prune --website DIR --keep N [--dry-run] [--json]\n"
    "See apps/launcher/README.txt, \"Release key\".\n";

// Below this much client data a publish is quick and says nothing while it works.
constexpr uint64_t kProgressThreshold = 64ull << 20;

using Options = std::map<std::string, std::string>;

std::string Quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

const std::string* OptionOrNull(const Options& options, const std::string& name) {
  const auto it = options.find(name);
  return it != options.end() ? &it->second : nullptr;
}

// Every line of the message (a refusal may list several problems) carries the tool's name.
int Refuse(std::ostream& err, std::string_view message) {
  size_t start = 0;
  while (start <= message.size()) {
    const size_t end = std::min(message.find('\n', start), message.size());
    err << "kelvadon-publish: " << message.substr(start, end - start) << "\n";
    start = end + 1;
  }
  return 1;
}

// "--name value" pairs after the command; each option at most once, only the allowed ones, and
// every required one present.
bool ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& required,
                  const std::set<std::string>& optional, Options& options, std::string& error) {
  for (size_t i = 1; i < args.size(); i += 2) {
    const std::string& arg = args[i];
    const std::string name = arg.starts_with("--") ? arg.substr(2) : std::string();
    if (!required.contains(name) && !optional.contains(name)) {
      error = "\"" + arg + "\" is not an option of " + args[0] + ".";
      return false;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs a value.";
      return false;
    }
    if (!options.emplace(name, args[i + 1]).second) {
      error = arg + " is given twice.";
      return false;
    }
  }
  for (const std::string& name : required) {
    if (!options.contains(name)) {
      error = args[0] + " needs --" + name + ".";
      return false;
    }
  }
  return true;
}

// Writes under a temporary name beside the target and renames it into place, so a reader (or an
// interrupted run) never finds a partly written file under the real name.
bool WriteAtomically(const fs::path& path, std::string_view bytes, std::string& error) {
  const fs::path temporary = path.parent_path() / ("." + path.filename().string() + ".tmp");
  if (!WriteWholeFile(temporary, bytes)) {
    error = "Could not write " + Quoted(temporary) + ".";
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    error =
        "Could not rename " + Quoted(temporary) + " to " + Quoted(path) + ": " + ec.message() + ".";
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

// Temporary files an interrupted run left behind.
void RemoveLeftovers(const fs::path& folder) {
  std::error_code ec;
  std::vector<fs::path> leftovers;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(".") && name.ends_with(".tmp")) leftovers.push_back(it->path());
  }
  for (const fs::path& leftover : leftovers) fs::remove(leftover, ec);
}

class Progress {
 public:
  Progress(std::ostream& err, std::string what, uint64_t total)
      : err_(err), what_(std::move(what)), total_(total) {}

  void Add(uint64_t bytes) {
    done_ += bytes;
    if (total_ < kProgressThreshold) return;
    const int percent = static_cast<int>(done_ * 100 / total_);
    if (percent >= shown_ + 5 || (percent == 100 && shown_ != 100)) {
      shown_ = percent;
      err_ << "kelvadon-publish: " << what_ << " " << percent << "% (" << (done_ >> 20) << " of "
           << (total_ >> 20) << " MiB)\n";
    }
  }

 private:
  std::ostream& err_;
  std::string what_;
  uint64_t total_;
  uint64_t done_ = 0;
  int shown_ = 0;
};

bool SameFiles(std::vector<ManifestFile> a, std::vector<ManifestFile> b) {
  auto byPath = [](const ManifestFile& x, const ManifestFile& y) { return x.path < y.path; };
  std::sort(a.begin(), a.end(), byPath);
  std::sort(b.begin(), b.end(), byPath);
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const ManifestFile& x, const ManifestFile& y) {
                      return x.path == y.path && x.sha256 == y.sha256 && x.size == y.size;
                    });
}

// The chunk lists, packed objects and patches named by path; apart from SameFiles, which also
// compares with versions published before files had either.
bool SameChunkLists(const std::vector<ManifestFile>& a, const std::vector<ManifestFile>& b) {
  const auto named = [](const ManifestFile& file) {
    std::string text = file.chunks + " " + file.packed.sha256 + " " +
                       std::to_string(file.packed.size) + " " + file.packed.chunks;
    for (const PatchObject& patch : file.patches) {
      text += " " + patch.from + " " + patch.sha256 + " " + std::to_string(patch.size);
    }
    return text;
  };
  std::map<std::string, std::string> byPath;
  for (const ManifestFile& file : a) byPath[file.path] = named(file);
  for (const ManifestFile& file : b) {
    if (byPath[file.path] != named(file)) return false;
  }
  return a.size() == b.size();
}

bool SameManifest(const Manifest& a, const Manifest& b) {
  return a.version == b.version && SameFiles(a.files, b.files) &&
         SameChunkLists(a.files, b.files) && SameFiles({a.launcher}, {b.launcher}) &&
         a.sequence == b.sequence && a.expires == b.expires;
}

// The manifest's text, read back with the launcher's own parser, and its signature, checked
// before anything is written. outcome names what did not happen on a refusal ("published").
bool SignManifest(const SigningKey& key, const Manifest& manifest, const std::string& outcome,
                  std::string& json, std::string& signature, std::string& error) {
  json = ManifestJson(manifest);
  Manifest readBack;
  if (!ParseManifestContent(json, readBack, error) || !SameManifest(readBack, manifest)) {
    error = "The manifest would not read back as written (" + error + ").";
    return false;
  }
  if (!SignBytes(key, json, signature, error)) return false;
  if (!VerifySignatureWithKey(key.publicKey, json, signature)) {
    error = "The signature just made does not verify; nothing was " + outcome + ".";
    return false;
  }
  return true;
}

// Clients that hold a version never fetch it again, so a version name, once published, must
// keep its files. The current manifest and the record of every earlier publish are checked.
bool CheckVersionKeepsItsFiles(const fs::path& client, const Manifest& manifest,
                               std::string& error) {
  for (const fs::path& earlierFile :
       {client / kManifestFileName, client / "versions" / (manifest.version + ".json")}) {
    std::string bytes;
    Manifest earlier;
    std::string ignored;
    if (!ReadWholeFile(earlierFile, bytes) || !ParseManifestContent(bytes, earlier, ignored) ||
        earlier.version != manifest.version) {
      continue;
    }
    if (!SameFiles(earlier.files, manifest.files)) {
      error = "Version " + manifest.version +
              " is already on the website with other files, and clients that have it would "
              "never fetch the change. Publish the change under a new version name.";
      return false;
    }
  }
  return true;
}

bool HasGoodCopy(const fs::path& store, const std::string& fingerprint) {
  std::string existing;
  bool whole = false;
  return ReadWholeFile(store / fingerprint, existing, &whole) && whole &&
         Sha256Hex(existing) == fingerprint;
}

// Puts the file into the store under its fingerprint, unless a good copy is already there.
// Returns false with error set when the file cannot be stored.
bool StoreFile(const fs::path& store, const ManifestFile& file, const ClientFile& source,
               const std::string* knownBytes, bool& stored, std::string& error) {
  stored = false;
  const fs::path target = store / file.sha256;
  if (HasGoodCopy(store, file.sha256)) return true;
  std::string bytes;
  if (knownBytes != nullptr) {
    bytes = *knownBytes;
  } else if (!ReadClientFile(source, bytes, error)) {
    return false;
  }
  if (Sha256Hex(bytes) != file.sha256) {
    error = Quoted(source.source) + " changed while it was being published; publish again.";
    return false;
  }
  stored = true;
  return WriteAtomically(target, bytes, error);
}

// Writes the record of the publish, then puts the manifest and its signature in place.
bool PutManifestInPlace(const fs::path& client, const std::string& version, const std::string& json,
                        const std::string& signature, std::string& error) {
  // The record lets a later publish of the same version name be checked against these files, and
  // keeps the highest sequence.
  if (!WriteAtomically(client / "versions" / (version + ".json"), json, error)) return false;
  // The two renames follow each other directly: a client whose two requests fall between them
  // sees one failed update and succeeds on its next start.
  const fs::path jsonTemporary = client / ".manifest.json.tmp";
  const fs::path signatureTemporary = client / ".manifest.sig.tmp";
  if (!WriteWholeFile(jsonTemporary, json) || !WriteWholeFile(signatureTemporary, signature)) {
    RemoveLeftovers(client);
    error = "Could not write the new manifest into " + Quoted(client) + ".";
    return false;
  }
  std::error_code ec;
  fs::rename(jsonTemporary, client / kManifestFileName, ec);
  if (!ec) fs::rename(signatureTemporary, client / kSignatureFileName, ec);
  if (ec) {
    RemoveLeftovers(client);
    error = "Could not put the new manifest in place: " + ec.message();
    error += ". Run the same command again.";
    return false;
  }
  return true;
}

// A stored chunk list, when it is there whole, holds what its name promises and parses.
bool ReadStoredChunkList(const fs::path& store, const std::string& fingerprint, ChunkList& list) {
  std::string bytes;
  bool whole = false;
  return ReadWholeFile(store / fingerprint, bytes, &whole) && whole &&
         Sha256Hex(bytes) == fingerprint && ParseChunkList(bytes, list);
}

// A stored object, when it is there whole; null otherwise.
const std::string* ReadStored(const fs::path& store, const std::string& fingerprint,
                              std::string& bytes) {
  bool whole = false;
  return ReadWholeFile(store / fingerprint, bytes, &whole) && whole ? &bytes : nullptr;
}

// The packed objects publish reuses or makes, by the fingerprint of their file.
struct Packing {
  std::map<std::string, PackedObject> onWebsite;  // as the manifest now on the website names them
  std::mutex guard;                               // over decided: files are packed side by side
  // By this publish, with the packed chunk list; no sha256: not worth packing.
  std::map<std::string, std::pair<PackedObject, ChunkList>> decided;
};

std::map<std::string, PackedObject> PackedObjectsNamedBy(const std::string& manifestJson) {
  Manifest manifest;
  std::string ignored;
  std::map<std::string, PackedObject> named;
  if (manifestJson.empty() || !ParseManifestContent(manifestJson, manifest, ignored)) return named;
  for (const ManifestFile& file : manifest.files) {
    if (!file.packed.sha256.empty()) named.emplace(file.sha256, file.packed);
  }
  return named;
}

// The website's packed object of the file, when a launcher would get exactly the file from it
// (cut as list cuts it), so that a publish again does not deflate it again.
bool ReusablePackedObject(const fs::path& store, ManifestFile entry, std::string_view bytes,
                          const ChunkList* list, const PackedObject& packed, ChunkList& cuts) {
  if ((list != nullptr) == packed.chunks.empty()) return false;
  entry.packed = packed;
  std::string object;
  std::string listBytes;
  if (!PackedProblem(entry, bytes, ReadStored(store, packed.sha256, object),
                     list != nullptr ? ReadStored(store, packed.chunks, listBytes) : nullptr)
           .empty()) {
    return false;
  }
  if (list == nullptr) return true;
  const auto sameChunk = [](const Chunk& a, const Chunk& b) {
    return a.size == b.size && a.sha256 == b.sha256;
  };
  return ParseChunkList(listBytes, cuts) &&
         std::equal(cuts.chunks.begin(), cuts.chunks.end(), list->chunks.begin(),
                    list->chunks.end(), sameChunk);
}

// A client file read, fingerprinted, chunked and packed, with what publish stores beside it.
struct PreparedFile {
  ManifestFile entry;
  ChunkList list;
  std::string listBytes;
  ChunkList cuts;     // the packed chunk list
  PackedCopy made;    // bytes to store when newly packed
  std::string error;  // why the file could not be read
};

// The packed object of the file is the website's when that still gives the file's bytes, else a
// new one, or none when packing does not pay.
PreparedFile PrepareFile(const ClientFile& file, const fs::path& store, Packing& packing) {
  PreparedFile prepared;
  std::string bytes;
  if (!ReadClientFile(file, bytes, prepared.error)) return prepared;
  ManifestFile& entry = prepared.entry;
  entry = {file.path, Sha256Hex(bytes), bytes.size()};
  const ChunkList* list = nullptr;
  if (bytes.size() >= kChunkedFileThreshold) {
    prepared.list = ChunkBytes(bytes);
    prepared.listBytes = SerializeChunkList(prepared.list);
    entry.chunks = Sha256Hex(prepared.listBytes);
    list = &prepared.list;
  }
  {
    const std::lock_guard lock(packing.guard);
    if (const auto decided = packing.decided.find(entry.sha256); decided != packing.decided.end()) {
      std::tie(entry.packed, prepared.cuts) = decided->second;
      return prepared;
    }
  }
  PackedCopy& made = prepared.made;
  if (const auto before = packing.onWebsite.find(entry.sha256);
      before != packing.onWebsite.end() &&
      ReusablePackedObject(store, entry, bytes, list, before->second, prepared.cuts)) {
    entry.packed = before->second;
  } else if (PackClientFile(bytes, list, made)) {
    entry.packed = {Sha256Hex(made.object), made.object.size()};
    if (list != nullptr) {
      entry.packed.chunks = Sha256Hex(made.list);
      ParseChunkList(made.list, prepared.cuts);
    }
  }
  const std::lock_guard lock(packing.guard);
  packing.decided.emplace(entry.sha256, std::pair(entry.packed, prepared.cuts));
  return prepared;
}

// The versions on the website that patches of next start from: the two published last before
// it (the current manifest and the records under client/versions/ by sequence), and the patches
// the website already stores for its files, by the file's fingerprint then the base's: those the
// current manifest and the record of next's version name.
std::vector<Manifest> EarlierVersions(
    const fs::path& client, const std::string& currentJson, const std::string& version,
    std::map<std::pair<std::string, std::string>, PatchObject>& stored) {
  std::vector<Manifest> versions;
  std::vector<std::string> texts = {currentJson};
  std::error_code ec;
  for (fs::directory_iterator it(client / "versions", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::string bytes;
    if (!name.starts_with(".") && name.ends_with(".json") && ReadWholeFile(it->path(), bytes)) {
      texts.push_back(std::move(bytes));
    }
  }
  std::set<std::string> seen;
  for (size_t i = 0; i < texts.size(); ++i) {
    Manifest manifest;
    std::string ignored;
    if (!ParseManifestContent(texts[i], manifest, ignored)) continue;
    if (i == 0 || manifest.version == version) {
      for (const ManifestFile& file : manifest.files) {
        for (const PatchObject& patch : file.patches)
          stored.emplace(std::pair(file.sha256, patch.from), patch);
      }
    }
    // The current manifest comes first and stands for its own record.
    if (manifest.version != version && seen.insert(manifest.version).second) {
      versions.push_back(std::move(manifest));
    }
  }
  std::stable_sort(versions.begin(), versions.end(), [](const Manifest& a, const Manifest& b) {
    return a.sequence.value_or(0) > b.sequence.value_or(0);
  });
  versions.resize(std::min<size_t>(versions.size(), 2));
  return versions;
}

// The cost of moving from the manifest now on the website (its text, possibly empty or not one)
// to the new one. Adds the current version's readable chunk lists to lists.
UpdateCost UpdateCostAgainstWebsite(const fs::path& client, const std::string& currentJson,
                                    const Manifest& next, std::map<std::string, ChunkList>& lists) {
  Manifest current;
  std::string ignored;
  if (currentJson.empty() || !ParseManifestContent(currentJson, current, ignored)) {
    return CostOfUpdate(nullptr, next, lists);
  }
  for (const ManifestFile& file : current.files) {
    ChunkList list;
    if (!file.chunks.empty() && !lists.contains(file.chunks) &&
        ReadStoredChunkList(client / "files", file.chunks, list)) {
      lists.emplace(file.chunks, std::move(list));
    }
  }
  return CostOfUpdate(&current, next, lists);
}

int Keygen(const Options& options, std::ostream& out, std::ostream& err) {
  std::string error;
  if (!MakeKeyPair(options.at("private-key"), options.at("release-key"), error)) {
    return Refuse(err, error);
  }
  out << "Wrote the private key to " << options.at("private-key")
      << " (keep it offline) and the release key to " << options.at("release-key")
      << " (build release launchers with KELVADON_RELEASE_KEY_FILE set to it).\n";
  return 0;
}

int Publish(const Options& options, std::ostream& out, std::ostream& err) {
  std::string error;
  Manifest manifest;
  manifest.version = options.at("version");
  const std::string versionProblem = VersionNameProblem(manifest.version);
  if (!versionProblem.empty()) {
    return Refuse(
        err, "\"" + manifest.version + "\" is not a valid version name: " + versionProblem + ".");
  }
  SigningKey key;
  if (!LoadSigningKey(options.at("private-key"), key, error)) return Refuse(err, error);
  const fs::path website = options.at("website");
  std::error_code ec;
  if (!fs::is_directory(website, ec)) {
    return Refuse(err, MissingWebsiteFolder(website));
  }
  std::vector<ClientFile> clientFiles;
  if (!ListClientFiles(options.at("client"), clientFiles, error)) return Refuse(err, error);
  if (options.contains("new-release-key") && !options.contains("launcher")) {
    return Refuse(err,
                  "--new-release-key is the key of the launcher given with --launcher; give "
                  "that launcher too.");
  }

  std::optional<std::string> launcherImage;
  std::optional<LauncherFacts> nextLauncher;
  fs::path launcherFile;
  if (options.contains("launcher")) {
    launcherFile = options.at("launcher");
    std::string image;
    bool whole = false;
    if (!ReadWholeFile(launcherFile, image, &whole) || !whole) {
      return Refuse(err, "Could not read the launcher " + Quoted(launcherFile) + ".");
    }
    if (StampStart(image)) {
      return Refuse(err, Quoted(launcherFile) +
                             " carries a website stamp. Give the launcher as built: a stamped "
                             "one never matches a client's own clean copy, so every client "
                             "would download it on every start.");
    }
    // A launcher with another key would be taken by every client and then refuse every later
    // update. Only a key rotation publishes a launcher with a key other than the signing one.
    PublicKey wanted = key.publicKey;
    std::string wantedWhy = "the private key signing this manifest belongs to";
    if (options.contains("new-release-key")) {
      if (!ReadReleaseKeyFile(options.at("new-release-key"), wanted, error)) {
        return Refuse(err, error);
      }
      wantedWhy = "--new-release-key gives";
    }
    if (!CheckLauncherKey(image, wanted, wantedWhy, error)) {
      if (!options.contains("new-release-key")) {
        error += " During a key rotation give the new release key with --new-release-key.";
      }
      return Refuse(err, error);
    }
    manifest.launcher.path = launcherFile.filename().string();
    const std::string problem = ClientPathProblem(manifest.launcher.path);
    if (!problem.empty()) return Refuse(err, "The launcher's file name " + problem + ".");
    manifest.launcher.sha256 = Sha256Hex(image);
    manifest.launcher.size = image.size();
    nextLauncher = DescribeLauncher(manifest.launcher, image);
    launcherImage = std::move(image);
  }

  uint64_t total = 0;
  std::vector<uint64_t> sizes;
  for (const ClientFile& file : clientFiles) {
    const uintmax_t size = fs::file_size(file.source, ec);
    sizes.push_back(ec ? 0 : size);
    total += sizes.back();
  }
  const fs::path client = website / "client";
  const fs::path store = client / "files";
  std::string currentJson;
  const bool hasCurrent = ReadWholeFile(client / kManifestFileName, currentJson);
  if (!hasCurrent) currentJson.clear();
  Packing packing;
  packing.onWebsite = PackedObjectsNamedBy(currentJson);

  Progress fingerprinting(err, "fingerprinting and packing", total);
  std::vector<PreparedFile> prepared(clientFiles.size());
  std::mutex progressGuard;
  const auto prepare = [&](size_t i) {
    prepared[i] = PrepareFile(clientFiles[i], store, packing);
    const std::lock_guard lock(progressGuard);
    fingerprinting.Add(prepared[i].entry.size);
  };
  // Small files are packed side by side; a large one packs its chunks on every core alone, so
  // that only one is held at a time.
  for (size_t i = 0; i < clientFiles.size();) {
    size_t end = i;
    while (end < clientFiles.size() && sizes[end] < kChunkedFileThreshold) ++end;
    if (end == i) {
      prepare(i++);
    } else {
      OnEveryCore(end - i, [&, first = i](size_t k) { prepare(first + k); });
      i = end;
    }
  }
  // The chunk lists of both versions by fingerprint, and what this publish made to store beside
  // the files: chunk lists, packed objects and their packed chunk lists, by fingerprint.
  std::map<std::string, ChunkList> chunkLists;
  std::map<std::string, std::string> made;
  for (PreparedFile& file : prepared) {
    if (!file.error.empty()) return Refuse(err, file.error);
    const ManifestFile& entry = manifest.files.emplace_back(std::move(file.entry));
    if (!entry.chunks.empty()) {
      chunkLists.emplace(entry.chunks, std::move(file.list));
      made.emplace(entry.chunks, std::move(file.listBytes));
    }
    if (!entry.packed.chunks.empty()) chunkLists.emplace(entry.packed.chunks, std::move(file.cuts));
    if (!file.made.object.empty()) made.emplace(entry.packed.sha256, std::move(file.made.object));
    if (!file.made.list.empty()) made.emplace(entry.packed.chunks, std::move(file.made.list));
  }

  if (!CheckVersionKeepsItsFiles(client, manifest, error)) return Refuse(err, error);

  // Signing with another key than the manifest on the website is right only during a key
  // rotation, so it is allowed but pointed out.
  std::string currentSignature;
  const bool currentSignedByKey =
      hasCurrent && ReadWholeFile(client / kSignatureFileName, currentSignature) &&
      VerifySignatureWithKey(key.publicKey, currentJson, currentSignature);
  if (hasCurrent && !currentSignedByKey && !currentSignature.empty()) {
    err << "kelvadon-publish: note: the manifest now on the website was not signed with this key. "
           "Unless this is the key rotation that apps/launcher/README.txt describes, launchers "
           "will refuse this update.\n";
  }
  Manifest current;
  const bool currentReadable = hasCurrent && ParseManifestContent(currentJson, current, error);
  LauncherFacts currentLauncher;
  const bool hasCurrentLauncher =
      currentReadable && ReadPublishedLauncher(client, current, currentLauncher);
  if (nextLauncher && !options.contains("allow-unsigned-launcher")) {
    const std::string problem =
        LauncherSigningProblem(hasCurrentLauncher ? &currentLauncher : nullptr, *nextLauncher);
    if (!problem.empty()) return Refuse(err, problem);
  }

  // Patches from the files of the versions published last, diffed here or taken again from the
  // website; stored with the chunk lists and packed objects.
  std::map<std::pair<std::string, std::string>, PatchObject> storedPatches;
  const std::vector<Manifest> earlier =
      EarlierVersions(client, currentJson, manifest.version, storedPatches);
  const std::vector<PatchJob> patchJobs = ChoosePatchBases(earlier, manifest);
  uint64_t patchTotal = 0;
  for (const PatchJob& job : patchJobs) {
    patchTotal += PatchWork(job, manifest.files[job.file]);
    ChunkList list;
    if (!job.base.chunks.empty() && !chunkLists.contains(job.base.chunks) &&
        ReadStoredChunkList(store, job.base.chunks, list)) {
      chunkLists.emplace(job.base.chunks, std::move(list));
    }
  }
  Progress patching(err, "making patches", patchTotal);
  const NextFileReader readNext = [&](size_t i, std::string& bytes, std::string& readError) {
    return ReadClientFile(clientFiles[i], bytes, readError);
  };
  std::vector<std::string> tooLarge;
  if (!AddPatches(
          store, patchJobs, storedPatches, chunkLists, readNext,
          [&](uint64_t bytes) { patching.Add(bytes); }, manifest, made, tooLarge, error)) {
    return Refuse(err, error);
  }
  for (const std::string& path : tooLarge) {
    err << "kelvadon-publish: note: " << path
        << " gets no patch: diffing it needs more memory than this computer has available.\n";
  }

  // What a publish stores: one copy of each file, of the launcher, of each chunk list and of each
  // packed object and of each patch whose good copy is not in client/files yet. A dry run reports
  // these same counts.
  std::vector<size_t> toStore;
  bool launcherToStore = false;
  {
    std::set<std::string> seen;
    for (size_t i = 0; i < manifest.files.size(); ++i) {
      const std::string& fingerprint = manifest.files[i].sha256;
      if (seen.insert(fingerprint).second && !HasGoodCopy(store, fingerprint)) toStore.push_back(i);
    }
    launcherToStore = launcherImage && seen.insert(manifest.launcher.sha256).second &&
                      !HasGoodCopy(store, manifest.launcher.sha256);
  }
  size_t madeToStore = 0;
  for (const auto& [fingerprint, bytes] : made)
    madeToStore += HasGoodCopy(store, fingerprint) ? 0 : 1;
  const size_t newInStore = toStore.size() + (launcherToStore ? 1 : 0) + madeToStore;

  PublishReport report;
  report.dryRun = options.contains("dry-run");
  report.json = options.contains("json");
  report.launcher = nextLauncher ? &*nextLauncher : nullptr;
  report.currentLauncher = hasCurrentLauncher ? &currentLauncher : nullptr;

  // Running a finished publish again changes nothing: a new sequence would only make every
  // launcher fetch an equal manifest, and the web server need a new upload.
  if (currentSignedByKey && currentReadable && current.version == manifest.version &&
      current.sequence && SameFiles(current.files, manifest.files) &&
      SameChunkLists(current.files, manifest.files) &&
      SameFiles({current.launcher}, {manifest.launcher}) && newInStore == 0 &&
      !options.contains("sequence") &&
      options.contains("expires-in") == current.expires.has_value() &&
      fs::exists(client / "versions" / (manifest.version + ".json"), ec)) {
    report.unchanged = true;
    report.manifest = &current;
    report.cost = CostOfUpdate(&current, current, chunkLists);
    out << PublishReportText(report);
    return 0;
  }

  if (!ChooseFreshness(client, OptionOrNull(options, "sequence"),
                       OptionOrNull(options, "expires-in"), SystemUtcSeconds(), manifest, error)) {
    return Refuse(err, error);
  }
  std::string json;
  std::string signature;
  if (!SignManifest(key, manifest, "published", json, signature, error)) {
    return Refuse(err, error);
  }
  report.manifest = &manifest;
  report.cost = UpdateCostAgainstWebsite(client, currentJson, manifest, chunkLists);
  if (report.dryRun) {
    report.newInStore = newInStore;
    out << PublishReportText(report);
    return 0;
  }

  fs::create_directories(store, ec);
  if (ec) return Refuse(err, "Could not create " + Quoted(store) + ": " + ec.message() + ".");
  RemoveLeftovers(store);
  RemoveLeftovers(client);
  RemoveLeftovers(client / "versions");
  Progress storing(err, "storing", total);
  for (const size_t i : toStore) {
    const ManifestFile& file = manifest.files[i];
    bool stored = false;
    if (!StoreFile(store, file, clientFiles[i], nullptr, stored, error)) {
      return Refuse(err, error);
    }
    report.newInStore += stored ? 1 : 0;
    storing.Add(file.size);
  }
  if (launcherToStore) {
    bool stored = false;
    if (!StoreFile(store, manifest.launcher, {{}, launcherFile}, &*launcherImage, stored, error)) {
      return Refuse(err, error);
    }
    report.newInStore += stored ? 1 : 0;
  }
  // Stored before the manifest that names them, like the files.
  for (const auto& [fingerprint, bytes] : made) {
    bool stored = false;
    if (!StoreFile(store, {"chunk list", fingerprint, bytes.size()}, {{}, store / fingerprint},
                   &bytes, stored, error)) {
      return Refuse(err, error);
    }
    report.newInStore += stored ? 1 : 0;
  }

  if (!PutManifestInPlace(client, manifest.version, json, signature, error)) {
    return Refuse(err, error);
  }
  out << PublishReportText(report);
  return 0;
}

// Signs the website's current manifest again with a new sequence and expiry, for a key kept
// offline that must re-sign before launchers start refusing the manifest. No file changes.
int Refresh(const Options& options, std::ostream& out, std::ostream& err) {
  std::string error;
  SigningKey key;
  if (!LoadSigningKey(options.at("private-key"), key, error)) return Refuse(err, error);
  const fs::path client = fs::path(options.at("website")) / "client";
  std::string currentJson;
  std::string currentSignature;
  if (!ReadWholeFile(client / kManifestFileName, currentJson)) {
    return Refuse(err, "There is no " + Quoted(client / kManifestFileName) + " to refresh.");
  }
  Manifest manifest;
  if (!ParseManifestContent(currentJson, manifest, error)) {
    return Refuse(err, "The manifest on the website cannot be refreshed: " + error + ".");
  }
  // Re-signing whatever lies there would sign a change nobody published.
  if (!ReadWholeFile(client / kSignatureFileName, currentSignature) ||
      !VerifySignatureWithKey(key.publicKey, currentJson, currentSignature)) {
    return Refuse(err,
                  "The manifest on the website is not signed with this key, so it is not "
                  "refreshed. Publish the version again instead.");
  }
  if (!ChooseFreshness(client, OptionOrNull(options, "sequence"),
                       OptionOrNull(options, "expires-in"), SystemUtcSeconds(), manifest, error)) {
    return Refuse(err, error);
  }
  std::string json;
  std::string signature;
  if (!SignManifest(key, manifest, "changed", json, signature, error)) return Refuse(err, error);
  RemoveLeftovers(client);
  if (!PutManifestInPlace(client, manifest.version, json, signature, error)) {
    return Refuse(err, error);
  }
  out << "Refreshed version " << manifest.version << " as sequence " << *manifest.sequence
      << ExpiryNote(manifest) << ".\n";
  return 0;
}

int Setup(const Options& options, std::ostream& out, std::ostream& err) {
  const fs::path launcherFile = options.at("launcher");
  const fs::path outFile = options.at("out");
  std::string image;
  bool whole = false;
  if (!ReadWholeFile(launcherFile, image, &whole) || !whole) {
    return Refuse(err, "Could not read the launcher " + Quoted(launcherFile) + ".");
  }
  if (StampStart(image)) {
    return Refuse(err, Quoted(launcherFile) +
                           " already carries a website stamp; give the launcher as built.");
  }
  const std::string website = NormalizeWebsite(options.at("website"));
  if (website.empty()) {
    return Refuse(err, "\"" + options.at("website") +
                           "\" is not a website address the launcher accepts: http:// or "
                           "https://, at most 200 bytes, no spaces, quotes, < > or \\.");
  }
  // Anyone on the path can change what a plain-HTTP website answers, the join links included.
  if (website.starts_with("http://") && !options.contains("allow-http")) {
    return Refuse(err, "\"" + website +
                           "\" is a plain http:// address. Setup programs should name an "
                           "https:// website (deploy/nginx/README.txt); give --allow-http for "
                           "a test website.");
  }
  const std::string play = options.contains("play") ? options.at("play") : std::string();
  if (options.contains("play") && !IsValidPlayToken(play)) {
    return Refuse(err, "\"" + play + "\" is not a play token: 32 characters of 0-9 and a-f.");
  }
  if (InspectCodeSigning(image) != CodeSigning::kSigned) {
    err << "kelvadon-publish: warning: " << launcherFile.filename().string()
        << " carries no valid code signature, so Windows will warn whoever runs the setup "
           "program. Sign it first (apps/launcher/README.txt, step 3b).\n";
  }
  std::error_code ec;
  if (fs::equivalent(launcherFile, outFile, ec)) {
    return Refuse(err, "--out names the launcher itself; give another file.");
  }
  std::string stamp;
  if (!play.empty()) stamp += "\r\nKELVADON-PLAY=" + play;
  stamp += "\r\nKELVADON-WEBSITE=" + website + "\r\n";
  std::string stamped;
  std::string error;
  if (!StampLauncher(image, stamp, stamped, error)) return Refuse(err, error);
  // Read back with the launcher's own stamp rules and cut.
  if (ReadWebsiteStamp(stamped) != website || ReadPlayStamp(stamped) != play ||
      CleanImageOf(stamped) != image) {
    return Refuse(err, "The launcher would not read the stamp back; nothing was written.");
  }
  if (!WriteAtomically(outFile, stamped, error)) return Refuse(err, error);
  out << "Wrote " << outFile.string() << " for " << website;
  if (!play.empty()) out << " with play token " << play;
  out << ".\n";
  return 0;
}

int Verify(const Options& options, std::ostream& out, std::ostream& err) {
  std::string error;
  if (options.contains("url") == options.contains("website")) {
    err << "kelvadon-publish: verify needs either --website (a folder) or --url (a live "
           "address).\n"
        << kUsage;
    return 2;
  }
  if (options.contains("full") && !options.contains("url")) {
    err << "kelvadon-publish: --full goes with --url; a website folder is always checked whole.\n"
        << kUsage;
    return 2;
  }
  PublicKey key{};
  if (!ReadReleaseKeyFile(options.at("release-key"), key, error)) return Refuse(err, error);
  if (options.contains("url")) {
    return VerifyLiveWebsite(options.at("url"), key, options.contains("full"),
                             options.contains("json"), out, err);
  }
  const fs::path client = fs::path(options.at("website")) / "client";
  std::string json;
  std::string signature;
  if (!ReadWholeFile(client / kManifestFileName, json)) {
    return Refuse(err, "There is no " + Quoted(client / kManifestFileName) + ".");
  }
  if (!ReadWholeFile(client / kSignatureFileName, signature)) {
    return Refuse(err, "There is no " + Quoted(client / kSignatureFileName) + ".");
  }

  std::vector<std::string> problems;
  if (!IsKeySet(key)) {
    problems.push_back("The release key is all zero bytes, so nothing can be signed for it.");
  } else if (signature.size() != 64) {
    problems.push_back("client/manifest.sig holds " + std::to_string(signature.size()) +
                       " bytes; a signature is exactly 64 bytes, r then s.");
  } else if (!VerifySignatureWithKey(key, json, signature)) {
    problems.push_back(
        "client/manifest.sig is not a signature of client/manifest.json by the private key that "
        "goes with this release key; launchers would refuse the update.");
  }
  Manifest manifest;
  LauncherFacts launcher;
  bool launcherRead = false;
  const bool manifestRead = ParseManifestContent(json, manifest, error);
  if (!manifestRead) {
    problems.push_back("Launchers would refuse client/manifest.json: " + error + ".");
  } else {
    launcherRead = ReadPublishedLauncher(client, manifest, launcher);
    std::vector<ManifestFile> entries = manifest.files;
    if (!manifest.launcher.path.empty()) entries.push_back(manifest.launcher);
    for (const ManifestFile& entry : entries) {
      const std::string stored = "client/files/" + entry.sha256;
      std::string bytes;
      bool whole = false;
      if (!ReadWholeFile(client / "files" / entry.sha256, bytes, &whole) || !whole) {
        problems.push_back(stored + " (" + entry.path + ") is missing or cannot be read.");
        continue;
      }
      const std::string actual = Sha256Hex(bytes);
      if (actual != entry.sha256) {
        std::string problem = stored;
        problem += " (" + entry.path + ") does not hold the file its name promises; ";
        problem += "its content has the fingerprint " + actual + ".";
        problems.push_back(problem);
      } else if (bytes.size() != entry.size) {
        problems.push_back("The manifest gives " + entry.path + " a size of " +
                           std::to_string(entry.size) + " bytes, but it has " +
                           std::to_string(bytes.size()) + ".");
      } else {
        std::string list;
        ChunkList parsed;
        if (!entry.chunks.empty()) {
          const std::string what = StoredName(entry.chunks, "chunk list", entry.path);
          const std::string problem =
              ReadStored(client / "files", entry.chunks, list) != nullptr
                  ? ChunkListProblem(what, entry.chunks, list, bytes, parsed)
                  : what + ", is missing or cannot be read.";
          if (!problem.empty()) problems.push_back(problem + " Launchers would fetch it whole.");
        }
        std::string object;
        const std::string problem =
            entry.packed.sha256.empty()
                ? std::string()
                : PackedProblem(entry, bytes,
                                ReadStored(client / "files", entry.packed.sha256, object),
                                entry.packed.chunks.empty()
                                    ? nullptr
                                    : ReadStored(client / "files", entry.packed.chunks, list));
        if (!problem.empty()) problems.push_back(problem);
        // A base the website no longer stores leaves the patch to launchers that keep it.
        for (const PatchObject& patch : entry.patches) {
          std::string base;
          const std::string patchProblem =
              PatchProblem(entry, patch, bytes, ReadStored(client / "files", patch.sha256, object),
                           ReadStored(client / "files", patch.from, base));
          if (!patchProblem.empty()) problems.push_back(patchProblem);
        }
      }
    }
  }
  if (const std::string expired =
          ExpiryProblem("client/manifest.json", manifest, SystemUtcSeconds());
      !expired.empty()) {
    problems.push_back(expired);
  }
  const uint64_t highest = HighestPublishedSequence(client);
  if (manifest.sequence && *manifest.sequence < highest) {
    problems.push_back("client/manifest.json has sequence " + std::to_string(*manifest.sequence) +
                       ", but sequence " + std::to_string(highest) +
                       " was already published; launchers that saw it refuse this one. Publish "
                       "or refresh again.");
  }
  for (const std::string& problem : problems) err << "kelvadon-publish: " << problem << "\n";
  if (options.contains("json")) {
    VerifyReport report;
    report.website = options.at("website");
    report.manifest = manifestRead ? &manifest : nullptr;
    report.releaseKey = key;
    report.launcher = launcherRead ? &launcher : nullptr;
    report.problems = problems;
    out << VerifyJson(report);
  }
  if (!problems.empty()) return 1;
  if (options.contains("json")) return 0;
  out << "Good: version " << manifest.version << ", " << manifest.files.size() << " files";
  if (!manifest.launcher.path.empty()) out << " and the launcher " << manifest.launcher.path;
  out << ", signed for the release key in " << options.at("release-key") << " (" << KeyName(key)
      << "); " << FreshnessSummary(manifest) << ".\n";
  if (launcherRead) out << PublishedLauncherText(launcher);
  return 0;
}

int Prune(const Options& options, std::ostream& out, std::ostream& err) {
  return PruneWebsite(options.at("website"), options.at("keep"), options.contains("dry-run"),
                      options.contains("json"), out, err);
}

}  // namespace

int RunPublisher(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::string& command = args[0];
  if (command == "help" || command == "--help" || command == "-h") {
    out << kUsage;
    return 0;
  }
  struct Command {
    const char* name;
    std::set<std::string> required;
    std::set<std::string> optional;
    std::set<std::string> flags;  // options without a value
    int (*run)(const Options&, std::ostream&, std::ostream&);
  };
  const Command commands[] = {
      {"keygen", {"private-key", "release-key"}, {}, {}, Keygen},
      {"publish",
       {"client", "version", "private-key", "website"},
       {"launcher", "new-release-key", "expires-in", "sequence"},
       {"dry-run", "json", "allow-unsigned-launcher"},
       Publish},
      {"refresh", {"website", "private-key", "expires-in"}, {"sequence"}, {}, Refresh},
      {"setup", {"launcher", "website", "out"}, {"play"}, {"allow-http"}, Setup},
      {"verify", {"release-key"}, {"website", "url"}, {"full", "json"}, Verify},
      {"prune", {"website", "keep"}, {}, {"dry-run", "json"}, Prune},
  };
  for (const Command& c : commands) {
    if (command != c.name) continue;
    Options options;
    std::string error;
    std::vector<std::string> rest = {args[0]};
    for (size_t i = 1; i < args.size(); ++i) {
      const std::string name = args[i].starts_with("--") ? args[i].substr(2) : std::string();
      // A flag's name in a value's place (--out --json) is taken as the value.
      if (c.flags.contains(name) && rest.size() % 2 == 1) {
        if (!options.emplace(name, "yes").second) {
          err << "kelvadon-publish: " << args[i] << " is given twice.\n" << kUsage;
          return 2;
        }
      } else {
        rest.push_back(args[i]);
      }
    }
    if (!ParseOptions(rest, c.required, c.optional, options, error)) {
      err << "kelvadon-publish: " << error << "\n" << kUsage;
      return 2;
    }
    return c.run(options, out, err);
  }
  err << "kelvadon-publish: \"" << command << "\" is not a command.\n" << kUsage;
  return 2;
}
