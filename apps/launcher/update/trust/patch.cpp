#include "update/trust/patch.h"

#include <algorithm>
#include <utility>

namespace {

constexpr char kMagic[] = "KVPT";
constexpr size_t kHeaderBytes = 16;
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kCopyPieceBytes = size_t{64} << 10;

uint64_t LittleEndian(const std::string& bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

bool Fail(PatchState& state) {
  state.failed = true;
  return false;
}

// Applies what is left of the current record's copy from data, moving data on.
bool Copy(PatchState& state, const char*& data, size_t& size, const OldFileReader& old,
          const PatchOutput& output) {
  while (state.copyLeft > 0 && size > 0) {
    const size_t part =
        static_cast<size_t>(std::min<uint64_t>({state.copyLeft, size, kCopyPieceBytes}));
    state.old.resize(part);
    if (!old(state.oldPosition, state.old.data(), part)) return Fail(state);
    for (size_t i = 0; i < part; ++i) {
      state.old[i] = static_cast<char>(static_cast<unsigned char>(state.old[i]) +
                                       static_cast<unsigned char>(data[i]));
    }
    if (!output(state.old.data(), part)) return Fail(state);
    state.oldPosition += part;
    state.copyLeft -= part;
    state.written += part;
    data += part;
    size -= part;
  }
  return true;
}

// Checks a whole record's fields and starts it.
bool StartRecord(PatchState& state) {
  const uint64_t copy = state.fields[0];
  const uint64_t add = state.fields[1];
  const uint64_t zigzag = state.fields[2];
  state.fields.clear();
  const uint64_t room = state.newSize - state.written;
  if (copy > room || add > room - copy || copy > state.oldSize ||
      state.oldPosition > state.oldSize - copy) {
    return Fail(state);
  }
  state.copyLeft = copy;
  state.addLeft = add;
  state.seek = zigzag;
  return true;
}

bool Seek(PatchState& state, uint64_t zigzag) {
  const uint64_t distance = zigzag >> 1;
  const uint64_t after = state.oldPosition;
  if ((zigzag & 1) != 0) {
    if (distance > after) return Fail(state);
    state.oldPosition = after - distance;
  } else {
    if (distance > state.oldSize - std::min(after, state.oldSize)) return Fail(state);
    state.oldPosition = after + distance;
  }
  return true;
}

}  // namespace

PatchState StartPatch(uint64_t oldSize) {
  PatchState state;
  state.oldSize = oldSize;
  return state;
}

bool ApplyPatchBytes(PatchState& state, const char* data, size_t size, const OldFileReader& old,
                     const PatchOutput& output) {
  if (state.failed) return false;
  while (size > 0) {
    if (state.header.size() < kHeaderBytes) {
      const size_t part = std::min(size, kHeaderBytes - state.header.size());
      state.header.append(data, part);
      data += part;
      size -= part;
      if (state.header.size() == kHeaderBytes &&
          (state.header.compare(0, 4, kMagic) != 0 ||
           LittleEndian(state.header, 4, 4) != kFormatVersion)) {
        return Fail(state);
      }
      if (state.header.size() == kHeaderBytes) state.newSize = LittleEndian(state.header, 8, 8);
      continue;
    }
    if (state.copyLeft > 0) {
      if (!Copy(state, data, size, old, output)) return false;
      continue;
    }
    if (state.addLeft > 0) {
      const size_t part = static_cast<size_t>(std::min<uint64_t>(state.addLeft, size));
      if (!output(data, part)) return Fail(state);
      state.addLeft -= part;
      state.written += part;
      data += part;
      size -= part;
      continue;
    }
    if (state.fields.size() == 3) return Fail(state);
    // A varint byte: seven bits of the field, low first; the high bit says more follow.
    const auto byte = static_cast<unsigned char>(*data++);
    --size;
    if (state.shift >= 64 || (state.shift == 63 && (byte & 0x7e) != 0)) return Fail(state);
    if (state.fields.empty() && state.shift == 0 && state.seek != 0) {
      // The last record's seek, now that its bytes are all applied.
      if (!Seek(state, std::exchange(state.seek, 0))) return false;
    }
    state.field |= uint64_t{byte & 0x7fu} << state.shift;
    state.shift += 7;
    if ((byte & 0x80) != 0) continue;
    state.fields.push_back(state.field);
    state.field = 0;
    state.shift = 0;
    if (state.fields.size() == 3 && !StartRecord(state)) return false;
  }
  return true;
}

bool PatchComplete(const PatchState& state) {
  return !state.failed && state.header.size() == kHeaderBytes && state.fields.empty() &&
         state.shift == 0 && state.copyLeft == 0 && state.addLeft == 0 &&
         state.written == state.newSize;
}
