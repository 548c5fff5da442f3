#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include <ros2_standin/type_support.hpp>

namespace ros2_standin {
class Endpoint;
}

namespace rclcpp {

/// Type-independent part of a publisher.
class PublisherBase {
 public:
  using SharedPtr = std::shared_ptr<PublisherBase>;

  PublisherBase(const PublisherBase&) = delete;
  PublisherBase& operator=(const PublisherBase&) = delete;
  virtual ~PublisherBase();

  /// The fully qualified topic name.
  const char* get_topic_name() const;
  /// Number of subscriptions currently matched, in this process or others.
  size_t get_subscription_count() const;

 protected:
  explicit PublisherBase(std::shared_ptr<ros2_standin::Endpoint> endpoint)
      : endpoint_(std::move(endpoint)) {}

  void publish_message(const void* message);

 private:
  std::shared_ptr<ros2_standin::Endpoint> endpoint_;
};

/// Publishes messages of one type on one topic; made by Node::create_publisher.
template <typename MessageT, typename AllocatorT = std::allocator<void>>
class Publisher : public PublisherBase {
 public:
  using SharedPtr = std::shared_ptr<Publisher>;
  using ConstSharedPtr = std::shared_ptr<const Publisher>;

  explicit Publisher(std::shared_ptr<ros2_standin::Endpoint> endpoint)
      : PublisherBase(std::move(endpoint)) {}

  /// Sends the message to every matched subscription; does nothing after shutdown.
  void publish(const MessageT& message) { publish_message(&message); }
};

}  // namespace rclcpp
