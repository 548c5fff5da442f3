#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "rclcpp/node.hpp"

namespace rclcpp {

namespace executors {

/// Runs the subscription callbacks of its nodes on the thread that calls spin*.
class SingleThreadedExecutor {
 public:
  SingleThreadedExecutor() = default;
  SingleThreadedExecutor(const SingleThreadedExecutor&) = delete;
  SingleThreadedExecutor& operator=(const SingleThreadedExecutor&) = delete;

  void add_node(const Node::SharedPtr& node_ptr);
  void remove_node(const Node::SharedPtr& node_ptr);

  /// Handles what has arrived so far, without waiting.
  void spin_some();
  /// Waits up to `timeout` (negative: for ever) for one message and handles it.
  void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));
  /// Handles messages until shutdown or cancel().
  void spin();
  /// Makes spin() return.
  void cancel() { cancelled_ = true; }

 private:
  std::vector<Node::WeakPtr> nodes_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace executors

/// Runs the callbacks of the node's subscriptions that have messages waiting.
void spin_some(Node::SharedPtr node_ptr);
/// Runs the node's callbacks until shutdown (for example by SIGINT).
void spin(Node::SharedPtr node_ptr);

}  // namespace rclcpp
