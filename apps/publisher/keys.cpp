#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/text.h"
#include "files/file_io.h"
#include "publisher.h"

namespace fs = std::filesystem;

namespace {

struct OpenSslFree {
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

std::string Quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

// OpenSSL's own reason for the last failure, for the engineer reading the message.
std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  char text[256] = {};
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Refuses to ask for a passphrase: the tool runs in scripts, and keygen writes unprotected keys
// that are kept safe by staying offline.
int NoPassphrase(char*, int, int, void*) { return -1; }

bool PublicKeyOf(const EVP_PKEY* pkey, PublicKey& key) {
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  const bool got = EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
                   EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
  Owned<BIGNUM> ownedX(x);
  Owned<BIGNUM> ownedY(y);
  return got && BN_bn2binpad(x, key.data(), 32) == 32 && BN_bn2binpad(y, key.data() + 32, 32) == 32;
}

bool IsP256Key(const EVP_PKEY* pkey) {
  if (EVP_PKEY_is_a(pkey, "EC") != 1) return false;
  char group[64] = {};
  size_t length = 0;
  if (EVP_PKEY_get_group_name(pkey, group, sizeof group, &length) != 1) return false;
  const std::string name(group, length);
  return name == "prime256v1" || name == "P-256" || name == "secp256r1";
}

Owned<EVP_PKEY> ParsePrivateKey(std::string_view pem) {
  Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return Owned<EVP_PKEY>(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
}

// Creates the file only when it does not exist yet, readable by its owner alone.
bool WriteNewFile(const fs::path& path, std::string_view bytes, mode_t mode, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    error = "Could not create " + Quoted(path) + ": " + std::strerror(errno) + ".";
    return false;
  }
  bool good = fchmod(fd, mode) == 0;
  for (size_t done = 0; good && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    good = n > 0;
    if (good) done += static_cast<size_t>(n);
  }
  good = fsync(fd) == 0 && good;
  good = close(fd) == 0 && good;
  if (!good) {
    error = "Could not write " + Quoted(path) + ": " + std::strerror(errno) + ".";
    unlink(path.c_str());
  }
  return good;
}

}  // namespace

bool MakeKeyPair(const fs::path& privateKeyFile, const fs::path& releaseKeyFile,
                 std::string& error) {
  for (const fs::path& file : {privateKeyFile, releaseKeyFile}) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(file, ec))) {
      error = Quoted(file) + " already exists; kelvadon-publish never overwrites a key.";
      return false;
    }
  }
  Owned<EVP_PKEY> pkey(EVP_EC_gen("P-256"));
  PublicKey publicKey{};
  if (!pkey || !PublicKeyOf(pkey.get(), publicKey)) {
    error = "Could not make a key pair (" + OpenSslReason() + ").";
    return false;
  }
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    error = "Could not write the private key as PEM (" + OpenSslReason() + ").";
    return false;
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  const std::string pem(data, static_cast<size_t>(length));
  if (!WriteNewFile(privateKeyFile, pem, S_IRUSR | S_IWUSR, error)) return false;
  const std::string_view release(reinterpret_cast<const char*>(publicKey.data()), publicKey.size());
  if (!WriteNewFile(releaseKeyFile, release, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH, error)) {
    // A private key without its release key is of no use; take it away again.
    unlink(privateKeyFile.c_str());
    return false;
  }
  return true;
}

bool LoadSigningKey(const fs::path& file, SigningKey& key, std::string& error) {
  std::string pem;
  bool whole = false;
  if (!ReadWholeFile(file, pem, &whole) || !whole) {
    error = "Could not read the private key " + Quoted(file) + ".";
    return false;
  }
  Owned<EVP_PKEY> pkey = ParsePrivateKey(pem);
  if (!pkey) {
    ERR_clear_error();
    error = Quoted(file) +
            " is not a private key kelvadon-publish can use (an unprotected PEM key, as "
            "\"kelvadon-publish keygen\" writes).";
    return false;
  }
  if (!IsP256Key(pkey.get()) || !PublicKeyOf(pkey.get(), key.publicKey)) {
    ERR_clear_error();
    error = Quoted(file) + " is not an ECDSA P-256 private key, the only kind the launcher checks.";
    return false;
  }
  key.pem = std::move(pem);
  return true;
}

bool SignBytes(const SigningKey& key, std::string_view data, std::string& signature,
               std::string& error) {
  Owned<EVP_PKEY> pkey = ParsePrivateKey(key.pem);
  Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
  size_t derLength = 0;
  const auto* input = reinterpret_cast<const unsigned char*>(data.data());
  if (!pkey || !context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &derLength, input, data.size()) != 1) {
    error = "Could not sign (" + OpenSslReason() + ").";
    return false;
  }
  std::string der(derLength, '\0');
  auto* derBytes = reinterpret_cast<unsigned char*>(der.data());
  if (EVP_DigestSign(context.get(), derBytes, &derLength, input, data.size()) != 1) {
    error = "Could not sign (" + OpenSslReason() + ").";
    return false;
  }
  // OpenSSL answers in DER; the launcher takes r and s as two 32-byte big-endian numbers.
  const unsigned char* cursor = derBytes;
  Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  unsigned char raw[64] = {};
  if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw, 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw + 32, 32) != 32) {
    error = "Could not convert the signature (" + OpenSslReason() + ").";
    return false;
  }
  signature.assign(reinterpret_cast<const char*>(raw), sizeof raw);
  return true;
}

bool ReadReleaseKeyFile(const fs::path& file, PublicKey& key, std::string& error) {
  std::string bytes;
  bool whole = false;
  if (!ReadWholeFile(file, bytes, &whole) || !whole) {
    error = "Could not read the release key " + Quoted(file) + ".";
    return false;
  }
  if (bytes.size() != key.size()) {
    error = Quoted(file) + " holds " + std::to_string(bytes.size()) +
            " bytes, but a release key file holds exactly 64 (X then Y, as \"kelvadon-publish "
            "keygen\" writes).";
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return true;
}
