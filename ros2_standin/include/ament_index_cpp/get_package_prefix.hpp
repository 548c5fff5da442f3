#pragma once

#include <stdexcept>
#include <string>

namespace ament_index_cpp {

/// Thrown when no prefix holds the package; the message names the package and the prefixes
/// searched.
class PackageNotFoundError : public std::out_of_range {
 public:
  explicit PackageNotFoundError(const std::string& package_name);
  virtual ~PackageNotFoundError();

  const std::string package_name;
};

}  // namespace ament_index_cpp
