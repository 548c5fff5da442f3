#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <builtin_interfaces/msg/time.hpp>
#include <ros2_standin/type_support.hpp>

namespace valtrix_protocol::msg {

/// Outcome of a monitored flow or one of its points.
struct DiagnosticEvent {
  using SharedPtr = std::shared_ptr<DiagnosticEvent>;
  using ConstSharedPtr = std::shared_ptr<const DiagnosticEvent>;
  using UniquePtr = std::unique_ptr<DiagnosticEvent>;

  // Explicit, as in the generated messages: no aggregate or copy-list initialisation.
  explicit DiagnosticEvent() = default;

  builtin_interfaces::msg::Time stamp;
  std::string source_id;
  int32_t event_code = 0;
  int32_t outcome = 0;
  std::string detail;

  bool operator==(const DiagnosticEvent& other) const {
    return stamp == other.stamp && source_id == other.source_id &&
           event_code == other.event_code && outcome == other.outcome && detail == other.detail;
  }
  bool operator!=(const DiagnosticEvent& other) const { return !(*this == other); }
};

}  // namespace valtrix_protocol::msg

namespace ros2_standin {
template <>
const MessageTypeSupport& get_message_type_support<valtrix_protocol::msg::DiagnosticEvent>();
}  // namespace ros2_standin
