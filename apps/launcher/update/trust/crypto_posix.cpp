#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <memory>

#include "update/trust/crypto.h"

namespace {

// Pieces of at most 1 GiB, as on Windows, so both builds feed the same calls.
constexpr size_t kMaxHashPiece = 0x40000000;

struct OpenSslFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

bool VerifyWithOpenSsl(const PublicKey& key, const Sha256Digest& digest,
                       const std::array<unsigned char, 64>& signature) {
  // The key as an uncompressed point: 0x04, then X and Y.
  unsigned char point[65];
  point[0] = 0x04;
  std::copy(key.begin(), key.end(), point + 1);
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end()};
  Owned<EVP_PKEY_CTX> importContext(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!importContext || EVP_PKEY_fromdata_init(importContext.get()) != 1) return false;
  EVP_PKEY* imported = nullptr;
  if (EVP_PKEY_fromdata(importContext.get(), &imported, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    return false;
  }
  Owned<EVP_PKEY> publicKey(imported);

  Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_pkey(nullptr, publicKey.get(), nullptr));
  // The point must lie on the curve; CNG refuses such a key at import.
  if (!context || EVP_PKEY_public_check(context.get()) != 1) return false;

  // OpenSSL takes the DER form, so r and s are re-encoded; a value of r or s outside 1..n-1 is
  // refused by the verification itself.
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  Owned<BIGNUM> r(BN_bin2bn(signature.data(), 32, nullptr));
  Owned<BIGNUM> s(BN_bin2bn(signature.data() + 32, 32, nullptr));
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return false;
  // The signature owns r and s now.
  (void)r.release();
  (void)s.release();
  unsigned char* derBytes = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig.get(), &derBytes);
  Owned<unsigned char> der(derBytes);
  if (derLength <= 0) return false;

  if (EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return false;
  }
  return EVP_PKEY_verify(context.get(), der.get(), static_cast<size_t>(derLength), digest.data(),
                         digest.size()) == 1;
}

}  // namespace

bool ComputeSha256(std::string_view bytes, Sha256Digest& digest) {
  Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
  bool good = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  for (size_t offset = 0; good && offset < bytes.size();) {
    const size_t piece = std::min(kMaxHashPiece, bytes.size() - offset);
    good = EVP_DigestUpdate(context.get(), bytes.data() + offset, piece) == 1;
    offset += piece;
  }
  unsigned int length = 0;
  good = good && EVP_DigestFinal_ex(context.get(), digest.data(), &length) == 1 &&
         length == digest.size();
  ERR_clear_error();
  return good;
}

// OpenSSL keeps its digests for the life of the process, so the provider holds nothing.
struct Sha256Provider {};

void Sha256ProviderCloser::operator()(Sha256Provider* provider) const { delete provider; }

Sha256ProviderOwner OpenSha256Provider() { return Sha256ProviderOwner(new Sha256Provider); }

struct Sha256Hasher {
  Owned<EVP_MD_CTX> context;
  bool good = false;
};

void Sha256HasherCloser::operator()(Sha256Hasher* hasher) const { delete hasher; }

Sha256HasherOwner StartSha256(Sha256Provider& /*provider*/) {
  Sha256HasherOwner hasher(new Sha256Hasher);
  hasher->context.reset(EVP_MD_CTX_new());
  hasher->good =
      hasher->context && EVP_DigestInit_ex(hasher->context.get(), EVP_sha256(), nullptr) == 1;
  ERR_clear_error();
  return hasher;
}

void UpdateSha256(Sha256Hasher& hasher, const char* data, size_t size) {
  for (size_t offset = 0; hasher.good && offset < size;) {
    const size_t piece = std::min(kMaxHashPiece, size - offset);
    hasher.good = EVP_DigestUpdate(hasher.context.get(), data + offset, piece) == 1;
    offset += piece;
  }
}

std::string FinishSha256Hex(Sha256Hasher& hasher) {
  Sha256Digest digest{};
  unsigned int length = 0;
  const bool good = hasher.good &&
                    EVP_DigestFinal_ex(hasher.context.get(), digest.data(), &length) == 1 &&
                    length == digest.size();
  hasher.good = false;
  ERR_clear_error();
  if (!good) digest.fill(0);
  return DigestHex(digest);
}

bool VerifyP256Digest(const PublicKey& key, const Sha256Digest& digest,
                      const std::array<unsigned char, 64>& signature) {
  const bool valid = VerifyWithOpenSsl(key, digest, signature);
  // A refused signature or key leaves entries on this thread's error queue; later OpenSSL users
  // on the thread must not find them.
  ERR_clear_error();
  return valid;
}
