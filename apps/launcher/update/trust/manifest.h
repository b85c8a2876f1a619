#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/crypto.h"

// The largest sequence: every whole number up to it is exact in a JSON reader's double.
inline constexpr uint64_t kLargestSequence = 9007199254740991ull;

// The fingerprint of the empty file: an entry of size 0 must have it, and is made without a fetch.
inline constexpr char kEmptyFileSha256[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A file deflated for the wire (update/trust/packed.h), stored on the website beside it.
struct PackedObject {
  std::string sha256;  // its fingerprint, and its name under /client/files/; empty when none
  uint64_t size = 0;   // exactly its size: no fetch of it may grow past it
  // The fingerprint of the file's chunk list of format 2, which gives each chunk's packed size,
  // or empty. Only a file with a chunk list has one; its packed object is then one stream per
  // chunk, so any run of chunks is a range of it.
  std::string chunks = {};
};

// A binary patch (update/trust/patch.h), deflated, that rebuilds the file from an older file.
struct PatchObject {
  std::string from;    // the fingerprint of the file it applies to
  std::string sha256;  // its own fingerprint, and its name under /client/files/
  uint64_t size = 0;   // exactly its size: no fetch of it may grow past it
};

// The most patches of one file a launcher reads; a longer list is read up to there.
inline constexpr size_t kMaxPatchesPerFile = 16;

struct ManifestFile {
  std::string path;    // relative path inside the version folder, UTF-8
  std::string sha256;  // 64 lower-case hex digits
  uint64_t size = 0;   // exactly the file's size: no download may grow past it
  // The fingerprint of the file's chunk list (update/chunk_list.h), or empty when the entry names
  // none. Optional and ignored by older launchers; a value that is no fingerprint counts as none,
  // so a publisher's slip costs only a whole download.
  std::string chunks = {};  // brace-initialised records may leave it out
  // Optional and ignored by older launchers, like chunks: a member that is not a good one counts
  // as none, and the file is fetched as stored.
  PackedObject packed = {};
  // Optional and ignored by older launchers: patches from files of earlier versions. A patch
  // that is not a good one is left out; the others stay.
  std::vector<PatchObject> patches = {};
};

struct Manifest {
  std::string version;
  std::vector<ManifestFile> files;  // in the order of installation
  ManifestFile launcher;            // empty path when the manifest names no launcher
  // Optional, and ignored by launchers that do not know them (update/freshness.h): raised by one
  // on every publish, and the time (seconds since 1970, UTC) after which it is not trusted.
  std::optional<uint64_t> sequence;
  std::optional<int64_t> expires;
};

// Checks the signature against the built-in release key, then the content. On false, error holds
// the sentence for the user and manifest is not to be used.
bool ParseManifest(std::string_view manifestBytes, std::string_view signatureBytes,
                   Manifest& manifest, std::string& error);

// ParseManifest with a key of the caller's instead of the built-in one.
bool ParseManifestWithKey(const PublicKey& key, std::string_view manifestBytes,
                          std::string_view signatureBytes, Manifest& manifest, std::string& error);

// The checks that follow a good signature: JSON, version, files, launcher, sequence and expires.
bool ParseManifestContent(std::string_view manifestBytes, Manifest& manifest, std::string& error);

// 1 to 300 bytes, not starting with '/' or '\', no ':', and every piece between separators ('/'
// and '\' alike) non-empty and neither "." nor "..".
bool IsValidManifestPath(std::string_view path);

// Exactly 64 characters of 0-9 and a-f.
bool IsValidFingerprint(std::string_view text);

// A JSON number as a byte count: NaN counts as 0, the fraction is dropped, 2^64 or more gives
// the largest value. The caller has refused negative numbers.
uint64_t ByteCountFromNumber(double number);

// File names the launcher itself writes into a version folder.
inline constexpr char kManifestFileName[] = "manifest.json";
inline constexpr char kSignatureFileName[] = "manifest.sig";
