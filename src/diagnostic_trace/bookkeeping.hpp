#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/node.hpp>
#include <rclcpp/publisher.hpp>

#include "statistics.hpp"
#include "run_log.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

/// What the current run of a flow has shown so far, for its status on /diagnostics.
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
/// points that are overdue (`CheckTimeouts`), and the run's health.
///
/// A wait is the time during which an expected point has not come; it is named by a position in
/// the run (`Wait`): the record's, plus the entries dropped beyond `max_record`. Positions only
/// grow between resets, and every reset, re-registration or reload starts the flow's watch
/// afresh, so a position names one wait only.
struct FlowWatch {
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
  /// Entries of the run dropped beyond `max_record`, and the time of the run's first entry once
  /// it is among them.
  Wait dropped = 0;
  int64_t first_timestamp = 0;

  /// The number of entries the run has had.
  Wait RunLength(const PointQueue& record) const { return dropped + record.size(); }
  /// The time of the run's first entry; the record must not be empty.
  int64_t RunStart(const PointQueue& record) const {
    return dropped != 0 ? first_timestamp : record.front()->timestamp;
  }
};

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

/// What the registry keeps beside its three maps.
struct FlowTrace::Bookkeeping {
  /// The watch of every registered flow, keyed by its configuration (so that `Trace` finds it
  /// without hashing the flow id again); a configuration that is replaced or removed takes its
  /// watch along. Guarded by `mutex_`.
  std::unordered_map<const TraceFlowCfg*, FlowWatch> watches;

  /// The run log, closed unless opened; guarded by `mutex_`.
  RunLog run_log;

  /// Guards the two members below. Taken before `mutex_` when both are needed, so that
  /// `Trace` waits for the collection of the health but not for its publication.
  std::mutex diagnostics_mutex;
  /// `PublishDiagnostics`' publisher and the node it was made on.
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr diagnostics_publisher;
  std::weak_ptr<rclcpp::Node> diagnostics_node;

  /// Starts the flow's watch afresh (a new run, registration or reload); with `mutex_` held.
  void RestartWatch(const TraceFlowCfg& flow);
  /// Notes the newest entry of an unordered flow's record; with `mutex_` held.
  void NoteArrival(const TraceFlowCfg& flow, const PointQueue& record);

  /// Whether `Trace` (through `CountArrival`) and `CheckFlow` keep statistics; only benchmarks
  /// turn it off, to measure what they cost.
  bool statistics = true;
  /// Counts a run judged by `CheckFlow`; with `mutex_` held.
  void TallyRun(const TraceFlowCfg& flow, const PointQueue& record, FlowCheckStatus verdict);
  /// Numbers the newest entry by its position in the run and drops the oldest entries beyond the
  /// flow's `max_record`; with `mutex_` held.
  void BoundRecord(const TraceFlowCfg& flow, PointQueue& record);

  /// The registry's members, for code of this package that is not a member of `FlowTrace`:
  /// its three maps, mutex, node and bookkeeping, in that order.
  static auto MembersOf(FlowTrace& trace) {
    return std::tie(trace.flow_queues_, trace.flow_configs_, trace.flow_handlers_, trace.mutex_,
                    trace.node_, *trace.bookkeeping_);
  }
};

}  // namespace valtrix::trace
