#pragma once

#include <stdexcept>
#include <string>

namespace rclcpp {

/// Thrown by init() while a previous init() has not been shut down.
class ContextAlreadyInitialized : public std::runtime_error {
 public:
  ContextAlreadyInitialized() : std::runtime_error("context is already initialized") {}
};

/// Parses the ROS arguments (after --ros-args) of the command line and installs SIGINT and
/// SIGTERM handlers that shut the context down.
void init(int argc, char const* const* argv);

/// False before init(), after shutdown() and after SIGINT or SIGTERM.
bool ok();

/// Ends the context; entities stay valid but stop communicating. False if it was not running.
bool shutdown(const std::string& reason = "user called rclcpp::shutdown()");

}  // namespace rclcpp
