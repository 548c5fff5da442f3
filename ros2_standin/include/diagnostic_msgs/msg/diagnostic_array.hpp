#pragma once

#include <memory>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_status.hpp>
#include <ros2_standin/type_support.hpp>
#include <std_msgs/msg/header.hpp>

namespace diagnostic_msgs::msg {

/// The statuses of several components, as published on /diagnostics.
struct DiagnosticArray {
  using SharedPtr = std::shared_ptr<DiagnosticArray>;
  using ConstSharedPtr = std::shared_ptr<const DiagnosticArray>;
  using UniquePtr = std::unique_ptr<DiagnosticArray>;

  // Explicit, as in the generated messages: no aggregate or copy-list initialisation.
  explicit DiagnosticArray() = default;

  std_msgs::msg::Header header;
  std::vector<DiagnosticStatus> status;

  bool operator==(const DiagnosticArray& other) const {
    return header == other.header && status == other.status;
  }
  bool operator!=(const DiagnosticArray& other) const { return !(*this == other); }
};

}  // namespace diagnostic_msgs::msg

namespace ros2_standin {
template <>
const MessageTypeSupport& get_message_type_support<diagnostic_msgs::msg::DiagnosticArray>();
}  // namespace ros2_standin
