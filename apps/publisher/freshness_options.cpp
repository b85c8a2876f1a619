#include <system_error>

#include "files/file_io.h"
#include "publisher.h"
#include "update/trust/freshness.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kLongestExpiryDays = 3650;

// Plain decimal digits only, up to limit.
bool WholeNumber(std::string_view text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 16) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= limit;
}

void RaiseTo(uint64_t& highest, const fs::path& manifestFile) {
  std::string bytes;
  Manifest manifest;
  std::string ignored;
  if (ReadWholeFile(manifestFile, bytes) && ParseManifestContent(bytes, manifest, ignored) &&
      manifest.sequence && *manifest.sequence > highest) {
    highest = *manifest.sequence;
  }
}

}  // namespace

uint64_t HighestPublishedSequence(const fs::path& client) {
  // Every publish writes its record as well as the manifest, so the records still know the
  // highest number when client/manifest.json has been put back from an older copy.
  uint64_t highest = 0;
  RaiseTo(highest, client / kManifestFileName);
  std::error_code ec;
  for (fs::directory_iterator it(client / "versions", ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() == ".json") RaiseTo(highest, it->path());
  }
  return highest;
}

bool ChooseFreshness(const fs::path& client, const std::string* sequenceOption,
                     const std::string* expiresInOption, int64_t now, Manifest& manifest,
                     std::string& error) {
  const uint64_t highest = HighestPublishedSequence(client);
  uint64_t sequence = 0;
  if (sequenceOption != nullptr) {
    if (!WholeNumber(*sequenceOption, kLargestSequence, sequence)) {
      error = "--sequence takes a whole number from 1 to " + std::to_string(kLargestSequence) + ".";
      return false;
    }
    if (sequence <= highest) {
      error = "--sequence " + *sequenceOption +
              " would go backwards: this website has already published sequence " +
              std::to_string(highest) +
              ", and launchers that have seen it refuse anything lower. Give a higher number, or "
              "leave --sequence out.";
      return false;
    }
  } else {
    if (highest >= kLargestSequence) {
      error = "This website has used up its sequence numbers; nothing higher can be published.";
      return false;
    }
    sequence = highest + 1;
  }
  manifest.sequence = sequence;
  manifest.expires.reset();
  if (expiresInOption != nullptr) {
    uint64_t days = 0;
    if (!WholeNumber(*expiresInOption, kLongestExpiryDays, days) || days == 0) {
      error = "--expires-in takes a whole number of days from 1 to " +
              std::to_string(kLongestExpiryDays) + ".";
      return false;
    }
    manifest.expires = now + static_cast<int64_t>(days) * 86400;
  }
  return true;
}

std::string FreshnessSummary(const Manifest& manifest) {
  std::string text =
      manifest.sequence ? "sequence " + std::to_string(*manifest.sequence) : "no sequence";
  text += manifest.expires ? ", expires " + FormatUtcTime(*manifest.expires) : ", no expiry";
  return text;
}

std::string ExpiryProblem(std::string_view what, const Manifest& manifest, int64_t now) {
  if (!manifest.expires || now <= *manifest.expires) return {};
  return std::string(what) + " expired at " + FormatUtcTime(*manifest.expires) +
         "; launchers refuse it an hour later. Run kelvadon-publish refresh.";
}
