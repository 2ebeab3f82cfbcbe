#include "filter/type_description.h"

#include <array>

namespace QUORVELA::detail {

int TypeDescription::member_index(const std::string& member_name) const {
  for (size_t i = 0; i < members.size(); ++i) {
    if (members[i].name == member_name) return static_cast<int>(i);
  }
  return -1;
}

namespace {

// The table of known layouts. Adding a type that the library should be able
// to filter means adding one entry here.
const std::array<TypeDescription, 2>& known_types() {
  static const std::array<TypeDescription, 2> table = {{
      {"KeyedType",
       {{"lVal", MemberKind::Int32, true},
        {"sVal", MemberKind::Int16, false},
        {"sbVal", MemberKind::String, false}}},
      {"FlatRecord",
       {{"lVal", MemberKind::Int32, false},
        {"sVal", MemberKind::Int16, false},
        {"sbVal", MemberKind::String, false}}},
  }};
  return table;
}

}  // namespace

const TypeDescription* find_type_description(const std::string& type_name) {
  for (const TypeDescription& t : known_types()) {
    if (t.name == type_name) return &t;
  }
  return nullptr;
}

}  // namespace QUORVELA::detail
