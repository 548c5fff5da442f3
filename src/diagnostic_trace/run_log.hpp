#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "valtrix/trace/flow_trace.hpp"

namespace spdlog::sinks {
class sink;
}

namespace valtrix::trace {

/// Where the run log goes and how much of it is kept.
struct RunLogSettings {
  /// The file; empty: no run log.
  std::string path;
  /// Size at which the file is rotated.
  std::size_t max_bytes = FlowTrace::kDefaultRunLogMaxBytes;
  /// Rotated files kept beside it.
  std::size_t max_files = FlowTrace::kDefaultRunLogFiles;
};

/// The settings that VALTRIX_RUN_LOG, VALTRIX_RUN_LOG_MAX_BYTES and VALTRIX_RUN_LOG_FILES give.
/// A number that cannot be used is logged (ERROR) and its default taken.
RunLogSettings RunLogSettingsFromEnvironment();

/// The verdict's name ("MISSING_POINT"), as /diagnostics and the run log write it.
const char* NameOf(FlowCheckStatus status);

/// The run log: one JSON object per line for each registration, reset, traced point and verdict
/// (format version 1), through spdlog's rotating file sink. Every member but `Open` runs with the
/// registry's lock held, so the lines come in the order of the records. A line that cannot be
/// written closes the log with one ERROR line; nothing is thrown to the caller.
class RunLog {
 public:
  using Sink = std::shared_ptr<spdlog::sinks::sink>;

  /// The sink for `settings`, or empty (with an ERROR line naming the path and the reason) when
  /// the file cannot be opened. An existing file is rotated first: every opening starts a file.
  static Sink Open(const RunLogSettings& settings);
  /// Puts `sink` in place (empty: no run log) and hands back the previous one in it, to be
  /// released once the lock is given back.
  void Swap(Sink& sink) { sink_.swap(sink); }

  /// A registration of `flow`: a new run.
  void Flow(const TraceFlowCfg& flow) {
    if (sink_) {
      WriteFlow(flow);
    }
  }
  /// A reset of the flow: a new run.
  void Reset(const std::string& flow_id) {
    if (sink_) {
      WriteReset(flow_id);
    }
  }
  /// A point just recorded.
  void Point(const std::string& flow_id, const TracePoint& point) {
    if (sink_) {
      WritePoint(flow_id, point);
    }
  }
  /// A verdict of `CheckFlow` on `record`.
  void Verdict(const std::string& flow_id, const FlowCheckResult& result,
               const PointQueue& record) {
    if (sink_) {
      WriteVerdict(flow_id, result, record);
    }
  }

 private:
  void WriteFlow(const TraceFlowCfg& flow);
  void WriteReset(const std::string& flow_id);
  void WritePoint(const std::string& flow_id, const TracePoint& point);
  void WriteVerdict(const std::string& flow_id, const FlowCheckResult& result,
                    const PointQueue& record);
  /// Builds one line, the keys every line has and then what `body` appends, and hands it to
  /// the sink; `flush` pushes it to the file.
  template <typename Body>
  void Write(std::string_view type, const std::string& flow_id, int64_t stamp_ms, bool flush,
             const Body& body);

  Sink sink_;
  /// The line being built, kept so that its storage is reused.
  fmt::memory_buffer line_;
};

}  // namespace valtrix::trace
