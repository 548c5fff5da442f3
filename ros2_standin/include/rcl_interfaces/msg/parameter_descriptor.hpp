#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace rcl_interfaces::msg {

/// How a node describes one of its parameters (without the numeric ranges of the real message).
struct ParameterDescriptor {
  using SharedPtr = std::shared_ptr<ParameterDescriptor>;
  using ConstSharedPtr = std::shared_ptr<const ParameterDescriptor>;

  std::string name;
  uint8_t type = 0;
  std::string description;
  std::string additional_constraints;
  bool read_only = false;
  bool dynamic_typing = false;
};

}  // namespace rcl_interfaces::msg
