#pragma once

#include <memory>

#include "rclcpp/time.hpp"

namespace rclcpp {

/// Reads the time of one kind of clock. ROS time equals system time here (no simulated time).
class Clock {
 public:
  using SharedPtr = std::shared_ptr<Clock>;

  explicit Clock(rcl_clock_type_t clock_type = RCL_SYSTEM_TIME) : clock_type_(clock_type) {}

  Time now();
  rcl_clock_type_t get_clock_type() const noexcept { return clock_type_; }

 private:
  rcl_clock_type_t clock_type_;
};

}  // namespace rclcpp
