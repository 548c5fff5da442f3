// The health of each flow for /diagnostics: its level and message, the values beside them, the
// order and names of the statuses, and their publication.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>

#include "support/array_listener.hpp"
#include "support/capture_stdout.hpp"
#include "support/event_listener.hpp"
#include "support/flow_trace_access.hpp"
#include "support/function_name_sink.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using test::CaptureStdout;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A configured point. Nothing is ever published or announced for it: the findings must not
// depend on that.
struct PointSpec {
  const char* id;
  bool optional = false;
  uint32_t timeout_ms = 0;
  uint32_t repeat_cnt = 0;
  float freq_min = 0.0F;
};

std::shared_ptr<TraceFlowCfg> Flow(const std::string& flow_id, bool ordered,
                                   const std::vector<PointSpec>& points) {
  auto flow = std::make_shared<TraceFlowCfg>(flow_id, flow_id + " name");
  flow->check_order = ordered;
  for (const PointSpec& spec : points) {
    auto point = std::make_shared<TracePointCfg>(spec.id);
    point->is_critical = !spec.optional;
    point->on_failure = false;
    point->timeout_ms = spec.timeout_ms;
    point->repeat_cnt = spec.repeat_cnt;
    point->freq_min = spec.freq_min;
    flow->flow_points.push_back(point);
  }
  return flow;
}

// The status of `flow_id` in `array`, or an empty one named "missing".
DiagnosticStatus StatusOf(const DiagnosticArray& array, const std::string& flow_id) {
  for (const DiagnosticStatus& status : array.status) {
    if (status.name.size() >= flow_id.size() &&
        status.name.compare(status.name.size() - flow_id.size(), flow_id.size(), flow_id) == 0) {
      return status;
    }
  }
  DiagnosticStatus missing;
  missing.name = "missing";
  return missing;
}

std::map<std::string, std::string> Values(const DiagnosticStatus& status) {
  std::map<std::string, std::string> values;
  for (const auto& entry : status.values) {
    values[entry.key] = entry.value;
  }
  return values;
}

std::vector<std::string> Keys(const DiagnosticStatus& status) {
  std::vector<std::string> keys;
  for (const auto& entry : status.values) {
    keys.push_back(entry.key);
  }
  return keys;
}

std::vector<std::string> Names(const DiagnosticArray& array) {
  std::vector<std::string> names;
  for (const auto& status : array.status) {
    names.push_back(status.name);
  }
  return names;
}

int64_t StampMs(const DiagnosticArray& array) {
  return int64_t{array.header.stamp.sec} * 1000 + int64_t{array.header.stamp.nanosec} / 1000000;
}

class FlowHealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::Instance();  // startup notices go out before any capture
    FlowTraceTestAccess::Clear();
  }
  void TearDown() override {
    FlowTraceTestAccess::Clear();
    for (const auto& path : paths_) {
      std::remove(path.c_str());
    }
  }

  std::string WriteFile(const std::string& text) {
    char path[] = "/tmp/valtrix_flow_health_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << text;
    paths_.emplace_back(path);
    return path;
  }

  FlowTrace& registry_ = FlowTrace::GetInstance();

 private:
  std::vector<std::string> paths_;
};

// --- level and message -----------------------------------------------------------------------

// What one step of a run does. Entries are stamped `age_ms` before the case started.
enum class Op { kTrace, kTraceFailed, kCheckFlow, kCheckTimeouts, kResetFlow };

struct Step {
  Op op;
  const char* id = "";
  int64_t age_ms = 0;
};

Step T(const char* id, int64_t age_ms = 0) { return {Op::kTrace, id, age_ms}; }
Step Failed(const char* id, int64_t age_ms = 0) { return {Op::kTraceFailed, id, age_ms}; }
const Step kCheck{Op::kCheckFlow};
const Step kWatch{Op::kCheckTimeouts};
const Step kReset{Op::kResetFlow};

struct LevelCase {
  const char* name;
  bool ordered;
  std::vector<PointSpec> points;
  std::vector<Step> steps;
  uint8_t level;
  std::string message;  // an overdue time as "N"
  std::string first_failure;
  std::string verdict;
};

