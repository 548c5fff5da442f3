#include "run_log.hpp"

#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include "bookkeeping.hpp"
#include "valtrix/control_escape.hpp"
#include "valtrix/logger.hpp"
#include "wall_clock.hpp"

namespace valtrix::trace {

namespace {

constexpr char kPathVariable[] = "VALTRIX_RUN_LOG";
constexpr char kMaxBytesVariable[] = "VALTRIX_RUN_LOG_MAX_BYTES";
constexpr char kFilesVariable[] = "VALTRIX_RUN_LOG_FILES";
// spdlog's rotating sink refuses more.
constexpr std::size_t kMostFiles = 200000;

// A whole decimal number from `least` to `most`, nothing around it.
std::optional<std::size_t> ReadCount(const char* text, std::size_t least, std::size_t most) {
  const char* end = text + std::strlen(text);
  std::size_t value = 0;
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || stop == text || value < least || value > most) {
    return std::nullopt;
  }
  return value;
}

std::size_t CountOrDefault(const char* name, std::size_t least, std::size_t most,
                           std::size_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) {
    return fallback;
  }
  if (const auto value = ReadCount(text, least, most)) {
    return *value;
  }
  LOG_ERROR("Environment variable {} is '{}', not a whole number from {} to {}; {} is used", name,
            text, least, most, fallback);
  return fallback;
}

void Append(fmt::memory_buffer& out, std::string_view text) {
  out.append(text.data(), text.data() + text.size());
}

void AppendBool(fmt::memory_buffer& out, bool value) { Append(out, value ? "true" : "false"); }

template <typename Integer>
void AppendInteger(fmt::memory_buffer& out, Integer value) {
  const fmt::format_int text(value);
  out.append(text.data(), text.data() + text.size());
}

// JSON has neither NaN nor infinity. A NaN minimum frequency sets no limit, as 0 does; an
// infinite one is written as the largest float.
void AppendNumber(fmt::memory_buffer& out, float value) {
  if (std::isnan(value)) {
    value = 0.0F;
  } else if (std::isinf(value)) {
    value = std::copysign(FLT_MAX, value);
  }
  fmt::format_to(fmt::appender(out), "{}", value);
}

void AppendIdOrNull(fmt::memory_buffer& out, const std::string* id) {
  if (id == nullptr) {
    Append(out, "null");
  } else {
    AppendJsonString(out, *id);
  }
}

}  // namespace

RunLogSettings RunLogSettingsFromEnvironment() {
  RunLogSettings settings;
  const char* path = std::getenv(kPathVariable);
  if (path == nullptr || *path == '\0') {
    return settings;
  }
  settings.path = path;
  settings.max_bytes =
      CountOrDefault(kMaxBytesVariable, 1, SIZE_MAX, FlowTrace::kDefaultRunLogMaxBytes);
  settings.max_files =
      CountOrDefault(kFilesVariable, 0, kMostFiles, FlowTrace::kDefaultRunLogFiles);
  return settings;
}

RunLog::Sink RunLog::Open(const RunLogSettings& settings) {
  try {
    // Rotated on opening: a line that an earlier process left unfinished stays the last of its
    // file instead of standing between two whole ones.
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        settings.path, settings.max_bytes, settings.max_files, /*rotate_on_open=*/true);
    sink->set_pattern("%v");
    LOG_INFO("Run log: '{}' ({} bytes per file, {} rotated files kept)", settings.path,
             settings.max_bytes, settings.max_files);
    return sink;
  } catch (const std::exception& error) {
    LOG_ERROR("Run log '{}' not opened, going on without it: {}", settings.path, error.what());
    return nullptr;
  }
}

// Lines are built in `line_` and handed over whole. A point line stays in the C library's
// buffer; every other line is flushed, so that a reader of the file sees whole runs.
template <typename Body>
void RunLog::Write(std::string_view type, const std::string& flow_id, int64_t stamp_ms,
                   bool flush, const Body& body) {
  try {
    line_.clear();
    Append(line_, "{\"v\":1,\"type\":\"");
    Append(line_, type);
    Append(line_, "\",\"flow\":");
    AppendJsonString(line_, flow_id);
    Append(line_, ",\"stamp_ms\":");
    AppendInteger(line_, stamp_ms);
    body();
    line_.push_back('}');
    // The pattern is the line alone: spdlog's own time stamp would go unused.
    sink_->log(spdlog::details::log_msg(spdlog::log_clock::time_point(), spdlog::source_loc(),
                                        spdlog::string_view_t(), spdlog::level::info,
                                        spdlog::string_view_t(line_.data(), line_.size())));
    if (flush) {
      sink_->flush();
    }
  } catch (const std::exception& error) {
    sink_.reset();
    LOG_ERROR("Run log closed, the flows go on without it: {}", error.what());
  }
}

