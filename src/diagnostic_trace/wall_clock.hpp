#pragma once

#include <chrono>
#include <cstdint>

namespace valtrix::trace {

/// The system clock in nanoseconds since the Unix epoch: the stamp of progressive events.
inline int64_t NowNanoseconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
}

/// The system clock in milliseconds since the Unix epoch, truncated: the time of trace points.
inline int64_t NowMilliseconds() { return NowNanoseconds() / 1000000; }

}  // namespace valtrix::trace
