// The automation variant as far as the component uses it: empty, Boolean, 32-bit integer,
// double or string (UTF-8).
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace llupdate {

class Variant {
 public:
  Variant() = default;
  Variant(bool value) : value_(value) {}  // NOLINT: implicit like the automation type
  Variant(int32_t value) : value_(value) {}
  Variant(double value) : value_(value) {}
  Variant(std::string value) : value_(std::move(value)) {}
  Variant(const char* value) : value_(std::string(value)) {}

  enum class Kind { kEmpty, kBool, kInt32, kDouble, kString };
  Kind kind() const { return static_cast<Kind>(value_.index()); }
  // The value of a Variant of that kind.
  bool AsBool() const { return std::get<bool>(value_); }
  int32_t AsInt32() const { return std::get<int32_t>(value_); }
  double AsDouble() const { return std::get<double>(value_); }
  const std::string& AsString() const { return std::get<std::string>(value_); }

  bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }
  bool IsString() const { return std::holds_alternative<std::string>(value_); }
  bool IsBool() const { return std::holds_alternative<bool>(value_); }

  // The value as text, as the automation conversion writes it: empty → "", True → "True",
  // numbers in decimal.
  std::string ToString() const;

  // Same kind and same value; strings compare byte for byte.
  friend bool operator==(const Variant& a, const Variant& b) { return a.value_ == b.value_; }

 private:
  std::variant<std::monostate, bool, int32_t, double, std::string> value_;
};

}  // namespace llupdate
