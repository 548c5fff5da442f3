#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace valtrix::test {

// Collects the DiagnosticEvents of one topic; waits with a deadline so a lost message fails the
// test instead of hanging it.
class EventListener {
 public:
  using Event = valtrix_protocol::msg::DiagnosticEvent;

  explicit EventListener(const std::string& topic, const std::string& node_name = "event_listener")
      : node_(std::make_shared<rclcpp::Node>(node_name)) {
    subscription_ = node_->create_subscription<Event>(
        topic, rclcpp::QoS(100), [this](const Event& event) { events_.push_back(event); });
  }

  // Spins until `count` events have arrived or `timeout` passes; true when they arrived.
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (events_.size() < count && std::chrono::steady_clock::now() < deadline) {
      rclcpp::spin_some(node_);
      if (events_.size() < count) {
        std::this_thread::yield();
      }
    }
    return events_.size() >= count;
  }

  // Gives late events a short chance to arrive, then reports whether no more than `count` came.
  bool NoMoreThan(size_t count, std::chrono::milliseconds grace = std::chrono::milliseconds(300)) {
    WaitFor(count + 1, grace);
    return events_.size() <= count;
  }

  const std::vector<Event>& events() const { return events_; }
  void Clear() { events_.clear(); }
  std::shared_ptr<rclcpp::Node> node() const { return node_; }

 private:
  std::shared_ptr<rclcpp::Node> node_;
  rclcpp::Subscription<Event>::SharedPtr subscription_;
  std::vector<Event> events_;
};

// Waits until `publisher` sees at least `count` matched subscriptions, so that volatile events
// published afterwards reach them.
template <typename PublisherPtr>
bool WaitForSubscribers(const PublisherPtr& publisher, size_t count = 1,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (publisher->get_subscription_count() < count) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace valtrix::test
