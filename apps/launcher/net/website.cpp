// Placeholder until the website rules land.
#include "net/website.h"

std::string NormalizeWebsite(std::string_view text) { return std::string(text); }
bool IsValidPlayToken(std::string_view) { return false; }
std::string ReadWebsiteStamp(std::string_view) { return {}; }
std::optional<size_t> FindPlayStamp(std::string_view) { return std::nullopt; }
std::string ReadPlayStamp(std::string_view) { return {}; }
std::optional<size_t> StampStart(std::string_view) { return std::nullopt; }
SetupNameInfo ParseSetupFileName(std::string_view) { return {}; }
