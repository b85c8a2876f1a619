#pragma once

#include <string>
#include <string_view>

// A website address: empty, or an "http://" / "https://" address of at most 200 bytes, valid
// UTF-8, without control bytes, spaces or " < > \, that never ends in "/" or white space.
// Returns empty when the text is not acceptable.
std::string NormalizeWebsite(std::string_view text);

// Exactly 32 characters of 0-9 and a-f.
bool IsValidPlayToken(std::string_view text);
struct SetupNameInfo {
  std::string website;
  std::string play;
};

// "kelvadonsetup_" HOST ["_" TOKEN] [" (N)"] ".exe", given the last path component as UTF-8.
SetupNameInfo ParseSetupFileName(std::string_view fileName);
