#include "run_log_reader.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>

namespace valtrix::tools {

namespace {

using nlohmann::json;
using trace::FlowCheckStatus;

constexpr std::array<const char*, 7> kStatusNames = {
    "SUCCESS",       "FAILED",        "INVALID_POINT", "DUPLICATED_POINT",
    "MISSING_POINT", "INVALID_ORDER", "INVALID_FLOW",
};

// A line's reason for being refused; the reader adds file and line.
class BadLine : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const json& Member(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) {
    throw BadLine(std::string("no '") + key + "'");
  }
  return *found;
}

[[noreturn]] void WrongType(const char* key, const char* expected) {
  throw BadLine(std::string("'") + key + "' must be " + expected);
}

bool Bool(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (!value.is_boolean()) {
    WrongType(key, "true or false");
  }
  return value.get<bool>();
}

std::string String(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (!value.is_string()) {
    WrongType(key, "a string");
  }
  return value.get<std::string>();
}

std::optional<std::string> StringOrNull(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (value.is_null()) {
    return std::nullopt;
  }
  if (!value.is_string()) {
    WrongType(key, "a string or null");
  }
  return value.get<std::string>();
}

// Non-negative integers are held unsigned, negative ones signed.
uint64_t Unsigned(const json& object, const char* key, uint64_t max) {
  const json& value = Member(object, key);
  if (!value.is_number_unsigned() || value.get<uint64_t>() > max) {
    WrongType(key, ("an integer from 0 to " + std::to_string(max)).c_str());
  }
  return value.get<uint64_t>();
}

uint32_t Uint32(const json& object, const char* key) {
  return static_cast<uint32_t>(Unsigned(object, key, std::numeric_limits<uint32_t>::max()));
}

int64_t Int64(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return value.get<int64_t>();
  }
  return static_cast<int64_t>(Unsigned(object, key, std::numeric_limits<int64_t>::max()));
}

std::shared_ptr<trace::TracePointCfg> PointCfgOf(const json& point) {
  if (!point.is_object()) {
    throw BadLine("each of 'points' must be an object");
  }
  auto cfg = std::make_shared<trace::TracePointCfg>(String(point, "point_id"));
  cfg->is_critical = Bool(point, "is_critical");
  cfg->on_success = Bool(point, "on_success");
  cfg->on_failure = Bool(point, "on_failure");
  cfg->on_timeout = Bool(point, "on_timeout");
  cfg->event_id = Uint32(point, "event_id");
  cfg->repeat_cnt = Uint32(point, "repeat_cnt");
  cfg->repeat_max = Uint32(point, "repeat_max");
  cfg->timeout_ms = Uint32(point, "timeout_ms");
  const json& freq_min = Member(point, "freq_min");
  if (!freq_min.is_number()) {
    WrongType("freq_min", "a number");
  }
  cfg->freq_min = freq_min.get<float>();
  return cfg;
}

LoggedFlow FlowOf(const json& line, const std::string& flow_id) {
  LoggedFlow flow;
  flow.cfg = std::make_shared<trace::TraceFlowCfg>(flow_id, String(line, "flow_name"));
  flow.cfg->check_order = Bool(line, "check_order");
  flow.cfg->event_id = Uint32(line, "event_id");
  flow.cfg->max_record = Uint32(line, "max_record");
  const json& points = Member(line, "points");
  if (!points.is_array()) {
    WrongType("points", "an array");
  }
  for (const json& point : points) {
    flow.cfg->flow_points.push_back(PointCfgOf(point));
  }
  return flow;
}

LoggedPoint PointOf(const json& line) {
  LoggedPoint point;
  point.point_id = String(line, "point");
  point.success = Bool(line, "success");
  point.stamp_ms = Int64(line, "stamp_ms");
  point.index = Uint32(line, "index");
  const json& metadata = Member(line, "metadata");
  if (!metadata.is_array()) {
    WrongType("metadata", "an array");
  }
  for (const json& pair : metadata) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string()) {
      throw BadLine("each of 'metadata' must be a [key, value] pair of strings");
    }
    point.metadata.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
  }
  return point;
}

