#pragma once

// sequence.txt: the highest manifest sequence this installation has accepted
// (update/trust/freshness.h says why).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

struct Manifest;

// The sequence sequence.txt holds; nothing when it is missing, empty or not a number, which
// only loses the protection until the next accepted manifest with a sequence.
std::optional<uint64_t> ReadRememberedSequence(const std::filesystem::path& root);

// Judges the manifest against sequence.txt, the build's minimum and the clock, and remembers its
// sequence when it is higher. Hold the InstallRoot lock: two launchers must not write a lower
// number over a higher one. A failure to write sequence.txt is ignored. On false, error holds the
// sentence.
bool AcceptFreshManifest(const std::filesystem::path& root, const Manifest& manifest,
                         uint64_t minimum, int64_t now, std::string& error);
