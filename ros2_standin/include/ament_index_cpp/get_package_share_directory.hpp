#pragma once

#include <string>

namespace ament_index_cpp {

/// "<prefix>/share/<package_name>" of the first prefix on AMENT_PREFIX_PATH that registers the
/// package in its resource index. Throws PackageNotFoundError (get_package_prefix.hpp) when none
/// does, std::runtime_error for an empty name. Without ROS 2 no setup file sets
/// AMENT_PREFIX_PATH: unset or empty, the prefixes of the running program are searched instead
/// (where rclcpp's would throw std::runtime_error).
std::string get_package_share_directory(const std::string& package_name);

}  // namespace ament_index_cpp
