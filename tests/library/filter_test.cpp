// The filter language: parsing, parameter binding and evaluation on encoded
// samples of the "KeyedType" layout (lVal int32, sVal int16, sbVal string).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/type_description.h"
#include "wire_test_util.h"

using QUORVELA::detail::ContentFilter;
using QUORVELA::detail::Filter;
using QUORVELA::detail::FilterValue;
using QUORVELA::detail::find_type_description;
using QUORVELA::detail::like_match;
using QUORVELA::detail::parse_literal;
using QUORVELA::detail::TypeDescription;

namespace {

struct Sample {
  int32_t lVal;
  int16_t sVal;
  std::string sbVal;
};

// Plain CDR from position 0, as the type support writes it: int32 at 0,
// int16 at 4, two bytes of padding, uint32 length with the NUL, bytes, NUL.
std::vector<uint8_t> encode(const Sample& s, bool little_endian) {
  std::vector<uint8_t> out;
  auto put = [&](uint64_t v, size_t n) {
    while (out.size() % n != 0) out.push_back(0);
    for (size_t i = 0; i < n; ++i) {
      size_t shift = little_endian ? i : n - 1 - i;
      out.push_back(static_cast<uint8_t>(v >> (8 * shift)));
    }
  };
  put(static_cast<uint32_t>(s.lVal), 4);
  put(static_cast<uint16_t>(s.sVal), 2);
  put(static_cast<uint32_t>(s.sbVal.size() + 1), 4);
  out.insert(out.end(), s.sbVal.begin(), s.sbVal.end());
  out.push_back(0);
  return out;
}

const TypeDescription& keyed() {
  const TypeDescription* t = find_type_description("KeyedType");
  EXPECT_NE(t, nullptr);
  return *t;
}

std::unique_ptr<Filter> compile(const std::string& expr, std::string* error = nullptr) {
  return Filter::compile(expr, keyed(), error);
}

struct FilterCase {
  std::string expr;
  std::vector<std::string> params;
  std::vector<Sample> pass;
  std::vector<Sample> reject;
};

std::string describe(const Sample& s) {
  return "{" + std::to_string(s.lVal) + ", " + std::to_string(s.sVal) + ", \"" + s.sbVal + "\"}";
}

}  // namespace

TEST(TypeDescriptionTest, KnownTypesAndRefusal) {
  for (const char* name : {"KeyedType", "FlatRecord"}) {
    const TypeDescription* t = find_type_description(name);
    ASSERT_NE(t, nullptr) << name;
    ASSERT_EQ(t->members.size(), 3u);
    EXPECT_EQ(t->member_index("lVal"), 0);
    EXPECT_EQ(t->member_index("sVal"), 1);
    EXPECT_EQ(t->member_index("sbVal"), 2);
    EXPECT_EQ(t->member_index("lval"), -1);
  }
  EXPECT_TRUE(find_type_description("KeyedType")->members[0].is_key);
  EXPECT_FALSE(find_type_description("FlatRecord")->members[0].is_key);
  // A type registered under another name has no layout, whatever its support.
  EXPECT_EQ(find_type_description("test_type_name"), nullptr);
  EXPECT_EQ(find_type_description(""), nullptr);
  EXPECT_EQ(find_type_description("keyedtype"), nullptr);
}

