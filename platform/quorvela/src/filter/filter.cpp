#include "filter/filter.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace QUORVELA::detail {

FilterValue FilterValue::make_integer(int64_t v) {
  FilterValue r;
  r.kind = Kind::Integer;
  r.integer = v;
  return r;
}

FilterValue FilterValue::make_float(double v) {
  FilterValue r;
  r.kind = Kind::Float;
  r.real = v;
  return r;
}

FilterValue FilterValue::make_string(std::string v) {
  FilterValue r;
  r.kind = Kind::String;
  r.text = std::move(v);
  return r;
}

namespace {

// ---------------------------------------------------------------- tokens

enum class Tok {
  End,
  Ident,
  Integer,
  Float,
  String,
  Param,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  LParen,
  RParen,
  And,
  Or,
  Not,
  Between,
  Like,
};

struct Token {
  Tok kind = Tok::End;
  size_t pos = 0;
  std::string text;      // identifier name or string contents
  FilterValue value;     // Integer, Float and String literals
  int param = 0;         // Param index
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_ident_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c); }

bool iequals(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (x != b[i]) return false;
  }
  return true;
}

void set_error(std::string* error, size_t pos, const std::string& what) {
  if (error) *error = "at position " + std::to_string(pos) + ": " + what;
}

class Lexer {
 public:
  explicit Lexer(const std::string& s) : s_(s) {}

  bool run(std::vector<Token>& out, std::string* error) {
    for (;;) {
      while (i_ < s_.size() && is_space(s_[i_])) ++i_;
      Token t;
      t.pos = i_;
      if (i_ >= s_.size()) {
        t.kind = Tok::End;
        out.push_back(std::move(t));
        return true;
      }
      if (!next(t, error)) return false;
      out.push_back(std::move(t));
    }
  }

 private:
  char at(size_t k) const { return k < s_.size() ? s_[k] : '\0'; }

  bool next(Token& t, std::string* error) {
    const char c = s_[i_];
    if (is_ident_start(c)) {
      size_t b = i_;
      while (i_ < s_.size() && is_ident_char(s_[i_])) ++i_;
      t.text = s_.substr(b, i_ - b);
      if (iequals(t.text, "AND")) t.kind = Tok::And;
      else if (iequals(t.text, "OR")) t.kind = Tok::Or;
      else if (iequals(t.text, "NOT")) t.kind = Tok::Not;
      else if (iequals(t.text, "BETWEEN")) t.kind = Tok::Between;
      else if (iequals(t.text, "LIKE")) t.kind = Tok::Like;
      else t.kind = Tok::Ident;
      return true;
    }
    if (is_digit(c) || c == '.' ||
        ((c == '-' || c == '+') && (is_digit(at(i_ + 1)) || (at(i_ + 1) == '.' && is_digit(at(i_ + 2)))))) {
      return number(t, error);
    }
    switch (c) {
      case '\'':
        return string_literal(t, error);
      case '%':
        return parameter(t, error);
      case '(':
        t.kind = Tok::LParen;
        ++i_;
        return true;
      case ')':
        t.kind = Tok::RParen;
        ++i_;
        return true;
      case '=':
        t.kind = Tok::Eq;
        ++i_;
        return true;
      case '<':
        ++i_;
        if (at(i_) == '>') {
          t.kind = Tok::Ne;
          ++i_;
        } else if (at(i_) == '=') {
          t.kind = Tok::Le;
          ++i_;
        } else {
          t.kind = Tok::Lt;
        }
        return true;
      case '>':
        ++i_;
        if (at(i_) == '=') {
          t.kind = Tok::Ge;
          ++i_;
        } else {
          t.kind = Tok::Gt;
        }
        return true;
      case '!':
        if (at(i_ + 1) == '=') {
          t.kind = Tok::Ne;
          i_ += 2;
          return true;
        }
        break;
      default:
        break;
    }
    set_error(error, i_, std::string("unexpected character '") + c + "'");
    return false;
  }

