#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace valtrix::trace {

/// A summary of durations in milliseconds. `min_ms`, `max_ms` and `mean_ms` are exact; the
/// percentiles are read from log-linear buckets and lie within 3.1 % of the true value (and
/// always between `min_ms` and `max_ms`). All zero while `count` is 0.
struct DurationSummary {
  /// How many durations were measured.
  uint64_t count = 0;
  /// The shortest.
  uint64_t min_ms = 0;
  /// The arithmetic mean.
  double mean_ms = 0.0;
  /// The median.
  double p50_ms = 0.0;
  /// The 95th percentile.
  double p95_ms = 0.0;
  /// The longest.
  uint64_t max_ms = 0;
};

/// What the arrivals of one configured point showed since its flow was registered.
struct PointStatistics {
  /// The configured point's id.
  std::string point_id;
  /// Entries traced with this id, wherever they stood in their run.
  uint64_t arrivals = 0;
  /// Those traced with `success` false.
  uint64_t failed = 0;
  /// Those whose step duration exceeded the point's `timeout_ms` (when that is not 0).
  uint64_t late = 0;
  /// Step durations: the time from the previous entry of the run (0 when that entry is stamped
  /// later). A run's first entry has none.
  DurationSummary step;
};

/// What the runs of one flow showed since it was registered: kept across `ResetFlow`, cleared by
/// re-registration, `RemoveTraceFlow` and `Init`.
struct FlowStatistics {
  /// The flow's id; empty for a flow that is not registered.
  std::string flow_id;
  /// Runs judged by `CheckFlow` (each call counts one).
  uint64_t runs = 0;
  /// Those runs by verdict, indexed by the value of `FlowCheckStatus`.
  std::array<uint64_t, 7> verdicts{};
  /// Run durations, first to last entry of the run, taken at each `CheckFlow` of a non-empty run.
  DurationSummary run;
  /// Entries dropped beyond `TraceFlowCfg::max_record`.
  uint64_t dropped = 0;
  /// One per configured point, in the configured order (a point configured twice appears twice,
  /// and arrivals with its id count for the position that the check matched).
  std::vector<PointStatistics> points;
};

}  // namespace valtrix::trace
