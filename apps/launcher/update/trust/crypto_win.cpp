// bcrypt.h needs the types that windows.h declares, so the order is fixed.
// clang-format off
#include <windows.h>

#include <bcrypt.h>
// clang-format on

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "common/system_library_win.h"
#include "common/unique_handle.h"
#include "update/trust/crypto.h"

namespace {

// Every status below must be exactly this value; anything else, warnings included, is a failure.
constexpr NTSTATUS kStatusSuccess = 0;

// BCryptHashData takes a 32-bit length, so input is fed in pieces of at most 1 GiB.
constexpr size_t kMaxHashPiece = 0x40000000;

struct BCryptFunctions {
  decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
  decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
  decltype(&BCryptCreateHash) createHash = nullptr;
  decltype(&BCryptHashData) hashData = nullptr;
  decltype(&BCryptFinishHash) finishHash = nullptr;
  decltype(&BCryptDestroyHash) destroyHash = nullptr;
  decltype(&BCryptImportKeyPair) importKeyPair = nullptr;
  decltype(&BCryptVerifySignature) verifySignature = nullptr;
  decltype(&BCryptDestroyKey) destroyKey = nullptr;
};

BCryptFunctions gBCrypt;

// bcrypt.dll is loaded at run time from System32 only, never linked: the setup program is started
// from the Downloads folder, where a planted bcrypt.dll would otherwise be loaded in place of the
// system's. Once loaded the library stays for the life of the process, as a linked one would.
const BCryptFunctions* BCrypt() {
  static std::once_flag once;
  static bool loaded = false;
  std::call_once(once, [] {
    const HMODULE module = LoadSystemLibrary(L"bcrypt.dll");
    if (module == nullptr) return;
    BCryptFunctions& f = gBCrypt;
    loaded = LoadFunction(module, "BCryptOpenAlgorithmProvider", f.openAlgorithmProvider) &&
             LoadFunction(module, "BCryptCloseAlgorithmProvider", f.closeAlgorithmProvider) &&
             LoadFunction(module, "BCryptCreateHash", f.createHash) &&
             LoadFunction(module, "BCryptHashData", f.hashData) &&
             LoadFunction(module, "BCryptFinishHash", f.finishHash) &&
             LoadFunction(module, "BCryptDestroyHash", f.destroyHash) &&
             LoadFunction(module, "BCryptImportKeyPair", f.importKeyPair) &&
             LoadFunction(module, "BCryptVerifySignature", f.verifySignature) &&
             LoadFunction(module, "BCryptDestroyKey", f.destroyKey);
  });
  return loaded ? &gBCrypt : nullptr;
}

// Owners exist only after BCrypt() answered the table, so their close calls can use it.
struct AlgorithmTraits {
  using Type = BCRYPT_ALG_HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { gBCrypt.closeAlgorithmProvider(handle, 0); }
};
struct HashTraits {
  using Type = BCRYPT_HASH_HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { gBCrypt.destroyHash(handle); }
};
struct KeyTraits {
  using Type = BCRYPT_KEY_HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { gBCrypt.destroyKey(handle); }
};
using UniqueAlgorithm = UniqueHandle<AlgorithmTraits>;
using UniqueHash = UniqueHandle<HashTraits>;
using UniqueKey = UniqueHandle<KeyTraits>;

void PutLittleEndian32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

bool ComputeSha256(std::string_view bytes, Sha256Digest& digest) {
  const BCryptFunctions* f = BCrypt();
  if (f == nullptr) return false;
  UniqueAlgorithm algorithm;
  if (f->openAlgorithmProvider(algorithm.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) !=
      kStatusSuccess) {
    return false;
  }
  UniqueHash hash;
  if (f->createHash(algorithm.Get(), hash.Put(), nullptr, 0, nullptr, 0, 0) != kStatusSuccess) {
    return false;
  }
  for (size_t offset = 0; offset < bytes.size();) {
    const size_t piece = std::min(kMaxHashPiece, bytes.size() - offset);
    // CNG takes a non-const pointer but only reads the input.
    auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + offset));
    if (f->hashData(hash.Get(), input, static_cast<ULONG>(piece), 0) != kStatusSuccess) {
      return false;
    }
    offset += piece;
  }
  return f->finishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0) ==
         kStatusSuccess;
}

struct Sha256Provider {
  UniqueAlgorithm algorithm;  // empty when CNG could not be opened
};

void Sha256ProviderCloser::operator()(Sha256Provider* provider) const { delete provider; }

Sha256ProviderOwner OpenSha256Provider() {
  Sha256ProviderOwner provider(new Sha256Provider);
  const BCryptFunctions* f = BCrypt();
  if (f != nullptr && f->openAlgorithmProvider(provider->algorithm.Put(), BCRYPT_SHA256_ALGORITHM,
                                               nullptr, 0) != kStatusSuccess) {
    provider->algorithm = UniqueAlgorithm();
  }
  return provider;
}

struct Sha256Hasher {
  UniqueHash hash;
  bool good = false;
};

void Sha256HasherCloser::operator()(Sha256Hasher* hasher) const { delete hasher; }

Sha256HasherOwner StartSha256(Sha256Provider& provider) {
  Sha256HasherOwner hasher(new Sha256Hasher);
  if (provider.algorithm) {
    hasher->good = gBCrypt.createHash(provider.algorithm.Get(), hasher->hash.Put(), nullptr, 0,
                                      nullptr, 0, 0) == kStatusSuccess;
  }
  return hasher;
}

void UpdateSha256(Sha256Hasher& hasher, const char* data, size_t size) {
  for (size_t offset = 0; hasher.good && offset < size;) {
    const size_t piece = std::min(kMaxHashPiece, size - offset);
    // CNG takes a non-const pointer but only reads the input.
    auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(data + offset));
    hasher.good =
        gBCrypt.hashData(hasher.hash.Get(), input, static_cast<ULONG>(piece), 0) == kStatusSuccess;
    offset += piece;
  }
}

std::string FinishSha256Hex(Sha256Hasher& hasher) {
  Sha256Digest digest{};
  const bool good =
      hasher.good && gBCrypt.finishHash(hasher.hash.Get(), digest.data(),
                                        static_cast<ULONG>(digest.size()), 0) == kStatusSuccess;
  hasher.good = false;
  if (!good) digest.fill(0);
  return DigestHex(digest);
}

bool VerifyP256Digest(const PublicKey& key, const Sha256Digest& digest,
                      const std::array<unsigned char, 64>& signature) {
  const BCryptFunctions* f = BCrypt();
  if (f == nullptr) return false;
  UniqueAlgorithm algorithm;
  if (f->openAlgorithmProvider(algorithm.Put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) !=
      kStatusSuccess) {
    return false;
  }
  // BCRYPT_ECCKEY_BLOB: magic and key length, little-endian, then X and Y.
  unsigned char blob[72] = {};
  PutLittleEndian32(blob, BCRYPT_ECDSA_PUBLIC_P256_MAGIC);
  PutLittleEndian32(blob + 4, 32);
  std::copy(key.begin(), key.end(), blob + 8);
  UniqueKey publicKey;
  if (f->importKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, publicKey.Put(), blob,
                       sizeof blob, 0) != kStatusSuccess) {
    return false;
  }
  Sha256Digest hashCopy = digest;
  std::array<unsigned char, 64> signatureCopy = signature;
  return f->verifySignature(publicKey.Get(), nullptr, hashCopy.data(),
                            static_cast<ULONG>(hashCopy.size()), signatureCopy.data(),
                            static_cast<ULONG>(signatureCopy.size()), 0) == kStatusSuccess;
}
