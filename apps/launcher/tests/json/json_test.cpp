#include "json/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

// The error text of parsing `text`, or "(parsed)" when it parses.
std::string ErrorOf(std::string_view text) {
  try {
    ParseJson(text);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(parsed)";
}

std::string Nested(std::string_view open, std::string_view close, int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

// {"a":{"a":...1...}} with `levels` objects.
std::string NestedObjects(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "{\"a\":";
  text += "1";
  return text + std::string(levels, '}');
}

TEST(ParseJson, ErrorsNameTheDetailAndTheBytePosition) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {"", "JSON error at character 0: the text ended too soon"},
      {" \t\r\n ", "JSON error at character 5: the text ended too soon"},
      {"[", "JSON error at character 1: the text ended too soon"},
      {"[1, ", "JSON error at character 4: the text ended too soon"},
      {"{", "JSON error at character 1: the text ended too soon"},
      {"{\"a\"", "JSON error at character 4: the text ended too soon"},
      {"{\"a\":", "JSON error at character 5: the text ended too soon"},
      {"{\"a\":1", "JSON error at character 6: the text ended too soon"},
      {"\xEF\xBB\xBF{}", "JSON error at character 0: expected a value"},
      {"}", "JSON error at character 0: expected a value"},
      {"-", "JSON error at character 0: expected a value"},
      {"nul", "JSON error at character 0: expected a value"},
      {"[ nul]", "JSON error at character 2: expected a value"},
      {"[1,]", "JSON error at character 3: expected a value"},
      {"{\"a\":}", "JSON error at character 5: expected a value"},
      {"\f", "JSON error at character 0: expected a value"},
      {"[1 2]", "JSON error at character 3: expected ']'"},
      {"[truex]", "JSON error at character 5: expected ']'"},
      {"[nullnull]", "JSON error at character 5: expected ']'"},
      {"{\"a\":falsey}", "JSON error at character 10: expected '}'"},
      {"{\"a\" 1}", "JSON error at character 5: expected ':'"},
      {"{\"a\":1 \"b\":2}", "JSON error at character 7: expected '}'"},
      {"{\"a\":1]", "JSON error at character 6: expected '}'"},
      {"{\"a\":1,}", "JSON error at character 7: expected a name in quotes"},
      {"{1:2}", "JSON error at character 1: expected a name in quotes"},
      {"{ a:2}", "JSON error at character 2: expected a name in quotes"},
      {"\"abc", "JSON error at character 4: text in quotes never ended"},
      {"\"abc\\", "JSON error at character 5: text in quotes never ended"},
      {"\"\\u1234", "JSON error at character 7: text in quotes never ended"},
      {"\"\\u12", "JSON error at character 3: bad \\u character"},
      {"\"\\u123", "JSON error at character 3: bad \\u character"},
      {"{\"\\u", "JSON error at character 4: bad \\u character"},
      {"1 2", "JSON error at character 2: unexpected extra text"},
      {"truex", "JSON error at character 4: unexpected extra text"},
      {"{} \n{}", "JSON error at character 4: unexpected extra text"},
      {"1.5.2", "JSON error at character 3: unexpected extra text"},
      // Positions count bytes: the two- and three-byte characters count as two and three.
      {"\"\xC3\xA9\" x", "JSON error at character 5: unexpected extra text"},
      {"[\"\xE2\x82\xAC\", }", "JSON error at character 8: expected a value"},
      {"{\"\xF0\x9F\x98\x80\" 1}", "JSON error at character 8: expected ':'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf(c.text), c.error) << "document: " << c.text;
  }
}

TEST(ParseJson, ReadsEveryKindAndKeepsTextOrder) {
  const JsonValue value = ParseJson(
      " {\"version\": \"1.0\", \"files\": [ {\"path\": \"a.exe\", \"size\": 12.5}, true, false,"
      " null, [ ], { } ], \"zero\": 0 } \r\n");
  ASSERT_EQ(value.kind, JsonKind::Object);
  ASSERT_EQ(value.members.size(), 3u);
  EXPECT_EQ(value.members[0].first, "version");
  EXPECT_EQ(value.members[1].first, "files");
  EXPECT_EQ(value.members[2].first, "zero");

  const JsonValue* version = FindMember(value, "version");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->kind, JsonKind::String);
  EXPECT_EQ(version->text, "1.0");

  const JsonValue* files = FindMember(value, "files");
  ASSERT_NE(files, nullptr);
  ASSERT_EQ(files->kind, JsonKind::Array);
  ASSERT_EQ(files->elements.size(), 6u);
  const JsonValue& entry = files->elements[0];
  EXPECT_EQ(entry.kind, JsonKind::Object);
  ASSERT_NE(FindMember(entry, "size"), nullptr);
  EXPECT_EQ(FindMember(entry, "size")->kind, JsonKind::Number);
  EXPECT_EQ(FindMember(entry, "size")->number, 12.5);
  EXPECT_EQ(files->elements[1].kind, JsonKind::Bool);
  EXPECT_TRUE(files->elements[1].boolean);
  EXPECT_EQ(files->elements[2].kind, JsonKind::Bool);
  EXPECT_FALSE(files->elements[2].boolean);
  EXPECT_EQ(files->elements[3].kind, JsonKind::Null);
  EXPECT_EQ(files->elements[4].kind, JsonKind::Array);
  EXPECT_TRUE(files->elements[4].elements.empty());
  EXPECT_EQ(files->elements[5].kind, JsonKind::Object);
  EXPECT_TRUE(files->elements[5].members.empty());

  // Fields that do not belong to a kind stay at their empty values.
  EXPECT_TRUE(version->elements.empty());
  EXPECT_TRUE(version->members.empty());
  EXPECT_EQ(version->number, 0);
  EXPECT_TRUE(files->text.empty());
  EXPECT_TRUE(files->members.empty());
}

