#pragma once

// A signature says who made a manifest, never when: an old signed manifest stays valid forever.
// Two optional signed members let a launcher tell an old or frozen manifest from a current one:
//   "sequence": a JSON number whose value is a whole number from 0 to 2^53 - 1 (the publisher
//               writes plain digits and raises it by one on every publish, rollbacks included);
//   "expires":  a JSON string of exactly the form "YYYY-MM-DDTHH:MM:SSZ", a UTC time.
// The launcher remembers the highest sequence it has accepted in sequence.txt in the InstallRoot
// (the decimal number and one LF) and refuses a manifest with a lower one or, once it holds one,
// a manifest without a sequence (every manifest signed before sequences existed could otherwise
// be served again for ever), or one whose expiry has passed by more than an hour on this
// computer's clock. Each build also carries a lowest sequence of its own, so that a computer that
// has remembered nothing yet refuses the oldest manifests too.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.h"
#include "update/manifest.h"

// The largest sequence: every whole number up to it is exact in a JSON reader's double.
inline constexpr uint64_t kLargestSequence = 9007199254740991ull;

// The lowest sequence this build accepts, set when it is configured (KELVADON_MINIMUM_SEQUENCE,
// 0 by default); above 0, a manifest without a sequence is refused too.
extern const uint64_t& BuildMinimumSequence;

// How long after its expiry a manifest is still accepted, for clocks that are slightly off.
inline constexpr int64_t kExpiryLeewaySeconds = 3600;

// Seconds since 1970-01-01T00:00:00Z.
using UtcClock = std::function<int64_t()>;

// This computer's clock.
int64_t SystemUtcSeconds();

// Reads "sequence" and "expires" from the manifest's top-level value into manifest. The reason
// for "The update's list of files doesn't make sense (...)" ("bad sequence", "bad expires"), or
// empty when both are absent or good.
std::string ReadFreshnessMembers(const JsonValue& top, Manifest& manifest);

// "YYYY-MM-DDTHH:MM:SSZ" with a real date from 1970 to 9999 and a time up to 23:59:59.
bool ParseUtcTime(std::string_view text, int64_t& seconds);

// The form ParseUtcTime reads; seconds from 0 to the end of 9999.
std::string FormatUtcTime(int64_t seconds);

// The sequence sequence.txt holds; nothing when it is missing, empty or not a number, which
// only loses the protection until the next accepted manifest with a sequence.
std::optional<uint64_t> ReadRememberedSequence(const std::filesystem::path& root);

// Replaces sequence.txt (temporary file, flush, rename). False when it could not be written.
bool RememberSequence(const std::filesystem::path& root, uint64_t sequence);

// The sentence that refuses the manifest, or empty when it may be installed. minimum is the
// build's lowest sequence (BuildMinimumSequence in the product).
std::string FreshnessProblem(const Manifest& manifest, std::optional<uint64_t> remembered,
                             uint64_t minimum, int64_t now);

// Judges the manifest against sequence.txt, the build's minimum and the clock, and remembers its
// sequence when it is higher. Hold the InstallRoot lock: two launchers must not write a lower
// number over a higher one. A failure to write sequence.txt is ignored. On false, error holds the
// sentence.
bool AcceptFreshManifest(const std::filesystem::path& root, const Manifest& manifest,
                         uint64_t minimum, int64_t now, std::string& error);
