// Node parameters: the values given with `--ros-args -p`, declared and read as rclcpp does.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include <rclcpp/exceptions.hpp>
#include <rclcpp/node.hpp>
#include <rclcpp/parameter.hpp>
#include <rclcpp/parameter_value.hpp>

#include "standin_internal.hpp"

namespace ros2_standin {
namespace {

bool is_token_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// token ('.' token)*, as rcl reads a parameter name.
bool is_parameter_name(const std::string& name) {
  bool token_started = false;
  for (const char c : name) {
    if (c == '.' && token_started) {
      token_started = false;
    } else if (is_token_char(c)) {
      token_started = true;
    } else {
      return false;
    }
  }
  return token_started;
}

bool is_one_of(const std::string& text, std::initializer_list<const char*> spellings) {
  for (const char* spelling : spellings) {
    if (text == spelling) {
      return true;
    }
  }
  return false;
}

// The text of a quoted YAML scalar, quotes removed; false when `text` is not quoted.
bool unquote(const std::string& text, std::string& out) {
  if (text.size() < 2 || (text.front() != '\'' && text.front() != '"') ||
      text.back() != text.front()) {
    return false;
  }
  const std::string inner = text.substr(1, text.size() - 2);
  out.clear();
  for (size_t i = 0; i < inner.size(); ++i) {
    const bool escaped = text.front() == '\'' ? inner[i] == '\'' : inner[i] == '\\';
    if (escaped && i + 1 < inner.size()) {
      ++i;
    }
    out += inner[i];
  }
  return true;
}

// A plain YAML scalar typed as rcl_yaml_param_parser types it: booleans in YAML 1.1 spellings,
// then integers (strtoll, any base), then doubles (strtod), else a string.
rclcpp::ParameterValue plain_scalar(const std::string& text) {
  if (is_one_of(text, {"Y", "y", "yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"})) {
    return rclcpp::ParameterValue(true);
  }
  if (is_one_of(text,
                {"N", "n", "no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"})) {
    return rclcpp::ParameterValue(false);
  }
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long integer = std::strtoll(begin, &end, 0);
  if (errno == 0 && end != begin && *end == '\0') {
    return rclcpp::ParameterValue(static_cast<int64_t>(integer));
  }
  errno = 0;
  const double real = std::strtod(begin, &end);
  if (errno == 0 && end != begin && *end == '\0') {
    return rclcpp::ParameterValue(real);
  }
  return rclcpp::ParameterValue(text);
}

}  // namespace

bool parse_parameter_rule(const std::string& text, ParameterRule& rule) {
  const auto separator = text.find(":=");
  if (separator == std::string::npos || separator + 2 == text.size()) {
    return false;
  }
  std::string name = text.substr(0, separator);
  const auto node_separator = name.find(':');
  if (node_separator != std::string::npos) {
    rule.node_name = name.substr(0, node_separator);
    name = name.substr(node_separator + 1);
    for (const char c : rule.node_name) {
      if (!is_token_char(c)) {
        return false;
      }
    }
    if (rule.node_name.empty()) {
      return false;
    }
  }
  if (!is_parameter_name(name)) {
    return false;
  }
  rule.name = name;
  const std::string value = text.substr(separator + 2);
  // Sequences and mappings (parameter arrays) are beyond the stand-in.
  if (value.front() == '[' || value.front() == '{') {
    return false;
  }
  std::string unquoted;
  rule.value = unquote(value, unquoted) ? rclcpp::ParameterValue(unquoted) : plain_scalar(value);
  return true;
}

namespace {

// The parameters under one node entry of a file: nested mappings name "outer.inner".
void read_parameters(const YAML::Node& values, const std::string& prefix,
                     const std::string& node_name, std::vector<ParameterRule>& rules) {
  for (const auto& entry : values) {
    const std::string name = prefix + entry.first.as<std::string>();
    const YAML::Node& value = entry.second;
    if (value.IsMap()) {
      read_parameters(value, name + ".", node_name, rules);
    } else if (value.IsScalar() && is_parameter_name(name)) {
      // yaml-cpp tags a quoted scalar "!": a string whatever it spells.
      const std::string& text = value.Scalar();
      rules.push_back({node_name, name,
                       value.Tag() == "!" ? rclcpp::ParameterValue(text) : plain_scalar(text)});
    } else {
      throw std::invalid_argument("parameter '" + name + "' is not a scalar the stand-in holds");
    }
  }
}

}  // namespace

std::string read_parameter_file(const std::string& path, std::vector<ParameterRule>& rules) {
  YAML::Node file;
  try {
    file = YAML::LoadFile(path);
  } catch (const YAML::BadFile&) {
    return "Error opening YAML file";
  } catch (const YAML::Exception& error) {
    return error.what();
  }
  try {
    for (const auto& entry : file) {
      // "/**" names every node, "/ns/node" (or "node") one; rclcpp humble matches no other
      // wildcard, so such an entry applies to no node.
      std::string node_name = entry.first.as<std::string>();
      node_name = node_name == "/**" ? "" : node_name.substr(node_name.front() == '/' ? 1 : 0);
      const YAML::Node values = entry.second["ros__parameters"];
      if (!values.IsMap()) {
        return "no ros__parameters mapping under '" + entry.first.as<std::string>() + "'";
      }
      read_parameters(values, "", node_name, rules);
    }
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

std::map<std::string, rclcpp::ParameterValue> resolve_parameter_overrides(
    const std::string& fully_qualified_name, const std::vector<ParameterRule>& global_rules,
    const std::vector<ParameterRule>& local_rules) {
  std::map<std::string, rclcpp::ParameterValue> overrides;
  // As rclcpp resolves them: per source, the values for every node ("/**") first, then those
  // named for this node, each in the order given.
  for (const auto* rules : {&global_rules, &local_rules}) {
    for (const bool for_every_node : {true, false}) {
      for (const ParameterRule& rule : *rules) {
        if (for_every_node ? rule.node_name.empty()
                           : "/" + rule.node_name == fully_qualified_name) {
          overrides[rule.name] = rule.value;
        }
      }
    }
  }
  return overrides;
}

}  // namespace ros2_standin

namespace rclcpp {

std::string to_string(ParameterType type) {
  switch (type) {
    case PARAMETER_NOT_SET: return "not set";
    case PARAMETER_BOOL: return "bool";
    case PARAMETER_INTEGER: return "integer";
    case PARAMETER_DOUBLE: return "double";
    case PARAMETER_STRING: return "string";
    case PARAMETER_BYTE_ARRAY: return "byte_array";
    case PARAMETER_BOOL_ARRAY: return "bool_array";
    case PARAMETER_INTEGER_ARRAY: return "integer_array";
    case PARAMETER_DOUBLE_ARRAY: return "double_array";
    case PARAMETER_STRING_ARRAY: return "string_array";
  }
  return "unknown type";
}

const ParameterValue& Node::declare_parameter(
    const std::string& name, const ParameterValue& default_value,
    const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor, bool ignore_override) {
  if (name.empty()) {
    throw exceptions::InvalidParametersException("parameter name must not be empty");
  }
  std::lock_guard<std::mutex> lock(state_->parameters_mutex);
  if (state_->parameters.count(name) != 0) {
    throw exceptions::ParameterAlreadyDeclaredException("parameter '" + name +
                                                        "' has already been declared");
  }
  const bool static_type = !parameter_descriptor.dynamic_typing;
  if (static_type && default_value.get_type() == PARAMETER_NOT_SET) {
    throw exceptions::InvalidParameterTypeException(
        name, "cannot declare a statically typed parameter with an uninitialized value");
  }
  const ParameterValue* initial = &default_value;
  const auto override_value = state_->parameter_overrides.find(name);
  if (!ignore_override && override_value != state_->parameter_overrides.end()) {
    initial = &override_value->second;
  }
  if (static_type && initial->get_type() != default_value.get_type()) {
    throw exceptions::InvalidParameterTypeException(
        name, "Wrong parameter type, parameter {" + name + "} is of type {" +
                  to_string(default_value.get_type()) + "}, setting it to {" +
                  to_string(initial->get_type()) + "} is not allowed.");
  }
  auto& declared = state_->parameters[name];
  declared.value = *initial;
  declared.descriptor = parameter_descriptor;
  declared.descriptor.name = name;
  declared.descriptor.type = static_type ? default_value.get_type() : PARAMETER_NOT_SET;
  return declared.value;
}

Parameter Node::get_parameter(const std::string& name) const {
  std::lock_guard<std::mutex> lock(state_->parameters_mutex);
  const auto declared = state_->parameters.find(name);
  if (declared == state_->parameters.end()) {
    throw exceptions::ParameterNotDeclaredException(name);
  }
  return Parameter(name, declared->second.value);
}

}  // namespace rclcpp