  bool number(Token& t, std::string* error) {
    const size_t start = i_;
    bool negative = false;
    if (s_[i_] == '-' || s_[i_] == '+') {
      negative = s_[i_] == '-';
      ++i_;
    }
    if (s_[i_] == '0' && (at(i_ + 1) == 'x' || at(i_ + 1) == 'X') && is_hex(at(i_ + 2))) {
      i_ += 2;
      size_t b = i_;
      while (i_ < s_.size() && is_hex(s_[i_])) ++i_;
      uint64_t mag = 0;
      auto r = std::from_chars(s_.data() + b, s_.data() + i_, mag, 16);
      if (r.ec != std::errc() || !end_of_number(start, error)) {
        if (r.ec != std::errc()) set_error(error, start, "integer literal out of range");
        return false;
      }
      const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
      if (mag > limit) {
        set_error(error, start, "integer literal out of range");
        return false;
      }
      int64_t v = negative ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
      t.kind = Tok::Integer;
      t.value = FilterValue::make_integer(v);
      return true;
    }
    const size_t digits_begin = i_;
    bool is_float = false;
    size_t mantissa_digits = 0;
    while (i_ < s_.size() && is_digit(s_[i_])) {
      ++i_;
      ++mantissa_digits;
    }
    if (at(i_) == '.') {
      is_float = true;
      ++i_;
      while (i_ < s_.size() && is_digit(s_[i_])) {
        ++i_;
        ++mantissa_digits;
      }
    }
    if (mantissa_digits == 0) {
      set_error(error, start, "malformed number");
      return false;
    }
    if (at(i_) == 'e' || at(i_) == 'E') {
      size_t k = i_ + 1;
      if (at(k) == '+' || at(k) == '-') ++k;
      if (!is_digit(at(k))) {
        set_error(error, start, "malformed exponent");
        return false;
      }
      while (is_digit(at(k))) ++k;
      i_ = k;
      is_float = true;
    }
    if (!end_of_number(start, error)) return false;
    // from_chars accepts a leading '-' but not '+'.
    const char* b = s_.data() + (negative ? digits_begin - 1 : digits_begin);
    const char* e = s_.data() + i_;
    if (is_float) {
      double v = 0;
      auto r = std::from_chars(b, e, v);
      if (r.ec != std::errc() || r.ptr != e || !std::isfinite(v)) {
        set_error(error, start, "float literal out of range");
        return false;
      }
      t.kind = Tok::Float;
      t.value = FilterValue::make_float(v);
    } else {
      int64_t v = 0;
      auto r = std::from_chars(b, e, v);
      if (r.ec != std::errc() || r.ptr != e) {
        set_error(error, start, "integer literal out of range");
        return false;
      }
      t.kind = Tok::Integer;
      t.value = FilterValue::make_integer(v);
    }
    return true;
  }

  // A number must not run straight into a name or another number.
  bool end_of_number(size_t start, std::string* error) {
    if (is_ident_char(at(i_)) || at(i_) == '.') {
      set_error(error, start, "malformed number");
      return false;
    }
    return true;
  }

  bool string_literal(Token& t, std::string* error) {
    const size_t start = i_;
    ++i_;
    std::string v;
    for (;;) {
      if (i_ >= s_.size()) {
        set_error(error, start, "unterminated string literal");
        return false;
      }
      if (s_[i_] == '\'') {
        if (at(i_ + 1) == '\'') {
          v.push_back('\'');
          i_ += 2;
          continue;
        }
        ++i_;
        break;
      }
      v.push_back(s_[i_++]);
    }
    t.kind = Tok::String;
    t.value = FilterValue::make_string(v);
    return true;
  }

  bool parameter(Token& t, std::string* error) {
    const size_t start = i_;
    ++i_;
    if (!is_digit(at(i_))) {
      set_error(error, start, "'%' must be followed by a parameter number (0 to 99)");
      return false;
    }
    int n = s_[i_++] - '0';
    if (is_digit(at(i_))) n = n * 10 + (s_[i_++] - '0');
    if (is_digit(at(i_))) {
      set_error(error, start, "parameter number beyond 99");
      return false;
    }
    t.kind = Tok::Param;
    t.param = n;
    return true;
  }

  const std::string& s_;
  size_t i_ = 0;
};

