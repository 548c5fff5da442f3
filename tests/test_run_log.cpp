#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "diagnostic_trace/wall_clock.hpp"
#include "support/capture_stdout.hpp"
#include "support/flow_builders.hpp"
#include "support/flow_trace_access.hpp"
#include "support/temp_files.hpp"
#include "valtrix/logger.hpp"

namespace valtrix::trace {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::Instance();  // startup notices go out before any capture
    FlowTraceTestAccess::Clear();
    for (const char* suffix : {"", ".1", ".2", ".3"}) {
      files_.Keep(base_ + suffix + ".jsonl");
    }
  }
  void TearDown() override {
    registry_.OpenRunLog("");
    FlowTraceTestAccess::Clear();
  }

  FlowTrace& registry_ = FlowTrace::GetInstance();
  test::TempFiles files_;
  const std::string base_ = "/tmp/valtrix_run_log_" + std::to_string(getpid());
  const std::string path_ = base_ + ".jsonl";
};

TEST_F(RunLogTest, WritesTheRecordLineByLineWithIdsEscaped) {
  auto flow = CriticalFlow("pick\"1", {"a\nb"});
  flow->flow_points[0]->freq_min = 0.5F;
  flow->flow_points[0]->timeout_ms = 1500;
  auto stray = std::make_shared<TracePoint>("\xff", true);
  stray->timestamp = 1000;
  stray->metadata = {{"force", "12.5"}, {"k\"\\", "\xc3\xa9\x01\xe2\x82"}};
  auto failed = std::make_shared<TracePoint>("a\nb", false);
  failed->timestamp = 1250;
  const int64_t before = NowMilliseconds();
  registry_.OpenRunLog(path_);
  registry_.RegisterTraceFlow(flow);
  registry_.Trace("pick\"1", stray);
  registry_.Trace("pick\"1", failed);
  registry_.CheckFlow("pick\"1");
  registry_.ResetFlow("pick\"1");
  registry_.RegisterTraceFlow(flow);
  registry_.CheckFlow("pick\"1");
  registry_.OpenRunLog("");
  const int64_t after = NowMilliseconds();

  // Lines not of a point carry the time they were written: NOW below.
  std::vector<std::string> lines = FileLines(path_);
  const std::regex now("(\"type\":\"(flow|reset|verdict)\",.*\"stamp_ms\":)([0-9]+)");
  for (std::string& line : lines) {
    std::smatch stamp;
    if (std::regex_search(line, stamp, now) && std::stoll(stamp[3]) >= before &&
        std::stoll(stamp[3]) <= after) {
      line = std::regex_replace(line, now, "$1NOW");
    }
  }
  const std::string flow_line =
      R"({"v":1,"type":"flow","flow":"pick\"1","stamp_ms":NOW,"flow_name":"pick\"1_name",)"
      R"("check_order":true,"event_id":0,"max_record":0,"points":[{"point_id":"a\nb",)"
      R"("is_critical":true,"on_success":false,"on_failure":true,"on_timeout":false,)"
      R"("event_id":0,"repeat_cnt":0,"repeat_max":0,"timeout_ms":1500,"freq_min":0.5}]})";
  EXPECT_THAT(
      lines,
      ElementsAre(
          flow_line,
          R"({"v":1,"type":"point","flow":"pick\"1","stamp_ms":1000,"point":"\ufffd",)"
          R"("success":true,"index":0,"metadata":[["force","12.5"],["k\"\\",")"
          "\xc3\xa9" R"(\u0001\ufffd\ufffd"]]})",
          R"({"v":1,"type":"point","flow":"pick\"1","stamp_ms":1250,"point":"a\nb",)"
          R"("success":false,"index":1,"metadata":[]})",
          R"({"v":1,"type":"verdict","flow":"pick\"1","stamp_ms":NOW,"status":"FAILED",)"
          R"("status_code":1,"failure_point":"a\nb","desired_point":"a\nb","run_ms":250,)"
          R"("run_points":2})",
          R"({"v":1,"type":"reset","flow":"pick\"1","stamp_ms":NOW})", flow_line,
          R"({"v":1,"type":"verdict","flow":"pick\"1","stamp_ms":NOW,"status":"INVALID_FLOW",)"
          R"("status_code":6,"failure_point":null,"desired_point":null,"run_ms":0,)"
          R"("run_points":0})"));
}

TEST_F(RunLogTest, RotatesAtItsSizeAndKeepsItsCountOfFiles) {
  std::ofstream(path_) << "left by an earlier process\n";
  registry_.OpenRunLog(path_, 400, 2);
  EXPECT_THAT(FileLines(base_ + ".1.jsonl"), ElementsAre("left by an earlier process"));
  registry_.RegisterTraceFlow(CriticalFlow("f", {"a"}));
  for (int k = 0; k < 40; ++k) {
    registry_.Trace("f", "a", true);
  }
  registry_.OpenRunLog("");
  size_t lines = 0;
  for (const char* suffix : {"", ".1", ".2"}) {
    EXPECT_LE(std::ifstream(base_ + suffix + ".jsonl", std::ios::ate).tellg(), 400) << suffix;
    lines += FileLines(base_ + suffix + ".jsonl").size();
  }
  EXPECT_NE(access((base_ + ".3.jsonl").c_str(), F_OK), 0);
  EXPECT_TRUE(lines >= 6 && lines < 41) << lines;  // three files of about 100-byte lines
  EXPECT_THAT(FileLines(path_).back(), HasSubstr("\"index\":39,"));
}

// A log that cannot be kept costs one ERROR line naming the file and why; tracing, checking and
// resetting go on as without a log, and nothing is thrown.
TEST_F(RunLogTest, AFileThatCannotBeOpenedOrWrittenCostsOneErrorLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/dev/full", "No space left on device"}, {"/tmp", "Is a directory"},
      {"/proc/valtrix_no_such/run.jsonl", "No such file or directory"}};
  for (const auto& [path, reason] : cases) {
    SCOPED_TRACE(path);
    test::CaptureStdout capture;
    EXPECT_NO_THROW({
      registry_.OpenRunLog(path);
      registry_.RegisterTraceFlow(CriticalFlow("f", {"a"}));
      for (int k = 0; k < 100; ++k) {
        registry_.Trace("f", "a", true);
        registry_.ResetFlow("f");
      }
      registry_.Trace("f", "a", true);
      EXPECT_EQ(registry_.CheckFlow("f")->status, FlowCheckStatus::SUCCESS);
    });
    const std::vector<std::string> lines = test::LogLines(capture);
    const auto is_error = [](const std::string& line) { return line.rfind("[ERROR]", 0) == 0; };
    ASSERT_EQ(std::count_if(lines.begin(), lines.end(), is_error), 1);
    EXPECT_THAT(*std::find_if(lines.begin(), lines.end(), is_error),
                AllOf(HasSubstr(path), HasSubstr(reason)));
  }
}

}  // namespace
}  // namespace valtrix::trace
