// Placeholder until the JSON reader lands.
#include "json/json.h"

#include <stdexcept>

JsonValue ParseJson(std::string_view) { throw std::runtime_error("JSON error at character 0: not built yet"); }
const JsonValue* FindMember(const JsonValue&, std::string_view) { return nullptr; }
