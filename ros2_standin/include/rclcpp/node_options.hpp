#pragma once

#include <string>
#include <vector>

namespace rclcpp {

/// Options of a node: extra command-line style ROS arguments, and whether the process-wide
/// ones given to init() apply too.
class NodeOptions {
 public:
  NodeOptions() = default;

  const std::vector<std::string>& arguments() const { return arguments_; }
  NodeOptions& arguments(const std::vector<std::string>& arguments) {
    arguments_ = arguments;
    return *this;
  }
  bool use_global_arguments() const { return use_global_arguments_; }
  NodeOptions& use_global_arguments(bool use_global_arguments) {
    use_global_arguments_ = use_global_arguments;
    return *this;
  }

 private:
  std::vector<std::string> arguments_;
  bool use_global_arguments_ = true;
};

}  // namespace rclcpp
