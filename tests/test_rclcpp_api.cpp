// The rclcpp, ament_index_cpp and message API that this project uses, with the types real ROS 2
// humble gives it. Compiled in both builds: what compiles against the stand-in compiles against
// rclcpp with the same types, so code written here against the stand-in ports unchanged.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <ament_index_cpp/get_package_prefix.hpp>
#include <ament_index_cpp/get_package_share_directory.hpp>
#include <builtin_interfaces/msg/time.hpp>
#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/expand_topic_or_service_name.hpp>
#include <rclcpp/rclcpp.hpp>
#include <std_msgs/msg/header.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace {

using std::declval;
using std::is_same_v;
using Event = valtrix_protocol::msg::DiagnosticEvent;

// Node
static_assert(std::is_constructible_v<rclcpp::Node, const std::string&>);
static_assert(std::is_constructible_v<rclcpp::Node, const std::string&, const std::string&>);
static_assert(std::is_constructible_v<rclcpp::Node, const std::string&, const std::string&,
                                      const rclcpp::NodeOptions&>);
static_assert(!std::is_copy_constructible_v<rclcpp::Node>);
static_assert(is_same_v<rclcpp::Node::SharedPtr, std::shared_ptr<rclcpp::Node>>);
static_assert(is_same_v<decltype(declval<const rclcpp::Node&>().get_name()), const char*>);
static_assert(is_same_v<decltype(declval<const rclcpp::Node&>().get_namespace()), const char*>);
static_assert(
    is_same_v<decltype(declval<const rclcpp::Node&>().get_fully_qualified_name()), const char*>);
static_assert(is_same_v<decltype(declval<rclcpp::Node&>().get_clock()), rclcpp::Clock::SharedPtr>);
static_assert(is_same_v<decltype(declval<const rclcpp::Node&>().now()), rclcpp::Time>);
static_assert(is_same_v<decltype(declval<rclcpp::Node&>().create_publisher<Event>("t", 1)),
                        std::shared_ptr<rclcpp::Publisher<Event>>>);
const auto kOnEvent = [](const Event&) {};
static_assert(is_same_v<decltype(declval<rclcpp::Node&>().create_subscription<Event>(
                            "t", rclcpp::QoS(1), kOnEvent)),
                        std::shared_ptr<rclcpp::Subscription<Event>>>);
const auto kOnTimer = [] {};
static_assert(is_same_v<decltype(declval<rclcpp::Node&>().create_wall_timer(
                            std::chrono::milliseconds(1), kOnTimer)),
                        rclcpp::WallTimer<std::remove_const_t<decltype(kOnTimer)>>::SharedPtr>);
static_assert(std::is_base_of_v<rclcpp::TimerBase,
                                rclcpp::WallTimer<std::remove_const_t<decltype(kOnTimer)>>>);

// NodeOptions
static_assert(is_same_v<decltype(declval<const rclcpp::NodeOptions&>().arguments()),
                        const std::vector<std::string>&>);
static_assert(is_same_v<decltype(declval<rclcpp::NodeOptions&>().arguments({})),
                        rclcpp::NodeOptions&>);
static_assert(is_same_v<decltype(declval<rclcpp::NodeOptions&>().use_global_arguments(false)),
                        rclcpp::NodeOptions&>);
static_assert(is_same_v<decltype(declval<const rclcpp::NodeOptions&>().use_global_arguments()),
                        bool>);

// Publishers and subscriptions
static_assert(std::is_base_of_v<rclcpp::PublisherBase, rclcpp::Publisher<Event>>);
static_assert(is_same_v<decltype(declval<rclcpp::Publisher<Event>&>().publish(declval<Event&>())),
                        void>);
static_assert(is_same_v<decltype(declval<const rclcpp::PublisherBase&>().get_topic_name()),
                        const char*>);
static_assert(is_same_v<decltype(declval<const rclcpp::PublisherBase&>().get_subscription_count()),
                        size_t>);
static_assert(std::is_base_of_v<rclcpp::SubscriptionBase, rclcpp::Subscription<Event>>);
static_assert(is_same_v<decltype(declval<const rclcpp::SubscriptionBase&>().get_topic_name()),
                        const char*>);
static_assert(is_same_v<decltype(declval<const rclcpp::SubscriptionBase&>().get_publisher_count()),
                        size_t>);

// QoS, its policies with rmw's values
static_assert(std::is_convertible_v<size_t, rclcpp::QoS>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().keep_last(1)), rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().keep_all()), rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().reliable()), rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().best_effort()), rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().durability_volatile()), rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().transient_local()), rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().reliability(
                            rclcpp::ReliabilityPolicy::Reliable)),
                        rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<rclcpp::QoS&>().durability(
                            rclcpp::DurabilityPolicy::Volatile)),
                        rclcpp::QoS&>);
static_assert(is_same_v<decltype(declval<const rclcpp::QoS&>().history()), rclcpp::HistoryPolicy>);
static_assert(is_same_v<decltype(declval<const rclcpp::QoS&>().depth()), size_t>);
static_assert(is_same_v<decltype(declval<const rclcpp::QoS&>().reliability()),
                        rclcpp::ReliabilityPolicy>);
