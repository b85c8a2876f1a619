#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class JsonKind { Null, Bool, Number, String, Array, Object };

struct JsonValue {
  // Defaulted below rather than left implicit: clang with libstdc++ otherwise checks the
  // constructors of pair<string, JsonValue> while JsonValue is still incomplete, and fails.
  JsonValue();

  JsonKind kind = JsonKind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> elements;
  std::vector<std::pair<std::string, JsonValue>> members;
};

inline JsonValue::JsonValue() = default;

// Parses a whole document. Throws std::runtime_error("JSON error at character N: detail").
JsonValue ParseJson(std::string_view text);

// The first member with exactly that name, or nullptr (always nullptr for a non-object).
const JsonValue* FindMember(const JsonValue& value, std::string_view name);
