#pragma once

// Times as signed manifests carry them.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Seconds since 1970-01-01T00:00:00Z.
using UtcClock = std::function<int64_t()>;

// This computer's clock.
int64_t SystemUtcSeconds();

// "YYYY-MM-DDTHH:MM:SSZ" with a real date from 1970 to 9999 and a time up to 23:59:59.
bool ParseUtcTime(std::string_view text, int64_t& seconds);

// The form ParseUtcTime reads; seconds from 0 to the end of 9999.
std::string FormatUtcTime(int64_t seconds);