static_assert(is_same_v<decltype(declval<const rclcpp::QoS&>().durability()),
                        rclcpp::DurabilityPolicy>);
static_assert(static_cast<int>(rclcpp::HistoryPolicy::SystemDefault) == 0 &&
              static_cast<int>(rclcpp::HistoryPolicy::KeepLast) == 1 &&
              static_cast<int>(rclcpp::HistoryPolicy::KeepAll) == 2 &&
              static_cast<int>(rclcpp::HistoryPolicy::Unknown) == 3);
static_assert(static_cast<int>(rclcpp::ReliabilityPolicy::SystemDefault) == 0 &&
              static_cast<int>(rclcpp::ReliabilityPolicy::Reliable) == 1 &&
              static_cast<int>(rclcpp::ReliabilityPolicy::BestEffort) == 2 &&
              static_cast<int>(rclcpp::ReliabilityPolicy::Unknown) == 3);
static_assert(static_cast<int>(rclcpp::DurabilityPolicy::SystemDefault) == 0 &&
              static_cast<int>(rclcpp::DurabilityPolicy::TransientLocal) == 1 &&
              static_cast<int>(rclcpp::DurabilityPolicy::Volatile) == 2 &&
              static_cast<int>(rclcpp::DurabilityPolicy::Unknown) == 3);

// Time and clocks
static_assert(RCL_CLOCK_UNINITIALIZED == 0 && RCL_ROS_TIME == 1 && RCL_SYSTEM_TIME == 2 &&
              RCL_STEADY_TIME == 3);
static_assert(std::is_constructible_v<rclcpp::Time, int64_t, rcl_clock_type_t>);
static_assert(std::is_constructible_v<rclcpp::Time, int32_t, uint32_t, rcl_clock_type_t>);
static_assert(std::is_convertible_v<builtin_interfaces::msg::Time, rclcpp::Time>);
static_assert(std::is_convertible_v<rclcpp::Time, builtin_interfaces::msg::Time>);
static_assert(is_same_v<decltype(declval<const rclcpp::Time&>().nanoseconds()), int64_t>);
static_assert(is_same_v<decltype(declval<const rclcpp::Time&>().seconds()), double>);
static_assert(is_same_v<decltype(declval<const rclcpp::Time&>().get_clock_type()),
                        rcl_clock_type_t>);
template <typename C, typename = void>
struct NowOnConst : std::false_type {};
template <typename C>
struct NowOnConst<C, std::void_t<decltype(declval<const C&>().now())>> : std::true_type {};
static_assert(is_same_v<decltype(declval<rclcpp::Clock&>().now()), rclcpp::Time>);
static_assert(!NowOnConst<rclcpp::Clock>::value, "rclcpp::Clock::now() is not const");
static_assert(is_same_v<decltype(declval<const rclcpp::Clock&>().get_clock_type()),
                        rcl_clock_type_t>);

// Timers
static_assert(is_same_v<decltype(declval<rclcpp::TimerBase&>().cancel()), void>);
static_assert(is_same_v<decltype(declval<rclcpp::TimerBase&>().is_canceled()), bool>);
static_assert(is_same_v<decltype(declval<rclcpp::TimerBase&>().reset()), void>);
static_assert(is_same_v<decltype(declval<rclcpp::TimerBase&>().is_ready()), bool>);
static_assert(is_same_v<decltype(declval<rclcpp::TimerBase&>().is_steady()), bool>);
static_assert(is_same_v<decltype(declval<rclcpp::TimerBase&>().time_until_trigger()),
                        std::chrono::nanoseconds>);

// Running callbacks
using Executor = rclcpp::executors::SingleThreadedExecutor;
static_assert(std::is_default_constructible_v<Executor>);
static_assert(is_same_v<decltype(declval<Executor&>().add_node(rclcpp::Node::SharedPtr())), void>);
static_assert(
    is_same_v<decltype(declval<Executor&>().remove_node(rclcpp::Node::SharedPtr())), void>);
static_assert(is_same_v<decltype(declval<Executor&>().spin_some()), void>);
static_assert(is_same_v<decltype(declval<Executor&>().spin_once()), void>);
static_assert(is_same_v<decltype(declval<Executor&>().spin_once(std::chrono::nanoseconds(1))),
                        void>);
static_assert(is_same_v<decltype(declval<Executor&>().spin()), void>);
static_assert(is_same_v<decltype(declval<Executor&>().cancel()), void>);
static_assert(is_same_v<decltype(rclcpp::init(0, nullptr)), void>);
static_assert(is_same_v<decltype(rclcpp::ok()), bool>);
static_assert(is_same_v<decltype(rclcpp::shutdown()), bool>);
static_assert(is_same_v<decltype(rclcpp::spin_some(rclcpp::Node::SharedPtr())), void>);
static_assert(is_same_v<decltype(rclcpp::spin(rclcpp::Node::SharedPtr())), void>);
static_assert(is_same_v<decltype(rclcpp::expand_topic_or_service_name("a", "n", "/", false)),
                        std::string>);

