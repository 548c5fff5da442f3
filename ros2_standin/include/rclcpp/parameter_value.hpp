#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace rclcpp {

/// Types of parameter values, numbered as rcl_interfaces/msg/ParameterType. The stand-in holds
/// the scalar ones only.
enum ParameterType : uint8_t {
  PARAMETER_NOT_SET = 0,
  PARAMETER_BOOL = 1,
  PARAMETER_INTEGER = 2,
  PARAMETER_DOUBLE = 3,
  PARAMETER_STRING = 4,
  PARAMETER_BYTE_ARRAY = 5,
  PARAMETER_BOOL_ARRAY = 6,
  PARAMETER_INTEGER_ARRAY = 7,
  PARAMETER_DOUBLE_ARRAY = 8,
  PARAMETER_STRING_ARRAY = 9,
};

/// "not set", "bool", "integer", "double", "string", ...
std::string to_string(ParameterType type);

/// The stored value is not of the type asked for.
class ParameterTypeException : public std::runtime_error {
 public:
  ParameterTypeException(ParameterType expected, ParameterType actual)
      : std::runtime_error("expected [" + to_string(expected) + "] got [" + to_string(actual) +
                           "]") {}
};

/// The type and value of a parameter.
class ParameterValue {
 public:
  ParameterValue() = default;
  explicit ParameterValue(bool bool_value) : type_(PARAMETER_BOOL), bool_(bool_value) {}
  explicit ParameterValue(int int_value) : type_(PARAMETER_INTEGER), integer_(int_value) {}
  explicit ParameterValue(int64_t int_value) : type_(PARAMETER_INTEGER), integer_(int_value) {}
  explicit ParameterValue(float double_value) : type_(PARAMETER_DOUBLE), double_(double_value) {}
  explicit ParameterValue(double double_value) : type_(PARAMETER_DOUBLE), double_(double_value) {}
  explicit ParameterValue(const std::string& string_value)
      : type_(PARAMETER_STRING), string_(string_value) {}
  explicit ParameterValue(const char* string_value)
      : ParameterValue(std::string(string_value)) {}

  ParameterType get_type() const { return type_; }

  bool operator==(const ParameterValue& rhs) const {
    return type_ == rhs.type_ && bool_ == rhs.bool_ && integer_ == rhs.integer_ &&
           double_ == rhs.double_ && string_ == rhs.string_;
  }
  bool operator!=(const ParameterValue& rhs) const { return !(*this == rhs); }

  template <ParameterType type>
  typename std::enable_if<type == PARAMETER_BOOL, const bool&>::type get() const {
    check(PARAMETER_BOOL);
    return bool_;
  }
  template <ParameterType type>
  typename std::enable_if<type == PARAMETER_INTEGER, const int64_t&>::type get() const {
    check(PARAMETER_INTEGER);
    return integer_;
  }
  template <ParameterType type>
  typename std::enable_if<type == PARAMETER_DOUBLE, const double&>::type get() const {
    check(PARAMETER_DOUBLE);
    return double_;
  }
  template <ParameterType type>
  typename std::enable_if<type == PARAMETER_STRING, const std::string&>::type get() const {
    check(PARAMETER_STRING);
    return string_;
  }

  template <typename type>
  typename std::enable_if<std::is_same<type, bool>::value, const bool&>::type get() const {
    return get<PARAMETER_BOOL>();
  }
  template <typename type>
  typename std::enable_if<std::is_integral<type>::value && !std::is_same<type, bool>::value,
                          const int64_t&>::type
  get() const {
    return get<PARAMETER_INTEGER>();
  }
  template <typename type>
  typename std::enable_if<std::is_floating_point<type>::value, const double&>::type get() const {
    return get<PARAMETER_DOUBLE>();
  }
  template <typename type>
  typename std::enable_if<std::is_convertible<type, std::string>::value, const std::string&>::type
  get() const {
    return get<PARAMETER_STRING>();
  }

 private:
  void check(ParameterType expected) const {
    if (type_ != expected) {
      throw ParameterTypeException(expected, type_);
    }
  }

  ParameterType type_ = PARAMETER_NOT_SET;
  bool bool_ = false;
  int64_t integer_ = 0;
  double double_ = 0.0;
  std::string string_;
};

}  // namespace rclcpp
