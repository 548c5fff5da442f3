#pragma once

#include <stdexcept>
#include <string>

namespace ament_index_cpp {

/// Thrown when no prefix holds the package.
class PackageNotFoundError : public std::out_of_range {
 public:
  PackageNotFoundError(const std::string& package_name, const std::string& what_arg)
      : std::out_of_range(what_arg), package_name(package_name) {}

  std::string package_name;
};

/// "<prefix>/share/<package_name>" of the first prefix on AMENT_PREFIX_PATH (then the build's
/// own prefixes) that registers the package in its resource index.
std::string get_package_share_directory(const std::string& package_name);

}  // namespace ament_index_cpp
