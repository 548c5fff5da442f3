#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <diagnostic_msgs/msg/key_value.hpp>

namespace diagnostic_msgs::msg {

/// Status of one component of the robot.
struct DiagnosticStatus {
  using SharedPtr = std::shared_ptr<DiagnosticStatus>;
  using ConstSharedPtr = std::shared_ptr<const DiagnosticStatus>;
  using UniquePtr = std::unique_ptr<DiagnosticStatus>;

  // Explicit, as in the generated messages: no aggregate or copy-list initialisation.
  explicit DiagnosticStatus() = default;

  // Values of `level` (a `byte` in the message definition).
  static constexpr uint8_t OK = 0;
  static constexpr uint8_t WARN = 1;
  static constexpr uint8_t ERROR = 2;
  static constexpr uint8_t STALE = 3;

  uint8_t level = 0;
  std::string name;
  std::string message;
  std::string hardware_id;
  std::vector<KeyValue> values;

  bool operator==(const DiagnosticStatus& other) const {
    return level == other.level && name == other.name && message == other.message &&
           hardware_id == other.hardware_id && values == other.values;
  }
  bool operator!=(const DiagnosticStatus& other) const { return !(*this == other); }
};

}  // namespace diagnostic_msgs::msg
