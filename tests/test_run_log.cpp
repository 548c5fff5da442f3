// The run log: its lines read back exactly, its rotation, and a file that cannot be opened or
// written, which costs one ERROR line and nothing else.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "diagnostic_trace/run_log.hpp"
#include "diagnostic_trace/wall_clock.hpp"
#include "support/capture_stdout.hpp"
#include "support/flow_builders.hpp"
#include "support/flow_trace_access.hpp"
#include "support/temp_files.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::SizeIs;

std::shared_ptr<TracePoint> PointAt(const std::string& id, bool success, int64_t timestamp,
                                    std::vector<std::pair<std::string, std::string>> metadata) {
  auto point = std::make_shared<TracePoint>(id, success);
  point->timestamp = timestamp;
  point->metadata = std::move(metadata);
  return point;
}

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::Instance();  // startup notices go out before any capture
    FlowTraceTestAccess::Clear();
    path_ = files_.Keep("/tmp/valtrix_run_log_" + std::to_string(getpid()) + ".jsonl");
    for (const char* rotated : {".1.jsonl", ".2.jsonl", ".3.jsonl"}) {
      files_.Keep("/tmp/valtrix_run_log_" + std::to_string(getpid()) + rotated);
    }
  }
  void TearDown() override {
    registry_.OpenRunLog("");
    FlowTraceTestAccess::Clear();
  }

  FlowTrace& registry_ = FlowTrace::GetInstance();
  test::TempFiles files_;
  std::string path_;
};

TEST_F(RunLogTest, WritesTheRecordLineByLineWithIdsEscaped) {
  auto flow = CriticalFlow("pick\"1", {"a\nb", "\xff"});
  flow->flow_name = "Pick";
  flow->event_id = 100;
  flow->flow_points[0]->on_success = true;
  flow->flow_points[0]->event_id = 101;
  flow->flow_points[1]->freq_min = 0.5F;
  flow->flow_points[1]->timeout_ms = 1500;
  const int64_t before = NowMilliseconds();
  registry_.OpenRunLog(path_);
  registry_.RegisterTraceFlow(flow);
  registry_.Trace("pick\"1", PointAt("\xff", true, 1000, {{"force", "12.5"}}));
  registry_.Trace("pick\"1", PointAt("a\nb", true, 1250, {{"k\"\\", "\xc3\xa9\x01\xe2\x82"}}));
  registry_.Trace("ghost", "a", true);  // no flow, no line
  registry_.CheckFlow("pick\"1");
  registry_.ResetFlow("pick\"1");
  registry_.Trace("pick\"1", PointAt("a\nb", true, 2000, {}));
  registry_.RegisterTraceFlow(flow);
  registry_.CheckFlow("pick\"1");
  registry_.CheckFlow("ghost");
  registry_.OpenRunLog("");
  const int64_t after = NowMilliseconds();

  // Lines not of a point carry the time they were written.
  std::vector<std::string> lines = FileLines(path_);
  const std::regex now("(\"type\":\"(flow|reset|verdict)\",.*\"stamp_ms\":)([0-9]+)");
  for (std::string& line : lines) {
    std::smatch match;
    if (std::regex_search(line, match, now)) {
      const int64_t stamp = std::stoll(match[3]);
      EXPECT_TRUE(stamp >= before && stamp <= after) << line;
      line = std::regex_replace(line, now, "$1NOW");
    }
  }
  const std::string flow_line =
      R"({"v":1,"type":"flow","flow":"pick\"1","stamp_ms":NOW,"flow_name":"Pick",)"
      R"("check_order":true,"event_id":100,"max_record":0,"points":[)"
      R"({"point_id":"a\nb","is_critical":true,"on_success":true,"on_failure":true,)"
      R"("on_timeout":false,"event_id":101,"repeat_cnt":0,"repeat_max":0,"timeout_ms":0,)"
      R"("freq_min":0},)"
      R"({"point_id":"\ufffd","is_critical":true,"on_success":false,"on_failure":true,)"
      R"("on_timeout":false,"event_id":0,"repeat_cnt":0,"repeat_max":0,"timeout_ms":1500,)"
      R"("freq_min":0.5}]})";
  EXPECT_THAT(
      lines,
      ElementsAre(
          flow_line,
          R"({"v":1,"type":"point","flow":"pick\"1","stamp_ms":1000,"point":"\ufffd",)"
          R"("success":true,"index":0,"metadata":[["force","12.5"]]})",
          R"({"v":1,"type":"point","flow":"pick\"1","stamp_ms":1250,"point":"a\nb",)"
          "\"success\":true,\"index\":1,\"metadata\":[[\"k\\\"\\\\\",\"\xc3\xa9"
          R"(\u0001\ufffd\ufffd"]]})",
          R"({"v":1,"type":"verdict","flow":"pick\"1","stamp_ms":NOW,"status":"MISSING_POINT",)"
          R"("status_code":4,"failure_point":null,"desired_point":"a\nb","run_ms":250,)"
          R"("run_points":2})",
          R"({"v":1,"type":"reset","flow":"pick\"1","stamp_ms":NOW})",
          R"({"v":1,"type":"point","flow":"pick\"1","stamp_ms":2000,"point":"a\nb",)"
          R"("success":true,"index":0,"metadata":[]})",
          flow_line,
          R"({"v":1,"type":"verdict","flow":"pick\"1","stamp_ms":NOW,"status":"INVALID_FLOW",)"
          R"("status_code":6,"failure_point":null,"desired_point":null,"run_ms":0,)"
          R"("run_points":0})"));
}

