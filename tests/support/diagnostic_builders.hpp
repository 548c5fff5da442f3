#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_status.hpp>

namespace valtrix::test {

// A status with the given fields and (key, value) pairs; generated messages have no aggregate
// initialisation.
inline diagnostic_msgs::msg::DiagnosticStatus MakeStatus(
    uint8_t level, std::string name, std::string message, std::string hardware_id,
    const std::vector<std::pair<std::string, std::string>>& values) {
  diagnostic_msgs::msg::DiagnosticStatus status;
  status.level = level;
  status.name = std::move(name);
  status.message = std::move(message);
  status.hardware_id = std::move(hardware_id);
  for (const auto& [key, value] : values) {
    status.values.emplace_back();
    status.values.back().key = key;
    status.values.back().value = value;
  }
  return status;
}

}  // namespace valtrix::test