TEST(ParseJson, NumbersAreWhateverStrtodReads) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string_view text;
    double number;
  };
  const Case cases[] = {
      {"0", 0},     {"-12", -12},        {"1.5e2", 150}, {"1E-2", 0.01},   {"+1", 1},
      {".5", 0.5},  {"5.", 5},           {"-.5", -0.5},  {"007", 7},       {"-01", -1},
      {"0x1A", 26}, {"0x1p4", 16},       {"1e400", inf}, {"-1e400", -inf}, {"1e-400", 0},
      {"inf", inf}, {"-Infinity", -inf}, {"\f 1", 1},    {"[2.5e1]", 25},
  };
  for (const Case& c : cases) {
    JsonValue value = ParseJson(c.text);
    if (value.kind == JsonKind::Array) {
      ASSERT_EQ(value.elements.size(), 1u);
      value = value.elements[0];
    }
    EXPECT_EQ(value.kind, JsonKind::Number) << c.text;
    EXPECT_EQ(value.number, c.number) << c.text;
  }
  EXPECT_TRUE(std::signbit(ParseJson("-0").number));
  EXPECT_TRUE(std::isnan(ParseJson("nan").number));
  EXPECT_TRUE(std::isnan(ParseJson("[-NaN(x_1)]").elements.at(0).number));
}

TEST(ParseJson, StringEscapesAndRawBytes) {
  struct Case {
    std::string_view text;
    std::string_view decoded;
  };
  const Case cases[] = {
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("\/\"\\")", "/\"\\"},
      {R"("\q\x\U0041")", "qxU0041"},
      {"\"a\nb\tc\x01\"", "a\nb\tc\x01"},
      {"\"\xC3\xA9\xFF\"", "\xC3\xA9\xFF"},
      {R"("\u0041")", "A"},
      {R"("\u00E9")", "\xC3\xA9"},
      {R"("\u00e9")", "\xC3\xA9"},
      {R"("\u07FF\u0800")", "\xDF\xBF\xE0\xA0\x80"},
      {R"("\u20AC")", "\xE2\x82\xAC"},
      {R"("\uD83D\uDE00")", "\xED\xA0\xBD\xED\xB8\x80"},
      {R"("\u0000")", "\0"sv},
      // The four bytes are read as strtoul reads them: white space, a sign and "0x" are taken,
      // and reading stops early without an error.
      {R"("\u12zz")", "\x12"},
      {R"("\uqqqq")", "\0"sv},
      {R"("\u 0x1")", "\x01"},
      {R"("\u-001")", "\xFF\xBF\xBF"},
      {"\"\\u1\xC3\xA9Z\"", "\x01"},
      {"\"\\u00\"x\"", "\0"sv},
  };
  for (const Case& c : cases) {
    const JsonValue value = ParseJson(c.text);
    EXPECT_EQ(value.kind, JsonKind::String) << c.text;
    EXPECT_EQ(value.text, c.decoded) << c.text;
  }
}

TEST(ParseJson, NestingLimitIsSixtyFourLevels) {
  EXPECT_EQ(ParseJson(Nested("[", "]", 64)).kind, JsonKind::Array);
  EXPECT_EQ(ErrorOf(Nested("[", "]", 65)), "JSON error at character 64: too deeply nested");
  // Each level is five bytes, so the 65th opening brace stands at 320.
  EXPECT_EQ(ParseJson(NestedObjects(64)).kind, JsonKind::Object);
  EXPECT_EQ(ErrorOf(NestedObjects(65)), "JSON error at character 320: too deeply nested");
  // The position is that of the bracket, after any white space before it.
  EXPECT_EQ(ErrorOf(Nested(" [", "]", 65)), "JSON error at character 129: too deeply nested");
  // Closing a level gives it back: siblings each 63 deep inside one array stay within the limit.
  const std::string deep = Nested("[", "]", 63);
  EXPECT_EQ(ParseJson("[" + deep + "," + deep + "," + deep + "]").elements.size(), 3u);
}

