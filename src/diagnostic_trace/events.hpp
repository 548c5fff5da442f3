#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <builtin_interfaces/msg/time.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace valtrix::trace {

constexpr int32_t kOutcomeOk = 0;
constexpr int32_t kOutcomeFailed = 1;

/// An event as the library publishes it. The checks differ only in its stamp: the progressive
/// check's is now, CheckTimeouts' now in whole milliseconds, CheckFlow's zero.
inline valtrix_protocol::msg::DiagnosticEvent MakeEvent(const builtin_interfaces::msg::Time& stamp,
                                                        const std::string& source_id,
                                                        uint32_t event_code, int32_t outcome,
                                                        std::string detail) {
  valtrix_protocol::msg::DiagnosticEvent event;
  event.stamp = stamp;
  event.source_id = source_id;
  event.event_code = static_cast<decltype(event.event_code)>(event_code);
  event.outcome = static_cast<decltype(event.outcome)>(outcome);
  event.detail = std::move(detail);
  return event;
}

}  // namespace valtrix::trace
