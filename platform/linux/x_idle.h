// The moment of the user's last input, from an X server's idle readings.
//
// The X server tells how long the user has been idle, not when the input
// happened. The moment is the local clock minus the idle time, but the server
// took its own reading somewhere between our request and its reply, so one
// reading only brackets the moment: [before - idle, after - idle], widened by
// the server's millisecond rounding. Readings whose brackets meet stand for
// the same input, and the moment first reported for it stays; a bracket wholly
// later than the last one is new input. Without this, the round trip's wobble
// would make an idle user look active again now and then.
//
// Header only: the platform's "user32.dll" and the hook library both use it.
#pragma once

#include <cstdint>

namespace xidle {

class LastInputMoment {
 public:
  // before and after: the local clock in milliseconds around the request;
  // idle: the server's answer in milliseconds. Returns true when the reading
  // shows input later than the moment known so far (or the first reading).
  bool Observe(std::uint64_t before, std::uint64_t after, std::uint64_t idle) {
    if (after < before) after = before;
    const std::uint64_t moment = before > idle ? before - idle : 0;
    const std::uint64_t lo = moment > kSlack ? moment - kSlack : 0;
    const std::uint64_t hi = (after > idle ? after - idle : 0) + kSlack;
    if (known_ && lo <= hi_) {
      // The same input (or, with a clock that went back, nothing newer):
      // narrow the bracket, keep the moment.
      if (hi >= lo_) {
        if (lo > lo_) lo_ = lo;
        if (hi < hi_) hi_ = hi;
      }
      return false;
    }
    known_ = true;
    moment_ = moment;
    lo_ = lo;
    hi_ = hi;
    return true;
  }

  bool Known() const { return known_; }
  // The moment of the last input on the local clock, in milliseconds.
  std::uint64_t Moment() const { return moment_; }

 private:
  static constexpr std::uint64_t kSlack = 2;
  bool known_ = false;
  std::uint64_t moment_ = 0;
  std::uint64_t lo_ = 0;
  std::uint64_t hi_ = 0;
};

}  // namespace xidle