TEST(FindMember, GivesTheFirstOfDuplicateNamesByteForByte) {
  const JsonValue value = ParseJson(R"({"a": 1, "b": 2, "a": 3, "a\u0000b": 4, "é": 5})");
  ASSERT_EQ(value.members.size(), 5u);
  EXPECT_EQ(value.members[2].second.number, 3);
  ASSERT_NE(FindMember(value, "a"), nullptr);
  EXPECT_EQ(FindMember(value, "a"), &value.members[0].second);
  ASSERT_NE(FindMember(value, "a\0b"sv), nullptr);
  EXPECT_EQ(FindMember(value, "a\0b"sv)->number, 4);
  ASSERT_NE(FindMember(value, "\xC3\xA9"), nullptr);
  EXPECT_EQ(FindMember(value, "\xC3\xA9")->number, 5);
  EXPECT_EQ(FindMember(value, "A"), nullptr);
  EXPECT_EQ(FindMember(value, "a "), nullptr);
  EXPECT_EQ(FindMember(value, ""), nullptr);

  const JsonValue raw = ParseJson("{\"a\nb\t\": true}");
  ASSERT_NE(FindMember(raw, "a\nb\t"), nullptr);
  EXPECT_TRUE(FindMember(raw, "a\nb\t")->boolean);
}

TEST(FindMember, NonObjectsHaveNoMembers) {
  EXPECT_EQ(FindMember(ParseJson(R"(["a"])"), "a"), nullptr);
  EXPECT_EQ(FindMember(ParseJson(R"("a")"), "a"), nullptr);
  EXPECT_EQ(FindMember(ParseJson("null"), ""), nullptr);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A public suite of conformance documents: "y_" must parse, "n_" should not, "i_" may go either
// way. The reader's leniency accepts some "n_" documents; they are listed so that any change in
// what it accepts shows here.
TEST(ParseJson, PeerConformanceSuite) {
  const std::filesystem::path folder =
      std::filesystem::path(KELVADON_TESTDATA_DIR) / "JSONTestSuite" / "test_parsing";
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    GTEST_SKIP() << "conformance documents not found at " << folder.string();
  }
  const std::set<std::string> expectedAcceptedN = {
      // strtod numbers: signs, leading zeros, bare decimal points, hexadecimal, infinity, NaN.
      "n_number_+1.json",
      "n_number_+Inf.json",
      "n_number_-01.json",
      "n_number_-2..json",
      "n_number_-NaN.json",
      "n_number_.2e-3.json",
      "n_number_0.e1.json",
      "n_number_2.e+3.json",
      "n_number_2.e-3.json",
      "n_number_2.e3.json",
      "n_number_Inf.json",
      "n_number_NaN.json",
      "n_number_hex_1_digit.json",
      "n_number_hex_2_digits.json",
      "n_number_infinity.json",
      "n_number_minus_infinity.json",
      "n_number_neg_int_starting_with_zero.json",
      "n_number_neg_real_without_int_part.json",
      "n_number_real_without_fractional_part.json",
      "n_number_starting_with_dot.json",
      "n_number_with_leading_zero.json",
      // Unknown escapes give their own byte; "\u" reads its four bytes as strtoul does.
      "n_string_backslash_00.json",
      "n_string_escape_x.json",
      "n_string_escaped_ctrl_char_tab.json",
      "n_string_escaped_emoji.json",
      "n_string_incomplete_surrogate_escape_invalid.json",
      "n_string_invalid_backslash_esc.json",
      "n_string_invalid_unicode_escape.json",
      "n_string_invalid_utf8_after_escape.json",
      "n_string_unicode_CapitalU.json",
      // Raw control characters inside quotes are copied unchanged.
      "n_string_unescaped_ctrl_char.json",
      "n_string_unescaped_newline.json",
      "n_string_unescaped_tab.json",
  };

  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  ASSERT_FALSE(paths.empty());

  std::set<std::string> acceptedN;
  for (const auto& path : paths) {
    const std::string name = path.filename().string();
    try {
      ParseJson(ReadFileBytes(path));
      if (name.starts_with("n_")) acceptedN.insert(name);
    } catch (const std::runtime_error& refused) {
      EXPECT_FALSE(name.starts_with("y_")) << name << ": " << refused.what();
    }
  }
  EXPECT_EQ(acceptedN, expectedAcceptedN);
}

}  // namespace
