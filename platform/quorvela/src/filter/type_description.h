// Member layouts of the types the library can filter.
//
// Type supports carry no type object, so content filters and query
// conditions need their own knowledge of a sample's members. A type
// description lists the members of one type, in declaration order, with the
// kind that tells the filter evaluator how each member is encoded in the
// plain CDR stream that the type support's serialize_data produced.
//
// Descriptions are looked up by the name a type was registered under on a
// participant (the first argument of registe_type). A type registered under
// a name without a description cannot be filtered: creating a content-filtered
// topic or a query condition over it is refused.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace QUORVELA::detail {

enum class MemberKind {
  Bool,     // one octet, 0 or 1; compared as an integer
  Char8,    // one octet; compared as a one-character string
  Int8,
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Float32,
  Float64,
  String,   // uint32 length (with the terminating NUL), the bytes, the NUL
};

struct MemberDescription {
  std::string name;  // matched exactly (case-sensitive) by filter expressions
  MemberKind kind;
  bool is_key;
};

struct TypeDescription {
  std::string name;
  std::vector<MemberDescription> members;  // in declaration/encoding order

  // Index of the member with this exact name, or -1.
  int member_index(const std::string& member_name) const;
};

// The description of the type registered under type_name, or null when the
// library knows no layout for that name. The returned object lives for the
// whole process.
const TypeDescription* find_type_description(const std::string& type_name);

}  // namespace QUORVELA::detail
