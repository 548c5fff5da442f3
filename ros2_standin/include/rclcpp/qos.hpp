#pragma once

#include <cstddef>

namespace rclcpp {

// The values of rmw's policy kinds, as rclcpp's enumerators carry them.
enum class HistoryPolicy { KeepLast = 1, KeepAll = 2, SystemDefault = 0, Unknown = 3 };
enum class ReliabilityPolicy { BestEffort = 2, Reliable = 1, SystemDefault = 0, Unknown = 3 };
enum class DurabilityPolicy { Volatile = 2, TransientLocal = 1, SystemDefault = 0, Unknown = 3 };

/// Quality of service of a publisher or subscription: keep-last history of the given depth,
/// reliable and volatile unless changed.
class QoS {
 public:
  QoS(std::size_t history_depth)  // NOLINT(google-explicit-constructor): implicit as in rclcpp
      : depth_(history_depth) {}

  QoS& keep_last(std::size_t depth) {
    history_ = HistoryPolicy::KeepLast;
    depth_ = depth;
    return *this;
  }
  QoS& keep_all() {
    history_ = HistoryPolicy::KeepAll;
    return *this;
  }
  QoS& reliable() { return reliability(ReliabilityPolicy::Reliable); }
  QoS& best_effort() { return reliability(ReliabilityPolicy::BestEffort); }
  QoS& reliability(ReliabilityPolicy policy) {
    reliability_ = policy;
    return *this;
  }
  QoS& durability_volatile() { return durability(DurabilityPolicy::Volatile); }
  QoS& transient_local() { return durability(DurabilityPolicy::TransientLocal); }
  QoS& durability(DurabilityPolicy policy) {
    durability_ = policy;
    return *this;
  }

  HistoryPolicy history() const { return history_; }
  std::size_t depth() const { return depth_; }
  ReliabilityPolicy reliability() const { return reliability_; }
  DurabilityPolicy durability() const { return durability_; }

 private:
  HistoryPolicy history_ = HistoryPolicy::KeepLast;
  std::size_t depth_;
  ReliabilityPolicy reliability_ = ReliabilityPolicy::Reliable;
  DurabilityPolicy durability_ = DurabilityPolicy::Volatile;
};

}  // namespace rclcpp