void RunLog::WriteFlow(const TraceFlowCfg& flow) {
  Write("flow", flow.flow_id, NowMilliseconds(), true, [&] {
    Append(line_, ",\"flow_name\":");
    AppendJsonString(line_, flow.flow_name);
    Append(line_, ",\"check_order\":");
    AppendBool(line_, flow.check_order);
    Append(line_, ",\"event_id\":");
    AppendInteger(line_, flow.event_id);
    Append(line_, ",\"max_record\":");
    AppendInteger(line_, flow.max_record);
    Append(line_, ",\"points\":[");
    bool first = true;
    for (const auto& point : flow.flow_points) {
      if (!point) {
        continue;
      }
      Append(line_, first ? "{\"point_id\":" : ",{\"point_id\":");
      first = false;
      AppendJsonString(line_, point->point_id);
      Append(line_, ",\"is_critical\":");
      AppendBool(line_, point->is_critical);
      Append(line_, ",\"on_success\":");
      AppendBool(line_, point->on_success);
      Append(line_, ",\"on_failure\":");
      AppendBool(line_, point->on_failure);
      Append(line_, ",\"on_timeout\":");
      AppendBool(line_, point->on_timeout);
      fmt::format_to(fmt::appender(line_),
                     ",\"event_id\":{},\"repeat_cnt\":{},\"repeat_max\":{},\"timeout_ms\":{}"
                     ",\"freq_min\":",
                     point->event_id, point->repeat_cnt, point->repeat_max, point->timeout_ms);
      AppendNumber(line_, point->freq_min);
      line_.push_back('}');
    }
    line_.push_back(']');
  });
}

void RunLog::WriteReset(const std::string& flow_id) {
  Write("reset", flow_id, NowMilliseconds(), true, [] {});
}

void RunLog::WritePoint(const std::string& flow_id, const TracePoint& point) {
  Write("point", flow_id, point.timestamp, false, [&] {
    Append(line_, ",\"point\":");
    AppendJsonString(line_, point.point_id);
    Append(line_, ",\"success\":");
    AppendBool(line_, point.success);
    Append(line_, ",\"index\":");
    AppendInteger(line_, point.index);
    Append(line_, ",\"metadata\":[");
    bool first = true;
    for (const auto& [key, value] : point.metadata) {
      Append(line_, first ? "[" : ",[");
      first = false;
      AppendJsonString(line_, key);
      line_.push_back(',');
      AppendJsonString(line_, value);
      line_.push_back(']');
    }
    line_.push_back(']');
  });
}

void RunLog::WriteVerdict(const std::string& flow_id, const FlowCheckResult& result,
                          const PointQueue& record) {
  Write("verdict", flow_id, NowMilliseconds(), true, [&] {
    const int64_t start = record.empty() ? 0 : record.front()->timestamp;
    const int64_t end = record.empty() ? 0 : record.back()->timestamp;
    Append(line_, ",\"status\":\"");
    Append(line_, NameOf(result.status));
    fmt::format_to(fmt::appender(line_), "\",\"status_code\":{},\"failure_point\":",
                   static_cast<int32_t>(result.status));
    AppendIdOrNull(line_, result.failure_point ? &result.failure_point->point_id : nullptr);
    Append(line_, ",\"desired_point\":");
    AppendIdOrNull(line_, result.desired_point ? &result.desired_point->point_id : nullptr);
    fmt::format_to(fmt::appender(line_), ",\"run_ms\":{},\"run_points\":{}",
                   start < end ? end - start : 0, record.size());
  });
}

void FlowTrace::OpenRunLog(const std::string& path, std::size_t max_bytes,
                           std::size_t max_files) {
  // Opened before the lock is taken, and the previous log closed after it is given back: Trace
  // never waits for the file system here.
  RunLog::Sink sink = path.empty() ? nullptr : RunLog::Open({path, max_bytes, max_files});
  std::lock_guard<std::mutex> lock(mutex_);
  bookkeeping_->run_log.Swap(sink);
}

}  // namespace valtrix::trace
