#pragma once

#include <chrono>
#include <cstdint>

namespace valtrix::trace {

/// The system clock in milliseconds since the Unix epoch, truncated: the time of trace points.
inline int64_t NowMilliseconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
}

}  // namespace valtrix::trace