LoggedVerdict VerdictOf(const json& line) {
  LoggedVerdict verdict;
  const std::string status = String(line, "status");
  const uint64_t code = Unsigned(line, "status_code", kStatusNames.size() - 1);
  if (status != kStatusNames[code]) {
    throw BadLine("status '" + status + "' does not match status_code " + std::to_string(code));
  }
  verdict.status = static_cast<FlowCheckStatus>(code);
  verdict.failure_point = StringOrNull(line, "failure_point");
  verdict.desired_point = StringOrNull(line, "desired_point");
  verdict.run_ms = Unsigned(line, "run_ms", std::numeric_limits<uint64_t>::max());
  verdict.run_points = Unsigned(line, "run_points", std::numeric_limits<uint64_t>::max());
  return verdict;
}

// Builds runs line by line: each flow's open run, and the registration in force.
class RunBuilder {
 public:
  void Add(const json& line) {
    if (!line.is_object()) {
      throw BadLine("not a JSON object");
    }
    if (Unsigned(line, "v", std::numeric_limits<uint64_t>::max()) != 1) {
      throw BadLine("'v' must be 1: only version 1 is known");
    }
    const std::string type = String(line, "type");
    const std::string flow_id = String(line, "flow");
    Int64(line, "stamp_ms");
    FlowState& state = flows_[flow_id];
    if (type == "flow") {
      log_.flows.push_back(FlowOf(line, flow_id));
      state.flow = log_.flows.size() - 1;
      Close(state);
    } else if (type == "reset") {
      Close(state);
    } else if (type == "point") {
      LoggedPoint point = PointOf(line);
      if (!state.open || (point.index == 0 && !Run(state).points.empty())) {
        Open(state, flow_id, point.index != 0 && !state.opened_by_line);
      }
      Run(state).points.push_back(std::move(point));
    } else if (type == "verdict") {
      LoggedVerdict verdict = VerdictOf(line);
      if (!state.open) {
        Open(state, flow_id, verdict.run_points != 0 && !state.opened_by_line);
      }
      verdict.points_before = Run(state).points.size();
      Run(state).verdicts.push_back(std::move(verdict));
    } else {
      throw BadLine("unknown type '" + type + "'");
    }
  }

  RunLog Take() { return std::move(log_); }

 private:
  struct FlowState {
    std::optional<std::size_t> flow;
    std::size_t runs = 0;
    bool open = false;
    std::size_t run = 0;  // index into log_.runs while open
    // A flow/reset line came: the runs that follow began inside the logs.
    bool opened_by_line = false;
  };

  void Close(FlowState& state) {
    state.open = false;
    state.opened_by_line = true;
  }

  void Open(FlowState& state, const std::string& flow_id, bool began_before_log) {
    LoggedRun run;
    run.flow_id = flow_id;
    run.number = ++state.runs;
    run.flow = state.flow;
    run.began_before_log = began_before_log;
    log_.runs.push_back(std::move(run));
    state.open = true;
    state.run = log_.runs.size() - 1;
  }

  LoggedRun& Run(const FlowState& state) { return log_.runs[state.run]; }

  RunLog log_;
  std::map<std::string, FlowState> flows_;
};

void ReadFile(const std::string& path, RunBuilder& builder, std::ostream& warnings) {
  if (std::filesystem::is_directory(path)) {
    throw RunLogError(path + ": is a directory");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw RunLogError(path + ": cannot open: " + std::strerror(errno));
  }
  std::string text;
  for (std::size_t number = 1; std::getline(in, text); ++number) {
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (in.eof()) {
      warnings << where << "warning: last line is unterminated (its writer was cut off); "
               << "skipped\n";
      break;
    }
    try {
      builder.Add(json::parse(text));
    } catch (const json::parse_error& error) {
      throw RunLogError(where + "not valid JSON at byte " + std::to_string(error.byte));
    } catch (const BadLine& error) {
      throw RunLogError(where + error.what());
    }
  }
  if (in.bad()) {
    throw RunLogError(path + ": cannot read: " + std::strerror(errno));
  }
}

}  // namespace

RunLog ReadRunLogs(const std::vector<std::string>& paths, std::ostream& warnings) {
  RunBuilder builder;
  for (const auto& path : paths) {
    ReadFile(path, builder, warnings);
  }
  return builder.Take();
}

const char* StatusName(FlowCheckStatus status) {
  const auto code = static_cast<std::size_t>(status);
  return code < kStatusNames.size() ? kStatusNames[code] : "UNKNOWN";
}

}  // namespace valtrix::tools