// Every expression is evaluated on samples that must pass and samples that
// must not, encoded in both byte orders.
TEST(FilterEvaluationTest, ExpressionTable) {
  const std::vector<FilterCase> cases = {
      {"lVal > 10", {}, {{11, 0, ""}, {15, 0, ""}}, {{5, 0, ""}, {10, 0, ""}, {-11, 0, ""}}},
      {"lVal > %0 AND lVal < %1", {"5", "50"}, {{6, 0, ""}, {49, 0, ""}}, {{5, 0, ""}, {50, 0, ""}}},
      {"lVal > %0 AND lVal < %1",
       {"10", "40"},
       {{15, 0, ""}, {25, 0, ""}, {35, 0, ""}},
       {{5, 0, ""}, {45, 0, ""}}},
      {"lVal > %0 AND lVal < %1",
       {"40", "75"},
       {{50, 0, ""}, {60, 0, ""}, {70, 0, ""}},
       {{35, 0, ""}, {80, 0, ""}, {90, 0, ""}}},
      // sVal is a number: LIKE on it is false, so only the range decides.
      {"lVal BETWEEN %0 AND %1 OR sVal LIKE '%test%'",
       {"10", "30"},
       {{10, 0, "test"}, {20, 0, ""}, {30, 0, ""}},
       {{9, 0, "test"}, {31, 0, "test"}}},
      // sVal against a string parameter never matches; against a number it does.
      {"lVal > %0 AND lVal < %1 AND sVal = %2", {"10", "100", "'test'"}, {}, {{50, 0, "test"}, {50, 5, ""}}},
      {"lVal > %0 AND lVal < %1 AND sVal = %2", {"20", "200", "5"}, {{50, 5, ""}}, {{50, 4, ""}, {10, 5, ""}}},
      {"lVal > 10 AND sbVal LIKE '%test%'",
       {},
       {{15, 0, "test2"}, {20, 0, "notest"}, {25, 0, "mytest"}},
       {{5, 0, "test1"}, {30, 0, "abc"}}},
      {"lVal < 5 OR lVal > 95", {}, {{2, 0, "x"}, {99, 0, "z"}, {100, 0, "w"}}, {{50, 0, "y"}, {5, 0, ""}, {95, 0, ""}}},
      {"lVal BETWEEN 20 AND 80",
       {},
       {{20, 0, ""}, {25, 0, "b"}, {50, 0, "c"}, {80, 0, "d"}},
       {{10, 0, "a"}, {90, 0, "e"}, {19, 0, ""}, {81, 0, ""}}},
      {"sbVal LIKE 'prefix_%'",
       {},
       {{1, 0, "prefix_abc"}, {2, 0, "prefix_xyz"}, {4, 0, "prefix_"}},
       {{3, 0, "noprefix"}, {5, 0, "pre_fix"}, {6, 0, "prefix"}}},
      // AND binds tighter than OR; parentheses override.
      {"lVal = 1 OR lVal = 2 AND sVal = 3", {}, {{1, 0, ""}, {2, 3, ""}}, {{2, 0, ""}, {3, 3, ""}}},
      {"(lVal = 1 OR lVal = 2) AND sVal = 3", {}, {{1, 3, ""}, {2, 3, ""}}, {{1, 0, ""}, {3, 3, ""}}},
      {"sVal = 3 AND lVal = 1 OR lVal = 2", {}, {{1, 3, ""}, {2, 0, ""}}, {{1, 0, ""}}},
      // The AND of BETWEEN belongs to it; a further AND is a conjunction.
      {"lVal BETWEEN 1 AND 5 AND sVal = 2", {}, {{1, 2, ""}, {5, 2, ""}}, {{3, 1, ""}, {6, 2, ""}}},
      {"sVal = 2 AND lVal BETWEEN 1 AND 5 OR lVal = 9", {}, {{3, 2, ""}, {9, 0, ""}}, {{3, 1, ""}}},
      {"lVal NOT BETWEEN 1 AND 5", {}, {{0, 0, ""}, {6, 0, ""}}, {{1, 0, ""}, {3, 0, ""}, {5, 0, ""}}},
      {"lVal BETWEEN %1 AND %0", {"9", "3"}, {{3, 0, ""}, {9, 0, ""}}, {{2, 0, ""}, {10, 0, ""}}},
      {"NOT lVal = 3", {}, {{2, 0, ""}}, {{3, 0, ""}}},
      {"NOT (lVal > 1 AND lVal < 5)", {}, {{1, 0, ""}, {5, 0, ""}}, {{2, 0, ""}}},
      {"NOT NOT lVal = 3", {}, {{3, 0, ""}}, {{2, 0, ""}}},
      {"NOT lVal = 1 AND sVal = 1", {}, {{2, 1, ""}}, {{1, 1, ""}, {2, 0, ""}}},
      {"sbVal NOT LIKE '%x%'", {}, {{0, 0, "abc"}, {0, 0, ""}}, {{0, 0, "x"}, {0, 0, "axb"}}},
      // Operators.
      {"lVal = 7", {}, {{7, 0, ""}}, {{6, 0, ""}}},
      {"lVal <> 7", {}, {{6, 0, ""}}, {{7, 0, ""}}},
      {"lVal != 7", {}, {{8, 0, ""}}, {{7, 0, ""}}},
      {"lVal <= 7", {}, {{7, 0, ""}, {-1, 0, ""}}, {{8, 0, ""}}},
      {"lVal >= 7", {}, {{7, 0, ""}, {8, 0, ""}}, {{6, 0, ""}}},
      {"lVal < 7", {}, {{6, 0, ""}}, {{7, 0, ""}}},
      {"lVal>=7 AND(sVal<>1)", {}, {{7, 0, ""}}, {{7, 1, ""}}},
      // Keywords in any case; literal or parameter on the left; member against member.
      {"lVal between 1 and 5 or sbVal like 'a%'", {}, {{3, 0, ""}, {9, 0, "ab"}}, {{9, 0, "ba"}}},
      {"lVal BeTwEeN 1 AnD 5 Or NoT sVal = 0", {}, {{3, 0, ""}, {9, 1, ""}}, {{9, 0, ""}}},
      {"10 < lVal", {}, {{11, 0, ""}}, {{10, 0, ""}}},
      {"%0 >= lVal", {"4"}, {{4, 0, ""}, {3, 0, ""}}, {{5, 0, ""}}},
      {"lVal = sVal", {}, {{3, 3, ""}, {-2, -2, ""}}, {{3, 4, ""}}},
      // Numeric literals: negative, float (also against integer members), hex.
      {"lVal > -5", {}, {{-4, 0, ""}, {0, 0, ""}}, {{-5, 0, ""}, {-6, 0, ""}}},
      {"lVal > 2.5", {}, {{3, 0, ""}}, {{2, 0, ""}}},
      {"lVal = 3.0", {}, {{3, 0, ""}}, {{4, 0, ""}}},
      {"lVal < 1e2", {}, {{99, 0, ""}}, {{100, 0, ""}}},
      {"lVal >= -.5", {}, {{0, 0, ""}}, {{-1, 0, ""}}},
      {"lVal = 0x10", {}, {{16, 0, ""}}, {{10, 0, ""}}},
      {"lVal = -2147483648", {}, {{INT32_MIN, 0, ""}}, {{INT32_MAX, 0, ""}}},
      {"sVal = -32768 OR sVal = 32767", {}, {{0, -32768, ""}, {0, 32767, ""}}, {{0, 0, ""}}},
      {"lVal = %0", {"2.0"}, {{2, 0, ""}}, {{3, 0, ""}}},
      {"lVal = %0", {" -7 "}, {{-7, 0, ""}}, {{7, 0, ""}}},
      // Strings: byte-wise comparison, quotes doubled inside a literal.
      {"sbVal = 'abc'", {}, {{0, 0, "abc"}}, {{0, 0, "abcd"}, {0, 0, "ABC"}, {0, 0, ""}}},
      {"sbVal > 'abc'", {}, {{0, 0, "abd"}, {0, 0, "abca"}}, {{0, 0, "abc"}, {0, 0, "ab"}}},
      {"sbVal BETWEEN 'b' AND 'd'", {}, {{0, 0, "b"}, {0, 0, "cz"}, {0, 0, "d"}}, {{0, 0, "a"}, {0, 0, "da"}}},
      {"sbVal = 'it''s'", {}, {{0, 0, "it's"}}, {{0, 0, "its"}}},
      {"sbVal = ''", {}, {{0, 0, ""}}, {{0, 0, " "}}},
      {"sbVal = %0", {"'test'"}, {{0, 0, "test"}}, {{0, 0, "'test'"}, {0, 0, "tes"}}},
      {"sbVal LIKE %0", {"'pre%'"}, {{0, 0, "pre"}, {0, 0, "prefix"}}, {{0, 0, "xpre"}}},
      {"sbVal = 'AND OR %0'", {}, {{0, 0, "AND OR %0"}}, {{0, 0, ""}}},
      // '%' inside quotes is a pattern character, not a placeholder.
      {"sbVal LIKE '%1%'", {}, {{0, 0, "a1b"}, {0, 0, "1"}}, {{0, 0, "ab"}}},
      // Mismatched kinds: the predicate is false, NOT of it true.
      {"sVal LIKE '%test%'", {}, {}, {{0, 0, "test"}}},
      {"sbVal = 5", {}, {}, {{0, 0, "5"}}},
      {"sbVal <> 5", {}, {}, {{0, 0, "5"}, {0, 0, "x"}}},
      {"sbVal BETWEEN 1 AND 5", {}, {}, {{0, 0, "3"}}},
      {"sbVal NOT BETWEEN 1 AND 5", {}, {}, {{0, 0, "3"}}},
      {"sVal NOT LIKE 'x'", {}, {}, {{0, 0, "x"}}},
      {"lVal BETWEEN 1 AND 'z'", {}, {}, {{2, 0, ""}}},
      {"sbVal LIKE 5", {}, {}, {{0, 0, "5"}}},
      {"NOT sbVal = 5", {}, {{0, 0, "5"}}, {}},
      {"lVal = sbVal", {}, {}, {{1, 0, "1"}}},
      {"sbVal = 5 OR lVal = 1", {}, {{1, 0, ""}}, {{2, 0, ""}}},
  };
  for (const FilterCase& c : cases) {
    std::string error;
    auto f = compile(c.expr, &error);
    ASSERT_NE(f, nullptr) << c.expr << ": " << error;
    std::vector<FilterValue> values;
    ASSERT_TRUE(f->bind_parameters(c.params, values, &error)) << c.expr << ": " << error;
    for (bool le : {true, false}) {
      for (const Sample& s : c.pass) {
        auto bytes = encode(s, le);
        EXPECT_TRUE(f->evaluate(bytes.data(), bytes.size(), le, values))
            << c.expr << " should pass " << describe(s) << (le ? " (LE)" : " (BE)");
      }
      for (const Sample& s : c.reject) {
        auto bytes = encode(s, le);
        EXPECT_FALSE(f->evaluate(bytes.data(), bytes.size(), le, values))
            << c.expr << " should reject " << describe(s) << (le ? " (LE)" : " (BE)");
      }
    }
  }
}

