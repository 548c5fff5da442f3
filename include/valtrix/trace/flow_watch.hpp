#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace valtrix::trace {

/// What the registry keeps of one flow, beside its record, to report the points that are overdue
/// (`FlowTrace::CheckTimeouts`). Bookkeeping of `FlowTrace`, not meant for applications.
///
/// A wait is the time during which an expected point has not come; it is named by a position in
/// the record. Records only grow between resets, and every reset, re-registration or reload
/// starts the flow's watch afresh, so a position names one wait only.
struct FlowWatch {
  /// Names a wait, as described at the fields that hold one.
  using Wait = std::size_t;

  /// One configured point of an unordered flow.
  struct PointWatch {
    /// Position in the record of the newest entry with the point's id, plus one; 0 while the
    /// record holds none. Kept only for points with a minimum frequency.
    Wait newest = 0;
    /// Timestamp of that entry.
    int64_t newest_timestamp = 0;
    /// The `newest` of the wait in which the point was last reported overdue.
    std::optional<Wait> reported;
  };

  /// Ordered flows: the size of the record when the expected point was last reported overdue.
  std::optional<Wait> reported;
  /// Unordered flows: one entry per configured point, by position in `flow_points`.
  std::vector<PointWatch> points;
};

}  // namespace valtrix::trace
