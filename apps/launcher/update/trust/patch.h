#pragma once

// Binary patches: a changed file rebuilt from a kept file of an earlier version. A patch, once
// inflated (update/trust/packed.h), is a header and records, each applied as it arrives:
//   "KVPT", format version (uint32 = 1), the new file's size (uint64), then records of
//   copy length, add length (unsigned varints) and seek (a zigzag varint). The copy length's
//   bytes come from the old file at the old position, which advances past them, as runs: a
//   count of bytes taken as they are, a count of bytes to change (varints), and that many bytes,
//   each added (mod 256) to its old byte; runs follow until the copy is whole. Then come the add
//   length's bytes, taken as they are. After both, the old position moves by seek. The output is
//   every record's bytes in order.
// Copies from the old file carry bytes a rebuild left at other addresses, the changed bytes
// within them mostly the addresses that moved; additions carry what is new. Runs keep the
// unchanged bytes out of the inflated patch, so applying one costs little more than copying.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Reads size bytes of the old file at offset into buffer; false when it cannot.
using OldFileReader = std::function<bool(uint64_t offset, char* buffer, size_t size)>;
// Receives output bytes in order, in pieces of at most 128 KiB, all given before ApplyPatchBytes
// returns; false stops the patch.
using PatchOutput = std::function<bool(const char* data, size_t size)>;

struct PatchState {
  enum class Expect { Header, Record, Run, Changed, Added };
  Expect expect = Expect::Header;
  uint64_t oldSize = 0;
  uint64_t newSize = 0;  // from the header
  uint64_t written = 0;
  uint64_t oldPosition = 0;
  std::string header;            // until it is whole
  std::vector<uint64_t> fields;  // the varints read of the record or the run
  uint64_t field = 0;
  unsigned shift = 0;
  uint64_t seek = 0;  // the record's, applied once its bytes are
  uint64_t copyLeft = 0;
  uint64_t changedLeft = 0;  // of the current run
  uint64_t addLeft = 0;
  // The old file's bytes last read, from windowStart: copies read it forward, so one read serves
  // many runs.
  std::vector<char> window;
  uint64_t windowStart = 0;
  std::vector<char> pending;  // output not yet given, so that it goes in pieces of 64 KiB
  bool failed = false;
};

PatchState StartPatch(uint64_t oldSize);

// Applies the inflated patch bytes as they come. False, for good, when they are not a patch for
// an old file of that size, would read outside it, would write past the header's size, or the
// old file or the output refused.
bool ApplyPatchBytes(PatchState& state, const char* data, size_t size, const OldFileReader& old,
                     const PatchOutput& output);

// Whether the patch ended where a record ends with exactly the header's size written.
bool PatchComplete(const PatchState& state);
