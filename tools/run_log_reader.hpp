// Reads run logs (one JSON object per line, version 1, as the library writes them under
// VALTRIX_RUN_LOG) into the flows they configured and the runs they recorded. Shared by
// flow_replay and flow_report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "valtrix/trace/trace_records.hpp"

namespace valtrix::tools {

/// A `flow` line: one registration of a flow.
struct LoggedFlow {
  /// Rebuilt as the application configured it (no description, topic or publisher).
  std::shared_ptr<trace::TraceFlowCfg> cfg;
};

/// A `point` line.
struct LoggedPoint {
  std::string point_id;
  bool success = true;
  int64_t stamp_ms = 0;
  uint32_t index = 0;
  std::vector<std::pair<std::string, std::string>> metadata;
};

/// A `verdict` line: a CheckFlow of the run so far.
struct LoggedVerdict {
  trace::FlowCheckStatus status = trace::FlowCheckStatus::SUCCESS;
  std::optional<std::string> failure_point;
  std::optional<std::string> desired_point;
  uint64_t run_ms = 0;
  uint64_t run_points = 0;
  /// How many points of the run the log holds before this verdict.
  std::size_t points_before = 0;
};

/// The points of one flow between two registrations or resets, and the verdicts on them.
struct LoggedRun {
  std::string flow_id;
  /// 1 for the flow's first run in the logs, and so on.
  std::size_t number = 0;
  /// Index into `RunLog::flows` of the registration in force; nullopt when the logs hold none
  /// before the run (it began in a file not given, e.g. rotated away).
  std::optional<std::size_t> flow;
  /// Neither a registration nor a reset nor a point of index 0 opened it: its beginning is not
  /// in the logs.
  bool began_before_log = false;
  std::vector<LoggedPoint> points;
  std::vector<LoggedVerdict> verdicts;
};

struct RunLog {
  std::vector<LoggedFlow> flows;
  /// In the order they began.
  std::vector<LoggedRun> runs;
};

/// A file that cannot be read or a line that is not a valid version 1 line. what() is
/// "<file>:<line>: <reason>" (no line for a file that cannot be read at all).
class RunLogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Reads `paths` in the order given (rotated files oldest first: run.log.2 run.log.1 run.log),
/// as one log. An unterminated last line of a file (its writer was cut off) is skipped with a
/// warning "<file>:<line>: warning: ..." on `warnings`. Throws RunLogError.
RunLog ReadRunLogs(const std::vector<std::string>& paths, std::ostream& warnings);

/// "SUCCESS" ... "INVALID_FLOW".
const char* StatusName(trace::FlowCheckStatus status);

}  // namespace valtrix::tools
