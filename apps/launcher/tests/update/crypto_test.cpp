#include "update/trust/crypto.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/mman.h>
#endif

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "json/json.h"
#include "signed_fixture.h"

namespace {

std::string FromHex(std::string_view hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("not hex");
  };
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex");
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  }
  return bytes;
}

PublicKey KeyFromHex(std::string_view hex) {
  const std::string bytes = FromHex(hex);
  PublicKey key{};
  EXPECT_EQ(bytes.size(), key.size());
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

// The DER form other tools write: SEQUENCE { INTEGER r, INTEGER s }.
std::string DerSignature(std::string_view raw) {
  auto integer = [](std::string_view value) {
    while (value.size() > 1 && value[0] == '\0') value.remove_prefix(1);
    std::string out(value);
    if (static_cast<unsigned char>(out[0]) & 0x80) out.insert(out.begin(), '\0');
    return std::string("\x02", 1) + static_cast<char>(out.size()) + out;
  };
  const std::string body = integer(raw.substr(0, 32)) + integer(raw.substr(32));
  return std::string("\x30", 1) + static_cast<char>(body.size()) + body;
}

// n - s for the order n of the P-256 group: the other valid signature with the same r.
std::string NegatedS(std::string_view raw) {
  const std::string n = FromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  std::string out(raw);
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    int digit = static_cast<unsigned char>(n[i]) - static_cast<unsigned char>(raw[32 + i]) - borrow;
    borrow = digit < 0 ? 1 : 0;
    out[32 + i] = static_cast<char>(digit + 256 * borrow);
  }
  return out;
}

// Wine's CNG is built on GnuTLS, which refuses the one valid vector whose verification meets a
// point doubling (tcId 204); Windows itself and OpenSSL accept it. Wine is known by the prefix
// variable that Wine passes into every process it starts.
bool RunningUnderWine() {
#ifdef _WIN32
  return std::getenv("WINEPREFIX") != nullptr;
#else
  return false;
#endif
}

TEST(Sha256Hex, KnownAnswers) {
  struct Case {
    std::string input;
    const char* expected;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string("\0", 1), "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sha256Hex(c.input), c.expected) << c.input.size() << " bytes";
  }
}

TEST(Sha256Hex, AcrossTheOneGibibytePieceBoundary) {
#ifdef _WIN32
  GTEST_SKIP() << "a 1 GiB buffer is too slow under Wine; the Linux build covers the boundary";
#else
  // Read-only anonymous memory reads as zeros and shares one zero page, so this takes no real
  // memory; populating it up front saves a page fault per 4 KiB.
  const size_t size = (size_t{1} << 30) + 1;
  void* zeros = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  ASSERT_NE(zeros, MAP_FAILED);
  const std::string_view input(static_cast<const char*>(zeros), size);
  EXPECT_EQ(Sha256Hex(input), "6d9bfe50425f2dfe4e2ac07efee1f0bc9d567348ad4aed62704ffe6f5884e9a8");
  munmap(zeros, size);
#endif
}

// The incremental hasher against the one-shot hash: any cut of the input into pieces, empty
// pieces among them, gives the same fingerprint, and many hashers share one provider.
TEST(Sha256Hasher, AnyPiecesGiveTheOneShotHash) {
  std::string mixed;
  for (int i = 0; i < 300000; ++i) mixed.push_back(static_cast<char>((i * 131) ^ (i >> 7)));
  struct Case {
    const char* name;
    std::string input;
    std::vector<size_t> pieces;  // sizes in order; the rest of the input goes in one last piece
  };
  const Case cases[] = {
      {"nothing at all", "", {}},
      {"only empty pieces", "", {0, 0, 0}},
      {"one byte", "a", {}},
      {"a byte at a time", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       std::vector<size_t>(56, 1)},
      {"across a 64-byte block", std::string(200, 'x'), {63, 1, 0, 64, 65}},
      {"uneven large pieces", mixed, {1, 262144, 7, 0, 4096}},
      {"one piece", mixed, {}},
  };
  const Sha256ProviderOwner provider = OpenSha256Provider();
  ASSERT_TRUE(provider);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Sha256HasherOwner hasher = StartSha256(*provider);
    ASSERT_TRUE(hasher);
    size_t offset = 0;
    for (const size_t piece : c.pieces) {
      UpdateSha256(*hasher, c.input.data() + offset, piece);
      offset += piece;
    }
    UpdateSha256(*hasher, c.input.data() + offset, c.input.size() - offset);
    EXPECT_EQ(FinishSha256Hex(*hasher), Sha256Hex(c.input));
  }
  // A known answer, so both builds are checked against the same value and not only each other.
  const Sha256HasherOwner abc = StartSha256(*provider);
  UpdateSha256(*abc, "ab", 2);
  UpdateSha256(*abc, "c", 1);
  EXPECT_EQ(FinishSha256Hex(*abc),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256Hasher, HashersOfOneProviderDoNotMix) {
  const Sha256ProviderOwner provider = OpenSha256Provider();
  const Sha256HasherOwner first = StartSha256(*provider);
  const Sha256HasherOwner second = StartSha256(*provider);
  UpdateSha256(*first, "ab", 2);
  UpdateSha256(*second, "", 0);
  UpdateSha256(*first, "c", 1);
  EXPECT_EQ(FinishSha256Hex(*second), Sha256Hex(""));
  EXPECT_EQ(FinishSha256Hex(*first), Sha256Hex("abc"));
  // A finished hasher answers no fingerprint, never a stale or partial one.
  UpdateSha256(*first, "d", 1);
  EXPECT_EQ(FinishSha256Hex(*first), std::string(64, '0'));
}

