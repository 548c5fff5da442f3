#pragma once

#include <cstdint>
#include <string>

#include "rclcpp/parameter_value.hpp"

namespace rclcpp {

/// A named parameter value, as Node::get_parameter returns it.
class Parameter {
 public:
  Parameter() = default;
  explicit Parameter(const std::string& name) : name_(name) {}
  Parameter(const std::string& name, const ParameterValue& value) : name_(name), value_(value) {}
  template <typename ValueTypeT>
  Parameter(const std::string& name, ValueTypeT value) : Parameter(name, ParameterValue(value)) {}

  ParameterType get_type() const { return value_.get_type(); }
  const std::string& get_name() const { return name_; }
  const ParameterValue& get_parameter_value() const { return value_; }

  template <ParameterType ParamT>
  decltype(auto) get_value() const {
    return value_.get<ParamT>();
  }

  /// Each throws ParameterTypeException when the value is of another type.
  bool as_bool() const { return get_value<PARAMETER_BOOL>(); }
  int64_t as_int() const { return get_value<PARAMETER_INTEGER>(); }
  const std::string& as_string() const { return get_value<PARAMETER_STRING>(); }

 private:
  std::string name_;
  ParameterValue value_;
};

}  // namespace rclcpp
