#include "update/trust/crypto.h"

#include <algorithm>

std::string DigestHex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * digest.size());
  for (const unsigned char byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256Digest digest{};
  if (!ComputeSha256(bytes, digest)) digest.fill(0);
  return DigestHex(digest);
}

bool IsKeySet(const PublicKey& key) {
  for (const unsigned char byte : key) {
    if (byte != 0) return true;
  }
  return false;
}

bool HasReleaseKey() { return IsKeySet(ReleaseKey); }

bool VerifySignatureWithKey(const PublicKey& key, std::string_view data,
                            std::string_view signature) {
  std::array<unsigned char, 64> raw{};
  if (signature.size() != raw.size()) return false;
  std::copy(signature.begin(), signature.end(), raw.begin());
  // The digest is computed here with every step checked rather than taken from Sha256Hex: its
  // all-zero fallback would let anyone who knows the public key forge a signature over it.
  Sha256Digest digest{};
  if (!ComputeSha256(data, digest)) return false;
  return VerifyP256Digest(key, digest, raw);
}

bool VerifyReleaseSignature(std::string_view data, std::string_view signature) {
  return VerifySignatureWithKey(ReleaseKey, data, signature);
}
