#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace valtrix::test {

// Collects the DiagnosticEvents of one topic; waits with a deadline so a lost message fails the
// test instead of hanging it.
//
// "Nothing else came" is judged with an end marker rather than a grace period: the test
// publishes a marker through the publisher the events went through, after the last of them.
// One writer's messages arrive in the order they were written, so once the marker is in, every
// earlier event is in events() and none can still come. Markers never show in events().
class EventListener {
 public:
  using Event = valtrix_protocol::msg::DiagnosticEvent;

  explicit EventListener(const std::string& topic, const std::string& node_name = "event_listener")
      : node_(std::make_shared<rclcpp::Node>(node_name)) {
    subscription_ = node_->create_subscription<Event>(
        topic, rclcpp::QoS(100), [this](const Event& event) { Receive(event); });
  }

  // Spins until `count` events have arrived or `timeout` passes; true when they arrived.
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return SpinUntil([&] { return events_.size() >= count; }, timeout);
  }

  // Publishes an end marker through `publisher` and spins until it arrives; true when it did.
  // Afterwards events() holds everything `publisher` sent before.
  template <typename PublisherPtr>
  bool WaitForMarker(const PublisherPtr& publisher,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    Event marker;
    marker.source_id = kMarkerSource;
    marker.event_code = NextMarkerCode();
    publisher->publish(marker);
    return SpinUntil([&] { return markers_.count(marker.event_code) != 0; }, timeout);
  }

  // Whether no more than `count` events came, judged once everything `publisher` sent so far has
  // arrived (false as well when the marker itself is lost).
  template <typename PublisherPtr>
  bool NoMoreThan(size_t count, const PublisherPtr& publisher,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitForMarker(publisher, timeout) && events_.size() <= count;
  }

  const std::vector<Event>& events() const { return events_; }
  void Clear() { events_.clear(); }
  std::shared_ptr<rclcpp::Node> node() const { return node_; }

 private:
  static constexpr char kMarkerSource[] = "valtrix.test.end_marker";

  // Unique within the process, so a marker meant for another wait never ends this one.
  static int32_t NextMarkerCode() {
    static std::atomic<int32_t> next{1};
    return next.fetch_add(1);
  }

  void Receive(const Event& event) {
    if (event.source_id == kMarkerSource) {
      markers_.insert(event.event_code);
    } else {
      events_.push_back(event);
    }
  }

  bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      rclcpp::spin_some(node_);
      if (!done()) {
        std::this_thread::yield();
      }
    }
    return done();
  }

  std::shared_ptr<rclcpp::Node> node_;
  rclcpp::Subscription<Event>::SharedPtr subscription_;
  std::vector<Event> events_;
  std::set<int32_t> markers_;
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