void PrintTo(const LevelCase& c, std::ostream* out) { *out << c.name; }

class FlowHealthLevelTest : public FlowHealthTest,
                            public ::testing::WithParamInterface<LevelCase> {};

TEST_P(FlowHealthLevelTest, IsTheWorstThatAppliesAndNamesIt) {
  const LevelCase& c = GetParam();
  registry_.RegisterTraceFlow(Flow("job", c.ordered, c.points));
  {
    CaptureStdout quiet;
    const int64_t start = NowMs();
    for (const Step& step : c.steps) {
      switch (step.op) {
        case Op::kTrace:
        case Op::kTraceFailed: {
          auto point = std::make_shared<TracePoint>(step.id, step.op == Op::kTrace);
          point->timestamp = start - step.age_ms;
          registry_.Trace("job", point);
          break;
        }
        case Op::kCheckFlow:
          registry_.CheckFlow("job");
          break;
        case Op::kCheckTimeouts:
          registry_.CheckTimeouts();
          break;
        case Op::kResetFlow:
          registry_.ResetFlow("job");
          break;
      }
    }
  }
  const DiagnosticStatus status = StatusOf(registry_.CollectDiagnostics(), "job");
  static const std::regex kElapsed("overdue: [0-9]+ ms");
  EXPECT_EQ(int{status.level}, int{c.level});
  EXPECT_EQ(std::regex_replace(status.message, kElapsed, "overdue: N ms"), c.message);
  EXPECT_EQ(Values(status)["first_failure"], c.first_failure);
  EXPECT_EQ(Values(status)["verdict"], c.verdict);
}

constexpr bool kOrdered = true;
constexpr bool kUnordered = false;
constexpr uint8_t kOk = DiagnosticStatus::OK;
constexpr uint8_t kWarn = DiagnosticStatus::WARN;
constexpr uint8_t kError = DiagnosticStatus::ERROR;
constexpr uint8_t kStale = DiagnosticStatus::STALE;
const std::vector<PointSpec> kAbc = {{"a"}, {"b"}, {"c"}};
const std::vector<PointSpec> kOptionalB = {{"a"}, {"b", true}, {"c"}};
// b may take 100 ms; with repeat_cnt 1 the progressive check also judges its arrival.
const std::vector<PointSpec> kTimedB = {{"a"}, {"b", false, 100, 1}, {"c"}};
const std::vector<PointSpec> kBeat = {{"p", false, 0, 0, 4.0F}, {"q"}};  // p: every 250 ms
const std::string kNoFailure;

