#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A website address: empty, or an "http://" / "https://" address of at most 200 bytes, valid
// UTF-8, without control bytes, spaces or " < > \, that never ends in "/" or white space.
// Returns empty when the text is not acceptable.
std::string NormalizeWebsite(std::string_view text);

// Exactly 32 characters of 0-9 and a-f.
bool IsValidPlayToken(std::string_view text);

// The stamp at the end of a setup program: [CR LF "KELVADON-PLAY=" token] CR LF
// "KELVADON-WEBSITE=" address CR LF, its website marker within the last 1024 bytes.
std::string ReadWebsiteStamp(std::string_view image);
std::optional<size_t> FindPlayStamp(std::string_view image);
std::string ReadPlayStamp(std::string_view image);
// Where the stamp begins; the bytes before it are the executable as built.
std::optional<size_t> StampStart(std::string_view image);

struct SetupNameInfo {
  std::string website;
  std::string play;
};

// "kelvadonsetup_" HOST ["_" TOKEN] [" (N)"] ".exe", given the last path component as UTF-8.
SetupNameInfo ParseSetupFileName(std::string_view fileName);
