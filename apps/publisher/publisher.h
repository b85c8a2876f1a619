#pragma once

// kelvadon-publish: the release engineer's tool. It makes the release key pair, publishes a
// client version to a website folder, stamps setup programs and checks a published website.
// It reuses the launcher's own rules (manifest, paths, fingerprints, stamps), so whatever it
// accepts the launcher accepts too.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/trust/chunk_list.h"
#include "update/trust/crypto.h"
#include "update/trust/manifest.h"

// Runs one command line (the arguments after the program name). Results go to out, refusals and
// progress to err. Returns 0 on success, 1 when the command was refused or failed, 2 when the
// command line itself is wrong.
int RunPublisher(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Keys (keys.cpp, OpenSSL).

// A P-256 private key as PEM text, with its public half.
struct SigningKey {
  std::string pem;
  PublicKey publicKey{};
};

// Writes a new private key (PEM, mode 0600) and its 64-byte release key (X then Y). Never
// overwrites either file.
bool MakeKeyPair(const std::filesystem::path& privateKeyFile,
                 const std::filesystem::path& releaseKeyFile, std::string& error);

// Reads a P-256 private key in PEM form; refuses any other kind of key.
bool LoadSigningKey(const std::filesystem::path& file, SigningKey& key, std::string& error);

// The 64-byte raw signature (r then s) of SHA-256(data).
bool SignBytes(const SigningKey& key, std::string_view data, std::string& signature,
               std::string& error);

// Reads a 64-byte release key file.
bool ReadReleaseKeyFile(const std::filesystem::path& file, PublicKey& key, std::string& error);

// Client folders (client_files.cpp).

struct ClientFile {
  std::string path;              // as written into the manifest: UTF-8, '/' between folders
  std::filesystem::path source;  // where it is on this computer
  // The file that was listed: what is read later must be that file, not one swapped in since.
  uint64_t device = 0;
  uint64_t inode = 0;
};

// Why a path (UTF-8 bytes, '/' between folders) cannot be published, or empty when it can.
std::string ClientPathProblem(std::string_view path);

// Every file under the client folder, sorted by path, after all the checks that a client folder
// must pass. On false, error lists every problem found, one per line.
bool ListClientFiles(const std::filesystem::path& clientFolder, std::vector<ClientFile>& files,
                     std::string& error);

// Reads the listed file whole, never through a link, and only when it is still the file that was
// listed (a link or another file put in its place since is refused). On false, error says why.
bool ReadClientFile(const ClientFile& file, std::string& bytes, std::string& error);

// Manifest text (manifest_writer.cpp).

// The text as a JSON string literal, quotes included.
std::string JsonQuoted(std::string_view text);

// The manifest as the launcher reads it.
std::string ManifestJson(const Manifest& manifest);

// Launchers (launcher_image.cpp).

// The distinct release keys an executable carries, found by the marker its build puts in front
// of the key. A launcher built from this repository carries exactly one.
std::vector<PublicKey> ReleaseKeysIn(std::string_view image);

// The marker and the key, as a launcher's build lays them out (for tests and stand-ins).
std::string ReleaseKeyRecord(const PublicKey& key);

// The lowest manifest sequence the launcher was built to accept; nothing for a launcher built
// before it carried one.
std::optional<uint64_t> MinimumSequenceIn(std::string_view image);

// A short name for a key that an engineer can compare between messages.
std::string KeyName(const PublicKey& key);

// The first 16 hex digits of the SHA-256 of the key's 64 bytes (X then Y): what KeyName and the
// configure log show, and what "sha256sum release.key | cut -c1-16" prints.
std::string KeyShortName(const PublicKey& key);

// True when the launcher carries exactly the wanted key; otherwise error says which key it carries
// and why that is wrong (wantedWhy names where the wanted key comes from).
bool CheckLauncherKey(std::string_view image, const PublicKey& wanted, std::string_view wantedWhy,
                      std::string& error);

// The launcher with the stamp at its end. A code-signed launcher gets it inside its certificate
// table, so that its signature still verifies and the launcher's cut gives it back byte for byte;
// an unsigned one gets it appended.
bool StampLauncher(std::string_view image, std::string_view stamp, std::string& stamped,
                   std::string& error);

// The live website (live_website.cpp).

// verify --url: the manifest and signature a launcher fetches from the address, checked against
// key, and every file the manifest lists: its size (HEAD, or a one-byte range), or with full
// its whole content and fingerprint. With json the report is one JSON object (VerifyJson) instead
// of the text. Returns the exit code.
int VerifyLiveWebsite(const std::string& address, const PublicKey& key, bool full, bool json,
                      std::ostream& out, std::ostream& err);

// Sequence and expiry (freshness_options.cpp).

// The highest sequence in the client folder of a website: its manifest.json and the record of
// every publish under versions/; 0 when there is none.
uint64_t HighestPublishedSequence(const std::filesystem::path& client);

// Sets the manifest's sequence (the given --sequence, or one above the highest already
// published) and its expiry (--expires-in days after now, or none). Refuses a sequence that
// would not go forward. The options are null when not given.
bool ChooseFreshness(const std::filesystem::path& client, const std::string* sequenceOption,
                     const std::string* expiresInOption, int64_t now, Manifest& manifest,
                     std::string& error);

// "sequence N" or "no sequence", then ", expires T" or ", no expiry", for verify's report.
std::string FreshnessSummary(const Manifest& manifest);

// Why the manifest (named by what) is past its expiry at now, or empty when it is not.
std::string ExpiryProblem(std::string_view what, const Manifest& manifest, int64_t now);

// Packed objects (packing.cpp, stored_checks.cpp).

// What publish stores beside a client file for launchers that inflate.
struct PackedCopy {
  std::string object;  // the file's zlib streams: one per chunk of its list, or one
  std::string list;    // the chunk list of format 2 giving their sizes; empty without a list
};

// Runs work(0), ..., work(count - 1) on every core, each once.
void OnEveryCore(size_t count, const std::function<void(size_t)>& work);

// Packs the file, one stream per chunk of list when it is not null. False, with packed empty,
// when the packed object would not be at least 5% smaller than the file.
bool PackClientFile(std::string_view bytes, const ChunkList* list, PackedCopy& packed);

// "client/files/<fingerprint>, the <role> of <path>": how verify names what an entry names.
std::string StoredName(const std::string& fingerprint, std::string_view role,
                       const std::string& path);

// Why the chunk list what (listBytes, named by fingerprint) would not let a launcher rebuild
// file, or empty; list then holds it parsed.
std::string ChunkListProblem(const std::string& what, const std::string& fingerprint,
                             std::string_view listBytes, std::string_view file, ChunkList& list);

// Why the packed object entry names (object) and its packed chunk list (list, read only when
// the entry names one) would not give a launcher exactly file, or empty. Null: not there.
std::string PackedProblem(const ManifestFile& entry, std::string_view file,
                          const std::string* object, const std::string* list);

// Whether the patch object (zlib streams of a patch) applied to base gives exactly file, checked
// as it inflates and applies: the rebuilt file is never held.
bool PatchGivesFile(std::string_view object, std::string_view base, std::string_view file);

// Why the patch object entry names (object) would not give a launcher holding the file it starts
// from (base) exactly file, or empty. Null object: not there; null base: the website no longer
// stores that file, and only a launcher that keeps it uses the patch, so the object is checked
// against its name and size alone.
std::string PatchProblem(const ManifestFile& entry, const PatchObject& patch, std::string_view file,
                         const std::string* object, const std::string* base);

// Patches (patching.cpp).

// One patch publish weighs: the file at index file of the new version, from base, a file of an
// earlier version (at its own path there).
struct PatchJob {
  size_t file = 0;
  ManifestFile base;
  bool samePath = false;  // a launcher could also take runs of the base's chunks
};

// The files patches start from: for each changed, non-empty file of next, the file at its path in
// each of earlier (the versions the website served last, newest first) that holds another
// fingerprint; for a file no earlier version has at its path, a file of earlier[0] of the same
// name in another folder, or else one whose path next drops, of the same extension and within a
// quarter of its size (a renamed file). Never a base whose version holds the file itself.
std::vector<PatchJob> ChoosePatchBases(const std::vector<Manifest>& earlier, const Manifest& next);

// What a launcher holding base fetches for file without the patch: the cheapest of the raw file,
// its packed object and, from a base at the same path, the changed chunks with both chunk lists.
uint64_t BytesWithoutPatch(const ManifestFile& file, const PatchJob& job,
                           const std::map<std::string, ChunkList>& lists);

// The bytes progress counts for a job: the old file's and the new one's.
uint64_t PatchWork(const PatchJob& job, const ManifestFile& file);

// Reads file i of the new version whole; false with error set when it cannot.
using NextFileReader = std::function<bool(size_t i, std::string& bytes, std::string& error)>;

// Adds to the entries of next the patches worth storing: one per job that is smaller than
// BytesWithoutPatch. A patch the website already stores (stored, by the file's then the base's
// fingerprint) is taken again when it still gives the file; others are made on every core that
// memory allows. A stored patch whose old file the website no longer has is named again unchecked
// (it was checked when it was made). made receives new patch objects by fingerprint; progress
// the work done, in the bytes PatchWork counts; tooLarge the paths of files not diffed because that
// needs more memory than the computer has available. False with error set when a file cannot be
// read.
bool AddPatches(const std::filesystem::path& store, const std::vector<PatchJob>& jobs,
                const std::map<std::pair<std::string, std::string>, PatchObject>& stored,
                const std::map<std::string, ChunkList>& lists, const NextFileReader& read,
                const std::function<void(uint64_t)>& progress, Manifest& next,
                std::map<std::string, std::string>& made, std::vector<std::string>& tooLarge,
                std::string& error);

// What an update costs (update_cost.cpp).

struct UpdateCost {
  bool hasCurrent = false;  // false: nothing is on the website yet
  std::string currentVersion;
  size_t added = 0;  // by path
  size_t changed = 0;
  size_t removed = 0;
  // A launcher that fetches whole files: every file whose fingerprint the current version lacks.
  uint64_t wholeFileBytes = 0;
  size_t wholeFiles = 0;
  // A launcher that rebuilds from chunks: the chunks the current version's lists lack, the lists
  // it fetches (the new ones and, as it keeps none, the current ones again), and whole the files
  // that cannot be rebuilt (no list, or nothing chunked in the current version).
  uint64_t deltaBytes = 0;
  uint64_t newChunkBytes = 0;
  size_t newChunks = 0;
  uint64_t chunkListBytes = 0;
  size_t chunkLists = 0;
  uint64_t unlistedBytes = 0;
  size_t unlistedFiles = 0;
  uint64_t freshInstallBytes = 0;
  size_t files = 0;
  // The same for a launcher that reads packed objects: a chunk's packed size, a new file's packed
  // chunk list, a whole file's packed object, where the file has one.
  uint64_t packedDeltaBytes = 0;
  uint64_t packedNewChunkBytes = 0;
  uint64_t packedChunkListBytes = 0;
  uint64_t packedUnlistedBytes = 0;
  uint64_t packedFreshInstallBytes = 0;
  size_t packedFiles = 0;  // of the new version, those with a packed object
  // A launcher that also applies patches: a file's patch from a file of the current version
  // where that is smaller than its packed chunks and packed list, or its packed object.
  uint64_t patchedDeltaBytes = 0;
  uint64_t patchBytes = 0;
  size_t patches = 0;
  uint64_t patchedNewChunkBytes = 0;
  uint64_t patchedChunkListBytes = 0;
  uint64_t patchedUnlistedBytes = 0;
};

// current is null when the website has no version yet. lists holds the chunk lists of both
// versions by their fingerprint, and the packed chunk lists of next; a list missing there counts
// as no list.
UpdateCost CostOfUpdate(const Manifest* current, const Manifest& next,
                        const std::map<std::string, ChunkList>& lists);

// The report publish prints, one line per figure.
std::string DescribeUpdateCost(const UpdateCost& cost);

// Launchers in reports (launcher_report.cpp).

// What an executable's bytes show of an Authenticode signature. kSigned: a certificate table
// that ends the file, 8-byte aligned, whose first WIN_CERTIFICATE has revision 2, type
// PKCS_SIGNED_DATA and holds one PKCS #7 signed-data object with a signer. Neither the
// certificates, nor the signature, nor the file's digest are checked: osslsigncode verify or
// Windows do that.
enum class CodeSigning { kUnsigned, kSigned, kDamaged };
CodeSigning InspectCodeSigning(std::string_view image);

struct LauncherFacts {
  std::string path;
  std::string sha256;
  uint64_t size = 0;
  std::string key;  // KeyShortName of its one release key; empty when it carries none or several
  CodeSigning signing = CodeSigning::kUnsigned;
  std::optional<uint64_t> minimumSequence;  // MinimumSequenceIn
};

// The launcher a manifest lists, with the executable's bytes.
LauncherFacts DescribeLauncher(const ManifestFile& entry, std::string_view image);

// The launcher the manifest lists, read from the website's client folder; false when there is
// none or its stored copy is missing or wrong.
bool ReadPublishedLauncher(const std::filesystem::path& client, const Manifest& manifest,
                           LauncherFacts& launcher);

// The report's launcher line, from the launcher now on the website to the one published (either
// null when there is none).
std::string DescribeLauncherChange(const LauncherFacts* current, const LauncherFacts* next);

// verify's lines on the published launcher: its key, size and signature.
std::string PublishedLauncherText(const LauncherFacts& launcher);

// Why publishing next over current would take a signature away from installed launchers, or
// empty when it would not.
std::string LauncherSigningProblem(const LauncherFacts* current, const LauncherFacts& next);

// Machine-readable reports (json_report.cpp).

// {"name": value, ...}, each value already JSON text.
std::string JsonObjectText(const std::vector<std::pair<std::string, std::string>>& members);

std::string LauncherJson(const LauncherFacts& launcher);
std::string UpdateCostJson(const UpdateCost& cost);

// Publish's report (publish_report.cpp).

struct PublishReport {
  bool dryRun = false;
  bool json = false;       // one JSON object instead of the text
  bool unchanged = false;  // the version was already published with these files: nothing done
  const Manifest* manifest = nullptr;  // as published, or the current one when unchanged
  size_t newInStore = 0;               // files and launcher written (or, on a dry run, to write)
  const LauncherFacts* launcher = nullptr;         // null: none published
  const LauncherFacts* currentLauncher = nullptr;  // null: none on the website
  UpdateCost cost;
};

std::string PublishReportText(const PublishReport& report);

// ", expiring at T", or empty for a manifest without an expiry.
std::string ExpiryNote(const Manifest& manifest);

// Why publish stops at a missing website folder, and what to do.
std::string MissingWebsiteFolder(const std::filesystem::path& website);

// verify's figures, for --json.
struct VerifyReport {
  std::string website;                 // the folder or the address checked
  const Manifest* manifest = nullptr;  // null when it could not be read
  PublicKey releaseKey{};
  const LauncherFacts* launcher = nullptr;  // null: none listed, or not read
  std::vector<std::string> problems;
  std::vector<std::string> notes;
};

std::string VerifyJson(const VerifyReport& report);

// Old files (prune.cpp).

// prune: removes every stored file under the website's client/files/ that neither the current
// manifest nor the keep newest other version records under client/versions/ name (files,
// launchers, chunk lists, packed objects and their chunk lists, patches). The records stay, so a
// version name still keeps its files and the sequence its height. Returns the exit code.
int PruneWebsite(const std::filesystem::path& website, const std::string& keep, bool dryRun,
                 bool json, std::ostream& out, std::ostream& err);
