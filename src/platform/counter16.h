// The 16-bit counters of the classic routines (the rows of a catalogue, the forms of a type): a
// counter that would step past 32767 is the overflow error.
#pragma once

#include <cstdint>
#include <limits>

#include "platform/error.h"

namespace llupdate::platform {

class Counter16 {
 public:
  static constexpr int64_t kLast = std::numeric_limits<int16_t>::max();

  int16_t value() const { return value_; }
  void Next() {
    Step(value_);
    ++value_;
  }
  // The overflow error when a counter that stands at value steps on.
  static void Step(int64_t value) {
    if (value >= kLast) throw Error(kOverflow);
  }
  // The overflow error when a counter from 0 cannot reach last.
  static void Reach(int64_t last) {
    if (last > kLast) throw Error(kOverflow);
  }

 private:
  int16_t value_ = 0;
};

}  // namespace llupdate::platform
