#include <algorithm>
#include <optional>

#include "net/stamp.h"
#include "publisher.h"

namespace {

// The marker the launcher's build puts right before its release key (cmake/ReleaseKey.cmake).
constexpr std::string_view kReleaseKeyMarker("KELVADON-RELEASE-KEY-V1\0", 24);

std::string ReadAt(std::string_view image, uint64_t offset, size_t length) {
  if (offset >= image.size()) return {};
  return std::string(image.substr(static_cast<size_t>(offset), length));
}

}  // namespace

std::vector<PublicKey> ReleaseKeysIn(std::string_view image) {
  std::vector<PublicKey> keys;
  for (size_t at = image.find(kReleaseKeyMarker); at != std::string_view::npos;
       at = image.find(kReleaseKeyMarker, at + 1)) {
    const size_t start = at + kReleaseKeyMarker.size();
    PublicKey key{};
    if (image.size() - start < key.size()) break;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(start), key.size(), key.begin());
    // Debugging information may hold the record a second time.
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
  }
  return keys;
}

std::string ReleaseKeyRecord(const PublicKey& key) {
  return std::string(kReleaseKeyMarker) + std::string(key.begin(), key.end());
}

std::optional<uint64_t> MinimumSequenceIn(std::string_view image) {
  // The marker and the number as cmake/MinimumSequence.cmake lays them out: 32 bytes of marker,
  // then the number in 8 bytes, least significant first.
  constexpr std::string_view kMarker("KELVADON-MINIMUM-SEQUENCE-V1\0", 29);
  const size_t at = image.find(kMarker);
  if (at == std::string_view::npos || image.size() - at < 40) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) {
    value |= uint64_t{static_cast<unsigned char>(image[at + 32 + i])} << (8 * i);
  }
  return value;
}

std::string KeyName(const PublicKey& key) {
  if (!IsKeySet(key)) return "no release key (all zero bytes)";
  return "the release key " + KeyShortName(key);
}

std::string KeyShortName(const PublicKey& key) {
  return Sha256Hex(std::string(key.begin(), key.end())).substr(0, 16);
}

bool CheckLauncherKey(std::string_view image, const PublicKey& wanted, std::string_view wantedWhy,
                      std::string& error) {
  const std::vector<PublicKey> keys = ReleaseKeysIn(image);
  if (keys.size() == 1 && keys[0] == wanted) return true;
  if (keys.empty()) {
    error =
        "The launcher carries no release key that kelvadon-publish can find; build it from "
        "this repository (apps/launcher/README.txt, step 3).";
  } else if (keys.size() > 1) {
    error = "The launcher carries more than one release key; build it again from this repository.";
  } else {
    error = "The launcher carries " + KeyName(keys[0]) + ", but " + std::string(wantedWhy) + " " +
            KeyName(wanted) +
            ". Every launcher in the field would take it and then refuse the next update. Build "
            "the launcher with KELVADON_RELEASE_KEY_FILE set to the right key "
            "(apps/launcher/README.txt, step 3).";
  }
  return false;
}

bool StampLauncher(std::string_view image, std::string_view stamp, std::string& stamped,
                   std::string& error) {
  const auto read = [image](uint64_t offset, size_t length) {
    return ReadAt(image, offset, length);
  };
  const std::optional<CertificateTable> table = FindCertificateTable(read);
  if (!table || table->offset + table->size != image.size()) {
    stamped = std::string(image) + std::string(stamp);
    return true;
  }
  // A signed launcher: the stamp goes inside the certificate table so the signature still holds.
  if (table->offset % 8 != 0 || table->size % 8 != 0) {
    error =
        "The launcher's signature is not laid out in steps of 8 bytes as signing tools write "
        "it, so a stamp would break it. Sign it again with signtool or osslsigncode.";
    return false;
  }
  const uint32_t certificateLength = ReadLittleEndian32(read(table->offset, 4));
  const size_t padding = (8 - (image.size() + stamp.size()) % 8) % 8;
  const uint64_t grown = padding + stamp.size();
  if (certificateLength < 8 || certificateLength > table->size ||
      table->size + grown > UINT32_MAX) {
    error = "The launcher's signature table is damaged; sign it again.";
    return false;
  }
  stamped = std::string(image) + std::string(padding, '\0') + std::string(stamp);
  stamped.replace(static_cast<size_t>(table->entry + 4), 4,
                  LittleEndian32(static_cast<uint32_t>(table->size + grown)));
  stamped.replace(static_cast<size_t>(table->offset), 4,
                  LittleEndian32(static_cast<uint32_t>(certificateLength + grown)));
  return true;
}
