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
#include <optional>
#include <string>
#include <string_view>

#include "update/trust/manifest.h"
#include "update/trust/utc_time.h"

// The lowest sequence this build accepts, set when it is configured (KELVADON_MINIMUM_SEQUENCE,
// 0 by default); above 0, a manifest without a sequence is refused too.
extern const uint64_t& BuildMinimumSequence;

// How long after its expiry a manifest is still accepted, for clocks that are slightly off.
inline constexpr int64_t kExpiryLeewaySeconds = 3600;

// The sentence that refuses the manifest, or empty when it may be installed. minimum is the
// build's lowest sequence (BuildMinimumSequence in the product).
std::string FreshnessProblem(const Manifest& manifest, std::optional<uint64_t> remembered,
                             uint64_t minimum, int64_t now);
