#pragma once

// The differ: a patch (update/trust/patch.h) that rebuilds next from old. Matches are found with
// a suffix array of old (libdivsufsort) and grown into approximate matches: where a rebuild only
// moved addresses, few of their bytes differ, and the patch carries only those.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Told the bytes done as the differ goes: old's size once its suffixes are sorted, then next's
// bytes as they are matched, a MiB or more at a time.
using DiffProgress = std::function<void(uint64_t bytes)>;

// The inflated patch; pack it with PackBytes. Memory: old, next, and 4 bytes a byte of old for the
// suffix array. Old files of 2 GiB or more are refused (empty result).
std::string MakePatch(std::string_view old, std::string_view next,
                      const DiffProgress& progress = {});
