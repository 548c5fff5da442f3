#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>

namespace valtrix::test {

// Collects the DiagnosticArrays of one topic; waits with a deadline so that a lost message fails
// the test instead of hanging it.
class ArrayListener {
 public:
  using Array = diagnostic_msgs::msg::DiagnosticArray;

  explicit ArrayListener(const std::string& topic, const std::string& node_name = "array_listener")
      : node_(std::make_shared<rclcpp::Node>(node_name)) {
    subscription_ = node_->create_subscription<Array>(
        topic, rclcpp::QoS(100), [this](const Array& array) { arrays_.push_back(array); });
  }

  // Spins until an array for which `wanted` holds has arrived, or `timeout` passes.
  bool WaitFor(const std::function<bool(const Array&)>& wanted,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t seen = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      rclcpp::spin_some(node_);
      for (; seen < arrays_.size(); ++seen) {
        if (wanted(arrays_[seen])) {
          return true;
        }
      }
      std::this_thread::yield();
    }
    return false;
  }

  const std::vector<Array>& arrays() const { return arrays_; }

 private:
  std::shared_ptr<rclcpp::Node> node_;
  rclcpp::Subscription<Array>::SharedPtr subscription_;
  std::vector<Array> arrays_;
};

}  // namespace valtrix::test