INSTANTIATE_TEST_SUITE_P(
    Levels, FlowHealthLevelTest,
    ::testing::Values(
        LevelCase{"Idle", kOrdered, kAbc, {}, kOk, "idle", kNoFailure, "none"},
        LevelCase{"RunningOrdered", kOrdered, kAbc, {T("a")}, kOk, "running: next 'b' (2 of 3)",
                  kNoFailure, "none"},
        LevelCase{"RunningUnordered", kUnordered, kAbc, {T("b")}, kOk, "running", kNoFailure,
                  "none"},
        LevelCase{"Complete", kOrdered, kAbc, {T("a"), T("b"), T("c"), kCheck}, kOk, "complete",
                  kNoFailure, "SUCCESS"},
        LevelCase{"FailedStep", kOrdered, kAbc, {T("a"), Failed("b")}, kError,
                  "Status Failed: b", "Status Failed: b", "none"},
        LevelCase{"FailedStepUnordered", kUnordered, kAbc, {Failed("c")}, kError,
                  "Status Failed: c", "Status Failed: c", "none"},
        LevelCase{"CriticalPointMissing", kOrdered, kAbc, {T("a"), T("c")}, kError,
                  "Status Failed, point missing: b", "Status Failed, point missing: b", "none"},
        LevelCase{"OptionalPointMissing", kOrdered, kOptionalB, {T("a"), T("c")}, kWarn,
                  "optional point missing: 'b'", "optional point missing: 'b'", "none"},
        LevelCase{"Duplicated", kOrdered, kAbc, {T("a"), T("a")}, kError,
                  "Status Failed, point duplicated: a", "Status Failed, point duplicated: a",
                  "none"},
        LevelCase{"Undefined", kOrdered, kAbc, {T("a"), T("x")}, kError,
                  "Status Failed, undefined point: x", "Status Failed, undefined point: x", "none"},
        LevelCase{"UndefinedUnordered", kUnordered, kAbc, {T("x")}, kError,
                  "Status Failed, undefined point: x", "Status Failed, undefined point: x", "none"},
        LevelCase{"LateArrival", kOrdered, kTimedB, {T("a", 300), T("b")}, kWarn, "bTimeout",
                  "bTimeout", "none"},
        LevelCase{"ArrivalWithinItsLimit", kOrdered, kTimedB, {T("a", 100), T("b")}, kOk,
                  "running: next 'c' (3 of 3)", kNoFailure, "none"},
        // The worst finding sets the level; the first one names the run.
        LevelCase{"WarningThenError", kOrdered, kOptionalB, {T("a"), T("c"), T("x")}, kError,
                  "optional point missing: 'b'", "optional point missing: 'b'", "none"},
        LevelCase{"OnlyTheVerdictFailed", kUnordered, kAbc, {T("a"), kCheck}, kError,
                  "verdict MISSING_POINT", "verdict MISSING_POINT", "MISSING_POINT"},
        LevelCase{"FailedStepThenPassingVerdict", kUnordered, kAbc,
                  {Failed("a"), T("a"), T("b"), T("c"), kCheck}, kError, "Status Failed: a",
                  "Status Failed: a", "SUCCESS"},
        LevelCase{"FailedVerdictThenPassingOne", kUnordered, kAbc,
                  {T("a"), kCheck, T("b"), T("c"), kCheck}, kError, "verdict MISSING_POINT",
                  "verdict MISSING_POINT", "SUCCESS"},
        LevelCase{"CheckOfAnEmptyRecordIsNoVerdict", kOrdered, kAbc, {kCheck}, kOk, "idle",
                  kNoFailure, "none"},
        LevelCase{"ResetStartsAHealthyRun", kOrdered, kAbc, {Failed("a"), kCheck, kReset}, kOk,
                  "idle", kNoFailure, "none"},
        LevelCase{"OverdueOrdered", kOrdered, kTimedB, {T("a", 900), kWatch}, kStale,
                  "point 'b' overdue: N ms, limit 100 ms", kNoFailure, "none"},
        LevelCase{"OverdueOnlyOnceReported", kOrdered, kTimedB, {T("a", 900)}, kOk,
                  "running: next 'b' (2 of 3)", kNoFailure, "none"},
        LevelCase{"OverdueEndsWithAnyNewEntry", kOrdered, kTimedB, {T("a", 900), kWatch, T("x")},
                  kError, "Status Failed, undefined point: x", "Status Failed, undefined point: x",
                  "none"},
        LevelCase{"OverdueEndsWithAReset", kOrdered, kTimedB, {T("a", 900), kWatch, kReset}, kOk,
                  "idle", kNoFailure, "none"},
        LevelCase{"OverdueOutranksAnError", kOrdered, kTimedB, {Failed("a", 900), kWatch},
                  kStale, "point 'b' overdue: N ms, limit 100 ms", "Status Failed: a", "none"},
        LevelCase{"OverdueUnorderedNeverCame", kUnordered, kBeat, {T("q", 900), kWatch}, kStale,
                  "point 'p' overdue: N ms, limit 250 ms", kNoFailure, "none"},
        LevelCase{"OverdueUnorderedOtherPointsDoNotEndIt", kUnordered, kBeat,
                  {T("p", 900), kWatch, T("q")}, kStale, "point 'p' overdue: N ms, limit 250 ms",
                  kNoFailure, "none"},
        LevelCase{"OverdueUnorderedEndsWithItsOwnEntry", kUnordered, kBeat,
                  {T("p", 900), kWatch, T("p")}, kOk, "running", kNoFailure, "none"}),
    [](const ::testing::TestParamInfo<LevelCase>& info) { return info.param.name; });

