#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace valtrix::test {

// Lines of a version 1 run log, written by hand as the library writes them.

// An ordered flow of critical points, each given as {point_id, timeout_ms}.
inline std::string FlowLine(const std::string& flow,
                            const std::vector<std::pair<std::string, uint32_t>>& points) {
  std::string line = R"({"v":1,"type":"flow","flow":")" + flow +
                     R"(","stamp_ms":1000,"flow_name":"Flow )" + flow +
                     R"(","check_order":true,"event_id":100,"max_record":0,"points":[)";
  for (std::size_t k = 0; k < points.size(); ++k) {
    line += std::string(k == 0 ? "" : ",") + R"({"point_id":")" + points[k].first +
            R"(","is_critical":true,"on_success":true,"on_failure":true,"on_timeout":false,)"
            R"("event_id":101,"repeat_cnt":0,"repeat_max":0,"timeout_ms":)" +
            std::to_string(points[k].second) + R"(,"freq_min":0})";
  }
  return line + "]}\n";
}

inline std::string ResetLine(const std::string& flow) {
  return R"({"v":1,"type":"reset","flow":")" + flow +
         R"(","stamp_ms":1000})"
         "\n";
}

inline std::string PointLine(const std::string& flow, const std::string& point, int64_t stamp_ms,
                             uint32_t index, bool success = true) {
  return R"({"v":1,"type":"point","flow":")" + flow + R"(","stamp_ms":)" +
         std::to_string(stamp_ms) + R"(,"point":")" + point + R"(","success":)" +
         (success ? "true" : "false") + R"(,"index":)" + std::to_string(index) +
         R"(,"metadata":[["k","v"]]})"
         "\n";
}

// `status` is the verdict's name; its code follows from it.
inline std::string VerdictLine(const std::string& flow, const std::string& status,
                               uint64_t run_points) {
  static const std::vector<std::string> kNames = {
      "SUCCESS",       "FAILED",        "INVALID_POINT", "DUPLICATED_POINT",
      "MISSING_POINT", "INVALID_ORDER", "INVALID_FLOW"};
  std::size_t code = 0;
  while (code < kNames.size() && kNames[code] != status) {
    ++code;
  }
  return R"({"v":1,"type":"verdict","flow":")" + flow + R"(","stamp_ms":1000,"status":")" + status +
         R"(","status_code":)" + std::to_string(code) +
         R"(,"failure_point":null,"desired_point":null,"run_ms":0,"run_points":)" +
         std::to_string(run_points) + "}\n";
}

struct CommandRun {
  int status;
  std::string out;
};

// Runs a shell command; its stdout and stderr together.
inline CommandRun RunCommand(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  CommandRun run{-1, ""};
  char buffer[4096];
  for (std::size_t count; (count = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    run.out.append(buffer, count);
  }
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace valtrix::test
