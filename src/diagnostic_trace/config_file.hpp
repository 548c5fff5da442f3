#pragma once

#include <string>

namespace valtrix::trace {

/// The whole text of the configuration file at `path`. A directory, FIFO or socket is refused
/// before it is opened (a FIFO would block the caller until someone writes to it), and every
/// failure to open or read is thrown as a YAML::Exception naming the problem and the path, so
/// that it is reported like any other unreadable configuration. A path that cannot be opened
/// gives yaml-cpp's own "bad file: <path>".
std::string ReadConfigFile(const std::string& path);

}  // namespace valtrix::trace
