#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "rclcpp/node.hpp"

namespace rclcpp {

namespace executors {

/// Runs the timer and subscription callbacks of its nodes on the thread that calls spin*.
class SingleThreadedExecutor {
 public:
  SingleThreadedExecutor() = default;
  SingleThreadedExecutor(const SingleThreadedExecutor&) = delete;
  SingleThreadedExecutor& operator=(const SingleThreadedExecutor&) = delete;

  void add_node(const Node::SharedPtr& node_ptr);
  void remove_node(const Node::SharedPtr& node_ptr);

  /// Runs each timer that is due once and handles the messages that have arrived, without
  /// waiting.
  void spin_some();
  /// Waits up to `timeout` (negative: for ever) for one due timer or one message and runs it.
  void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));
  /// Runs callbacks as they come due until shutdown (for example by SIGINT) or cancel().
  void spin();
  /// Makes a running spin() or spin_once() return.
  void cancel() { cancelled_ = true; }

 private:
  void spin_once_impl(std::chrono::nanoseconds timeout);

  std::vector<Node::WeakPtr> nodes_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace executors

/// Runs the node's due timers and the callbacks of its subscriptions that have messages waiting.
void spin_some(Node::SharedPtr node_ptr);
/// Runs the node's callbacks until shutdown (for example by SIGINT).
void spin(Node::SharedPtr node_ptr);

}  // namespace rclcpp
