#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/trust/patch.h"

// A patch as inflated from a website, against an old file the input also gives. Besides crashes,
// hangs and undefined behaviour, checks what rebuilding relies on: the old file is never read
// outside itself, the output never passes the header's size, and the result does not depend on
// how the patch arrives.
namespace {

bool Apply(std::string_view old, std::string_view patch, size_t cut, std::string& out,
           bool& complete) {
  PatchState state = StartPatch(old.size());
  const OldFileReader read = [&](uint64_t offset, char* buffer, size_t size) {
    if (offset > old.size() || size > old.size() - offset) std::abort();
    std::copy_n(old.data() + offset, size, buffer);
    return true;
  };
  const PatchOutput write = [&](const char* data, size_t size) {
    out.append(data, size);
    return true;
  };
  bool applied = true;
  for (size_t at = 0; at < patch.size() && applied; at += cut) {
    const std::string_view piece = patch.substr(at, cut);
    applied = ApplyPatchBytes(state, piece.data(), piece.size(), read, write);
  }
  if (out.size() > state.newSize) std::abort();
  complete = applied && PatchComplete(state);
  return applied;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  const size_t oldSize = std::min<size_t>(input.size(), data[0] * size_t{16});
  const size_t cut = data[1] + size_t{1};
  const std::string_view old = input.substr(0, oldSize);
  const std::string_view patch = input.substr(oldSize);
  std::string whole;
  std::string pieces;
  bool wholeComplete = false;
  bool piecesComplete = false;
  Apply(old, patch, patch.size() + 1, whole, wholeComplete);
  Apply(old, patch, cut, pieces, piecesComplete);
  if (wholeComplete != piecesComplete || (wholeComplete && whole != pieces)) std::abort();
  return 0;
}
