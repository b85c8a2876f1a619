#include "differ.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

size_t MatchLength(std::string_view a, std::string_view b) {
  const size_t most = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < most && a[i] == b[i]) ++i;
  return i;
}

// The longest match of want's start among old's suffixes: its length, and where in old.
size_t LongestMatch(const std::vector<saidx_t>& suffixes, std::string_view old,
                    std::string_view want, size_t& at) {
  size_t low = 0;
  size_t high = suffixes.size();
  // Narrow to two neighbours in sorted order, then take the better.
  while (high - low > 2) {
    const size_t middle = low + (high - low) / 2;
    const std::string_view suffix = old.substr(static_cast<size_t>(suffixes[middle]));
    const size_t common = MatchLength(suffix, want);
    const bool below = common < want.size() &&
                       (common == suffix.size() || static_cast<unsigned char>(suffix[common]) <
                                                       static_cast<unsigned char>(want[common]));
    (below ? low : high) = middle;
  }
  size_t best = 0;
  for (size_t i = low; i < std::min(high + 1, suffixes.size()); ++i) {
    const size_t length = MatchLength(old.substr(static_cast<size_t>(suffixes[i])), want);
    if (length > best || (i == low && best == 0)) {
      best = length;
      at = static_cast<size_t>(suffixes[i]);
    }
  }
  return best;
}

void AppendVarint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

void AppendLittleEndian(std::string& out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// Unchanged bytes shorter than this stay inside a run of changed ones: a run costs two varints.
constexpr size_t kShortestSameRun = 8;

// A copy of from that gives to, as runs of bytes the same and bytes changed (their differences).
void AppendRuns(std::string& out, std::string_view from, std::string_view to) {
  const auto same = [&](size_t i) { return from[i] == to[i]; };
  for (size_t i = 0; i < to.size();) {
    const size_t start = i;
    while (i < to.size() && same(i)) ++i;
    const size_t changedFrom = i;
    while (i < to.size()) {
      size_t end = i;
      while (end < to.size() && same(end)) ++end;
      if (end == to.size() || end - i >= kShortestSameRun) break;
      i = end;
      while (i < to.size() && !same(i)) ++i;
    }
    AppendVarint(out, changedFrom - start);
    AppendVarint(out, i - changedFrom);
    for (size_t k = changedFrom; k < i; ++k) {
      out.push_back(static_cast<char>(static_cast<unsigned char>(to[k]) -
                                      static_cast<unsigned char>(from[k])));
    }
  }
}

}  // namespace

std::string MakePatch(std::string_view old, std::string_view next, const DiffProgress& progress) {
  if (old.size() >= static_cast<size_t>(std::numeric_limits<saidx_t>::max())) return {};
  std::vector<saidx_t> suffixes(std::max<size_t>(old.size(), 1));
  if (!old.empty() && divsufsort(reinterpret_cast<const sauchar_t*>(old.data()), suffixes.data(),
                                 static_cast<saidx_t>(old.size())) != 0) {
    return {};
  }
  if (old.empty()) suffixes.clear();
  if (progress) progress(old.size());
  std::string patch = "KVPT";
  AppendLittleEndian(patch, 1, 4);
  AppendLittleEndian(patch, next.size(), 8);

  const auto oldAt = [&](int64_t i) { return old[static_cast<size_t>(i)]; };
  const auto nextAt = [&](int64_t i) { return next[static_cast<size_t>(i)]; };
  const auto oldSize = static_cast<int64_t>(old.size());
  const auto nextSize = static_cast<int64_t>(next.size());
  int64_t scan = 0;
  int64_t length = 0;
  int64_t position = 0;
  int64_t lastScan = 0;
  int64_t lastPosition = 0;
  int64_t lastOffset = 0;
  int64_t reported = 0;
  while (scan < nextSize) {
    if (progress && scan - reported >= (int64_t{1} << 20)) {
      progress(static_cast<uint64_t>(scan - reported));
      reported = scan;
    }
    // Moves on until a match is found that the current alignment does not already give, by at
    // least 8 bytes: those are worth a new record.
    int64_t oldScore = 0;
    for (int64_t scored = scan += length; scan < nextSize; ++scan) {
      size_t at = 0;
      length = suffixes.empty() ? 0
                                : static_cast<int64_t>(LongestMatch(
                                      suffixes, old, next.substr(static_cast<size_t>(scan)), at));
      position = static_cast<int64_t>(at);
      for (; scored < scan + length; ++scored) {
        if (scored + lastOffset < oldSize && oldAt(scored + lastOffset) == nextAt(scored))
          ++oldScore;
      }
      if ((length == oldScore && length != 0) || length > oldScore + 8) break;
      if (scan + lastOffset < oldSize && oldAt(scan + lastOffset) == nextAt(scan)) --oldScore;
    }
    if (length == oldScore && scan != nextSize) continue;

    // Grows the last match forward and this one backward while more than half the bytes agree.
    int64_t forward = 0;
    for (int64_t i = 0, same = 0, best = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
      if (oldAt(lastPosition + i) == nextAt(lastScan + i)) ++same;
      ++i;
      if (same * 2 - i > best * 2 - forward) {
        best = same;
        forward = i;
      }
    }
    int64_t backward = 0;
    if (scan < nextSize) {
      for (int64_t i = 1, same = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
        if (oldAt(position - i) == nextAt(scan - i)) ++same;
        if (same * 2 - i > best * 2 - backward) {
          best = same;
          backward = i;
        }
      }
    }
    if (lastScan + forward > scan - backward) {
      // The two overlap: split where the agreement is best.
      const int64_t overlap = (lastScan + forward) - (scan - backward);
      int64_t same = 0;
      int64_t best = 0;
      int64_t cut = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (nextAt(lastScan + forward - overlap + i) ==
            oldAt(lastPosition + forward - overlap + i)) {
          ++same;
        }
        if (nextAt(scan - backward + i) == oldAt(position - backward + i)) --same;
        if (same > best) {
          best = same;
          cut = i + 1;
        }
      }
      forward += cut - overlap;
      backward -= cut;
    }
    const int64_t added = (scan - backward) - (lastScan + forward);
    const int64_t seek = (position - backward) - (lastPosition + forward);
    AppendVarint(patch, static_cast<uint64_t>(forward));
    AppendVarint(patch, static_cast<uint64_t>(added));
    AppendVarint(patch, seek < 0 ? (static_cast<uint64_t>(-seek) << 1) | 1
                                 : static_cast<uint64_t>(seek) << 1);
    AppendRuns(patch, old.substr(static_cast<size_t>(lastPosition), static_cast<size_t>(forward)),
               next.substr(static_cast<size_t>(lastScan), static_cast<size_t>(forward)));
    patch.append(next.substr(static_cast<size_t>(lastScan + forward), static_cast<size_t>(added)));
    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = position - scan;
  }
  if (progress && nextSize > reported) progress(static_cast<uint64_t>(nextSize - reported));
  return patch;
}
