// The base of every component object that the object factory creates by ProgID, and the error
// that leaves the component when the host's message component fails.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace llupdate {

// Every object that can be created by ProgID derives from Object; callers cast to the interface
// they need. Objects are held by std::shared_ptr, one reference per holder.
class Object {
 public:
  virtual ~Object() = default;
};

// Thrown out of a public operation only when the message component itself fails (it cannot be
// created, or showing a message fails). Every other error is reported through that component
// and turned into the operation's failure result.
class HostFailure : public std::runtime_error {
 public:
  HostFailure(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int32_t number() const { return number_; }

 private:
  int32_t number_;
};

}  // namespace llupdate
