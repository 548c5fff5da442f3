#pragma once

#include <cstdint>
#include <memory>

namespace builtin_interfaces::msg {

/// A point in time: seconds and nanoseconds since the epoch of its clock.
struct Time {
  using SharedPtr = std::shared_ptr<Time>;
  using ConstSharedPtr = std::shared_ptr<const Time>;
  using UniquePtr = std::unique_ptr<Time>;

  // Explicit, as in the generated messages: no aggregate or copy-list initialisation.
  explicit Time() = default;

  int32_t sec = 0;
  uint32_t nanosec = 0;

  bool operator==(const Time& other) const { return sec == other.sec && nanosec == other.nanosec; }
  bool operator!=(const Time& other) const { return !(*this == other); }
};

}  // namespace builtin_interfaces::msg