const char* token_name(Tok k) {
  switch (k) {
    case Tok::End: return "end of expression";
    case Tok::Ident: return "member name";
    case Tok::Integer: return "integer";
    case Tok::Float: return "float";
    case Tok::String: return "string";
    case Tok::Param: return "parameter";
    case Tok::Eq: return "'='";
    case Tok::Ne: return "'<>'";
    case Tok::Lt: return "'<'";
    case Tok::Le: return "'<='";
    case Tok::Gt: return "'>'";
    case Tok::Ge: return "'>='";
    case Tok::LParen: return "'('";
    case Tok::RParen: return "')'";
    case Tok::And: return "AND";
    case Tok::Or: return "OR";
    case Tok::Not: return "NOT";
    case Tok::Between: return "BETWEEN";
    case Tok::Like: return "LIKE";
  }
  return "token";
}

}  // namespace

// ---------------------------------------------------------------- syntax tree

struct Operand {
  enum class Kind { Member, Literal, Param };
  Kind kind = Kind::Literal;
  int index = 0;  // member or parameter index
  FilterValue literal;
};

struct FilterNode {
  enum class Kind { And, Or, Not, Compare, Between, Like };
  Kind kind = Kind::Compare;
  std::vector<std::unique_ptr<FilterNode>> children;  // And, Or (n-ary), Not (one)
  Tok op = Tok::Eq;                                    // Compare
  bool negated = false;                                // Between, Like
  Operand a, b, c;                                     // Compare: a op b; Between: a in [b, c]; Like: a LIKE b
};

namespace {

constexpr int kMaxNesting = 200;

class Parser {
 public:
  Parser(const std::vector<Token>& toks, const TypeDescription& type) : t_(toks), type_(type) {}

  std::unique_ptr<FilterNode> parse(std::string* error) {
    error_ = error;
    auto root = condition(0);
    if (!root) return nullptr;
    if (peek().kind != Tok::End) {
      fail(std::string("unexpected ") + token_name(peek().kind));
      return nullptr;
    }
    return root;
  }

  int max_param() const { return max_param_; }
  int max_member() const { return max_member_; }

 private:
  const Token& peek() const { return t_[k_]; }
  const Token& take() { return t_[k_ < t_.size() - 1 ? k_++ : k_]; }
  bool accept(Tok kind) {
    if (peek().kind != kind) return false;
    take();
    return true;
  }
  void fail(const std::string& what) {
    if (!failed_) set_error(error_, peek().pos, what);
    failed_ = true;
  }

  std::unique_ptr<FilterNode> condition(int depth) {
    auto first = and_expr(depth);
    if (!first) return nullptr;
    if (peek().kind != Tok::Or) return first;
    auto node = std::make_unique<FilterNode>();
    node->kind = FilterNode::Kind::Or;
    node->children.push_back(std::move(first));
    while (accept(Tok::Or)) {
      auto next = and_expr(depth);
      if (!next) return nullptr;
      node->children.push_back(std::move(next));
    }
    return node;
  }

  std::unique_ptr<FilterNode> and_expr(int depth) {
    auto first = not_expr(depth);
    if (!first) return nullptr;
    if (peek().kind != Tok::And) return first;
    auto node = std::make_unique<FilterNode>();
    node->kind = FilterNode::Kind::And;
    node->children.push_back(std::move(first));
    while (accept(Tok::And)) {
      auto next = not_expr(depth);
      if (!next) return nullptr;
      node->children.push_back(std::move(next));
    }
    return node;
  }

  std::unique_ptr<FilterNode> not_expr(int depth) {
    if (depth > kMaxNesting) {
      fail("expression nested too deeply");
      return nullptr;
    }
    if (accept(Tok::Not)) {
      auto inner = not_expr(depth + 1);
      if (!inner) return nullptr;
      auto node = std::make_unique<FilterNode>();
      node->kind = FilterNode::Kind::Not;
      node->children.push_back(std::move(inner));
      return node;
    }
    if (accept(Tok::LParen)) {
      auto inner = condition(depth + 1);
      if (!inner) return nullptr;
      if (!accept(Tok::RParen)) {
        fail(std::string("expected ')' but found ") + token_name(peek().kind));
        return nullptr;
      }
      return inner;
    }
    return predicate();
  }

  bool operand(Operand& out) {
    const Token& tok = peek();
    switch (tok.kind) {
      case Tok::Ident: {
        int idx = type_.member_index(tok.text);
        if (idx < 0) {
          fail("type " + type_.name + " has no member '" + tok.text + "'");
          return false;
        }
        out.kind = Operand::Kind::Member;
        out.index = idx;
        if (idx > max_member_) max_member_ = idx;
        break;
      }
      case Tok::Integer:
      case Tok::Float:
      case Tok::String:
        out.kind = Operand::Kind::Literal;
        out.literal = tok.value;
        break;
      case Tok::Param:
        out.kind = Operand::Kind::Param;
        out.index = tok.param;
        if (tok.param > max_param_) max_param_ = tok.param;
        break;
      default:
        fail(std::string("expected a member, a literal or a parameter but found ") + token_name(tok.kind));
        return false;
    }
    take();
    return true;
  }

