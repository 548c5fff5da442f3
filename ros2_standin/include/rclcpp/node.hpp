#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <ratio>
#include <stdexcept>
#include <string>
#include <utility>

#include <rcl_interfaces/msg/parameter_descriptor.hpp>
#include <ros2_standin/type_support.hpp>

#include "rclcpp/clock.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/parameter_value.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/time.hpp"
#include "rclcpp/timer.hpp"

namespace ros2_standin {
class Endpoint;
class NodeState;
struct EntityAccess;
}  // namespace ros2_standin

namespace rclcpp {

/// A named participant of the ROS graph that creates publishers, subscriptions and timers.
class Node : public std::enable_shared_from_this<Node> {
 public:
  using SharedPtr = std::shared_ptr<Node>;
  using ConstSharedPtr = std::shared_ptr<const Node>;
  using WeakPtr = std::weak_ptr<Node>;

  /// Throws InvalidNodeNameError or InvalidNamespaceError for names ROS 2 rejects, and RCLError
  /// when init() has not been called or the middleware fails.
  explicit Node(const std::string& node_name, const NodeOptions& options = NodeOptions());
  Node(const std::string& node_name, const std::string& namespace_,
       const NodeOptions& options = NodeOptions());
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  virtual ~Node();

  const char* get_name() const;
  const char* get_namespace() const;
  const char* get_fully_qualified_name() const;

  /// Throws InvalidTopicNameError for a name ROS 2 rejects (creating nothing).
  template <typename MessageT>
  std::shared_ptr<Publisher<MessageT>> create_publisher(const std::string& topic_name,
                                                        const QoS& qos) {
    return std::make_shared<Publisher<MessageT>>(create_endpoint(
        topic_name, qos, ros2_standin::get_message_type_support<MessageT>(), true));
  }

  /// Throws InvalidTopicNameError for a name ROS 2 rejects (creating nothing).
  template <typename MessageT, typename CallbackT>
  std::shared_ptr<Subscription<MessageT>> create_subscription(const std::string& topic_name,
                                                              const QoS& qos,
                                                              CallbackT&& callback) {
    auto subscription = std::make_shared<Subscription<MessageT>>(
        create_endpoint(topic_name, qos, ros2_standin::get_message_type_support<MessageT>(),
                        false),
        std::forward<CallbackT>(callback));
    add_subscription(subscription);
    return subscription;
  }

  /// A timer on the steady clock whose callback (taking nothing or the timer) runs in the
  /// executor spinning this node, every `period`. The node keeps only a weak reference: the
  /// timer runs while the caller holds the returned pointer. Throws std::invalid_argument for a
  /// negative period or one beyond std::chrono::nanoseconds.
  template <typename DurationRepT = int64_t, typename DurationT = std::milli, typename CallbackT>
  typename rclcpp::WallTimer<CallbackT>::SharedPtr create_wall_timer(
      std::chrono::duration<DurationRepT, DurationT> period, CallbackT callback) {
    if (period < std::chrono::duration<DurationRepT, DurationT>::zero()) {
      throw std::invalid_argument{"timer period cannot be negative"};
    }
    // Compared as double so that the test itself cannot overflow, one DurationT short of the
    // maximum so that the cast below cannot either.
    constexpr auto maximum_safe_cast_ns =
        std::chrono::nanoseconds::max() - std::chrono::duration<DurationRepT, DurationT>(1);
    constexpr auto ns_max_as_double =
        std::chrono::duration_cast<std::chrono::duration<double, std::nano>>(maximum_safe_cast_ns);
    if (period > ns_max_as_double) {
      throw std::invalid_argument{"timer period must be less than std::chrono::nanoseconds::max()"};
    }
    const auto period_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(period);
    if (period_ns < std::chrono::nanoseconds::zero()) {
      throw std::runtime_error{"Casting timer period to nanoseconds resulted in integer overflow."};
    }
    auto timer = rclcpp::WallTimer<CallbackT>::make_shared(period_ns, std::move(callback));
    add_timer(timer);
    return timer;
  }

  Clock::SharedPtr get_clock();
  Time now() const;

  /// Declares a statically typed parameter: its value is the override given on the command line
  /// (`--ros-args -p name:=value`) or else `default_value`. Throws
  /// ParameterAlreadyDeclaredException, InvalidParametersException for an empty name, and
  /// InvalidParameterTypeException when the override's type differs from the default's.
  const ParameterValue& declare_parameter(
      const std::string& name, const ParameterValue& default_value,
      const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
          rcl_interfaces::msg::ParameterDescriptor(),
      bool ignore_override = false);

  /// The same, returning the value as `ParameterT`.
  template <typename ParameterT>
  auto declare_parameter(const std::string& name, const ParameterT& default_value,
                         const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
                             rcl_interfaces::msg::ParameterDescriptor(),
                         bool ignore_override = false) {
    try {
      return declare_parameter(name, ParameterValue(default_value), parameter_descriptor,
                               ignore_override)
          .template get<ParameterT>();
    } catch (const ParameterTypeException& ex) {
      throw exceptions::InvalidParameterTypeException(name, ex.what());
    }
  }

  /// Throws ParameterNotDeclaredException for a name never declared.
  Parameter get_parameter(const std::string& name) const;

 private:
  friend struct ros2_standin::EntityAccess;

  std::shared_ptr<ros2_standin::Endpoint> create_endpoint(
      const std::string& topic_name, const QoS& qos,
      const ros2_standin::MessageTypeSupport& type_support, bool is_publisher);
  void add_subscription(const std::shared_ptr<SubscriptionBase>& subscription);
  void add_timer(const std::shared_ptr<TimerBase>& timer);

  std::shared_ptr<ros2_standin::NodeState> state_;
  Clock::SharedPtr clock_;
};

}  // namespace rclcpp
