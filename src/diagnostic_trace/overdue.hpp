#pragma once

#include <cstdint>
#include <optional>

#include "valtrix/trace/flow_watch.hpp"
#include "valtrix/trace/trace_records.hpp"

namespace valtrix::trace {

/// A point that `CheckTimeouts` has reported overdue, timed at a given moment.
struct OverduePoint {
  const TracePointCfg* point;
  uint64_t elapsed_ms;
  uint64_t limit_ms;
};

/// The first point of the flow still overdue in the wait in which `CheckTimeouts` reported it
/// (a newer entry of the flow, ordered, or of the point, unordered, ends that wait, as does a new
/// run); its elapsed time is taken at `now`. With the registry's lock held.
std::optional<OverduePoint> ReportedOverdue(const PointQueue& record, const TraceFlowCfg& flow,
                                            const FlowWatch& watch, int64_t now);

}  // namespace valtrix::trace