// --- values, order and names -----------------------------------------------------------------

TEST_F(FlowHealthTest, ValuesDescribeTheRunInOrder) {
  registry_.RegisterTraceFlow(Flow("pick", kOrdered, kAbc));
  registry_.RegisterTraceFlow(Flow("beat", kUnordered, kBeat));
  CaptureStdout quiet;
  const int64_t start = NowMs();
  for (const auto& [id, offset] : {std::pair<const char*, int64_t>{"a", 0}, {"b", 1234}}) {
    auto point = std::make_shared<TracePoint>(id, true);
    point->timestamp = start + offset;
    registry_.Trace("pick", point);
  }
  registry_.CheckFlow("pick");
  registry_.Trace("beat", "q", true);

  const int64_t before = NowMs();
  const DiagnosticArray array = registry_.CollectDiagnostics();
  const int64_t after = NowMs();
  EXPECT_GE(StampMs(array), before);
  EXPECT_LE(StampMs(array), after);
  EXPECT_EQ(array.header.frame_id, "");

  const DiagnosticStatus pick = StatusOf(array, "pick");
  EXPECT_EQ(pick.hardware_id, "");
  EXPECT_THAT(Keys(pick), ElementsAre("flow_name", "ordered", "recorded", "next", "verdict",
                                      "first_failure", "duration_ms"));
  EXPECT_EQ(Values(pick), (std::map<std::string, std::string>{
                              {"flow_name", "pick name"},
                              {"ordered", "true"},
                              {"recorded", "2"},
                              {"next", "c"},
                              {"verdict", "MISSING_POINT"},
                              {"first_failure", "verdict MISSING_POINT"},
                              {"duration_ms", "1234"}}));

  // An unordered flow expects no particular point; a single entry lasts no time.
  const DiagnosticStatus beat = StatusOf(array, "beat");
  EXPECT_THAT(Keys(beat), ElementsAre("flow_name", "ordered", "recorded", "verdict",
                                      "first_failure", "duration_ms"));
  EXPECT_EQ(Values(beat)["ordered"], "false");
  EXPECT_EQ(Values(beat)["duration_ms"], "0");

  // A complete ordered flow expects nothing more.
  registry_.Trace("pick", "c", true);
  EXPECT_EQ(Values(StatusOf(registry_.CollectDiagnostics(), "pick"))["next"], "");
}

TEST_F(FlowHealthTest, OneStatusPerRegisteredFlowSortedByIdAndNamedAfterTheNode) {
  for (const char* id : {"b", "a", "c10", "c9", "B"}) {
    registry_.RegisterTraceFlow(Flow(id, kOrdered, kAbc));
  }
  EXPECT_THAT(Names(registry_.CollectDiagnostics()),
              ElementsAre("flow_trace: B", "flow_trace: a", "flow_trace: b", "flow_trace: c10",
                          "flow_trace: c9"));

  if (!rclcpp::ok()) {
    rclcpp::init(0, nullptr);
  }
  CaptureStdout quiet;
  registry_.Init(WriteFile("workflows:\n  - {flow_id: z}\n  - {flow_id: y}\n"),
                 std::make_shared<rclcpp::Node>("health_test"));
  registry_.RegisterTraceFlow(Flow("m", kOrdered, kAbc));
  registry_.RegisterTraceFlow(Flow("gone", kOrdered, kAbc));
  registry_.RemoveTraceFlow("gone");
  EXPECT_THAT(Names(registry_.CollectDiagnostics()),
              ElementsAre("health_test: m", "health_test: y", "health_test: z"));
}