TEST(FilterEvaluationTest, LikePatterns) {
  struct Case {
    const char* text;
    const char* pattern;
    bool match;
  };
  const Case cases[] = {
      {"", "", true},          {"", "%", true},          {"", "%%", true},        {"", "_", false},
      {"a", "", false},        {"a", "_", true},         {"ab", "_", false},      {"ab", "__", true},
      {"abc", "a%c", true},    {"ac", "a%c", true},      {"ac", "a_c", false},    {"abc", "a_c", true},
      {"abbc", "a_c", false},  {"abcbc", "%bc", true},   {"abcb", "%bc", false},  {"x", "x%", true},
      {"ABC", "abc", false},   {"test", "%test%", true}, {"tes", "%test%", false}, {"a%c", "a%c", true},
      {"mississippi", "m%iss%ppi", true},                {"mississippi", "m%iss%ppx", false},
      {"prefix_", "prefix_%", true},                     {"pre_fix", "prefix_%", false},
      {"aaa", "%a%a%a%", true},                          {"aa", "%a%a%a%", false},
      {"abc", "%_", true},                               {"abc", "___%", true},
      {"abc", "____%", false},                           {"a\nb", "a_b", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(like_match(c.text, c.pattern), c.match) << "'" << c.text << "' LIKE '" << c.pattern << "'";
  }
}

TEST(FilterCompileTest, SyntaxErrorsAndUnknownMembersAreRefused) {
  const std::string deep_open(300, '(');
  const std::string deep_close(300, ')');
  const std::vector<std::string> bad = {
      "",
      "   ",
      "lVal",
      "lVal >",
      "> 5",
      "lVal > > 1",
      "lVal == 1",
      "lVal = 'abc",
      "(lVal > 1",
      "lVal > 1)",
      "()",
      "lVal BETWEEN 1",
      "lVal BETWEEN 1 OR 2",
      "lVal BETWEEN AND 2",
      "lVal NOT = 1",
      "lVal NOT > 1",
      "lVal LIKE",
      "AND lVal > 1",
      "lVal > 1 AND",
      "lVal > 1 OR OR lVal < 2",
      "lVal > 1 lVal < 2",
      "NOT",
      "lVal > %",
      "lVal > %100",
      "lVal > %a",
      "lVal > 5abc",
      "lVal > 1.2.3",
      "lVal > 1e",
      "lVal > 0x",
      "lVal > 99999999999999999999",
      "lVal > 1e999",
      "lVal # 1",
      "lVal > \"abc\"",
      "lVal > 1;",
      "lVal > 1 AND sVal",
      "lVal > - 1",
      deep_open + "lVal > 1" + deep_close,
      // Unknown members; member names are exact.
      "foo > 1",
      "lval > 1",
      "LVAL > 1",
      "sbval LIKE 'x'",
      "lVal > 1 AND nosuch = 2",
      "lVal > nosuch",
      "lVal BETWEEN 1 AND nosuch",
  };
  for (const std::string& expr : bad) {
    std::string error;
    EXPECT_EQ(compile(expr, &error), nullptr) << "accepted: " << expr;
    EXPECT_FALSE(error.empty()) << expr;
  }
  // Nesting within the limit is fine.
  const std::string open(100, '('), close(100, ')');
  EXPECT_NE(compile(open + "lVal > 1" + close), nullptr);
}

TEST(FilterCompileTest, ParameterCountAndBinding) {
  struct Case {
    const char* expr;
    size_t needed;
  };
  const Case cases[] = {
      {"lVal > 10", 0},
      {"sbVal LIKE '%0%'", 0},
      {"lVal > %0", 1},
      {"lVal > %0 AND lVal < %1 AND sVal = %2", 3},
      {"lVal = %2", 3},
      {"lVal = %9 OR lVal = %0", 10},
      {"lVal = %99", 100},
      {"lVal = %07", 8},
  };
  for (const Case& c : cases) {
    auto f = compile(c.expr);
    ASSERT_NE(f, nullptr) << c.expr;
    EXPECT_EQ(f->parameter_count_needed(), c.needed) << c.expr;
    std::vector<FilterValue> values;
    std::vector<std::string> params(c.needed, "1");
    EXPECT_TRUE(f->bind_parameters(params, values, nullptr)) << c.expr;
    EXPECT_EQ(values.size(), c.needed);
    params.push_back("'extra'");
    EXPECT_TRUE(f->bind_parameters(params, values, nullptr)) << c.expr << " with an extra parameter";
    if (c.needed > 0) {
      params.resize(c.needed - 1);
      values.assign(1, FilterValue::make_string("kept"));
      std::string error;
      EXPECT_FALSE(f->bind_parameters(params, values, &error)) << c.expr << " with too few";
      EXPECT_FALSE(error.empty());
      ASSERT_EQ(values.size(), 1u) << "a refused bind leaves the values alone";
      EXPECT_EQ(values[0].text, "kept");
    }
  }
  // Evaluation through string parameters refuses too few rather than reading past them.
  auto f = compile("lVal > %0 AND lVal < %1");
  auto bytes = encode({7, 0, ""}, true);
  EXPECT_TRUE(f->evaluate(bytes.data(), bytes.size(), true, std::vector<std::string>{"5", "50"}));
  EXPECT_FALSE(f->evaluate(bytes.data(), bytes.size(), true, std::vector<std::string>{"5"}));
}

TEST(FilterCompileTest, ParameterLiterals) {
  struct Good {
    const char* text;
    FilterValue::Kind kind;
    int64_t integer;
    double real;
    const char* str;
  };
  const Good good[] = {
      {"5", FilterValue::Kind::Integer, 5, 0, ""},
      {" 5 ", FilterValue::Kind::Integer, 5, 0, ""},
      {"-3", FilterValue::Kind::Integer, -3, 0, ""},
      {"+3", FilterValue::Kind::Integer, 3, 0, ""},
      {"0x1F", FilterValue::Kind::Integer, 31, 0, ""},
      {"-0x10", FilterValue::Kind::Integer, -16, 0, ""},
      {"9223372036854775807", FilterValue::Kind::Integer, INT64_MAX, 0, ""},
      {"-9223372036854775808", FilterValue::Kind::Integer, INT64_MIN, 0, ""},
      {"2.5", FilterValue::Kind::Float, 0, 2.5, ""},
      {"5.", FilterValue::Kind::Float, 0, 5.0, ""},
      {"-1.5e3", FilterValue::Kind::Float, 0, -1500.0, ""},
      {"'test'", FilterValue::Kind::String, 0, 0, "test"},
      {"''", FilterValue::Kind::String, 0, 0, ""},
      {"'it''s'", FilterValue::Kind::String, 0, 0, "it's"},
      {"'%0 AND'", FilterValue::Kind::String, 0, 0, "%0 AND"},
  };
  for (const Good& g : good) {
    FilterValue v;
    ASSERT_TRUE(parse_literal(g.text, v)) << g.text;
    EXPECT_EQ(v.kind, g.kind) << g.text;
    if (g.kind == FilterValue::Kind::Integer) {
      EXPECT_EQ(v.integer, g.integer) << g.text;
    } else if (g.kind == FilterValue::Kind::Float) {
      EXPECT_DOUBLE_EQ(v.real, g.real) << g.text;
    } else {
      EXPECT_EQ(v.text, g.str) << g.text;
    }
  }
  const char* bad[] = {"", " ", "test", "lVal", "5 6", "'a' 'b'", "%0", "5abc", "'unterminated",
                       "--5", "5 AND", "(5)", "'a'b", "9223372036854775808", "0x"};
  for (const char* b : bad) {
    FilterValue v;
    EXPECT_FALSE(parse_literal(b, v)) << "accepted: '" << b << "'";
  }
  // A bind rejects the whole list when one entry is not a literal.
  auto f = compile("lVal > %0 AND lVal < %1");
  std::vector<FilterValue> values;
  EXPECT_FALSE(f->bind_parameters({"5", "fifty"}, values, nullptr));
  EXPECT_FALSE(f->bind_parameters({"5", "50", "oops"}, values, nullptr)) << "extra parameters are still literals";
}

TEST(FilterDecodeTest, TruncatedAndMalformedSamplesDoNotPass) {
  const Sample s{42, 7, "hello"};
  for (bool le : {true, false}) {
    auto bytes = encode(s, le);
    auto on_string = compile("sbVal = 'hello'");
    auto on_short = compile("sVal = 7");
    auto on_long = compile("lVal = 42");
    EXPECT_TRUE(on_string->evaluate(bytes.data(), bytes.size(), le, std::vector<FilterValue>{}));
    // Only the members up to the last one the expression reads are decoded.
    for (size_t n = 0; n < bytes.size(); ++n) {
      EXPECT_FALSE(on_string->evaluate(bytes.data(), n, le, std::vector<FilterValue>{})) << n << " bytes";
      EXPECT_EQ(on_short->evaluate(bytes.data(), n, le, std::vector<FilterValue>{}), n >= 6) << n << " bytes";
      EXPECT_EQ(on_long->evaluate(bytes.data(), n, le, std::vector<FilterValue>{}), n >= 4) << n << " bytes";
    }
    // The wrong byte order reads other numbers.
    EXPECT_FALSE(on_long->evaluate(bytes.data(), bytes.size(), !le, std::vector<FilterValue>{}));
    // A string without its terminating NUL, or longer than the buffer.
    auto no_nul = bytes;
    no_nul.back() = 'x';
    EXPECT_FALSE(on_string->evaluate(no_nul.data(), no_nul.size(), le, std::vector<FilterValue>{}));
    auto too_long = bytes;
    too_long[le ? 8 : 11] = 0x7f;
    EXPECT_FALSE(on_string->evaluate(too_long.data(), too_long.size(), le, std::vector<FilterValue>{}));
  }
  // A zero length is read as the empty string.
  std::vector<uint8_t> empty = {1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(compile("sbVal = ''")->evaluate(empty.data(), empty.size(), true, std::vector<FilterValue>{}));
  // An expression without members needs no bytes at all.
  EXPECT_TRUE(compile("1 = 1")->evaluate(nullptr, 0, true, std::vector<FilterValue>{}));
}

TEST(ContentFilterTest, CreationKeepsTextVerbatimAndRefusesUnfilterableTypes) {
  std::string error;
  EXPECT_EQ(ContentFilter::create("test_type_name", "lVal > 1 AND sVal < 20", {}, &error), nullptr);
  EXPECT_NE(error.find("test_type_name"), std::string::npos) << error;
  EXPECT_NE(ContentFilter::create("FlatRecord", "lVal > 1 AND sVal < 20", {}, &error), nullptr) << error;
  EXPECT_EQ(ContentFilter::create("KeyedType", "lVal > %0 AND lVal < %1", {"5"}, &error), nullptr);
  EXPECT_EQ(ContentFilter::create("KeyedType", "lVal >", {}, &error), nullptr);
  EXPECT_EQ(ContentFilter::create("KeyedType", "lVal > %0", {"five"}, &error), nullptr);

  const std::string expr = "lVal  >  %0 AND lVal < %1   AND sVal = %2";
  auto cf = ContentFilter::create("KeyedType", expr, {"10", "100", "'test'"}, &error);
  ASSERT_NE(cf, nullptr) << error;
  EXPECT_EQ(cf->expression(), expr);
  EXPECT_EQ(cf->parameters(), (std::vector<std::string>{"10", "100", "'test'"}));
  EXPECT_EQ(cf->parameters()[2].size(), 6u);
}

TEST(ContentFilterTest, ParameterReplacementAppliesToLaterEvaluations) {
  auto cf = ContentFilter::create("KeyedType", "lVal > %0 AND lVal < %1", {"10", "40"}, nullptr);
  ASSERT_NE(cf, nullptr);
  auto eval = [&](int32_t l) {
    auto b = encode({l, 0, ""}, true);
    return cf->matches(b.data(), b.size(), true);
  };
  EXPECT_TRUE(eval(25));
  EXPECT_FALSE(eval(50));

  ASSERT_TRUE(cf->set_parameters({"40", "75"}, nullptr));
  EXPECT_EQ(cf->parameters(), (std::vector<std::string>{"40", "75"}));
  EXPECT_FALSE(eval(25));
  EXPECT_TRUE(eval(50));

  // Refusals keep the old list and the old behaviour.
  const std::vector<std::vector<std::string>> refused = {{}, {"1"}, {"1", "x"}, {"1", "2", "%0"}};
  for (const auto& p : refused) {
    std::string error;
    EXPECT_FALSE(cf->set_parameters(p, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(cf->parameters(), (std::vector<std::string>{"40", "75"}));
    EXPECT_TRUE(eval(50));
  }
  // A longer list is taken whole.
  ASSERT_TRUE(cf->set_parameters({"0", "5", "'spare'"}, nullptr));
  EXPECT_EQ(cf->parameters(), (std::vector<std::string>{"0", "5", "'spare'"}));
  EXPECT_TRUE(eval(3));
}

// The fuzz target's checks (no crash, NOT (e) the opposite of e on decodable
// samples, deterministic results) over a fixed set of random token
// sequences, so that every build runs a bounded share of them.
#include "filter/filter_fuzz.cc"

namespace {

// Random expressions from the grammar, some of them then broken by a token
// mutation.
class ExpressionGenerator {
 public:
  explicit ExpressionGenerator(uint32_t seed) : rng_(seed) {}

  std::string next() {
    std::vector<std::string> toks;
    condition(toks, 0);
    const int mutations = pick(3) == 0 ? 1 + pick(2) : 0;
    for (int m = 0; m < mutations && !toks.empty(); ++m) {
      size_t at = pick(toks.size());
      switch (pick(3)) {
        case 0: toks.erase(toks.begin() + static_cast<long>(at)); break;
        case 1: toks.insert(toks.begin() + static_cast<long>(at), any_token()); break;
        default: toks[at] = any_token(); break;
      }
    }
    std::string out;
    for (size_t k = 0; k < toks.size(); ++k) {
      if (k > 0 && pick(5) != 0) out += ' ';
      out += toks[k];
    }
    return out;
  }

  std::string parameter() { return one_of(params_); }
  size_t pick(size_t n) { return rng_() % n; }

 private:
  void condition(std::vector<std::string>& t, int depth) {
    switch (depth > 4 ? 0 : pick(8)) {
      case 1: condition(t, depth + 1); t.push_back(pick(2) ? "AND" : "and"); condition(t, depth + 1); break;
      case 2: condition(t, depth + 1); t.push_back(pick(2) ? "OR" : "Or"); condition(t, depth + 1); break;
      case 3: t.push_back("NOT"); condition(t, depth + 1); break;
      case 4: t.push_back("("); condition(t, depth + 1); t.push_back(")"); break;
      default: predicate(t); break;
    }
  }
  void predicate(std::vector<std::string>& t) {
    t.push_back(operand());
    switch (pick(4)) {
      case 0:
        if (pick(2)) t.push_back("NOT");
        t.push_back("BETWEEN");
        t.push_back(operand());
        t.push_back("AND");
        t.push_back(operand());
        break;
      case 1:
        if (pick(2)) t.push_back("NOT");
        t.push_back("LIKE");
        t.push_back(pick(4) ? one_of(patterns_) : operand());
        break;
      default:
        t.push_back(one_of(relops_));
        t.push_back(operand());
        break;
    }
  }
  std::string operand() {
    switch (pick(3)) {
      case 0: return one_of(members_);
      case 1: return one_of(literals_);
      default: return "%" + std::to_string(pick(4));
    }
  }
  std::string any_token() {
    static const std::vector<std::string> junk = {"(", ")", "AND", "OR", "NOT", "BETWEEN", "LIKE", "=",
                                                  "%", "%100", "'open", ";", "5abc", "nosuch", "==", "-"};
    return pick(2) ? one_of(junk) : operand();
  }
  const std::string& one_of(const std::vector<std::string>& v) { return v[pick(v.size())]; }

  std::mt19937 rng_;
  std::vector<std::string> members_ = {"lVal", "sVal", "sbVal"};
  std::vector<std::string> literals_ = {"5", "-3", "2.5", "1e3", "0x1F", "-0", "15", "'test'", "''",
                                        "'it''s'", "'prefix_abc'", "100"};
  std::vector<std::string> patterns_ = {"'%test%'", "'prefix_%'", "'%'", "'_'", "'%_%'", "''", "'%''%'"};
  std::vector<std::string> relops_ = {"=", "<>", "!=", "<", "<=", ">", ">="};
  std::vector<std::string> params_ = {"5", "'x'", "bad", "", "-1.5", "'%'", "0x10", " 7 ", "'test'"};
};

}  // namespace

TEST(FilterFuzzReplayTest, GeneratedAndBrokenExpressions) {
  ExpressionGenerator gen(20261210);
  int compiled = 0, refused = 0;
  const int kInputs = 20000;
  for (int i = 0; i < kInputs; ++i) {
    std::string input = gen.next();
    const std::string expr = input;
    if (gen.pick(4) != 0) {
      input.push_back('\0');
      const size_t np = gen.pick(5);
      for (size_t k = 0; k < np; ++k) {
        if (k > 0) input += '\n';
        input += gen.parameter();
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    if (Filter::compile(expr, keyed(), nullptr)) {
      ++compiled;
    } else {
      ++refused;
    }
  }
  // Both the evaluator and the error paths get their share.
  EXPECT_GT(compiled, kInputs / 4);
  EXPECT_GT(refused, kInputs / 10);
}

// ------------------------------------------------- content-filtered topics

namespace {

using namespace QUORVELA;
using wiretest::Child;
using wiretest::eventually;
using wiretest::keyed;
using wiretest::Stack;

std::string unique_name(const std::string& base) { return base + "_" + std::to_string(getpid()); }

DataReaderQos reliable_reader() {
  DataReaderQos q = DATAREADER_QOS_DEFAULT;
  q.reliability.kind = RELIABLE_RELIABILITY_QOS;
  q.history.kind = KEEP_ALL_HISTORY_QOS;
  return q;
}

// lVal of every valid sample the reader holds, sorted; read leaves them stored.
std::vector<int32_t> held(DataReader* r, bool take = false) {
  std::vector<int32_t> out;
  for (auto& p : wiretest::take_all<KeyedType>(r, nullptr, take)) out.push_back(p.first);
  std::sort(out.begin(), out.end());
  return out;
}

// Waits until the reader holds exactly `want` (sorted), then a little longer
// to see that nothing else arrives.
::testing::AssertionResult holds_exactly(DataReader* r, std::vector<int32_t> want) {
  std::sort(want.begin(), want.end());
  std::vector<int32_t> got;
  eventually([&] { got = held(r); return got.size() >= want.size(); }, 5000);
  wiretest::sleep_ms(300);
  got = held(r);
  if (got == want) return ::testing::AssertionSuccess();
  std::string g, w;
  for (int32_t v : got) g += std::to_string(v) + " ";
  for (int32_t v : want) w += std::to_string(v) + " ";
  return ::testing::AssertionFailure() << "reader holds [ " << g << "], expected [ " << w << "]";
}

// The writing side of the two-process test, run in a child process: writes
// the batches the parent asks for.
int cft_writer_child() {
  Stack st;
  if (!st.make(wiretest::env_or("QV_WIRE_TOPIC", ""), true)) return 2;
  DataWriter* w = st.publisher->create_datawriter(st.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  if (!w) return 3;
  if (!eventually([&] { return wiretest::matched_subs(w) >= 1; }, 10000)) return 4;
  wiretest::tell_parent("ready");
  for (;;) {
    std::string line = wiretest::parent_line(20000);
    if (line == "done") break;
    if (line.rfind("write ", 0) != 0) return 5;
    std::istringstream in(line.substr(6));
    int32_t v;
    while (in >> v) {
      KeyedType k = keyed(v, 0, "");
      if (w->write(&k, HANDLE_NIL) != RETCODE_OK) return 6;
    }
    wiretest::tell_parent("written");
  }
  st.destroy();
  return 0;
}

const bool child_dispatch = [] {
  wiretest::run_child_if_requested({{"cft_writer", cft_writer_child}});
  return true;
}();

class ContentFilteredTopicTest : public ::testing::Test {
 protected:
  void TearDown() override {
    st.destroy();
    DomainParticipantFactory::finalize();
  }
  Stack st;
};

}  // namespace

TEST_F(ContentFilteredTopicTest, CreationRulesThroughTheParticipant) {
  ASSERT_TRUE(st.make(unique_name("cft_rules"), true));
  DomainParticipant* p = st.participant;
  // A type registered under a name without a member description cannot be filtered.
  ASSERT_EQ(p->registe_type("test_type_name", FlatRecordTypeSupport::get_instance()), RETCODE_OK);
  Topic* untyped = p->create_topic(unique_name("cft_untyped"), "test_type_name", TOPIC_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(untyped, nullptr);
  EXPECT_EQ(p->create_contentfilteredtopic("cft_topic_name", untyped, "lVal > 1 AND sVal < 20", {}), nullptr);
  EXPECT_EQ(p->lookup_topicdescription("cft_topic_name"), nullptr);
  ASSERT_EQ(p->registe_type("FlatRecord", FlatRecordTypeSupport::get_instance()), RETCODE_OK);
  Topic* flat = p->create_topic(unique_name("cft_flat"), "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
  ContentFilteredTopic* on_flat = p->create_contentfilteredtopic("cft_flat", flat, "lVal > 1 AND sVal < 20", {});
  EXPECT_NE(on_flat, nullptr) << "the keyless type has a description under its own name";

  const std::pair<const char*, StringSeq> refused[] = {
      {"lVal >", {}}, {"nosuch > 1", {}}, {"lVal > %0 AND lVal < %1", {"5"}}, {"lVal > %0", {"five"}}};
  for (const auto& [expr, params] : refused) {
    EXPECT_EQ(p->create_contentfilteredtopic("cft_refused", st.topic, expr, params), nullptr) << expr;
    EXPECT_EQ(p->lookup_topicdescription("cft_refused"), nullptr) << expr;
  }

  const std::string expr = "lVal > %0 AND lVal < %1 AND sVal = %2";
  ContentFilteredTopic* cft = p->create_contentfilteredtopic("param_cft", st.topic, expr, {"10", "100", "'test'"});
  ASSERT_NE(cft, nullptr);
  EXPECT_EQ(cft->get_filter_expression(), expr);
  EXPECT_EQ(cft->get_related_topic(), st.topic);
  StringSeq params;
  EXPECT_EQ(cft->get_expression_parameters(params), RETCODE_OK);
  EXPECT_EQ(params, (StringSeq{"10", "100", "'test'"}));
  EXPECT_EQ(cft->set_expression_parameters({"20", "200", "'new_test'"}), RETCODE_OK);
  EXPECT_EQ(cft->set_expression_parameters({}), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(cft->set_expression_parameters({"1", "2", "three"}), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(cft->get_expression_parameters(params), RETCODE_OK);
  EXPECT_EQ(params, (StringSeq{"20", "200", "'new_test'"})) << "refusals keep the old parameters";
  EXPECT_EQ(cft->set_expression_parameters({"5", "50", "'valid'"}), RETCODE_OK);
}

// The four filters of the complex-expression scenario, each with its own
// writer and reader on one topic, in one participant: each reader holds
// exactly the samples that pass its filter.
TEST_F(ContentFilteredTopicTest, ReadersHoldExactlyThePassingSamples) {
  ASSERT_TRUE(st.make(unique_name("cft_complex"), true));
  struct Phase {
    const char* name;
    const char* expr;
    std::vector<std::pair<int32_t, std::string>> samples;
    std::vector<int32_t> pass;
  };
  const Phase phases[] = {
      {"cft_and", "lVal > 10 AND sbVal LIKE '%test%'",
       {{5, "test1"}, {15, "test2"}, {20, "notest"}, {25, "mytest"}, {30, "abc"}}, {15, 20, 25}},
      {"cft_or", "lVal < 5 OR lVal > 95", {{2, "x"}, {50, "y"}, {99, "z"}, {100, "w"}}, {2, 99, 100}},
      {"cft_between", "lVal BETWEEN 20 AND 80", {{10, "a"}, {25, "b"}, {50, "c"}, {80, "d"}, {90, "e"}},
       {25, 50, 80}},
      {"cft_like", "sbVal LIKE 'prefix_%'",
       {{1, "prefix_abc"}, {2, "prefix_xyz"}, {3, "noprefix"}, {4, "prefix_"}, {5, "pre_fix"}}, {1, 2, 4}},
  };
  std::vector<DataReader*> earlier;
  for (const Phase& ph : phases) {
    SCOPED_TRACE(ph.expr);
    ContentFilteredTopic* cft = st.participant->create_contentfilteredtopic(ph.name, st.topic, ph.expr, {});
    ASSERT_NE(cft, nullptr);
    DataWriter* w = st.publisher->create_datawriter(st.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
    DataReader* r = st.subscriber->create_datareader(cft, reliable_reader(), nullptr, 0);
    ASSERT_TRUE(w && r);
    ASSERT_TRUE(eventually([&] { return wiretest::matched_subs(w) >= 1 + earlier.size(); }, 5000));
    for (const auto& [l, sb] : ph.samples) {
      KeyedType k = keyed(l, 0, sb);
      EXPECT_EQ(w->write(&k, HANDLE_NIL), RETCODE_OK);
    }
    EXPECT_TRUE(holds_exactly(r, ph.pass));
    held(r, true);
    earlier.push_back(r);
  }
}

// New parameters apply to later arrivals only: what is stored stays, what
// was rejected stays rejected.
TEST_F(ContentFilteredTopicTest, NewParametersApplyToLaterArrivals) {
  ASSERT_TRUE(st.make(unique_name("cft_dynamic"), true));
  ContentFilteredTopic* cft =
      st.participant->create_contentfilteredtopic("cft_dynamic", st.topic, "lVal > %0 AND lVal < %1", {"10", "40"});
  ASSERT_NE(cft, nullptr);
  DataWriter* w = st.publisher->create_datawriter(st.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = st.subscriber->create_datareader(cft, reliable_reader(), nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return wiretest::matched_subs(w) == 1; }, 5000));
  auto write = [&](std::initializer_list<int32_t> vs) {
    for (int32_t v : vs) {
      KeyedType k = keyed(v);
      EXPECT_EQ(w->write(&k, HANDLE_NIL), RETCODE_OK);
    }
  };
  write({5, 15, 25, 35, 45});
  EXPECT_TRUE(holds_exactly(r, {15, 25, 35}));
  ASSERT_EQ(cft->set_expression_parameters({"40", "75"}), RETCODE_OK);
  EXPECT_TRUE(holds_exactly(r, {15, 25, 35})) << "stored samples are not evaluated again";
  write({50, 60, 70, 80, 90});
  EXPECT_TRUE(holds_exactly(r, {15, 25, 35, 50, 60, 70}));
  EXPECT_EQ(cft->set_expression_parameters({}), RETCODE_BAD_PARAMETER);
  write({20, 45});
  EXPECT_TRUE(holds_exactly(r, {15, 25, 35, 45, 50, 60, 70})) << "the refused set changed nothing";
  // A writer on the filtered topic's related topic never filters: an
  // unfiltered reader sees everything.
  DataReader* all = st.subscriber->create_datareader(st.topic, reliable_reader(), nullptr, 0);
  ASSERT_NE(all, nullptr);
  ASSERT_TRUE(eventually([&] { return wiretest::matched_subs(w) == 2; }, 5000));
  write({1, 99});
  EXPECT_TRUE(holds_exactly(all, {1, 99}));
}

// A sample the filter rejects leaves no trace in the reader: no instance, no
// state change when its writer later disposes it, no use of the instance limit.
TEST_F(ContentFilteredTopicTest, RejectedSamplesLeaveNoInstance) {
  ASSERT_TRUE(st.make(unique_name("cft_no_instance"), true));
  ContentFilteredTopic* cft = st.participant->create_contentfilteredtopic("cft_big", st.topic, "lVal > 10", {});
  ASSERT_NE(cft, nullptr);
  DataReaderQos rq = reliable_reader();
  rq.resource_limits.max_instances = 1;
  DataWriter* w = st.publisher->create_datawriter(st.topic, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = st.subscriber->create_datareader(cft, rq, nullptr, 0);
  ASSERT_TRUE(w && r);
  ASSERT_TRUE(eventually([&] { return wiretest::matched_subs(w) == 1; }, 5000));
  KeyedType small = keyed(5), big = keyed(15);
  ASSERT_EQ(w->write(&small, HANDLE_NIL), RETCODE_OK);
  ASSERT_EQ(w->dispose(&small, HANDLE_NIL), RETCODE_OK);
  ASSERT_EQ(w->write(&big, HANDLE_NIL), RETCODE_OK);
  EXPECT_TRUE(holds_exactly(r, {15})) << "the instance limit of 1 is left to the sample that passed";
  EXPECT_EQ(r->lookup_instance(&small), HANDLE_NIL);
  std::vector<SampleInfo> infos;
  wiretest::take_all<KeyedType>(r, &infos);
  ASSERT_EQ(infos.size(), 1u) << "no state change of the rejected instance";
  EXPECT_TRUE(infos[0].valid_data);
  SampleRejectedStatus rejected;
  EXPECT_EQ(r->get_sample_rejected_status(rejected), RETCODE_OK);
  EXPECT_EQ(rejected.total_count, 0);
  // The disposal of an instance the reader does hold still reaches it.
  ASSERT_EQ(w->dispose(&big, HANDLE_NIL), RETCODE_OK);
  infos.clear();
  ASSERT_TRUE(eventually([&] {
    wiretest::take_all<KeyedType>(r, &infos);
    return !infos.empty();
  }, 5000));
  EXPECT_EQ(infos[0].instance_state, NOT_ALIVE_DISPOSED_INSTANCE_STATE);
  EXPECT_FALSE(infos[0].valid_data);
}

// The writer runs in another process; the filter runs where the samples
// arrive, and a parameter change between two batches applies to the second.
TEST_F(ContentFilteredTopicTest, FilteringAcrossProcessesWithAParameterChange) {
  const std::string topic = unique_name("cft_two_process");
  ASSERT_TRUE(st.make(topic, true));
  ContentFilteredTopic* cft =
      st.participant->create_contentfilteredtopic("cft_remote", st.topic, "lVal > %0 AND lVal < %1", {"10", "40"});
  ASSERT_NE(cft, nullptr);
  DataReader* r = st.subscriber->create_datareader(cft, reliable_reader(), nullptr, 0);
  ASSERT_NE(r, nullptr);

  Child child("cft_writer", {{"QV_WIRE_TOPIC", topic}});
  ASSERT_TRUE(child.ok());
  std::string rest;
  ASSERT_TRUE(child.expect("ready", rest, 15000));
  child.send("write 5 15 25 35 45");
  ASSERT_TRUE(child.expect("written", rest, 10000));
  EXPECT_TRUE(holds_exactly(r, {15, 25, 35}));
  EXPECT_EQ(held(r, true), (std::vector<int32_t>{15, 25, 35}));

  ASSERT_EQ(cft->set_expression_parameters({"40", "75"}), RETCODE_OK);
  child.send("write 50 60 70 80 90");
  ASSERT_TRUE(child.expect("written", rest, 10000));
  EXPECT_TRUE(holds_exactly(r, {50, 60, 70}));
  child.send("done");
  int status = -1;
  ASSERT_TRUE(child.wait_exit(10000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
