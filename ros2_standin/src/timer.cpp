#include <chrono>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

#include <rclcpp/timer.hpp>

namespace rclcpp {
namespace {

// A deadline a period of years away stays at the end of time instead of wrapping into the past.
int64_t later_by(int64_t time, int64_t period) {
  return time > std::numeric_limits<int64_t>::max() - period ? std::numeric_limits<int64_t>::max()
                                                             : time + period;
}

}  // namespace

TimerBase::TimerBase(Clock::SharedPtr clock, std::chrono::nanoseconds period)
    : clock_(std::move(clock)), period_ns_(period.count()), next_call_ns_(0) {
  if (period_ns_ < 0) {
    throw std::invalid_argument("timer period cannot be negative");
  }
  next_call_ns_ = later_by(now_ns(), period_ns_);
}

TimerBase::~TimerBase() = default;

int64_t TimerBase::now_ns() const { return clock_->now().nanoseconds(); }

void TimerBase::cancel() { canceled_ = true; }

bool TimerBase::is_canceled() { return canceled_; }

void TimerBase::reset() {
  next_call_ns_ = later_by(now_ns(), period_ns_);
  canceled_ = false;
}

bool TimerBase::advance_deadline() {
  if (canceled_) {
    return false;
  }
  const int64_t now = now_ns();
  int64_t next_call = later_by(next_call_ns_, period_ns_);
  if (next_call < now) {
    if (period_ns_ == 0) {
      next_call = now;
    } else {
      // Whole periods missed are skipped rather than made up for in a burst of calls.
      const int64_t periods_behind = 1 + (now - next_call - 1) / period_ns_;
      next_call += periods_behind * period_ns_;
    }
  }
  next_call_ns_ = next_call;
  return true;
}

std::chrono::nanoseconds TimerBase::time_until_trigger() {
  if (canceled_) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::nanoseconds(next_call_ns_ - now_ns());
}

bool TimerBase::is_ready() { return !canceled_ && next_call_ns_ <= now_ns(); }

}  // namespace rclcpp
