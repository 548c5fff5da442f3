#include <cctype>
#include <stdexcept>
#include <string>

#include <rclcpp/exceptions.hpp>
#include <rclcpp/expand_topic_or_service_name.hpp>

#include "standin_internal.hpp"

namespace ros2_standin {
namespace {

using rclcpp::exceptions::InvalidNamespaceError;
using rclcpp::exceptions::InvalidNodeNameError;
using rclcpp::exceptions::InvalidTopicNameError;

bool is_alnum_or_underscore(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

[[noreturn]] void reject_topic(const std::string& name, const char* problem, size_t index) {
  throw InvalidTopicNameError(name.c_str(), problem, index);
}

// Checks a topic name as written by the user, before expansion.
void validate_topic_name(const std::string& name) {
  if (name.empty()) {
    reject_topic(name, "topic name must not be empty string", 0);
  }
  if (name.back() == '/') {
    reject_topic(name, "topic name must not end with a forward slash", name.size() - 1);
  }
  size_t brace_open = std::string::npos;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (brace_open != std::string::npos) {
      if (c == '}') {
        brace_open = std::string::npos;
      } else if (!is_alnum_or_underscore(c)) {
        reject_topic(name, "topic name substitutions must only contain alphanumerics and '_'", i);
      } else if (i == brace_open + 1 && is_digit(c)) {
        reject_topic(name, "topic name substitutions must not start with a number", i);
      }
      continue;
    }
    if (c == '{') {
      brace_open = i;
    } else if (c == '}') {
      reject_topic(name, "topic name must not have unmatched (unbalanced) curly braces '{}'", i);
    } else if (c == '~') {
      if (i != 0) {
        reject_topic(name, "topic name must not have tilde '~' unless it is the first character", i);
      }
      // rcl checks the character after the tilde only when another one follows it, so "~a"
      // passes (and expands to "<node>a") while "~ab" does not.
      if (name.size() > 2 && name[1] != '/') {
        reject_topic(name,
                     "topic name must not have a tilde '~' that is not followed by a forward "
                     "slash '/'",
                     1);
      }
    } else if (c == '/') {
      if (i > 0 && name[i - 1] == '/') {
        reject_topic(name, "topic name must not contain repeated '/'", i);
      }
    } else if (!is_alnum_or_underscore(c)) {
      reject_topic(name,
                   "topic name must not contain characters other than alphanumerics, '_', '~', "
                   "'{', or '}'",
                   i);
    } else if (is_digit(c) && (i == 0 || name[i - 1] == '/')) {
      reject_topic(name, "topic name token must not start with a number", i);
    }
  }
  if (brace_open != std::string::npos) {
    reject_topic(name, "topic name must not have unmatched (unbalanced) curly braces '{}'",
                 brace_open);
  }
}

// rmw's RMW_TOPIC_MAX_NAME_LENGTH: 255 characters less 8 reserved for the middleware's prefixes
// ("rt" and the like), which rclcpp applies to the fully qualified name.
constexpr size_t kMaxTopicNameLength = 255 - 8;

// Checks the result of expansion and remapping: an absolute name of plain tokens.
void validate_full_topic_name(const std::string& name) {
  if (name.empty() || name[0] != '/') {
    reject_topic(name, "topic name must be absolute, it must lead with a '/'", 0);
  }
  if (name.size() > 1 && name.back() == '/') {
    reject_topic(name, "topic name must not end with a forward slash", name.size() - 1);
  }
  for (size_t i = 1; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '/') {
      if (name[i - 1] == '/') {
        reject_topic(name, "topic name must not contain repeated '/'", i);
      }
    } else if (!is_alnum_or_underscore(c)) {
      reject_topic(name,
                   "topic name must not contain characters other than alphanumerics, '_', or '/'",
                   i);
    } else if (is_digit(c) && name[i - 1] == '/') {
      reject_topic(name, "topic name token must not start with a number", i);
    }
  }
  // Checked last, as rmw does, whose text names the limit as its macro spells it.
  if (name.size() > kMaxTopicNameLength) {
    reject_topic(name, "topic length should not exceed '255U - 8U'", kMaxTopicNameLength - 1);
  }
}

std::string substitute(const std::string& name, const std::string& node_name,
                       const std::string& namespace_) {
  std::string result;
  size_t i = 0;
  while (i < name.size()) {
    if (name[i] != '{') {
      result += name[i++];
      continue;
    }
    const size_t close = name.find('}', i);
    const std::string key = name.substr(i + 1, close - i - 1);
    if (key == "node") {
      result += node_name;
    } else if (key == "ns" || key == "namespace") {
      result += namespace_;
    } else {
      // rcl fails to expand such a name although it validates; rclcpp reports exactly that.
      throw std::runtime_error("topic name unexpectedly valid");
    }
    i = close + 1;
  }
  return result;
}

}  // namespace

