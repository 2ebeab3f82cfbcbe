// libFuzzer target for the filter language (not part of the library; the
// .cc suffix keeps it out of the library's sources).
//
// Input: an expression, optionally followed by a NUL byte and parameters
// separated by '\n'. Every input must be handled without a crash, a leak or
// undefined behaviour, and a compiled filter must keep these properties:
//   - the parameter count it needs is at most 100 (%0..%99);
//   - "NOT (expr)" compiles too and evaluates to the opposite on any sample
//     that can be decoded, while an undecodable sample passes neither;
//   - evaluation is deterministic.
//
// Build: clang++ -std=c++20 -fsanitize=fuzzer,address,undefined
//        -I<library>/src -I<library>/include filter_fuzz.cc filter.cpp type_description.cpp
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "filter/type_description.h"

namespace {

std::vector<uint8_t> sample(int32_t l, int16_t s, const std::string& sb) {
  std::vector<uint8_t> out;
  auto put = [&](uint64_t v, size_t n) {
    while (out.size() % n != 0) out.push_back(0);
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(static_cast<uint32_t>(l), 4);
  put(static_cast<uint16_t>(s), 2);
  put(static_cast<uint32_t>(sb.size() + 1), 4);
  out.insert(out.end(), sb.begin(), sb.end());
  out.push_back(0);
  return out;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace QUORVELA::detail;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string expr = input.substr(0, nul);
  std::vector<std::string> params;
  if (nul != std::string::npos) {
    std::string rest = input.substr(nul + 1);
    size_t b = 0;
    for (;;) {
      size_t e = rest.find('\n', b);
      params.push_back(rest.substr(b, e == std::string::npos ? std::string::npos : e - b));
      if (e == std::string::npos) break;
      b = e + 1;
    }
  }

  const TypeDescription* type = find_type_description("KeyedType");
  std::string error;
  auto f = Filter::compile(expr, *type, &error);
  if (!f) {
    check(!error.empty());
    return 0;
  }
  check(f->parameter_count_needed() <= 100);
  auto negated = Filter::compile("NOT (" + expr + ")", *type, nullptr);

  std::vector<FilterValue> values;
  if (!f->bind_parameters(params, values, &error)) {
    check(params.size() < f->parameter_count_needed() || !error.empty());
    // Bind enough integer parameters to evaluate anyway.
    params.assign(f->parameter_count_needed(), "1");
    check(f->bind_parameters(params, values, nullptr));
  }

  std::vector<std::vector<uint8_t>> samples = {
      sample(0, 0, ""), sample(15, -3, "test2"), sample(-7, 20, "prefix_abc"), sample(100, 1, "%_'"),
      std::vector<uint8_t>(data, data + size),  // raw bytes, mostly undecodable
  };
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto& s = samples[i];
    const bool decodable = i + 1 < samples.size();  // the fixed samples, little endian
    for (bool le : {true, false}) {
      bool r = f->evaluate(s.data(), s.size(), le, values);
      check(r == f->evaluate(s.data(), s.size(), le, values));
      if (negated) {
        bool n = negated->evaluate(s.data(), s.size(), le, values);
        // Both false only when the sample cannot be decoded.
        check(decodable && le ? r != n : !(r && n));
      }
    }
  }
  return 0;
}
