#include <algorithm>
#include <stdexcept>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <ament_index_cpp/get_package_prefix.hpp>
#include <ament_index_cpp/get_package_share_directory.hpp>

namespace ament_index_cpp {
namespace {

constexpr char kResourceIndex[] = "/share/ament_index/resource_index/packages/";

bool is_directory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The existing directories of a colon-separated list, in order.
std::vector<std::string> split_prefixes(const std::string& list) {
  std::vector<std::string> prefixes;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(':', start), list.size());
    const std::string prefix = list.substr(start, end - start);
    if (!prefix.empty() && is_directory(prefix)) {
      prefixes.push_back(prefix);
    }
    start = end + 1;
  }
  return prefixes;
}

// Without ROS 2 there is no setup file to source: the directory of the running program and the
// two above it stand in for AMENT_PREFIX_PATH. That finds the prefix of an installed program
// (<prefix>/lib/<package>/<program>) and of one in the build tree (<build>/<program>,
// <build>/tests/<program>) without a path fixed at build time.
constexpr int kProgramPrefixLevels = 3;

std::vector<std::string> program_prefixes() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  std::vector<std::string> prefixes;
  if (error) {
    return prefixes;
  }
  std::filesystem::path directory = program.parent_path();
  for (int level = 0; level < kProgramPrefixLevels && !directory.empty(); ++level) {
    prefixes.push_back(directory.string());
    if (directory == directory.root_path()) {
      break;
    }
    directory = directory.parent_path();
  }
  return prefixes;
}

std::vector<std::string> search_prefixes() {
  const char* ament_prefix_path = std::getenv("AMENT_PREFIX_PATH");
  if (ament_prefix_path == nullptr || *ament_prefix_path == '\0') {
    return program_prefixes();
  }
  return split_prefixes(ament_prefix_path);
}

std::string not_found_message(const std::string& package_name) {
  std::string searched;
  for (const auto& prefix : search_prefixes()) {
    searched += (searched.empty() ? "" : ", ") + prefix;
  }
  return "package '" + package_name + "' not found, searching: [" + searched + "]";
}

}  // namespace

PackageNotFoundError::PackageNotFoundError(const std::string& package_name)
    : std::out_of_range(not_found_message(package_name)), package_name(package_name) {}

PackageNotFoundError::~PackageNotFoundError() = default;

std::string get_package_share_directory(const std::string& package_name) {
  if (package_name.empty()) {
    throw std::runtime_error("ament_index_cpp::get_resource() resource name must not be empty");
  }
  for (const auto& prefix : search_prefixes()) {
    if (is_regular_file(prefix + kResourceIndex + package_name)) {
      return prefix + "/share/" + package_name;
    }
  }
  throw PackageNotFoundError(package_name);
}

}  // namespace ament_index_cpp
