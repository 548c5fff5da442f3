// rclcpp::Time and rclcpp::Clock of the ROS 2 stand-in, as stamps of messages.

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include <builtin_interfaces/msg/time.hpp>
#include <rclcpp/clock.hpp>
#include <rclcpp/time.hpp>

namespace {

builtin_interfaces::msg::Time Stamp(const rclcpp::Time& time) { return time; }

TEST(StandinTimeTest, ConvertsToMessageStampsSplittingSecondsAndNanoseconds) {
  EXPECT_EQ(Stamp(rclcpp::Time(1700000000123456789LL)).sec, 1700000000);
  EXPECT_EQ(Stamp(rclcpp::Time(1700000000123456789LL)).nanosec, 123456789U);
  // Before the epoch the nanoseconds stay positive, as in rclcpp.
  EXPECT_EQ(Stamp(rclcpp::Time(-1)).sec, -1);
  EXPECT_EQ(Stamp(rclcpp::Time(-1)).nanosec, 999999999U);

  builtin_interfaces::msg::Time stamp;
  stamp.sec = 12;
  stamp.nanosec = 34;
  EXPECT_EQ(rclcpp::Time(stamp).nanoseconds(), 12000000034LL);
  EXPECT_THROW(rclcpp::Time(-1, 0U), std::runtime_error);
}

TEST(StandinTimeTest, SystemClockReadsTheWallClock) {
  rclcpp::Clock clock(RCL_SYSTEM_TIME);
  const auto before = std::chrono::system_clock::now();
  const rclcpp::Time now = clock.now();
  const auto after = std::chrono::system_clock::now();
  const auto to_ns = [](auto point) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(point.time_since_epoch()).count();
  };
  EXPECT_GE(now.nanoseconds(), to_ns(before));
  EXPECT_LE(now.nanoseconds(), to_ns(after));
  EXPECT_EQ(now.get_clock_type(), RCL_SYSTEM_TIME);
}

}  // namespace
