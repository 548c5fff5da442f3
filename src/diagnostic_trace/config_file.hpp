#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <yaml-cpp/exceptions.h>

namespace valtrix::trace {

/// The file could not be opened; what() is yaml-cpp's own "bad file: <path>", and the system's
/// reason is kept for callers that say more.
class ConfigFileNotOpened : public YAML::BadFile {
 public:
  ConfigFileNotOpened(const std::string& path, int error_number)
      : YAML::BadFile(path), error_number(error_number) {}
  const int error_number;
};

/// Longest configuration read; a longer file, or a device without end such as /dev/zero, is
/// refused.
constexpr size_t kMaxConfigBytes = size_t{64} << 20;

/// The whole text of the configuration file at `path`. A directory, FIFO or socket is refused
/// before it is opened (a FIFO would block the caller until someone writes to it), so is a
/// text longer than kMaxConfigBytes, and every failure to open or read is thrown as a
/// YAML::Exception naming the problem and the path, so that it is reported like any other
/// unreadable configuration. A path that cannot be opened throws ConfigFileNotOpened.
std::string ReadConfigFile(const std::string& path);

}  // namespace valtrix::trace