// PublishDiagnostics refills the array it sent before; whatever changed in between, the result
// is what a fresh collection gives.
TEST_F(FlowHealthTest, RefilledArrayFollowsEveryChangeOfTheRegistry) {
  DiagnosticArray kept;
  uint64_t layout = 0;
  const auto expect_fresh = [&](const char* after) {
    SCOPED_TRACE(after);
    FlowTraceTestAccess::FillDiagnostics(kept, layout);
    const DiagnosticArray fresh = registry_.CollectDiagnostics();
    EXPECT_EQ(kept.status, fresh.status);
  };
  CaptureStdout quiet;
  registry_.RegisterTraceFlow(Flow("m", kOrdered, kAbc));
  registry_.RegisterTraceFlow(Flow("n", kUnordered, kBeat));
  expect_fresh("registration");
  registry_.Trace("m", "a", true);
  registry_.Trace("n", "x", true);
  expect_fresh("traces");
  registry_.RegisterTraceFlow(Flow("a_first", kUnordered, kAbc));
  expect_fresh("a flow sorted first");
  FlowTraceTestAccess::Config("m")->check_order = false;
  FlowTraceTestAccess::Config("n")->check_order = true;
  expect_fresh("kinds changed in place");
  registry_.RegisterTraceFlow(Flow("m", kOrdered, kOptionalB));
  registry_.RemoveTraceFlow("a_first");
  expect_fresh("replaced and removed");
  if (!rclcpp::ok()) {
    rclcpp::init(0, nullptr);
  }
  registry_.Init(WriteFile("workflows:\n  - {flow_id: m}\n"),
                 std::make_shared<rclcpp::Node>("health_refill_test"));
  expect_fresh("reload with a node");
  registry_.ResetAllFlows();
  expect_fresh("reset");
}

// --- publication -----------------------------------------------------------------------------

class FlowHealthPublishTest : public FlowHealthTest {
 protected:
  static void SetUpTestSuite() {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
  }
};

TEST_F(FlowHealthPublishTest, PublishesOnDiagnosticsThroughTheNodeOfInitAndLogsNothing) {
  const std::string config = WriteFile(
      "workflows:\n"
      "  - {flow_id: pick, check_order: true, flow_points: [{point_id: a}, {point_id: b}]}\n"
      "  - {flow_id: beat, flow_points: [{point_id: p}]}\n");
  {
    CaptureStdout quiet;
    registry_.Init(config, nullptr);
  }
  registry_.PublishDiagnostics();  // without a node: nothing
  EXPECT_FALSE(FlowTraceTestAccess::DiagnosticsPublisher());

  {
    CaptureStdout quiet;
    registry_.Init(config, std::make_shared<rclcpp::Node>("health_publisher"));
    registry_.Trace("pick", "b", true);
  }
  test::ArrayListener listener("/diagnostics");
  CaptureStdout capture;
  test::FunctionNames names;
  registry_.PublishDiagnostics();
  const auto publisher = FlowTraceTestAccess::DiagnosticsPublisher();
  ASSERT_TRUE(publisher);
  ASSERT_TRUE(test::WaitForSubscribers(publisher));
  registry_.PublishDiagnostics();
  const DiagnosticArray expected = registry_.CollectDiagnostics();
  ASSERT_TRUE(listener.WaitFor(
      [&](const DiagnosticArray& array) { return array.status == expected.status; }));
  EXPECT_THAT(Names(expected), ElementsAre("health_publisher: beat", "health_publisher: pick"));
  EXPECT_EQ(int{StatusOf(expected, "pick").level}, int{DiagnosticStatus::ERROR});
  EXPECT_THAT(capture.Text(), IsEmpty());
  EXPECT_THAT(names.sink().lines, IsEmpty());

  // A later Init with another node gets a publisher of its own; one without a node, none.
  {
    CaptureStdout quiet;
    registry_.Init(config, std::make_shared<rclcpp::Node>("health_other"));
  }
  registry_.PublishDiagnostics();
  const auto other = FlowTraceTestAccess::DiagnosticsPublisher();
  ASSERT_TRUE(other);
  EXPECT_NE(other, publisher);
  ASSERT_TRUE(test::WaitForSubscribers(other));
  registry_.PublishDiagnostics();
  ASSERT_TRUE(listener.WaitFor([](const DiagnosticArray& array) {
    return !array.status.empty() && array.status[0].name == "health_other: beat";
  }));
  {
    CaptureStdout quiet;
    registry_.Init(config, nullptr);
  }
  registry_.PublishDiagnostics();
  EXPECT_FALSE(FlowTraceTestAccess::DiagnosticsPublisher());
}

}  // namespace
}  // namespace valtrix::trace
