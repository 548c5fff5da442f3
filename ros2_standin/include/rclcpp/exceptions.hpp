#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace rclcpp::exceptions {

/// A node name, namespace or topic name that ROS 2's naming rules reject.
class NameValidationError : public std::invalid_argument {
 public:
  NameValidationError(const char* name_type, const char* name, const char* error_msg,
                      std::size_t invalid_index)
      : std::invalid_argument(format_error(name_type, name, error_msg, invalid_index)),
        name_type(name_type),
        name(name),
        error_msg(error_msg),
        invalid_index(invalid_index) {}

  static std::string format_error(const char* name_type, const char* name, const char* error_msg,
                                  std::size_t invalid_index) {
    return std::string("Invalid ") + name_type + ": " + error_msg + ":\n  '" + name + "'\n   " +
           std::string(invalid_index, ' ') + "^\n";
  }

  const std::string name_type;
  const std::string name;
  const std::string error_msg;
  const std::size_t invalid_index;
};

class InvalidNodeNameError : public NameValidationError {
 public:
  InvalidNodeNameError(const char* node_name, const char* error_msg, std::size_t invalid_index)
      : NameValidationError("node name", node_name, error_msg, invalid_index) {}
};

class InvalidNamespaceError : public NameValidationError {
 public:
  InvalidNamespaceError(const char* namespace_, const char* error_msg, std::size_t invalid_index)
      : NameValidationError("namespace", namespace_, error_msg, invalid_index) {}
};

class InvalidTopicNameError : public NameValidationError {
 public:
  InvalidTopicNameError(const char* topic_name, const char* error_msg, std::size_t invalid_index)
      : NameValidationError("topic name", topic_name, error_msg, invalid_index) {}
};

class InvalidServiceNameError : public NameValidationError {
 public:
  InvalidServiceNameError(const char* service_name, const char* error_msg,
                          std::size_t invalid_index)
      : NameValidationError("service name", service_name, error_msg, invalid_index) {}
};

/// Error code and message of a failed middleware call.
class RCLErrorBase {
 public:
  RCLErrorBase(int ret, const std::string& message)
      : ret(ret), message(message), formatted_message(message) {}
  virtual ~RCLErrorBase() = default;

  int ret;
  std::string message;
  std::string formatted_message;
};

/// A failure of the middleware.
class RCLError : public RCLErrorBase, public std::runtime_error {
 public:
  RCLError(const RCLErrorBase& base_exc, const std::string& prefix)
      : RCLErrorBase(base_exc), std::runtime_error(prefix + base_exc.formatted_message) {}
};

/// A middleware call given an invalid argument, such as a node made before rclcpp::init.
class RCLInvalidArgument : public RCLErrorBase, public std::invalid_argument {
 public:
  RCLInvalidArgument(const RCLErrorBase& base_exc, const std::string& prefix)
      : RCLErrorBase(base_exc), std::invalid_argument(prefix + base_exc.formatted_message) {}
};

/// ROS arguments that rcl cannot parse, e.g. a remap or parameter rule without ":=". Not an
/// RCLError, as in rclcpp.
class RCLInvalidROSArgsError : public RCLErrorBase, public std::runtime_error {
 public:
  RCLInvalidROSArgsError(const RCLErrorBase& base_exc, const std::string& prefix)
      : RCLErrorBase(base_exc), std::runtime_error(prefix + base_exc.formatted_message) {}
};

/// Arguments after --ros-args that no ROS 2 option accepts.
class UnknownROSArgsError : public std::runtime_error {
 public:
  explicit UnknownROSArgsError(std::vector<std::string>&& unknown_ros_args_in)
      : std::runtime_error("found unknown ROS arguments: '" + join(unknown_ros_args_in) + "'"),
        unknown_ros_args(unknown_ros_args_in) {}

  const std::vector<std::string> unknown_ros_args;

 private:
  static std::string join(const std::vector<std::string>& args) {
    std::string joined;
    for (const auto& arg : args) {
      joined += (joined.empty() ? "" : "', '") + arg;
    }
    return joined;
  }
};

/// A parameter name that cannot be used, e.g. an empty one.
class InvalidParametersException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A parameter's value or override is of another type than the parameter.
class InvalidParameterTypeException : public std::runtime_error {
 public:
  InvalidParameterTypeException(const std::string& name, const std::string message)
      : std::runtime_error("parameter '" + name + "' has invalid type: " + message) {}
};

/// declare_parameter for a name that is declared already.
class ParameterAlreadyDeclaredException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// get_parameter for a name that was never declared.
class ParameterNotDeclaredException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace rclcpp::exceptions
