// The filter language of content-filtered topics and query conditions.
//
// Grammar (keywords are case-insensitive, member names exact):
//
//   condition  := and_expr { OR and_expr }
//   and_expr   := not_expr { AND not_expr }
//   not_expr   := NOT not_expr | '(' condition ')' | predicate
//   predicate  := operand relop operand
//               | operand [NOT] BETWEEN operand AND operand
//               | operand [NOT] LIKE operand
//   relop      := '=' | '<>' | '!=' | '<' | '<=' | '>' | '>='
//   operand    := member | integer | float | string | parameter
//   member     := [A-Za-z_][A-Za-z0-9_]*   (a member of the filtered type)
//   integer    := [+-] digits | [+-] 0x hexdigits
//   float      := [+-] digits '.' [digits] [exponent] | [+-] '.' digits [exponent]
//               | [+-] digits exponent
//   string     := '\'' { any character but '\'' | "''" } '\''
//                 (a doubled quote stands for one quote character)
//   parameter  := '%' digit [digit]         (%0 .. %99, only outside quotes)
//
// Precedence, tightest first: NOT, AND, OR. The AND of a BETWEEN belongs to
// the BETWEEN ("a BETWEEN 1 AND 2 AND b = 3" is "(a BETWEEN 1 AND 2) AND
// b = 3"). BETWEEN is inclusive at both ends.
//
// LIKE: in the pattern '%' matches any run of characters (also an empty one)
// and '_' exactly one character; every other character matches itself. There
// is no escape character.
//
// Values have one of three kinds: integer (all integer members, bool, and
// integer literals), float (float members and float literals) and string
// (string and char members, string literals). Integers and floats compare
// numerically with each other; strings compare byte-wise. A predicate whose
// operands have mismatched kinds (a number against a string, LIKE on a
// number) is false, and so is NOT BETWEEN / NOT LIKE on mismatched kinds;
// such an expression is still accepted. NOT in front of a condition is the
// plain negation of that condition.
//
// Refused at compile time: syntax errors, members the type does not have.
// Refused when parameters are bound: fewer parameters than the highest
// placeholder index + 1, or a parameter that is not exactly one literal
// ("5", "-2.5", "'test'"). Extra parameters are accepted and ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "filter/type_description.h"

namespace QUORVELA::detail {

struct FilterValue {
  enum class Kind { Integer, Float, String };
  Kind kind = Kind::Integer;
  int64_t integer = 0;
  double real = 0.0;
  std::string text;

  static FilterValue make_integer(int64_t v);
  static FilterValue make_float(double v);
  static FilterValue make_string(std::string v);
};

// Parses one parameter: exactly one integer, float or quoted string literal,
// optionally surrounded by white space. "'test'" is the string test, "5" the
// integer 5. Returns false (out untouched) for anything else.
bool parse_literal(const std::string& text, FilterValue& out);

// True when pattern (LIKE syntax, see above) matches the whole of text.
bool like_match(const std::string& text, const std::string& pattern);

struct FilterNode;

class Filter {
 public:
  // Compiles expr against the members of type. Returns null and, when error
  // is not null, a message with the position of the fault.
  static std::unique_ptr<Filter> compile(const std::string& expr, const TypeDescription& type,
                                         std::string* error);
  ~Filter();
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  const std::string& expression() const { return expression_; }
  const TypeDescription& type() const { return *type_; }

  // Highest placeholder index used + 1; 0 without placeholders.
  size_t parameter_count_needed() const { return params_needed_; }

  // Checks params (count and literal form) and converts them. On failure
  // returns false, leaves values untouched and sets error.
  bool bind_parameters(const std::vector<std::string>& params, std::vector<FilterValue>& values,
                       std::string* error) const;

  // Evaluates the filter on one sample given as plain CDR bytes: alignment
  // counts from cdr[0] (pass the bytes after any encapsulation header), byte
  // order little endian when little_endian is true. A sample that cannot be
  // decoded does not pass. values must come from bind_parameters.
  bool evaluate(const uint8_t* cdr, size_t len, bool little_endian,
                const std::vector<FilterValue>& values) const;

  // Convenience: binds params and evaluates; false when they do not bind.
  bool evaluate(const uint8_t* cdr, size_t len, bool little_endian,
                const std::vector<std::string>& params) const;

 private:
  Filter() = default;
  std::string expression_;
  const TypeDescription* type_ = nullptr;
  std::unique_ptr<FilterNode> root_;
  size_t params_needed_ = 0;
  int last_member_ = -1;  // highest member index the expression reads
};

// A compiled expression together with its current parameters, as a
// content-filtered topic or a query condition holds it. The expression and
// the parameters are kept verbatim, as the user gave them. All operations are
// safe to call concurrently (a sample may be evaluated on a delivery thread
// while the application replaces the parameters).
class ContentFilter {
 public:
  // Refused (null, with error set) when type_name has no type description,
  // the expression does not compile, or params do not bind.
  static std::unique_ptr<ContentFilter> create(const std::string& type_name,
                                               const std::string& expr,
                                               const std::vector<std::string>& params,
                                               std::string* error);
  static std::unique_ptr<ContentFilter> create(const TypeDescription& type,
                                               const std::string& expr,
                                               const std::vector<std::string>& params,
                                               std::string* error);

  const std::string& expression() const { return filter_->expression(); }
  const Filter& filter() const { return *filter_; }

  // The current parameters, verbatim and in order.
  std::vector<std::string> parameters() const;

  // Replaces the whole parameter list. On refusal (too few, or one is not a
  // literal) returns false and keeps the old parameters.
  bool set_parameters(const std::vector<std::string>& params, std::string* error);

  // Evaluates with the parameters current at the time of the call.
  bool matches(const uint8_t* cdr, size_t len, bool little_endian) const;

 private:
  struct Bound {
    std::vector<std::string> texts;
    std::vector<FilterValue> values;
  };
  explicit ContentFilter(std::unique_ptr<Filter> f) : filter_(std::move(f)) {}
  std::unique_ptr<Filter> filter_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Bound> bound_;
};

}  // namespace QUORVELA::detail