  std::unique_ptr<FilterNode> predicate() {
    auto node = std::make_unique<FilterNode>();
    if (!operand(node->a)) return nullptr;
    bool negated = false;
    if (peek().kind == Tok::Not) {
      take();
      negated = true;
      if (peek().kind != Tok::Between && peek().kind != Tok::Like) {
        fail(std::string("expected BETWEEN or LIKE after NOT but found ") + token_name(peek().kind));
        return nullptr;
      }
    }
    const Tok op = peek().kind;
    switch (op) {
      case Tok::Between:
        take();
        node->kind = FilterNode::Kind::Between;
        node->negated = negated;
        if (!operand(node->b)) return nullptr;
        if (!accept(Tok::And)) {
          fail(std::string("expected AND in BETWEEN but found ") + token_name(peek().kind));
          return nullptr;
        }
        if (!operand(node->c)) return nullptr;
        return node;
      case Tok::Like:
        take();
        node->kind = FilterNode::Kind::Like;
        node->negated = negated;
        if (!operand(node->b)) return nullptr;
        return node;
      case Tok::Eq:
      case Tok::Ne:
      case Tok::Lt:
      case Tok::Le:
      case Tok::Gt:
      case Tok::Ge:
        take();
        node->kind = FilterNode::Kind::Compare;
        node->op = op;
        if (!operand(node->b)) return nullptr;
        return node;
      default:
        fail(std::string("expected a comparison, BETWEEN or LIKE but found ") + token_name(op));
        return nullptr;
    }
  }

  const std::vector<Token>& t_;
  const TypeDescription& type_;
  size_t k_ = 0;
  std::string* error_ = nullptr;
  bool failed_ = false;
  int max_param_ = -1;
  int max_member_ = -1;
};

// ---------------------------------------------------------------- decoding

class CdrCursor {
 public:
  CdrCursor(const uint8_t* p, size_t len, bool little_endian)
      : p_(p), len_(len), swap_(little_endian != (std::endian::native == std::endian::little)) {}