// Errors
namespace ex = rclcpp::exceptions;
static_assert(std::is_base_of_v<std::invalid_argument, ex::NameValidationError>);
static_assert(std::is_base_of_v<ex::NameValidationError, ex::InvalidNodeNameError>);
static_assert(std::is_base_of_v<ex::NameValidationError, ex::InvalidNamespaceError>);
static_assert(std::is_base_of_v<ex::NameValidationError, ex::InvalidTopicNameError>);
static_assert(std::is_base_of_v<ex::NameValidationError, ex::InvalidServiceNameError>);
static_assert(is_same_v<decltype(declval<ex::NameValidationError&>().invalid_index),
                        const size_t>);
static_assert(is_same_v<decltype(declval<ex::NameValidationError&>().name), const std::string>);
static_assert(std::is_base_of_v<ex::RCLErrorBase, ex::RCLError>);
static_assert(std::is_base_of_v<std::runtime_error, ex::RCLError>);
static_assert(is_same_v<decltype(declval<ex::RCLErrorBase&>().message), std::string>);
static_assert(std::is_base_of_v<std::runtime_error, ex::UnknownROSArgsError>);
static_assert(is_same_v<decltype(declval<ex::UnknownROSArgsError&>().unknown_ros_args),
                        const std::vector<std::string>>);
static_assert(std::is_base_of_v<std::runtime_error, rclcpp::ContextAlreadyInitialized>);
static_assert(std::is_base_of_v<std::out_of_range, ament_index_cpp::PackageNotFoundError>);
static_assert(std::is_constructible_v<ament_index_cpp::PackageNotFoundError, const std::string&>);
static_assert(is_same_v<decltype(declval<ament_index_cpp::PackageNotFoundError&>().package_name),
                        const std::string>);
static_assert(is_same_v<decltype(ament_index_cpp::get_package_share_directory("p")), std::string>);

// Messages: fields of the wire types, and no aggregate initialisation (the generated structs
// have explicit constructors).
template <typename Message>
constexpr bool kIsGeneratedLike = !std::is_aggregate_v<Message> &&
                                  std::is_default_constructible_v<Message> &&
                                  is_same_v<typename Message::SharedPtr, std::shared_ptr<Message>>;
static_assert(kIsGeneratedLike<Event>);
static_assert(kIsGeneratedLike<builtin_interfaces::msg::Time>);
static_assert(kIsGeneratedLike<std_msgs::msg::Header>);
static_assert(kIsGeneratedLike<diagnostic_msgs::msg::KeyValue>);
static_assert(kIsGeneratedLike<diagnostic_msgs::msg::DiagnosticStatus>);
static_assert(kIsGeneratedLike<diagnostic_msgs::msg::DiagnosticArray>);
static_assert(is_same_v<decltype(Event::stamp), builtin_interfaces::msg::Time>);
static_assert(is_same_v<decltype(Event::source_id), std::string>);
static_assert(is_same_v<decltype(Event::event_code), int32_t>);
static_assert(is_same_v<decltype(Event::outcome), int32_t>);
static_assert(is_same_v<decltype(Event::detail), std::string>);
static_assert(is_same_v<decltype(builtin_interfaces::msg::Time::sec), int32_t>);
static_assert(is_same_v<decltype(builtin_interfaces::msg::Time::nanosec), uint32_t>);
static_assert(is_same_v<decltype(std_msgs::msg::Header::stamp), builtin_interfaces::msg::Time>);
static_assert(is_same_v<decltype(std_msgs::msg::Header::frame_id), std::string>);
using diagnostic_msgs::msg::DiagnosticStatus;
static_assert(is_same_v<decltype(diagnostic_msgs::msg::DiagnosticArray::header),
                        std_msgs::msg::Header>);
static_assert(is_same_v<decltype(diagnostic_msgs::msg::DiagnosticArray::status),
                        std::vector<DiagnosticStatus>>);
static_assert(is_same_v<decltype(DiagnosticStatus::level), uint8_t>);
static_assert(is_same_v<decltype(DiagnosticStatus::values),
                        std::vector<diagnostic_msgs::msg::KeyValue>>);
static_assert(DiagnosticStatus::OK == 0 && DiagnosticStatus::WARN == 1 &&
              DiagnosticStatus::ERROR == 2 && DiagnosticStatus::STALE == 3);

TEST(RclcppApiTest, MessagesStartZeroedAndCompareFieldByField) {
  Event event;
  EXPECT_EQ(event.stamp.sec, 0);
  EXPECT_EQ(event.event_code, 0);
  EXPECT_TRUE(event.detail.empty());
  Event other;
  other.detail = "Succeed";
  EXPECT_NE(event, other);
  event.detail = "Succeed";
  EXPECT_EQ(event, other);
}

}  // namespace
