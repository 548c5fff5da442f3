#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "valtrix/trace/trace_records.hpp"

namespace valtrix::trace {

/// What the current run of a flow has shown so far, for its status on /diagnostics
/// (`FlowTrace::CollectDiagnostics`). Bookkeeping of `FlowTrace`, not meant for applications.
struct FlowHealth {
  /// The worst finding of the progressive check in the run.
  enum class Findings : uint8_t { kNone, kWarning, kError };

  Findings findings = Findings::kNone;
  /// The run's first finding, worded as the check words it; empty while there is none.
  std::string first_finding;
  /// Verdict of the run's latest `CheckFlow`.
  std::optional<FlowCheckStatus> last_verdict;
  /// The run's first verdict other than `SUCCESS`.
  std::optional<FlowCheckStatus> failed_verdict;
};

/// What the registry keeps of one flow beside its record and configuration: what reports the
/// points that are overdue (`FlowTrace::CheckTimeouts`), and the run's health. Bookkeeping of
/// `FlowTrace`, not meant for applications.
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
  /// What the run has shown so far.
  FlowHealth health;
};

/// A registered flow as the registry's maps hold it, so that the flows can be walked in flow id
/// order without looking each one up. Valid while no flow is added or removed.
struct RegisteredFlow {
  const std::string* flow_id;
  const std::shared_ptr<TraceFlowCfg>* flow;
  const PointQueue* record;
  const FlowWatch* watch;
};

}  // namespace valtrix::trace