  template <typename T>
  bool read(T& out) {
    if (!align(sizeof(T)) || len_ - pos_ < sizeof(T)) return false;
    uint8_t b[sizeof(T)];
    std::memcpy(b, p_ + pos_, sizeof(T));
    if (swap_) {
      for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
    }
    std::memcpy(&out, b, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }

  bool read_string(std::string& out) {
    uint32_t n = 0;
    if (!read(n)) return false;
    if (n > len_ - pos_) return false;
    // The length counts the terminating NUL; a zero length is read as empty.
    size_t chars = n == 0 ? 0 : n - 1;
    if (n > 0 && p_[pos_ + chars] != 0) return false;
    out.assign(reinterpret_cast<const char*>(p_ + pos_), chars);
    pos_ += n;
    return true;
  }

 private:
  bool align(size_t n) {
    size_t aligned = (pos_ + n - 1) / n * n;
    if (aligned > len_) return false;
    pos_ = aligned;
    return true;
  }

  const uint8_t* p_;
  size_t len_;
  size_t pos_ = 0;
  bool swap_;
};

bool decode_member(CdrCursor& in, MemberKind kind, FilterValue& out) {
  switch (kind) {
    case MemberKind::Bool: {
      uint8_t v;
      if (!in.read(v)) return false;
      out = FilterValue::make_integer(v != 0 ? 1 : 0);
      return true;
    }
    case MemberKind::Char8: {
      char v;
      if (!in.read(v)) return false;
      out = FilterValue::make_string(std::string(1, v));
      return true;
    }
#define QV_INT_CASE(K, T)                                    \
  case MemberKind::K: {                                      \
    T v;                                                     \
    if (!in.read(v)) return false;                           \
    out = FilterValue::make_integer(static_cast<int64_t>(v)); \
    return true;                                             \
  }
      QV_INT_CASE(Int8, int8_t)
      QV_INT_CASE(UInt8, uint8_t)
      QV_INT_CASE(Int16, int16_t)
      QV_INT_CASE(UInt16, uint16_t)
      QV_INT_CASE(Int32, int32_t)
      QV_INT_CASE(UInt32, uint32_t)
      QV_INT_CASE(Int64, int64_t)
#undef QV_INT_CASE
    case MemberKind::UInt64: {
      uint64_t v;
      if (!in.read(v)) return false;
      if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        out = FilterValue::make_float(static_cast<double>(v));
      } else {
        out = FilterValue::make_integer(static_cast<int64_t>(v));
      }
      return true;
    }
    case MemberKind::Float32: {
      float v;
      if (!in.read(v)) return false;
      out = FilterValue::make_float(v);
      return true;
    }
    case MemberKind::Float64: {
      double v;
      if (!in.read(v)) return false;
      out = FilterValue::make_float(v);
      return true;
    }
    case MemberKind::String: {
      std::string s;
      if (!in.read_string(s)) return false;
      out = FilterValue::make_string(std::move(s));
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------- evaluation

bool numeric(const FilterValue& v) { return v.kind != FilterValue::Kind::String; }

// -1, 0 or 1 for ordered values; 2 when the kinds do not compare (or NaN).
int order(const FilterValue& x, const FilterValue& y) {
  if (x.kind == FilterValue::Kind::String && y.kind == FilterValue::Kind::String) {
    int c = x.text.compare(y.text);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (!numeric(x) || !numeric(y)) return 2;
  if (x.kind == FilterValue::Kind::Integer && y.kind == FilterValue::Kind::Integer) {
    return x.integer < y.integer ? -1 : (x.integer > y.integer ? 1 : 0);
  }
  double a = x.kind == FilterValue::Kind::Integer ? static_cast<double>(x.integer) : x.real;
  double b = y.kind == FilterValue::Kind::Integer ? static_cast<double>(y.integer) : y.real;
  if (a < b) return -1;
  if (a > b) return 1;
  if (a == b) return 0;
  return 2;
}

struct EvalContext {
  const std::vector<FilterValue>& members;
  const std::vector<FilterValue>& params;

  const FilterValue& value(const Operand& o) const {
    switch (o.kind) {
      case Operand::Kind::Member: return members[static_cast<size_t>(o.index)];
      case Operand::Kind::Param: return params[static_cast<size_t>(o.index)];
      case Operand::Kind::Literal: break;
    }
    return o.literal;
  }
};

bool eval(const FilterNode& n, const EvalContext& ctx) {
  switch (n.kind) {
    case FilterNode::Kind::And:
      for (const auto& c : n.children) {
        if (!eval(*c, ctx)) return false;
      }
      return true;
    case FilterNode::Kind::Or:
      for (const auto& c : n.children) {
        if (eval(*c, ctx)) return true;
      }
      return false;
    case FilterNode::Kind::Not:
      return !eval(*n.children.front(), ctx);
    case FilterNode::Kind::Compare: {
      int o = order(ctx.value(n.a), ctx.value(n.b));
      if (o == 2) return false;
      switch (n.op) {
        case Tok::Eq: return o == 0;
        case Tok::Ne: return o != 0;
        case Tok::Lt: return o < 0;
        case Tok::Le: return o <= 0;
        case Tok::Gt: return o > 0;
        case Tok::Ge: return o >= 0;
        default: return false;
      }
    }
    case FilterNode::Kind::Between: {
      const FilterValue& x = ctx.value(n.a);
      int lo = order(x, ctx.value(n.b));
      int hi = order(x, ctx.value(n.c));
      if (lo == 2 || hi == 2) return false;
      bool inside = lo >= 0 && hi <= 0;
      return inside != n.negated;
    }
    case FilterNode::Kind::Like: {
      const FilterValue& x = ctx.value(n.a);
      const FilterValue& p = ctx.value(n.b);
      if (x.kind != FilterValue::Kind::String || p.kind != FilterValue::Kind::String) return false;
      return like_match(x.text, p.text) != n.negated;
    }
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------- public

bool parse_literal(const std::string& text, FilterValue& out) {
  std::vector<Token> toks;
  Lexer lexer(text);
  if (!lexer.run(toks, nullptr)) return false;
  if (toks.size() != 2) return false;  // the literal and End
  const Token& t = toks[0];
  if (t.kind != Tok::Integer && t.kind != Tok::Float && t.kind != Tok::String) return false;
  out = t.value;
  return true;
}

bool like_match(const std::string& text, const std::string& pattern) {
  size_t t = 0, p = 0;
  size_t star = std::string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && (pattern[p] == '_' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

Filter::~Filter() = default;

std::unique_ptr<Filter> Filter::compile(const std::string& expr, const TypeDescription& type,
                                        std::string* error) {
  std::vector<Token> toks;
  Lexer lexer(expr);
  if (!lexer.run(toks, error)) return nullptr;
  Parser parser(toks, type);
  auto root = parser.parse(error);
  if (!root) return nullptr;
  std::unique_ptr<Filter> f(new Filter());
  f->expression_ = expr;
  f->type_ = &type;
  f->root_ = std::move(root);
  f->params_needed_ = static_cast<size_t>(parser.max_param() + 1);
  f->last_member_ = parser.max_member();
  return f;
}

bool Filter::bind_parameters(const std::vector<std::string>& params, std::vector<FilterValue>& values,
                             std::string* error) const {
  if (params.size() < params_needed_) {
    if (error) {
      *error = "the expression needs " + std::to_string(params_needed_) + " parameter(s), " +
               std::to_string(params.size()) + " given";
    }
    return false;
  }
  std::vector<FilterValue> out;
  out.reserve(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    FilterValue v;
    if (!parse_literal(params[i], v)) {
      if (error) *error = "parameter " + std::to_string(i) + " is not a literal: " + params[i];
      return false;
    }
    out.push_back(std::move(v));
  }
  values = std::move(out);
  return true;
}

bool Filter::evaluate(const uint8_t* cdr, size_t len, bool little_endian,
                      const std::vector<FilterValue>& values) const {
  if (values.size() < params_needed_) return false;
  std::vector<FilterValue> members;
  if (last_member_ >= 0) {
    if (cdr == nullptr) return false;
    members.resize(static_cast<size_t>(last_member_) + 1);
    CdrCursor in(cdr, len, little_endian);
    for (int i = 0; i <= last_member_; ++i) {
      if (!decode_member(in, type_->members[static_cast<size_t>(i)].kind, members[static_cast<size_t>(i)])) {
        return false;
      }
    }
  }
  return eval(*root_, EvalContext{members, values});
}

bool Filter::evaluate(const uint8_t* cdr, size_t len, bool little_endian,
                      const std::vector<std::string>& params) const {
  std::vector<FilterValue> values;
  if (!bind_parameters(params, values, nullptr)) return false;
  return evaluate(cdr, len, little_endian, values);
}

std::unique_ptr<ContentFilter> ContentFilter::create(const std::string& type_name, const std::string& expr,
                                                     const std::vector<std::string>& params,
                                                     std::string* error) {
  const TypeDescription* type = find_type_description(type_name);
  if (type == nullptr) {
    if (error) *error = "no member description for type " + type_name + "; it cannot be filtered";
    return nullptr;
  }
  return create(*type, expr, params, error);
}

std::unique_ptr<ContentFilter> ContentFilter::create(const TypeDescription& type, const std::string& expr,
                                                     const std::vector<std::string>& params,
                                                     std::string* error) {
  auto f = Filter::compile(expr, type, error);
  if (!f) return nullptr;
  auto bound = std::make_shared<Bound>();
  if (!f->bind_parameters(params, bound->values, error)) return nullptr;
  bound->texts = params;
  std::unique_ptr<ContentFilter> cf(new ContentFilter(std::move(f)));
  cf->bound_ = std::move(bound);
  return cf;
}

std::vector<std::string> ContentFilter::parameters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bound_->texts;
}

bool ContentFilter::set_parameters(const std::vector<std::string>& params, std::string* error) {
  auto bound = std::make_shared<Bound>();
  if (!filter_->bind_parameters(params, bound->values, error)) return false;
  bound->texts = params;
  std::lock_guard<std::mutex> lock(mutex_);
  bound_ = std::move(bound);
  return true;
}

bool ContentFilter::matches(const uint8_t* cdr, size_t len, bool little_endian) const {
  std::shared_ptr<const Bound> bound;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bound = bound_;
  }
  return filter_->evaluate(cdr, len, little_endian, bound->values);
}

}  // namespace QUORVELA::detail
