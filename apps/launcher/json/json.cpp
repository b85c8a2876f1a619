#include "json/json.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// Every level of nesting costs one level of recursion while parsing and again when the tree is
// destroyed; a manifest needs three, so a hostile document cannot exhaust the stack.
constexpr int kMaxDepth = 64;

struct Parser {
  std::string_view text;
  size_t pos = 0;
  int depth = 0;
};

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The white space strtod skips before a number in the C locale.
bool IsCSpace(char c) { return IsJsonSpace(c) || c == '\v' || c == '\f'; }

// Every byte strtod can take after its leading white space: signs, digits, the decimal point,
// hex digits and exponent letters, "0x", the words for infinity and not-a-number, and the
// "(chars)" that may follow "nan".
bool IsNumberByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' ||
         c == '-' || c == '.' || c == '_' || c == '(' || c == ')';
}

[[noreturn]] void Fail(size_t position, const std::string& detail) {
  throw std::runtime_error("JSON error at character " + std::to_string(position) + ": " + detail);
}

void SkipSpace(Parser& p) {
  while (p.pos < p.text.size() && IsJsonSpace(p.text[p.pos])) ++p.pos;
}

char Peek(Parser& p) {
  SkipSpace(p);
  if (p.pos == p.text.size()) Fail(p.pos, "the text ended too soon");
  return p.text[p.pos];
}

void Expect(Parser& p, char c) {
  if (Peek(p) != c) Fail(p.pos, std::string("expected '") + c + "'");
  ++p.pos;
}

// Reads the four bytes after "\u" the way strtoul does; anything from the first byte that is not
// part of such a number on is ignored.
unsigned long ReadCodeUnit(Parser& p) {
  if (p.text.size() - p.pos < 4) Fail(p.pos, "bad \\u character");
  char digits[5] = {};
  for (size_t i = 0; i < 4; ++i) {
    const char c = p.text[p.pos + i];
    // strtoul stops at such a byte anyway; ending the copy there keeps it away from C runtimes
    // whose character tables are indexed by a signed char.
    if (static_cast<unsigned char>(c) >= 0x80) break;
    digits[i] = c;
  }
  p.pos += 4;
  return std::strtoul(digits, nullptr, 16);
}

// At most three bytes: surrogate halves are encoded one by one, never combined.
void AppendUtf8(std::string& out, unsigned long v) {
  const auto byte = [&](unsigned long b) { out += static_cast<char>(b & 0xFF); };
  if (v < 0x80) {
    byte(v);
  } else if (v < 0x800) {
    byte(0xC0 | (v >> 6));
    byte(0x80 | (v & 0x3F));
  } else {
    byte(0xE0 | (v >> 12));
    byte(0x80 | ((v >> 6) & 0x3F));
    byte(0x80 | (v & 0x3F));
  }
}

std::string ParseString(Parser& p) {
  Expect(p, '"');
  std::string out;
  const std::string_view text = p.text;
  while (true) {
    if (p.pos == text.size()) Fail(p.pos, "text in quotes never ended");
    const char c = text[p.pos++];
    if (c == '"') return out;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (p.pos == text.size()) Fail(p.pos, "text in quotes never ended");
    const char letter = text[p.pos++];
    switch (letter) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        AppendUtf8(out, ReadCodeUnit(p));
        break;
      default:
        out += letter;
        break;
    }
  }
}

double ParseNumber(Parser& p) {
  // strtod needs a terminated string and the text is a view into a larger buffer, so copy the
  // run of bytes strtod could possibly consume and let it decide how much of it is a number.
  const std::string_view text = p.text;
  size_t end = p.pos;
  while (end < text.size() && IsCSpace(text[end])) ++end;
  while (end < text.size() && IsNumberByte(text[end])) ++end;
  const std::string candidate(text.substr(p.pos, end - p.pos));
  char* stop = nullptr;
  const double number = std::strtod(candidate.c_str(), &stop);
  if (stop == candidate.c_str()) Fail(p.pos, "expected a value");
  p.pos += static_cast<size_t>(stop - candidate.c_str());
  return number;
}

JsonValue ParseValue(Parser& p);

JsonValue ParseObject(Parser& p) {
  Expect(p, '{');
  JsonValue object;
  object.kind = JsonKind::Object;
  if (Peek(p) == '}') {
    ++p.pos;
    return object;
  }
  while (true) {
    if (Peek(p) != '"') Fail(p.pos, "expected a name in quotes");
    std::string name = ParseString(p);
    Expect(p, ':');
    JsonValue value = ParseValue(p);
    object.members.emplace_back(std::move(name), std::move(value));
    if (Peek(p) != ',') break;
    ++p.pos;
  }
  Expect(p, '}');
  return object;
}

JsonValue ParseArray(Parser& p) {
  Expect(p, '[');
  JsonValue array;
  array.kind = JsonKind::Array;
  if (Peek(p) == ']') {
    ++p.pos;
    return array;
  }
  while (true) {
    array.elements.push_back(ParseValue(p));
    if (Peek(p) != ',') break;
    ++p.pos;
  }
  Expect(p, ']');
  return array;
}

JsonValue ParseValue(Parser& p) {
  const char c = Peek(p);
  if (c == '{' || c == '[') {
    if (p.depth == kMaxDepth) Fail(p.pos, "too deeply nested");
    ++p.depth;
    JsonValue container = c == '{' ? ParseObject(p) : ParseArray(p);
    --p.depth;
    return container;
  }
  JsonValue value;
  if (c == '"') {
    value.kind = JsonKind::String;
    value.text = ParseString(p);
    return value;
  }
  // Only the word's own bytes are compared; whatever follows it is the caller's to refuse.
  const std::string_view rest = p.text.substr(p.pos);
  if (rest.starts_with("true")) {
    p.pos += 4;
    value.kind = JsonKind::Bool;
    value.boolean = true;
  } else if (rest.starts_with("false")) {
    p.pos += 5;
    value.kind = JsonKind::Bool;
  } else if (rest.starts_with("null")) {
    p.pos += 4;
  } else {
    value.number = ParseNumber(p);
    value.kind = JsonKind::Number;
  }
  return value;
}

}  // namespace

JsonValue ParseJson(std::string_view text) {
  Parser p{text};
  JsonValue value = ParseValue(p);
  SkipSpace(p);
  if (p.pos != text.size()) Fail(p.pos, "unexpected extra text");
  return value;
}

const JsonValue* FindMember(const JsonValue& value, std::string_view name) {
  if (value.kind != JsonKind::Object) return nullptr;
  for (const auto& member : value.members) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}
