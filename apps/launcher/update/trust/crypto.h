#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// An ECDSA P-256 public key: the point's X coordinate, then its Y coordinate, each 32 bytes
// big-endian. All zero bytes stand for no key.
using PublicKey = std::array<unsigned char, 64>;
using Sha256Digest = std::array<unsigned char, 32>;

// The release public key built into this executable (generated from KELVADON_RELEASE_KEY_FILE),
// kept right after the 24 bytes "KELVADON-RELEASE-KEY-V1" and a zero byte so that tools can read
// it from the executable's bytes.
extern const PublicKey& ReleaseKey;

// The SHA-256 of the bytes as 64 lower-case hex digits. When the platform cannot hash, the answer
// is 64 "0" characters, which matches no fingerprint in a manifest.
std::string Sha256Hex(std::string_view bytes);

// SHA-256 over bytes that arrive in pieces. The platform's hashing is opened once for many
// files (one provider for a whole update); each file then has its own hasher.
struct Sha256Provider;
struct Sha256ProviderCloser {
  void operator()(Sha256Provider* provider) const;
};
using Sha256ProviderOwner = std::unique_ptr<Sha256Provider, Sha256ProviderCloser>;

// Never null; a provider the platform could not open makes every hash answer 64 "0" characters.
Sha256ProviderOwner OpenSha256Provider();

struct Sha256Hasher;
struct Sha256HasherCloser {
  void operator()(Sha256Hasher* hasher) const;
};
using Sha256HasherOwner = std::unique_ptr<Sha256Hasher, Sha256HasherCloser>;

// A new hash over no bytes yet. Never null; the provider must outlive it.
Sha256HasherOwner StartSha256(Sha256Provider& provider);

// Adds the next piece. A failure of the platform is kept and shows in the result.
void UpdateSha256(Sha256Hasher& hasher, const char* data, size_t size);

// The hash of every piece added, as Sha256Hex gives it (64 "0" characters after any failure).
// The hasher takes no more pieces afterwards.
std::string FinishSha256Hex(Sha256Hasher& hasher);

// False when every byte of the key is zero.
bool IsKeySet(const PublicKey& key);

// IsKeySet(ReleaseKey).
bool HasReleaseKey();

// True only when signature is 64 raw bytes, r then s (each 32 bytes big-endian), of a valid
// ECDSA P-256 signature over SHA-256(data) under key. A failure to hash, to import the key or to
// verify answers false alike.
bool VerifySignatureWithKey(const PublicKey& key, std::string_view data,
                            std::string_view signature);

// VerifySignatureWithKey(ReleaseKey, data, signature).
bool VerifyReleaseSignature(std::string_view data, std::string_view signature);

// The platform seam under the operations above (crypto_win.cpp, crypto_posix.cpp).

// The digest as 64 lower-case hex digits.
std::string DigestHex(const Sha256Digest& digest);

// SHA-256 of the bytes; false, with digest unspecified, when any step of the platform fails.
bool ComputeSha256(std::string_view bytes, Sha256Digest& digest);

// Whether signature (64 bytes, r then s) is a valid ECDSA P-256 signature of digest under key.
bool VerifyP256Digest(const PublicKey& key, const Sha256Digest& digest,
                      const std::array<unsigned char, 64>& signature);
