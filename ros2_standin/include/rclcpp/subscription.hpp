#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <ros2_standin/type_support.hpp>

namespace ros2_standin {
class Endpoint;
struct EntityAccess;
}  // namespace ros2_standin

namespace rclcpp {

/// Type-independent part of a subscription.
class SubscriptionBase {
 public:
  using SharedPtr = std::shared_ptr<SubscriptionBase>;

  SubscriptionBase(const SubscriptionBase&) = delete;
  SubscriptionBase& operator=(const SubscriptionBase&) = delete;
  virtual ~SubscriptionBase();

  /// The fully qualified topic name.
  const char* get_topic_name() const;
  /// Number of publishers currently matched, in this process or others.
  size_t get_publisher_count() const;

 protected:
  explicit SubscriptionBase(std::shared_ptr<ros2_standin::Endpoint> endpoint)
      : endpoint_(std::move(endpoint)) {}

  /// Hands one received sample to the user's callback.
  virtual void handle_sample(const void* sample) = 0;

 private:
  friend struct ros2_standin::EntityAccess;

  std::shared_ptr<ros2_standin::Endpoint> endpoint_;
};

/// Receives messages of one type on one topic; callbacks run inside the executor's spin calls.
template <typename MessageT, typename AllocatorT = std::allocator<void>>
class Subscription : public SubscriptionBase {
 public:
  using SharedPtr = std::shared_ptr<Subscription>;
  using ConstSharedPtr = std::shared_ptr<const Subscription>;

  template <typename CallbackT>
  Subscription(std::shared_ptr<ros2_standin::Endpoint> endpoint, CallbackT&& callback)
      : SubscriptionBase(std::move(endpoint)),
        callback_(make_dispatcher(std::forward<CallbackT>(callback))) {}

 protected:
  void handle_sample(const void* sample) override { callback_(sample); }

 private:
  // Accepts the callback forms of rclcpp: const MessageT&, std::unique_ptr<MessageT>, and
  // std::shared_ptr<MessageT> or std::shared_ptr<const MessageT>.
  template <typename CallbackT>
  static std::function<void(const void*)> make_dispatcher(CallbackT&& callback) {
    using Callback = std::decay_t<CallbackT>;
    const auto& type_support = ros2_standin::get_message_type_support<MessageT>();
    if constexpr (std::is_invocable_v<Callback&, const MessageT&>) {
      return [cb = Callback(std::forward<CallbackT>(callback)), &type_support](const void* sample) mutable {
        MessageT message;
        type_support.from_sample(sample, &message);
        cb(static_cast<const MessageT&>(message));
      };
    } else if constexpr (std::is_invocable_v<Callback&, std::unique_ptr<MessageT>>) {
      return [cb = Callback(std::forward<CallbackT>(callback)), &type_support](const void* sample) mutable {
        auto message = std::make_unique<MessageT>();
        type_support.from_sample(sample, message.get());
        cb(std::move(message));
      };
    } else {
      static_assert(std::is_invocable_v<Callback&, std::shared_ptr<MessageT>>,
                    "subscription callback must take the message by const reference, "
                    "std::unique_ptr or std::shared_ptr");
      return [cb = Callback(std::forward<CallbackT>(callback)), &type_support](const void* sample) mutable {
        auto message = std::make_shared<MessageT>();
        type_support.from_sample(sample, message.get());
        cb(std::move(message));
      };
    }
  }

  std::function<void(const void*)> callback_;
};

}  // namespace rclcpp
