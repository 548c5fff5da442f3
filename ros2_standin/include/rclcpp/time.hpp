#pragma once

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include <builtin_interfaces/msg/time.hpp>

/// Kinds of clocks, as rcl names them.
enum rcl_clock_type_t {
  RCL_CLOCK_UNINITIALIZED = 0,
  RCL_ROS_TIME,
  RCL_SYSTEM_TIME,
  RCL_STEADY_TIME,
};

namespace rclcpp {

/// A point in time of a given clock, in nanoseconds.
class Time {
 public:
  Time(int64_t nanoseconds = 0, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME)
      : nanoseconds_(nanoseconds), clock_type_(clock_type) {}
  /// Throws std::runtime_error for negative seconds, as rclcpp does.
  Time(int32_t seconds, uint32_t nanoseconds, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME)
      : Time(checked_nanoseconds(seconds, nanoseconds), clock_type) {}
  Time(const builtin_interfaces::msg::Time& time_msg,  // NOLINT: implicit as in rclcpp
       rcl_clock_type_t clock_type = RCL_ROS_TIME)
      : Time(time_msg.sec, time_msg.nanosec, clock_type) {}

  int64_t nanoseconds() const { return nanoseconds_; }
  double seconds() const { return static_cast<double>(nanoseconds_) * 1e-9; }
  rcl_clock_type_t get_clock_type() const { return clock_type_; }

  operator builtin_interfaces::msg::Time() const {  // NOLINT: implicit as in rclcpp
    constexpr int64_t kNanosecondsPerSecond = 1000000000;
    const auto split = std::lldiv(nanoseconds_, kNanosecondsPerSecond);
    builtin_interfaces::msg::Time stamp;
    if (split.rem >= 0) {
      stamp.sec = static_cast<int32_t>(split.quot);
      stamp.nanosec = static_cast<uint32_t>(split.rem);
    } else {
      stamp.sec = static_cast<int32_t>(split.quot - 1);
      stamp.nanosec = static_cast<uint32_t>(kNanosecondsPerSecond + split.rem);
    }
    return stamp;
  }

 private:
  static int64_t checked_nanoseconds(int32_t seconds, uint32_t nanoseconds) {
    if (seconds < 0) {
      throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
    }
    return static_cast<int64_t>(seconds) * 1000000000 + nanoseconds;
  }

  int64_t nanoseconds_;
  rcl_clock_type_t clock_type_;
};

}  // namespace rclcpp