void validate_node_name(const std::string& name) {
  if (name.empty()) {
    throw InvalidNodeNameError(name.c_str(), "node name must not be empty", 0);
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (!is_alnum_or_underscore(name[i])) {
      throw InvalidNodeNameError(
          name.c_str(), "node name must not contain characters other than alphanumerics or '_'", i);
    }
  }
  if (is_digit(name[0])) {
    throw InvalidNodeNameError(name.c_str(), "node name must not start with a number", 0);
  }
}

void validate_namespace(const std::string& namespace_) {
  const char* text = namespace_.c_str();
  if (namespace_.empty() || namespace_[0] != '/') {
    throw InvalidNamespaceError(text, "namespace must be absolute, it must lead with a '/'", 0);
  }
  if (namespace_.size() > 1 && namespace_.back() == '/') {
    throw InvalidNamespaceError(text, "namespace must not end with a '/', unless only a '/'",
                                namespace_.size() - 1);
  }
  for (size_t i = 1; i < namespace_.size(); ++i) {
    const char c = namespace_[i];
    if (c == '/') {
      if (namespace_[i - 1] == '/') {
        throw InvalidNamespaceError(text, "namespace must not contain repeated '/'", i);
      }
    } else if (!is_alnum_or_underscore(c)) {
      throw InvalidNamespaceError(
          text, "namespace must not contain characters other than alphanumerics, '_', or '/'", i);
    } else if (is_digit(c) && namespace_[i - 1] == '/') {
      throw InvalidNamespaceError(text, "namespace must not have a token that starts with a number",
                                  i);
    }
  }
}

std::string fully_qualified_node_name(const std::string& node_name,
                                      const std::string& namespace_) {
  return namespace_ == "/" ? "/" + node_name : namespace_ + "/" + node_name;
}

std::string expand_topic_name(const std::string& name, const std::string& node_name,
                              const std::string& namespace_) {
  validate_topic_name(name);
  std::string expanded = substitute(name, node_name, namespace_);
  if (expanded[0] == '~') {
    expanded = fully_qualified_node_name(node_name, namespace_) + expanded.substr(1);
  }
  if (expanded[0] != '/') {
    expanded = (namespace_ == "/" ? "/" : namespace_ + "/") + expanded;
  }
  validate_full_topic_name(expanded);
  return expanded;
}

}  // namespace ros2_standin


std::string rclcpp::expand_topic_or_service_name(const std::string& name,
                                                 const std::string& node_name,
                                                 const std::string& namespace_, bool is_service) {
  using exceptions::InvalidNamespaceError;
  using exceptions::InvalidServiceNameError;
  using exceptions::InvalidTopicNameError;
  try {
    // rcl checks the name as written, then the node name, then the namespace.
    ros2_standin::validate_topic_name(name);
    ros2_standin::validate_node_name(node_name);
    if (namespace_.empty()) {
      throw InvalidNamespaceError("", "namespace must not be empty", 0);
    }
    ros2_standin::validate_namespace(namespace_);
    return ros2_standin::expand_topic_name(name, node_name, namespace_);
  } catch (const InvalidTopicNameError& error) {
    if (!is_service) {
      throw;
    }
    throw InvalidServiceNameError(error.name.c_str(), error.error_msg.c_str(),
                                  error.invalid_index);
  }
}
