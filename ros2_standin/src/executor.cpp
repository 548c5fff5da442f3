#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <rclcpp/executors.hpp>
#include <rclcpp/timer.hpp>
#include <rclcpp/utilities.hpp>

#include "standin_internal.hpp"

namespace ros2_standin {
namespace {

// Longest single wait, so that spinning notices shutdown (e.g. by SIGINT) promptly.
constexpr std::chrono::milliseconds kWaitSlice(100);

using Subscriptions = std::vector<std::shared_ptr<rclcpp::SubscriptionBase>>;
using Timers = std::vector<std::shared_ptr<rclcpp::TimerBase>>;

// Returns the loaned sample to the reader also when the callback throws.
class Loan {
 public:
  explicit Loan(dds_entity_t reader) : reader_(reader) {}
  Loan(const Loan&) = delete;
  Loan& operator=(const Loan&) = delete;
  ~Loan() {
    if (count_ > 0) {
      dds_return_loan(reader_, samples_, count_);
    }
  }

  // Takes one sample; false when none is waiting.
  bool take() {
    count_ = dds_take(reader_, samples_, &info_, 1, 1);
    return count_ > 0;
  }
  bool valid() const { return info_.valid_data; }
  const void* sample() const { return samples_[0]; }

 private:
  dds_entity_t reader_;
  void* samples_[1] = {nullptr};
  dds_sample_info_t info_{};
  int32_t count_ = 0;
};

// Handles up to `max` waiting messages of the subscription; returns how many it handled.
size_t take_and_handle(rclcpp::SubscriptionBase& subscription, size_t max) {
  const dds_entity_t reader = EntityAccess::endpoint(subscription).handle();
  size_t handled = 0;
  while (handled < max) {
    Loan loan(reader);
    if (!loan.take()) {
      break;
    }
    if (loan.valid()) {
      EntityAccess::handle_sample(subscription, loan.sample());
      ++handled;
    }
  }
  return handled;
}

// Runs the first timer that is due; false when none is.
bool run_due_timer(const Timers& timers) {
  for (const auto& timer : timers) {
    if (timer->is_ready() && timer->call()) {
      timer->execute_callback();
      return true;
    }
  }
  return false;
}

// How long until the earliest timer is due: zero when one is due already, `longest` when none
// comes due sooner.
std::chrono::nanoseconds until_next_timer(const Timers& timers, std::chrono::nanoseconds longest) {
  std::chrono::nanoseconds wait = longest;
  for (const auto& timer : timers) {
    wait = std::min(wait, std::max(timer->time_until_trigger(), std::chrono::nanoseconds(0)));
  }
  return wait;
}

// Waits until one of the subscriptions has data or `timeout` passes.
void wait_for_data(const Subscriptions& subscriptions, std::chrono::nanoseconds timeout) {
  if (timeout <= std::chrono::nanoseconds(0)) {
    return;
  }
  if (subscriptions.empty()) {
    std::this_thread::sleep_for(timeout);
    return;
  }
  const dds_entity_t waitset =
      dds_create_waitset(EntityAccess::endpoint(*subscriptions.front()).participant());
  if (waitset < 0) {
    throw_dds_error(waitset, "failed to create a wait set");
  }
  for (const auto& subscription : subscriptions) {
    dds_waitset_attach(waitset, EntityAccess::endpoint(*subscription).read_condition(), 0);
  }
  dds_waitset_wait(waitset, nullptr, 0, timeout.count());
  dds_delete(waitset);
}

}  // namespace
}  // namespace ros2_standin

namespace rclcpp {
namespace executors {

namespace {

struct Entities {
  ros2_standin::Subscriptions subscriptions;
  ros2_standin::Timers timers;
};

Entities collect_entities(std::vector<Node::WeakPtr>& nodes) {
  Entities all;
  nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                             [](const Node::WeakPtr& node) { return node.expired(); }),
              nodes.end());
  for (const auto& weak_node : nodes) {
    if (auto node = weak_node.lock()) {
      auto subscriptions = ros2_standin::EntityAccess::subscriptions(*node);
      all.subscriptions.insert(all.subscriptions.end(), subscriptions.begin(), subscriptions.end());
      auto timers = ros2_standin::EntityAccess::timers(*node);
      all.timers.insert(all.timers.end(), timers.begin(), timers.end());
    }
  }
  return all;
}

}  // namespace

void SingleThreadedExecutor::add_node(const Node::SharedPtr& node_ptr) {
  nodes_.push_back(node_ptr);
}

void SingleThreadedExecutor::remove_node(const Node::SharedPtr& node_ptr) {
  nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                              [&](const Node::WeakPtr& node) { return node.lock() == node_ptr; }),
               nodes_.end());
}

void SingleThreadedExecutor::spin_some() {
  if (!ok()) {
    return;
  }
  const Entities entities = collect_entities(nodes_);
  // The timers due on entry run once each, as rclcpp collects its work once before running it.
  ros2_standin::Timers due;
  for (const auto& timer : entities.timers) {
    if (timer->is_ready()) {
      due.push_back(timer);
    }
  }
  for (const auto& timer : due) {
    if (timer->call()) {
      timer->execute_callback();
    }
  }
  for (const auto& subscription : entities.subscriptions) {
    ros2_standin::take_and_handle(*subscription, SIZE_MAX);
  }
}

void SingleThreadedExecutor::spin_once(std::chrono::nanoseconds timeout) {
  cancelled_ = false;
  spin_once_impl(timeout);
}

// Waits in slices no longer than kWaitSlice, each ending early at the next timer deadline or
// when data arrives, so that shutdown and cancel() are noticed promptly.
void SingleThreadedExecutor::spin_once_impl(std::chrono::nanoseconds timeout) {
  const bool forever = timeout.count() < 0;
  const auto deadline =
      std::chrono::steady_clock::now() + (forever ? std::chrono::nanoseconds(0) : timeout);
  while (ok() && !cancelled_) {
    const Entities entities = collect_entities(nodes_);
    if (ros2_standin::run_due_timer(entities.timers)) {
      return;
    }
    for (const auto& subscription : entities.subscriptions) {
      if (ros2_standin::take_and_handle(*subscription, 1) > 0) {
        return;
      }
    }
    auto slice = ros2_standin::until_next_timer(entities.timers, ros2_standin::kWaitSlice);
    if (!forever) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds(0)) {
        return;
      }
      slice = std::min(slice, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    }
    ros2_standin::wait_for_data(entities.subscriptions, slice);
  }
}

void SingleThreadedExecutor::spin() {
  cancelled_ = false;
  while (ok() && !cancelled_) {
    spin_once_impl(ros2_standin::kWaitSlice);
  }
}

}  // namespace executors

void spin_some(Node::SharedPtr node_ptr) {
  executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr);
  executor.spin_some();
}

void spin(Node::SharedPtr node_ptr) {
  executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr);
  executor.spin();
}

}  // namespace rclcpp
