// Types of the rclcpp, ament_index_cpp and message API this project uses, as real ROS 2 humble
// gives them, where the stand-in could differ unnoticed: the other test programs, built in both
// builds, show that each call compiles, not that it compiles to the same types.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <ament_index_cpp/get_package_prefix.hpp>
#include <builtin_interfaces/msg/time.hpp>
#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>
#include <std_msgs/msg/header.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace {

using diagnostic_msgs::msg::DiagnosticStatus;
using std::declval;
using std::is_base_of_v;
using std::is_same_v;
using Event = valtrix_protocol::msg::DiagnosticEvent;

static_assert(is_same_v<decltype(declval<const rclcpp::Node&>().get_name()), const char*>);
static_assert(is_same_v<decltype(declval<const rclcpp::PublisherBase&>().get_subscription_count()),
                        size_t>);
static_assert(is_same_v<decltype(declval<rclcpp::Node&>().create_publisher<Event>("t", 1)),
                        std::shared_ptr<rclcpp::Publisher<Event>>>);

// rclcpp::Clock::now() is not const.
template <typename C, typename = void>
struct NowOnConst : std::false_type {};
template <typename C>
struct NowOnConst<C, std::void_t<decltype(declval<const C&>().now())>> : std::true_type {};
static_assert(!NowOnConst<rclcpp::Clock>::value);
static_assert(is_same_v<decltype(declval<const rclcpp::Time&>().nanoseconds()), int64_t>);

// The policies carry rmw's values.
static_assert(static_cast<int>(rclcpp::HistoryPolicy::KeepLast) == 1 &&
              static_cast<int>(rclcpp::HistoryPolicy::KeepAll) == 2);
static_assert(static_cast<int>(rclcpp::ReliabilityPolicy::Reliable) == 1 &&
              static_cast<int>(rclcpp::ReliabilityPolicy::BestEffort) == 2);
static_assert(static_cast<int>(rclcpp::DurabilityPolicy::TransientLocal) == 1 &&
              static_cast<int>(rclcpp::DurabilityPolicy::Volatile) == 2);

// Which errors are which: code that catches one must catch the same in both builds.
namespace ex = rclcpp::exceptions;
static_assert(is_base_of_v<std::invalid_argument, ex::InvalidTopicNameError>);
static_assert(is_base_of_v<std::runtime_error, ex::RCLError>);
static_assert(is_base_of_v<ex::RCLErrorBase, ex::RCLInvalidArgument> &&
              is_base_of_v<std::invalid_argument, ex::RCLInvalidArgument>);
static_assert(is_base_of_v<ex::RCLErrorBase, ex::RCLInvalidROSArgsError> &&
              !is_base_of_v<ex::RCLError, ex::RCLInvalidROSArgsError>);
static_assert(is_base_of_v<std::runtime_error, ex::UnknownROSArgsError>);
static_assert(is_base_of_v<std::out_of_range, ament_index_cpp::PackageNotFoundError>);

// Generated messages have explicit constructors (no aggregate initialisation) and these fields.
template <typename... Messages>
constexpr bool kNoneIsAnAggregate = (!std::is_aggregate_v<Messages> && ...);
static_assert(kNoneIsAnAggregate<Event, builtin_interfaces::msg::Time, std_msgs::msg::Header,
                                 diagnostic_msgs::msg::KeyValue, DiagnosticStatus,
                                 diagnostic_msgs::msg::DiagnosticArray>);
static_assert(is_same_v<decltype(Event::stamp), builtin_interfaces::msg::Time> &&
              is_same_v<decltype(Event::event_code), int32_t> &&
              is_same_v<decltype(Event::outcome), int32_t> &&
              is_same_v<decltype(Event::detail), std::string>);
static_assert(is_same_v<decltype(builtin_interfaces::msg::Time::sec), int32_t> &&
              is_same_v<decltype(builtin_interfaces::msg::Time::nanosec), uint32_t>);
static_assert(is_same_v<decltype(DiagnosticStatus::level), uint8_t> &&
              is_same_v<decltype(DiagnosticStatus::values),
                        std::vector<diagnostic_msgs::msg::KeyValue>> &&
              DiagnosticStatus::STALE == 3);
static_assert(is_same_v<typename Event::SharedPtr, std::shared_ptr<Event>>);

TEST(RclcppApiTest, MessagesStartZeroedAndCompareFieldByField) {
  Event event;
  EXPECT_EQ(event.stamp.sec, 0);
  EXPECT_EQ(event.event_code, 0);
  Event other;
  other.detail = "Succeed";
  EXPECT_NE(event, other);
  event.detail = "Succeed";
  EXPECT_EQ(event, other);
}

}  // namespace
