#include "llupdate/variant.h"

#include <cstdio>

namespace llupdate {

std::string Variant::ToString() const {
  struct Visitor {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(int32_t i) const { return std::to_string(i); }
    std::string operator()(double d) const {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.15G", d);
      return buffer;
    }
    std::string operator()(const std::string& s) const { return s; }
  };
  return std::visit(Visitor{}, value_);
}

}  // namespace llupdate
