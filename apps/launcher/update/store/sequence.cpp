#include "update/store/sequence.h"

#include "files/file_io.h"
#include "update/store/install_root.h"
#include "update/trust/freshness.h"

std::optional<uint64_t> ReadRememberedSequence(const std::filesystem::path& root) {
  std::string text;
  if (!ReadWholeFile(root / kSequenceFileName, text)) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  // Sixteen digits hold the largest sequence; more could only overflow.
  if (text.empty() || text.size() > 16) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > kLargestSequence) return std::nullopt;
  return value;
}

namespace {

// Replaces sequence.txt (temporary file, flush, rename). False when it could not be written.
bool RememberSequence(const std::filesystem::path& root, uint64_t sequence) {
  return ReplaceFileAtomically(root / kSequenceFileName, std::to_string(sequence) + "\n");
}

}  // namespace

bool AcceptFreshManifest(const std::filesystem::path& root, const Manifest& manifest,
                         uint64_t minimum, int64_t now, std::string& error) {
  const std::optional<uint64_t> remembered = ReadRememberedSequence(root);
  const std::string problem = FreshnessProblem(manifest, remembered, minimum, now);
  if (!problem.empty()) {
    error = problem;
    return false;
  }
  if (manifest.sequence && (!remembered || *manifest.sequence > *remembered)) {
    RememberSequence(root, *manifest.sequence);
  }
  return true;
}
