#pragma once

#include <string>

namespace rclcpp {

/// Expands a topic or service name as a node named `node_name` in `namespace_` would, and
/// validates both the name as written and the result. Throws InvalidTopicNameError (or
/// InvalidServiceNameError when `is_service`), InvalidNodeNameError or InvalidNamespaceError,
/// and std::runtime_error for a name with an unknown substitution, as rclcpp does.
std::string expand_topic_or_service_name(const std::string& name, const std::string& node_name,
                                         const std::string& namespace_, bool is_service = false);

}  // namespace rclcpp
