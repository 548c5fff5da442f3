#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "rclcpp/clock.hpp"

namespace rclcpp {

/// A periodic callback, run by the executor that spins its node. As in rcl, the schedule is
/// kept on the timer's clock: each call moves the deadline on by one period from the previous
/// deadline (not from the moment of the call), skipping the periods that were missed entirely.
/// cancel(), reset() and the queries may be called from any thread.
class TimerBase {
 public:
  using SharedPtr = std::shared_ptr<TimerBase>;
  using ConstSharedPtr = std::shared_ptr<const TimerBase>;
  using WeakPtr = std::weak_ptr<TimerBase>;

  TimerBase(const TimerBase&) = delete;
  TimerBase& operator=(const TimerBase&) = delete;
  virtual ~TimerBase();

  /// Stops the timer; reset() starts it again.
  void cancel();
  bool is_canceled();
  /// Starts a new period from now, also after cancel().
  void reset();

  /// Claims the due call, moving the deadline on; false when the timer is cancelled.
  virtual bool call() = 0;
  /// Runs the user's callback.
  virtual void execute_callback() = 0;

  /// Time until the next call (negative when overdue); nanoseconds::max() when cancelled.
  std::chrono::nanoseconds time_until_trigger();
  virtual bool is_steady() = 0;
  /// True when the next call is due and the timer is not cancelled.
  bool is_ready();

 protected:
  TimerBase(Clock::SharedPtr clock, std::chrono::nanoseconds period);

  /// What call() does: false when cancelled, else moves the deadline past now.
  bool advance_deadline();

  Clock::SharedPtr clock_;

 private:
  int64_t now_ns() const;

  const int64_t period_ns_;
  std::atomic<int64_t> next_call_ns_;
  std::atomic<bool> canceled_{false};
};

using VoidCallbackType = std::function<void()>;
using TimerCallbackType = std::function<void(TimerBase&)>;

/// A timer on any clock; its callback takes no argument or the timer itself.
template <typename FunctorT,
          typename std::enable_if<std::is_invocable_v<FunctorT&> ||
                                  std::is_invocable_v<FunctorT&, TimerBase&>>::type* = nullptr>
class GenericTimer : public TimerBase {
 public:
  using SharedPtr = std::shared_ptr<GenericTimer>;
  using ConstSharedPtr = std::shared_ptr<const GenericTimer>;
  using WeakPtr = std::weak_ptr<GenericTimer>;

  template <typename... Args>
  static SharedPtr make_shared(Args&&... args) {
    return std::make_shared<GenericTimer>(std::forward<Args>(args)...);
  }

  GenericTimer(Clock::SharedPtr clock, std::chrono::nanoseconds period, FunctorT&& callback)
      : TimerBase(std::move(clock), period), callback_(std::forward<FunctorT>(callback)) {}
  GenericTimer(const GenericTimer&) = delete;
  GenericTimer& operator=(const GenericTimer&) = delete;
  ~GenericTimer() override { cancel(); }

  bool call() override { return advance_deadline(); }

  void execute_callback() override {
    if constexpr (std::is_invocable_v<FunctorT&>) {
      callback_();
    } else {
      callback_(*this);
    }
  }

  bool is_steady() override { return clock_->get_clock_type() == RCL_STEADY_TIME; }

 protected:
  FunctorT callback_;
};

/// A timer on the steady clock, made by Node::create_wall_timer.
template <typename FunctorT,
          typename std::enable_if<std::is_invocable_v<FunctorT&> ||
                                  std::is_invocable_v<FunctorT&, TimerBase&>>::type* = nullptr>
class WallTimer : public GenericTimer<FunctorT> {
 public:
  using SharedPtr = std::shared_ptr<WallTimer>;
  using ConstSharedPtr = std::shared_ptr<const WallTimer>;
  using WeakPtr = std::weak_ptr<WallTimer>;

  template <typename... Args>
  static SharedPtr make_shared(Args&&... args) {
    return std::make_shared<WallTimer>(std::forward<Args>(args)...);
  }

  WallTimer(std::chrono::nanoseconds period, FunctorT&& callback)
      : GenericTimer<FunctorT>(std::make_shared<Clock>(RCL_STEADY_TIME), period,
                               std::move(callback)) {}
  WallTimer(const WallTimer&) = delete;
  WallTimer& operator=(const WallTimer&) = delete;
};

}  // namespace rclcpp