TEST_F(RunLogTest, RotatesAtItsSizeAndKeepsItsCountOfFiles) {
  const std::string base = path_.substr(0, path_.size() - std::string(".jsonl").size());
  std::ofstream(path_) << "left by an earlier process\n";
  registry_.OpenRunLog(path_, 400, 2);
  EXPECT_THAT(FileLines(base + ".1.jsonl"), ElementsAre("left by an earlier process"));
  registry_.RegisterTraceFlow(CriticalFlow("f", {"a"}));
  for (int k = 0; k < 40; ++k) {
    registry_.Trace("f", "a", true);
  }
  registry_.OpenRunLog("");
  size_t lines = 0;
  for (const std::string& file : {path_, base + ".1.jsonl", base + ".2.jsonl"}) {
    std::ifstream in(file, std::ios::ate);
    EXPECT_LE(static_cast<size_t>(in.tellg()), 400U) << file;
    lines += FileLines(file).size();
  }
  EXPECT_FALSE(Exists(base + ".3.jsonl"));
  EXPECT_GE(lines, 6U);   // three files of about 100-byte lines
  EXPECT_LT(lines, 41U);  // the oldest are gone
  EXPECT_THAT(FileLines(path_).back(), HasSubstr("\"index\":39,"));
}

// Each case: a log that cannot be kept gives one ERROR line naming the file and why; tracing,
// checking and resetting go on as without a log, and nothing is thrown.
TEST_F(RunLogTest, AFileThatCannotBeOpenedOrWrittenCostsOneErrorLine) {
  struct Case {
    std::string path;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"/dev/full", "No space left on device"},
      {"/tmp", "Is a directory"},
      {"/proc/valtrix_no_such/run.jsonl", "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    FlowTraceTestAccess::Clear();
    test::CaptureStdout capture;
    std::shared_ptr<FlowCheckResult> verdict;
    EXPECT_NO_THROW({
      registry_.OpenRunLog(c.path);
      registry_.RegisterTraceFlow(CriticalFlow("f", {"a", "b"}, false));
      for (int k = 0; k < 100; ++k) {
        registry_.Trace("f", "a", true);
      }
      registry_.ResetFlow("f");
      registry_.Trace("f", "a", true);
      registry_.Trace("f", "b", true);
      verdict = registry_.CheckFlow("f");
      registry_.ResetFlow("f");
      registry_.Trace("f", "a", true);
    });
    EXPECT_EQ(verdict->status, FlowCheckStatus::SUCCESS);
    EXPECT_THAT(FlowTraceTestAccess::Record("f"), SizeIs(1));
    std::vector<std::string> errors;
    for (const std::string& line : test::LogLines(capture)) {
      if (line.rfind("[ERROR]", 0) == 0) {
        errors.push_back(line);
      }
    }
    ASSERT_THAT(errors, SizeIs(1));
    EXPECT_THAT(errors[0], HasSubstr(c.path));
    EXPECT_THAT(errors[0], HasSubstr(c.reason));
    registry_.OpenRunLog("");
  }
}

// VALTRIX_RUN_LOG_MAX_BYTES and VALTRIX_RUN_LOG_FILES: a value that is not a whole number in
// range is an ERROR line, and its default is used.
TEST_F(RunLogTest, EnvironmentNumbersOutOfRangeFallBackToTheirDefaults) {
  struct Case {
    const char* max_bytes;
    const char* files;
    std::size_t expected_bytes;
    std::size_t expected_files;
    std::size_t errors;
  };
  constexpr auto kBytes = FlowTrace::kDefaultRunLogMaxBytes;
  constexpr auto kFiles = FlowTrace::kDefaultRunLogFiles;
  const std::vector<Case> cases = {
      {nullptr, nullptr, kBytes, kFiles, 0}, {"1000", "0", 1000, 0, 0},
      {"12x", "-1", kBytes, kFiles, 2},      {"0", "200001", kBytes, kFiles, 2},
      {"", " 3", kBytes, kFiles, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.max_bytes ? c.max_bytes : "unset") + " / " +
                 (c.files ? c.files : "unset"));
    test::CaptureStdout capture;
    const RunLogSettings settings = ReadRunLogSettings("runs.jsonl", c.max_bytes, c.files);
    EXPECT_EQ(settings.path, "runs.jsonl");
    EXPECT_EQ(settings.max_bytes, c.expected_bytes);
    EXPECT_EQ(settings.max_files, c.expected_files);
    EXPECT_THAT(test::LogLines(capture), SizeIs(c.errors));
  }
  EXPECT_EQ(ReadRunLogSettings(nullptr, "12x", nullptr).path, "");
}

}  // namespace
}  // namespace valtrix::trace
