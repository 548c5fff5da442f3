#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <yaml-cpp/yaml.h>

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

/// Most nodes that aliases may reach in one configuration, counting for each alias the whole
/// node it names with the aliases inside expanded. A few kilobytes of nested aliases name
/// billions of nodes, and whoever walks them pays for every one.
constexpr uint64_t kMaxAliasedNodes = 1000000;

/// The whole text of the configuration file at `path`. A directory, FIFO or socket is refused
/// before it is opened (a FIFO would block the caller until someone writes to it), a text
/// longer than kMaxConfigBytes once that much is read, and every failure to open or read is
/// thrown as a YAML::Exception naming the problem and the path, so that it is reported like any
/// other unreadable configuration. A path that cannot be opened throws ConfigFileNotOpened.
std::string ReadConfigFile(const std::string& path);

/// The alias of `yaml`'s first document at which the nodes reached through aliases pass
/// kMaxAliasedNodes; empty when they stay within. Counted on the parser's events, so its cost
/// follows the text, not the expansion. `yaml` is one that YAML::Load accepts.
std::optional<YAML::Mark> FindAliasExcess(const std::string& yaml);

/// The first document of the configuration file at `path`, as YAML::Load reads it; a file
/// past either limit is refused with a YAML::Exception naming the problem and the path.
YAML::Node LoadConfigFile(const std::string& path);

}  // namespace valtrix::trace
