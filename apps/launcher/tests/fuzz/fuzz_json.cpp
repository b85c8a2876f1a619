#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "json/json.h"

// Besides crashes and hangs, checks what every caller relies on: an error names a position
// inside the document, and FindMember gives the first of equal names.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const JsonValue value = ParseJson(text);
    FindMember(value, "version");
    if (!value.members.empty() &&
        FindMember(value, value.members.front().first) != &value.members.front().second) {
      std::abort();
    }
  } catch (const std::runtime_error& error) {
    const std::string_view message = error.what();
    const std::string_view lead = "JSON error at character ";
    if (!message.starts_with(lead)) std::abort();
    const unsigned long long position = std::strtoull(message.data() + lead.size(), nullptr, 10);
    if (position > size) std::abort();
  }
  return 0;
}
