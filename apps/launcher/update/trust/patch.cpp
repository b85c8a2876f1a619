#include "update/trust/patch.h"

#include <algorithm>
#include <utility>

namespace {

using Expect = PatchState::Expect;

constexpr char kMagic[] = "KVPT";
constexpr size_t kHeaderBytes = 16;
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kPieceBytes = size_t{64} << 10;

uint64_t LittleEndian(const std::string& bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

bool Fail(PatchState& state) {
  state.failed = true;
  return false;
}

// The old file's bytes [position, position + size), size at most kPieceBytes, read through the
// window; null when they cannot be read.
const char* OldBytes(PatchState& state, uint64_t position, size_t size, const OldFileReader& old) {
  if (position < state.windowStart || position + size > state.windowStart + state.window.size()) {
    const auto length = static_cast<size_t>(
        std::max<uint64_t>(size, std::min<uint64_t>(kPieceBytes, state.oldSize - position)));
    state.window.resize(length);
    state.windowStart = position;
    if (!old(position, state.window.data(), length)) {
      state.window.clear();
      return nullptr;
    }
  }
  return state.window.data() + (position - state.windowStart);
}

// Gives the pending output on when there is a piece's worth, or when all is to go.
bool Flush(PatchState& state, const PatchOutput& output, bool all) {
  if (state.pending.empty() || (!all && state.pending.size() < kPieceBytes)) return true;
  if (!output(state.pending.data(), state.pending.size())) return Fail(state);
  state.pending.clear();
  return true;
}

// Gives count bytes of the old file, as they are.
bool TakeOld(PatchState& state, uint64_t count, const OldFileReader& old,
             const PatchOutput& output) {
  while (count > 0) {
    const auto part = static_cast<size_t>(std::min<uint64_t>(count, kPieceBytes));
    const char* bytes = OldBytes(state, state.oldPosition, part, old);
    if (bytes == nullptr) return Fail(state);
    state.pending.insert(state.pending.end(), bytes, bytes + part);
    if (!Flush(state, output, false)) return false;
    state.oldPosition += part;
    state.written += part;
    count -= part;
  }
  return true;
}

// Applies what data holds of the current run's changed bytes, moving data on.
bool Change(PatchState& state, const char*& data, size_t& size, const OldFileReader& old,
            const PatchOutput& output) {
  const auto part = static_cast<size_t>(std::min<uint64_t>({state.changedLeft, size, kPieceBytes}));
  const char* bytes = OldBytes(state, state.oldPosition, part, old);
  if (bytes == nullptr) return Fail(state);
  const size_t at = state.pending.size();
  state.pending.resize(at + part);
  for (size_t i = 0; i < part; ++i) {
    state.pending[at + i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) +
                                              static_cast<unsigned char>(data[i]));
  }
  if (!Flush(state, output, false)) return false;
  state.oldPosition += part;
  state.written += part;
  state.changedLeft -= part;
  state.copyLeft -= part;
  data += part;
  size -= part;
  return true;
}

// Seven bits of a varint, low first; the high bit says more follow. A whole one joins fields.
bool ReadVarintByte(PatchState& state, unsigned char byte) {
  if (state.shift >= 64 || (state.shift == 63 && (byte & 0x7e) != 0)) return Fail(state);
  state.field |= uint64_t{byte & 0x7fu} << state.shift;
  state.shift += 7;
  if ((byte & 0x80) != 0) return true;
  state.fields.push_back(std::exchange(state.field, 0));
  state.shift = 0;
  return true;
}

// What the patch holds next once a run or the added bytes are done.
Expect AfterBytes(const PatchState& state) {
  if (state.copyLeft > 0) return Expect::Run;
  return state.addLeft > 0 ? Expect::Added : Expect::Record;
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
  state.expect = AfterBytes(state);
  return true;
}

// Checks a whole run's counts and gives its unchanged bytes at once: they need nothing more of
// the patch.
bool StartRun(PatchState& state, const OldFileReader& old, const PatchOutput& output) {
  const uint64_t same = state.fields[0];
  const uint64_t changed = state.fields[1];
  state.fields.clear();
  if (same > state.copyLeft || changed > state.copyLeft - same || same + changed == 0) {
    return Fail(state);
  }
  if (!TakeOld(state, same, old, output)) return false;
  state.copyLeft -= same;
  state.changedLeft = changed;
  state.expect = changed > 0 ? Expect::Changed : AfterBytes(state);
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
    switch (state.expect) {
      case Expect::Header: {
        const size_t part = std::min(size, kHeaderBytes - state.header.size());
        state.header.append(data, part);
        data += part;
        size -= part;
        if (state.header.size() < kHeaderBytes) break;
        if (state.header.compare(0, 4, kMagic) != 0 ||
            LittleEndian(state.header, 4, 4) != kFormatVersion) {
          return Fail(state);
        }
        state.newSize = LittleEndian(state.header, 8, 8);
        state.expect = Expect::Record;
        break;
      }
      case Expect::Record:
        if (state.fields.empty() && state.shift == 0 && state.seek != 0) {
          // The last record's seek, now that its bytes are all applied.
          if (!Seek(state, std::exchange(state.seek, 0))) return false;
        }
        if (!ReadVarintByte(state, static_cast<unsigned char>(*data++))) return false;
        --size;
        if (state.fields.size() == 3 && !StartRecord(state)) return false;
        break;
      case Expect::Run:
        if (!ReadVarintByte(state, static_cast<unsigned char>(*data++))) return false;
        --size;
        if (state.fields.size() == 2 && !StartRun(state, old, output)) return false;
        break;
      case Expect::Changed:
        if (!Change(state, data, size, old, output)) return false;
        if (state.changedLeft == 0) state.expect = AfterBytes(state);
        break;
      case Expect::Added: {
        const auto part =
            static_cast<size_t>(std::min<uint64_t>({state.addLeft, size, kPieceBytes}));
        state.pending.insert(state.pending.end(), data, data + part);
        if (!Flush(state, output, false)) return false;
        state.addLeft -= part;
        state.written += part;
        data += part;
        size -= part;
        if (state.addLeft == 0) state.expect = AfterBytes(state);
        break;
      }
    }
  }
  return Flush(state, output, true);
}

bool PatchComplete(const PatchState& state) {
  return !state.failed && state.expect == Expect::Record && state.fields.empty() &&
         state.shift == 0 && state.written == state.newSize;
}
