// flow_replay: logged runs judged again against the log's flows or another file, and the
// reading of run logs it shares with flow_report.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_logs.hpp"
#include "support/temp_files.hpp"

namespace valtrix::test {
namespace {

// Three runs of "pick" (a, b, c in order): complete, b left out, b failed.
std::string PickRun(int number) {
  const std::vector<std::string> runs = {
      PointLine("pick", "a", 5000, 0) + PointLine("pick", "b", 5100, 1) +
          PointLine("pick", "c", 5200, 2) + VerdictLine("pick", "SUCCESS", 3),
      PointLine("pick", "a", 6000, 0) + PointLine("pick", "c", 6200, 1) +
          VerdictLine("pick", "MISSING_POINT", 2),
      PointLine("pick", "a", 7000, 0) + PointLine("pick", "b", 7050, 1, false) +
          PointLine("pick", "c", 7200, 2) + VerdictLine("pick", "FAILED", 3),
  };
  return runs[number - 1];
}
const std::string kFlow = FlowLine("pick", {{"a", 0}, {"b", 0}, {"c", 0}});
const std::string kLog =
    kFlow + PickRun(1) + ResetLine("pick") + PickRun(2) + ResetLine("pick") + PickRun(3);
const std::string kAsLogged =
    "pick run 1 (3 points, 200 ms): SUCCESS\n"
    "pick run 2 (2 points, 200 ms): MISSING_POINT\n"
    "pick run 3 (3 points, 200 ms): FAILED\n"
    "3 verdicts replayed: 3 as logged, 0 different\n";

const std::string kOptionalB =
    "workflows:\n  - flow_id: pick\n    check_order: true\n    flow_points:\n"
    "      - {point_id: a}\n      - {point_id: b, optional: true}\n      - {point_id: c}\n";

CommandRun Replay(const std::string& arguments) {
  return RunCommand(std::string(FLOW_REPLAY_PATH) + " " + arguments);
}

TEST(FlowReplayTest, judges_each_logged_run_against_the_log_or_another_configuration) {
  TempFiles files;
  const std::string log = files.Write(kLog);
  struct Case {
    const char* name;
    std::string arguments;
    int status;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"the log's own flows", log, 0, kAsLogged},
      {"expecting the same", "--expect-same " + log, 0, kAsLogged},
      {"rotated files in order",
       files.Write(kFlow + PickRun(1) + ResetLine("pick")) + " " +
           files.Write(PickRun(2) + ResetLine("pick") + PickRun(3)),
       0, kAsLogged},
      {"b made optional", "--expect-same --config " + files.Write(kOptionalB) + " " + log, 1,
       "pick run 1 (3 points, 200 ms): SUCCESS\n"
       "pick run 2 (2 points, 200 ms): SUCCESS (logged MISSING_POINT)\n"
       "pick run 3 (3 points, 200 ms): FAILED\n"
       "3 verdicts replayed: 2 as logged, 1 different\n"},
      {"a difference without --expect-same", "--config=" + files.Write(kOptionalB) + " " + log, 0,
       ""},
      {"the flow missing from the file",
       "--expect-same --config " +
           files.Write("workflows:\n  - {flow_id: other, flow_points: [{point_id: a}]}\n") + " " +
           files.Write(kFlow + PickRun(1)),
       1,
       "pick run 1 (3 points, 200 ms): not configured (logged SUCCESS)\n"
       "1 verdict replayed: 0 as logged, 1 different\n"},
      {"a run that began before the log",
       "--expect-same " +
           files.Write(PointLine("pick", "b", 100, 1) + PointLine("pick", "c", 150, 2) +
                       VerdictLine("pick", "SUCCESS", 3) + kFlow + PointLine("pick", "a", 900, 0)),
       0,
       "pick run 1 (2 points, 50 ms): not judged, began before the log (logged SUCCESS)\n"
       "0 verdicts replayed: 0 as logged, 0 different; 1 not judged (began before the log); "
       "1 run without a verdict\n"},
      {"a configuration that loads no flow",
       "--config " + files.Write("workflows: {}\n") + " " + log, 2, ""},
      {"no log", "--expect-same", 2, ""},
  };
  for (const auto& c : cases) {
    const CommandRun run = Replay(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.out;
    if (!c.out.empty()) {
      EXPECT_EQ(run.out, c.out) << c.name;
    }
  }
}

TEST(FlowReplayTest, malformed_line_names_file_and_line_and_unterminated_last_line_is_skipped) {
  TempFiles files;
  struct Case {
    std::string line;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {R"({"v":1,"type":"point")"
       "\n",
       "not valid JSON at byte 22"},
      {"\n", "not valid JSON at byte 1"},
      {R"({"v":2,"type":"reset","flow":"pick","stamp_ms":1})"
       "\n",
       "'v' must be 1: only version 1 is known"},
      {R"({"v":1,"type":"start","flow":"pick","stamp_ms":1})"
       "\n",
       "unknown type 'start'"},
      {R"({"v":1,"type":"point","flow":"pick","stamp_ms":1,"point":"a","index":0,"metadata":[]})"
       "\n",
       "no 'success'"},
      {R"({"v":1,"type":"point","flow":"pick","stamp_ms":1,"point":"a","success":true,"index":-1,)"
       R"("metadata":[]})"
       "\n",
       "'index' must be an integer from 0 to 4294967295"},
      {R"({"v":1,"type":"verdict","flow":"pick","stamp_ms":1,"status":"SUCCESS","status_code":4,)"
       R"("failure_point":null,"desired_point":null,"run_ms":0,"run_points":0})"
       "\n",
       "status 'SUCCESS' does not match status_code 4"},
  };
  for (const auto& c : cases) {
    const std::string log = files.Write(kFlow + c.line + PickRun(1));
    const CommandRun run = Replay(log);
    EXPECT_EQ(run.status, 2) << c.reason;
    EXPECT_EQ(run.out, "flow_replay: " + log + ":2: " + c.reason + "\n");
  }
  EXPECT_EQ(Replay("/nonexistent.log").out,
            "flow_replay: /nonexistent.log: cannot open: No such file or directory\n");

  std::string cut_off = kLog + PointLine("pick", "a", 8000, 0);
  cut_off.pop_back();
  const std::string log = files.Write(cut_off);
  const CommandRun run = Replay("--expect-same " + log);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, log +
                         ":15: warning: last line is unterminated (its writer was cut off); "
                         "skipped\n" +
                         kAsLogged);
}

}  // namespace
}  // namespace valtrix::test
