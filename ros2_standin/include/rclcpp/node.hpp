#pragma once

#include <memory>
#include <string>
#include <utility>

#include <ros2_standin/type_support.hpp>

#include "rclcpp/clock.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/time.hpp"

namespace ros2_standin {
class Endpoint;
class NodeState;
struct EntityAccess;
}  // namespace ros2_standin

namespace rclcpp {

/// A named participant of the ROS graph that creates publishers and subscriptions.
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

  Clock::SharedPtr get_clock();
  Time now() const;

 private:
  friend struct ros2_standin::EntityAccess;

  std::shared_ptr<ros2_standin::Endpoint> create_endpoint(
      const std::string& topic_name, const QoS& qos,
      const ros2_standin::MessageTypeSupport& type_support, bool is_publisher);
  void add_subscription(const std::shared_ptr<SubscriptionBase>& subscription);

  std::shared_ptr<ros2_standin::NodeState> state_;
  Clock::SharedPtr clock_;
};

}  // namespace rclcpp
