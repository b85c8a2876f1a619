#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

#include "files/file_io.h"
#include "net/stamp.h"
#include "publisher.h"

namespace {

// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate itself.
constexpr size_t kWinCertificateHeader = 8;
constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;

uint16_t ReadLittleEndian16(std::string_view bytes) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[0]) |
                               static_cast<unsigned char>(bytes[1]) << 8);
}

// True when the bytes are one DER-encoded PKCS #7 signed-data object with at least one signer,
// as signtool and osslsigncode write it.
bool IsSignedData(std::string_view der) {
  const auto* start = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* at = start;
  const std::unique_ptr<PKCS7, decltype(&PKCS7_free)> pkcs7(
      d2i_PKCS7(nullptr, &at, static_cast<long>(der.size())), PKCS7_free);
  if (!pkcs7 || !PKCS7_type_is_signed(pkcs7.get())) return false;
  // Signing tools pad the certificate to 8 bytes with zeros after the object.
  const std::string_view rest = der.substr(static_cast<size_t>(at - start));
  if (rest.size() >= 8 || rest.find_first_not_of('\0') != std::string_view::npos) return false;
  const STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(pkcs7.get());
  return signers != nullptr && sk_PKCS7_SIGNER_INFO_num(signers) > 0;
}

std::string SigningText(CodeSigning signing) {
  switch (signing) {
    case CodeSigning::kSigned:
      return "signed";
    case CodeSigning::kDamaged:
      return "signed, but its signature table is damaged";
    case CodeSigning::kUnsigned:
      break;
  }
  return "unsigned";
}

std::string Facts(const LauncherFacts& launcher) {
  return std::to_string(launcher.size) + " bytes, " +
         (launcher.key.empty() ? "no single release key" : "the release key " + launcher.key) +
         ", " + SigningText(launcher.signing);
}

// What verify says of the launcher's own floor under the sequence.
std::string MinimumSequenceText(const LauncherFacts& launcher) {
  if (!launcher.minimumSequence) {
    return "Its minimum sequence: none built in (it was built before launchers carried one).\n";
  }
  if (*launcher.minimumSequence == 0) {
    return "Its minimum sequence is 0: a first install takes any manifest.\n";
  }
  return "Its minimum sequence is " + std::to_string(*launcher.minimumSequence) +
         ": it refuses a manifest below that, or without a sequence, even on a first install.\n";
}

}  // namespace

CodeSigning InspectCodeSigning(std::string_view image) {
  const std::optional<CertificateTable> table =
      FindCertificateTable([image](uint64_t offset, size_t length) {
        return offset < image.size() ? std::string(image.substr(offset, length)) : std::string();
      });
  if (!table) return CodeSigning::kUnsigned;
  if (table->offset % 8 != 0 || table->offset + table->size != image.size()) {
    return CodeSigning::kDamaged;
  }
  const std::string_view certificate = image.substr(table->offset);
  const uint32_t length = ReadLittleEndian32(certificate);
  if (length <= kWinCertificateHeader || length > certificate.size() ||
      ReadLittleEndian16(certificate.substr(4)) != kWinCertRevision2 ||
      ReadLittleEndian16(certificate.substr(6)) != kWinCertTypePkcsSignedData ||
      !IsSignedData(certificate.substr(kWinCertificateHeader, length - kWinCertificateHeader))) {
    return CodeSigning::kDamaged;
  }
  return CodeSigning::kSigned;
}

LauncherFacts DescribeLauncher(const ManifestFile& entry, std::string_view image) {
  LauncherFacts launcher;
  launcher.path = entry.path;
  launcher.sha256 = entry.sha256;
  launcher.size = entry.size;
  const std::vector<PublicKey> keys = ReleaseKeysIn(image);
  if (keys.size() == 1) launcher.key = KeyShortName(keys[0]);
  launcher.signing = InspectCodeSigning(image);
  launcher.minimumSequence = MinimumSequenceIn(image);
  return launcher;
}

bool ReadPublishedLauncher(const std::filesystem::path& client, const Manifest& manifest,
                           LauncherFacts& launcher) {
  std::string image;
  bool whole = false;
  if (manifest.launcher.path.empty() ||
      !ReadWholeFile(client / "files" / manifest.launcher.sha256, image, &whole) || !whole ||
      Sha256Hex(image) != manifest.launcher.sha256) {
    return false;
  }
  launcher = DescribeLauncher(manifest.launcher, image);
  return true;
}

std::string DescribeLauncherChange(const LauncherFacts* current, const LauncherFacts* next) {
  if (next == nullptr) {
    return current == nullptr
               ? "Launcher: none listed.\n"
               : "Launcher: none listed; the current version lists " + current->path + ".\n";
  }
  std::string text = "Launcher " + next->path + ": ";
  if (current != nullptr && current->sha256 == next->sha256) {
    return text + "unchanged (" + Facts(*next) + ").\n";
  }
  text += (current == nullptr ? "new, " : "changed, ") + Facts(*next);
  if (current != nullptr) {
    text += "; was " + Facts(*current) + ". Every installed launcher downloads it (" +
            std::to_string(next->size) + " bytes)";
  }
  return text + ".\n";
}

std::string PublishedLauncherText(const LauncherFacts& launcher) {
  return "The published launcher carries " +
         (launcher.key.empty() ? "no single release key" : "the release key " + launcher.key) +
         ".\nThe published launcher " + launcher.path + " has " + std::to_string(launcher.size) +
         " bytes and is " + SigningText(launcher.signing) + ".\n" + MinimumSequenceText(launcher);
}

std::string LauncherSigningProblem(const LauncherFacts* current, const LauncherFacts& next) {
  if (current == nullptr || current->signing != CodeSigning::kSigned ||
      next.signing == CodeSigning::kSigned) {
    return std::string();
  }
  return "The launcher now on the website is signed, but " + next.path + " is " +
         SigningText(next.signing) +
         ": every installed launcher would replace its signed copy with it. Sign it first "
         "(apps/launcher/README.txt, step 3b), or give --allow-unsigned-launcher.";
}

std::string LauncherJson(const LauncherFacts& launcher) {
  static const char* const kSigning[] = {"unsigned", "signed", "damaged"};
  return JsonObjectText(
      {{"path", JsonQuoted(launcher.path)},
       {"sha256", JsonQuoted(launcher.sha256)},
       {"size", std::to_string(launcher.size)},
       {"releaseKey", JsonQuoted(launcher.key)},
       {"signing", JsonQuoted(kSigning[static_cast<int>(launcher.signing)])},
       {"minimumSequence", launcher.minimumSequence ? std::to_string(*launcher.minimumSequence)
                                                    : std::string("null")}});
}
