#include "update/trust/manifest.h"

#include <cmath>
#include <exception>
#include <limits>
#include <utility>

#include "json/json.h"
#include "update/trust/names.h"
#include "update/trust/utc_time.h"

namespace {

// Reads "sequence" and "expires" from the manifest's top-level value into manifest. The reason
// for "The update's list of files doesn't make sense (...)" ("bad sequence", "bad expires"), or
// empty when both are absent or good.
std::string ReadFreshnessMembers(const JsonValue& top, Manifest& manifest) {
  if (const JsonValue* sequence = FindMember(top, "sequence")) {
    const double number = sequence->number;
    if (sequence->kind != JsonKind::Number || !(number >= 0) ||
        number > static_cast<double>(kLargestSequence) || std::floor(number) != number) {
      return "bad sequence";
    }
    manifest.sequence = static_cast<uint64_t>(number);
  }
  if (const JsonValue* expires = FindMember(top, "expires")) {
    int64_t seconds = 0;
    if (expires->kind != JsonKind::String || !ParseUtcTime(expires->text, seconds)) {
      return "bad expires";
    }
    manifest.expires = seconds;
  }
  return {};
}

const JsonValue* FindOfKind(const JsonValue& object, std::string_view name, JsonKind kind) {
  const JsonValue* member = FindMember(object, name);
  return member != nullptr && member->kind == kind ? member : nullptr;
}

std::string TextMember(const JsonValue& object, std::string_view name) {
  const JsonValue* member = FindOfKind(object, name, JsonKind::String);
  return member != nullptr ? member->text : std::string();
}

// The "packed" member of a file entry; none when anything about it is not right.
PackedObject PackedMember(const JsonValue& entry) {
  const JsonValue* member = FindOfKind(entry, "packed", JsonKind::Object);
  if (member == nullptr) return {};
  PackedObject packed;
  packed.sha256 = TextMember(*member, "sha256");
  const JsonValue* size = FindOfKind(*member, "size", JsonKind::Number);
  if (!IsValidFingerprint(packed.sha256) || size == nullptr || !(size->number >= 1)) return {};
  packed.size = ByteCountFromNumber(size->number);
  packed.chunks = TextMember(*member, "chunks");
  if (!IsValidFingerprint(packed.chunks)) packed.chunks.clear();
  return packed;
}

// The "patches" member of a file entry: its good patches, in order, and none of the others.
std::vector<PatchObject> PatchesMember(const JsonValue& entry, const std::string& sha256) {
  std::vector<PatchObject> patches;
  const JsonValue* member = FindOfKind(entry, "patches", JsonKind::Array);
  if (member == nullptr) return patches;
  for (const JsonValue& element : member->elements) {
    if (patches.size() == kMaxPatchesPerFile) break;
    if (element.kind != JsonKind::Object) continue;
    PatchObject patch{TextMember(element, "from"), TextMember(element, "sha256")};
    const JsonValue* size = FindOfKind(element, "size", JsonKind::Number);
    // A patch from the file itself would rebuild nothing.
    if (!IsValidFingerprint(patch.from) || !IsValidFingerprint(patch.sha256) ||
        patch.from == sha256 || size == nullptr || !(size->number >= 1)) {
      continue;
    }
    patch.size = ByteCountFromNumber(size->number);
    patches.push_back(std::move(patch));
  }
  return patches;
}

bool ParseFileEntry(const JsonValue& value, ManifestFile& file) {
  if (value.kind != JsonKind::Object) return false;
  file.path = TextMember(value, "path");
  file.sha256 = TextMember(value, "sha256");
  const JsonValue* size = FindOfKind(value, "size", JsonKind::Number);
  if (size == nullptr || size->number < 0) return false;
  file.size = ByteCountFromNumber(size->number);
  file.chunks = TextMember(value, "chunks");
  if (!IsValidFingerprint(file.chunks)) file.chunks.clear();
  file.packed = PackedMember(value);
  file.patches = PatchesMember(value, file.sha256);
  // The size is the ceiling of the download, so 0 must mean the empty file itself; nothing else
  // can be 0 bytes long.
  if (file.size == 0 && file.sha256 != kEmptyFileSha256) return false;
  return IsValidManifestPath(file.path) && IsValidFingerprint(file.sha256);
}

// The reason inside "The update's list of files doesn't make sense (...)", or empty when the
// content is good.
std::string ContentProblem(std::string_view manifestBytes, Manifest& manifest) {
  JsonValue root;
  try {
    root = ParseJson(manifestBytes);
  } catch (const std::exception& e) {
    // An empty reason would read as success.
    const std::string reason = e.what();
    return reason.empty() ? std::string("not JSON") : reason;
  }
  manifest = Manifest();
  manifest.version = TextMember(root, "version");
  if (!IsValidVersionName(manifest.version)) return "bad version";
  const JsonValue* files = FindOfKind(root, "files", JsonKind::Array);
  if (files == nullptr || files->elements.empty()) return "no files";
  for (const JsonValue& element : files->elements) {
    ManifestFile file;
    if (!ParseFileEntry(element, file)) return "bad file";
    manifest.files.push_back(std::move(file));
  }
  const JsonValue* launcher = FindMember(root, "launcher");
  if (launcher != nullptr && !ParseFileEntry(*launcher, manifest.launcher)) return "bad launcher";
  return ReadFreshnessMembers(root, manifest);
}

}  // namespace

uint64_t ByteCountFromNumber(double number) {
  // The cast is undefined outside the range of the target, so both ends are settled first.
  if (std::isnan(number) || number <= 0) return 0;
  constexpr double kTwoToThe64 = 18446744073709551616.0;
  if (number >= kTwoToThe64) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(number);
}

bool IsValidManifestPath(std::string_view path) {
  if (path.empty() || path.size() > 300) return false;
  if (path.front() == '/' || path.front() == '\\') return false;
  if (path.find(':') != std::string_view::npos) return false;
  size_t start = 0;
  while (true) {
    const size_t end = path.find_first_of("/\\", start);
    const std::string_view piece =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (piece.empty() || piece == "." || piece == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool IsValidFingerprint(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool ParseManifestContent(std::string_view manifestBytes, Manifest& manifest, std::string& error) {
  const std::string problem = ContentProblem(manifestBytes, manifest);
  if (problem.empty()) return true;
  error = "The update's list of files doesn't make sense (" + problem + ")";
  return false;
}

bool ParseManifestWithKey(const PublicKey& key, std::string_view manifestBytes,
                          std::string_view signatureBytes, Manifest& manifest, std::string& error) {
  if (!IsKeySet(key)) {
    // Kept on one line so that the sentence can be found by searching for it.
    // clang-format off
    error = "This copy of the launcher was built before the release key was made (see apps/launcher/README.txt)";
    // clang-format on
    return false;
  }
  if (!VerifySignatureWithKey(key, manifestBytes, signatureBytes)) {
    error = "The update isn't signed by Kelvadon, so it wasn't installed";
    return false;
  }
  return ParseManifestContent(manifestBytes, manifest, error);
}

bool ParseManifest(std::string_view manifestBytes, std::string_view signatureBytes,
                   Manifest& manifest, std::string& error) {
  return ParseManifestWithKey(ReleaseKey, manifestBytes, signatureBytes, manifest, error);
}
