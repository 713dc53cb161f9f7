// A point in time to wait until, or none. Every wait in host/ takes its
// timeout from one of these, so "how long is left" has one home.
#ifndef TETHER_HOST_DEADLINE_H_
#define TETHER_HOST_DEADLINE_H_

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace tether_host {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // `ms` from now; a negative `ms` means no limit.
  static Deadline in(int ms) {
    return ms < 0 ? never() : Deadline(Clock::now() + std::chrono::milliseconds(ms), true);
  }
  static Deadline at(Clock::time_point t) { return Deadline(t, true); }
  static Deadline never() { return Deadline(Clock::time_point(), false); }

  // Milliseconds left, 0 once passed, -1 (for poll) without a limit.
  int msLeft() const {
    if (!mLimited) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mAt - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX));
  }
  bool passed() const { return msLeft() == 0; }
  // The earlier of the two.
  Deadline earliest(const Deadline& other) const {
    if (!other.mLimited) return *this;
    if (!mLimited) return other;
    return mAt <= other.mAt ? *this : other;
  }

 private:
  Deadline(Clock::time_point at, bool limited) : mAt(at), mLimited(limited) {}
  Clock::time_point mAt;
  bool mLimited;
};

}  // namespace tether_host

#endif  // TETHER_HOST_DEADLINE_H_