TEST(IsKeySet, OnlyAnAllZeroKeyCountsAsNoKey) {
  PublicKey key{};
  EXPECT_FALSE(IsKeySet(key));
  for (const size_t position : {size_t{0}, size_t{31}, size_t{32}, size_t{63}}) {
    key = {};
    key[position] = 1;
    EXPECT_TRUE(IsKeySet(key)) << position;
  }
  EXPECT_EQ(HasReleaseKey(), IsKeySet(ReleaseKey));
}

TEST(VerifySignatureWithKey, APublishedSignatureAndItsNearMisses) {
  const PublicKey key = KeyFromHex(kSignedManifestKeyHex);
  const std::string manifest(kSignedManifest);
  const std::string signature = FromHex(kSignedManifestSignatureHex);
  ASSERT_TRUE(VerifySignatureWithKey(key, manifest, signature));
  // The other form of the same signature, s replaced by n - s, is just as valid.
  EXPECT_TRUE(VerifySignatureWithKey(key, manifest, NegatedS(signature)));

  std::string flippedBit = manifest;
  flippedBit[10] ^= 0x01;
  std::string crlf = manifest;
  crlf.replace(crlf.find('\n'), 1, "\r\n");
  std::string swapped = signature.substr(32) + signature.substr(0, 32);
  struct Case {
    const char* what;
    std::string data;
    std::string signature;
  };
  const Case refused[] = {
      {"one flipped bit", flippedBit, signature},
      {"a changed line end", crlf, signature},
      {"a trailing newline", manifest + "\n", signature},
      {"63 bytes", manifest, signature.substr(0, 63)},
      {"65 bytes", manifest, signature + '\0'},
      {"empty", manifest, ""},
      {"hex text", manifest, std::string(kSignedManifestSignatureHex)},
      {"DER", manifest, DerSignature(signature)},
      {"r and s swapped", manifest, swapped},
      {"all zero", manifest, std::string(64, '\0')},
  };
  for (const Case& c : refused) {
    EXPECT_FALSE(VerifySignatureWithKey(key, c.data, c.signature)) << c.what;
  }

  // The generator of the curve is a valid public key, just not this one.
  const PublicKey wrongKey = KeyFromHex(
      "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
      "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5");
  PublicKey offCurve = key;
  offCurve[63] ^= 0x01;
  EXPECT_FALSE(VerifySignatureWithKey(wrongKey, manifest, signature));
  EXPECT_FALSE(VerifySignatureWithKey(offCurve, manifest, signature));
  EXPECT_FALSE(VerifySignatureWithKey(PublicKey{}, manifest, signature));
}

TEST(VerifyReleaseSignature, UsesTheBuiltInKey) {
  const std::string signature = FromHex(kSignedManifestSignatureHex);
  EXPECT_EQ(VerifyReleaseSignature(kSignedManifest, signature),
            ReleaseKey == KeyFromHex(kSignedManifestKeyHex));
  EXPECT_FALSE(VerifyReleaseSignature(kSignedManifest, signature.substr(1)));
}

// The peer suite for ECDSA P-256 with SHA-256 in the raw r||s form.
TEST(VerifySignatureWithKey, WycheproofVectors) {
  const std::string file =
      KELVADON_TESTDATA_DIR "/wycheproof/ecdsa_secp256r1_sha256_p1363_test.json";
  std::string text;
  if (!ReadWholeFile(file, text)) GTEST_SKIP() << "no peer test data at " << file;
  const JsonValue root = ParseJson(text);
  const JsonValue* groups = FindMember(root, "testGroups");
  ASSERT_NE(groups, nullptr);
  int total = 0;
  int valid = 0;
  for (const JsonValue& group : groups->elements) {
    const JsonValue* publicKey = FindMember(group, "publicKey");
    ASSERT_NE(publicKey, nullptr);
    const JsonValue* uncompressed = FindMember(*publicKey, "uncompressed");
    ASSERT_NE(uncompressed, nullptr);
    const std::string point = FromHex(uncompressed->text);
    ASSERT_EQ(point.size(), 65u);
    ASSERT_EQ(point[0], '\x04');
    PublicKey key{};
    std::copy(point.begin() + 1, point.end(), key.begin());
    for (const JsonValue& test : FindMember(group, "tests")->elements) {
      const double id = FindMember(test, "tcId")->number;
      const std::string message = FromHex(FindMember(test, "msg")->text);
      const std::string signature = FromHex(FindMember(test, "sig")->text);
      const bool expected = FindMember(test, "result")->text == "valid";
      const bool verified = VerifySignatureWithKey(key, message, signature);
      if (id == 204 && expected && !verified && RunningUnderWine()) {
        std::cout << "Known Wine deviation: tcId 204 refused\n";
      } else {
        EXPECT_EQ(verified, expected) << "tcId " << id << ": " << FindMember(test, "comment")->text;
      }
      ++total;
      valid += expected ? 1 : 0;
    }
  }
  EXPECT_EQ(total, 262);
  EXPECT_EQ(valid, 173);
}

}  // namespace
