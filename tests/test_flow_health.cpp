// The health of each flow for /diagnostics: its level and message, the values beside them, the
// order and names of the statuses, and their publication.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>

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
struct PointLimits {
  const char* id;
  bool optional = false;
  uint32_t timeout_ms = 0;
  uint32_t repeat_cnt = 0;
  float freq_min = 0.0F;
};

std::shared_ptr<TraceFlowCfg> Flow(const std::string& flow_id, bool ordered,
                                   const std::vector<PointLimits>& points) {
  auto flow = std::make_shared<TraceFlowCfg>(flow_id, flow_id + " name");
  flow->check_order = ordered;
  for (const PointLimits& limits : points) {
    auto point = std::make_shared<TracePointCfg>(limits.id);
    point->is_critical = !limits.optional;
    point->on_failure = false;
    point->timeout_ms = limits.timeout_ms;
    point->repeat_cnt = limits.repeat_cnt;
    point->freq_min = limits.freq_min;
    flow->flow_points.push_back(point);
  }
  return flow;
}

// "key=value" per value, in order.
std::vector<std::string> Values(const DiagnosticStatus& status) {
  std::vector<std::string> values;
  for (const auto& entry : status.values) {
    values.push_back(entry.key + "=" + entry.value);
  }
  return values;
}

std::vector<std::string> Names(const DiagnosticArray& array) {
  std::vector<std::string> names;
  for (const auto& status : array.status) {
    names.push_back(status.name);
  }
  return names;
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

  // Loads `yaml` with `node`, quietly.
  void Init(const std::string& yaml, std::shared_ptr<rclcpp::Node> node) {
    char path[] = "/tmp/valtrix_flow_health_XXXXXX";
    close(mkstemp(path));
    std::ofstream(path) << yaml;
    paths_.emplace_back(path);
    CaptureStdout quiet;
    registry_.Init(path, std::move(node));
  }

  static std::shared_ptr<rclcpp::Node> MakeNode(const std::string& name) {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    return std::make_shared<rclcpp::Node>(name);
  }

  FlowTrace& registry_ = FlowTrace::GetInstance();

 private:
  std::vector<std::string> paths_;
};

// --- level and message -----------------------------------------------------------------------

// One step of a run; entries are stamped `age_ms` before the case started.
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
  std::vector<PointLimits> points;
  std::vector<Step> steps;
  // Level, message (an overdue time as N), first_failure and verdict, separated by " | ".
  std::string expected;
};

void PrintTo(const LevelCase& c, std::ostream* out) { *out << c.name; }

class FlowHealthLevelTest : public FlowHealthTest,
                            public ::testing::WithParamInterface<LevelCase> {};

TEST_P(FlowHealthLevelTest, IsTheWorstThatAppliesAndNamesIt) {
  const LevelCase& c = GetParam();
  registry_.RegisterTraceFlow(Flow("job", c.ordered, c.points));
  CaptureStdout quiet;
  const int64_t start = NowMs();
  for (const Step& step : c.steps) {
    if (step.op == Op::kTrace || step.op == Op::kTraceFailed) {
      auto point = std::make_shared<TracePoint>(step.id, step.op == Op::kTrace);
      point->timestamp = start - step.age_ms;
      registry_.Trace("job", point);
    } else if (step.op == Op::kCheckFlow) {
      registry_.CheckFlow("job");
    } else if (step.op == Op::kCheckTimeouts) {
      registry_.CheckTimeouts();
    } else {
      registry_.ResetFlow("job");
    }
  }
  const DiagnosticStatus status = registry_.CollectDiagnostics().status.at(0);
  const auto value = [&](const std::string& key) {
    for (const auto& entry : status.values) {
      if (entry.key == key) {
        return entry.value;
      }
    }
    return "no " + key;
  };
  static const char* const kLevels[] = {"OK", "WARN", "ERROR", "STALE"};
  EXPECT_EQ(std::string(kLevels[status.level]) + " | " +
                std::regex_replace(status.message, std::regex("overdue: [0-9]+"), "overdue: N") +
                " | " + value("first_failure") + " | " + value("verdict"),
            c.expected);
}

constexpr bool kOrdered = true;
constexpr bool kUnordered = false;
const std::vector<PointLimits> kAbc = {{"a"}, {"b"}, {"c"}};
const std::vector<PointLimits> kOptionalB = {{"a"}, {"b", true}, {"c"}};
// b may take 100 ms; with repeat_cnt 1 the progressive check also judges its arrival.
const std::vector<PointLimits> kTimedB = {{"a"}, {"b", false, 100, 1}, {"c"}};
const std::vector<PointLimits> kBeat = {{"p", false, 0, 0, 4.0F}, {"q"}};  // p: every 250 ms

INSTANTIATE_TEST_SUITE_P(
    Levels, FlowHealthLevelTest,
    ::testing::Values(
        LevelCase{"Idle", kOrdered, kAbc, {}, "OK | idle |  | none"},
        LevelCase{"RunningOrdered", kOrdered, kAbc, {T("a")},
                  "OK | running: next 'b' (2 of 3) |  | none"},
        LevelCase{"RunningUnordered", kUnordered, kAbc, {T("b")}, "OK | running |  | none"},
        LevelCase{"Complete", kOrdered, kAbc, {T("a"), T("b"), T("c"), kCheck},
                  "OK | complete |  | SUCCESS"},
        LevelCase{"FailedStep", kOrdered, kAbc, {T("a"), Failed("b")},
                  "ERROR | Status Failed: b | Status Failed: b | none"},
        LevelCase{"CriticalPointMissing", kOrdered, kAbc, {T("a"), T("c")},
                  "ERROR | Status Failed, point missing: b | Status Failed, point missing: b | "
                  "none"},
        LevelCase{"OptionalPointMissing", kOrdered, kOptionalB, {T("a"), T("c")},
                  "WARN | optional point missing: 'b' | optional point missing: 'b' | none"},
        LevelCase{"Duplicated", kOrdered, kAbc, {T("a"), T("a")},
                  "ERROR | Status Failed, point duplicated: a | "
                  "Status Failed, point duplicated: a | none"},
        LevelCase{"Undefined", kOrdered, kAbc, {T("a"), T("x")},
                  "ERROR | Status Failed, undefined point: x | "
                  "Status Failed, undefined point: x | none"},
        LevelCase{"UndefinedUnordered", kUnordered, kAbc, {T("x")},
                  "ERROR | Status Failed, undefined point: x | "
                  "Status Failed, undefined point: x | none"},
        LevelCase{"LateArrival", kOrdered, kTimedB, {T("a", 300), T("b")},
                  "WARN | bTimeout | bTimeout | none"},
        // The worst finding sets the level; the first one names the run.
        LevelCase{"WarningThenError", kOrdered, kOptionalB, {T("a"), T("c"), T("x")},
                  "ERROR | optional point missing: 'b' | optional point missing: 'b' | none"},
        LevelCase{"OnlyTheVerdictFailed", kUnordered, kAbc, {T("a"), kCheck},
                  "ERROR | verdict MISSING_POINT | verdict MISSING_POINT | MISSING_POINT"},
        LevelCase{"FailedStepThenPassingVerdict", kUnordered, kAbc,
                  {Failed("a"), T("a"), T("b"), T("c"), kCheck},
                  "ERROR | Status Failed: a | Status Failed: a | SUCCESS"},
        LevelCase{"FailedVerdictThenPassingOne", kUnordered, kAbc,
                  {T("a"), kCheck, T("b"), T("c"), kCheck},
                  "ERROR | verdict MISSING_POINT | verdict MISSING_POINT | SUCCESS"},
        LevelCase{"CheckOfAnEmptyRecordIsNoVerdict", kOrdered, kAbc, {kCheck},
                  "OK | idle |  | none"},
        LevelCase{"OverdueOrdered", kOrdered, kTimedB, {T("a", 900), kWatch},
                  "STALE | point 'b' overdue: N ms, limit 100 ms |  | none"},
        LevelCase{"OverdueOnlyOnceReported", kOrdered, kTimedB, {T("a", 900)},
                  "OK | running: next 'b' (2 of 3) |  | none"},
        LevelCase{"OverdueEndsWithAnyNewEntry", kOrdered, kTimedB, {T("a", 900), kWatch, T("x")},
                  "ERROR | Status Failed, undefined point: x | "
                  "Status Failed, undefined point: x | none"},
        LevelCase{"OverdueOutranksAnError", kOrdered, kTimedB, {Failed("a", 900), kWatch},
                  "STALE | point 'b' overdue: N ms, limit 100 ms | Status Failed: a | none"},
        LevelCase{"ResetStartsAHealthyRun", kOrdered, kTimedB,
                  {Failed("a", 900), kWatch, kCheck, kReset}, "OK | idle |  | none"},
        // p never came: timed from the run's first entry; only an entry of p ends its wait.
        LevelCase{"OverdueUnorderedEndsOnlyWithItsOwnEntry", kUnordered, kBeat,
                  {T("q", 900), kWatch, T("q")},
                  "STALE | point 'p' overdue: N ms, limit 250 ms |  | none"},
        LevelCase{"OverdueUnorderedEndedByItsOwnEntry", kUnordered, kBeat,
                  {T("q", 900), kWatch, T("p")}, "OK | running |  | none"}),
    [](const ::testing::TestParamInfo<LevelCase>& info) { return info.param.name; });

// --- values, order and names -----------------------------------------------------------------

TEST_F(FlowHealthTest, ValuesDescribeTheRunInOrder) {
  registry_.RegisterTraceFlow(Flow("pick", kOrdered, kAbc));
  registry_.RegisterTraceFlow(Flow("beat", kUnordered, kBeat));
  CaptureStdout quiet;
  for (const auto& [id, stamp] : {std::pair<const char*, int64_t>{"a", 1000}, {"b", 2234}}) {
    auto point = std::make_shared<TracePoint>(id, true);
    point->timestamp = stamp;
    registry_.Trace("pick", point);
  }
  registry_.CheckFlow("pick");
  registry_.Trace("beat", "q", true);

  const int64_t before = NowMs();
  const DiagnosticArray array = registry_.CollectDiagnostics();
  const int64_t after = NowMs();
  const int64_t stamp =
      int64_t{array.header.stamp.sec} * 1000 + int64_t{array.header.stamp.nanosec} / 1000000;
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(array.header.frame_id, "");
  ASSERT_EQ(array.status.size(), 2U);
  EXPECT_EQ(array.status[0].hardware_id, "");
  // An unordered flow expects no particular point; a single entry lasts no time.
  EXPECT_THAT(Values(array.status[0]),
              ElementsAre("flow_name=beat name", "ordered=false", "recorded=1", "verdict=none",
                          "first_failure=", "duration_ms=0", "runs=0", "verdicts_failed=0",
                          "run_p95_ms=0", "slowest_step=", "record_dropped=0"));
  EXPECT_THAT(Values(array.status[1]),
              ElementsAre("flow_name=pick name", "ordered=true", "recorded=2", "next=c",
                          "verdict=MISSING_POINT", "first_failure=verdict MISSING_POINT",
                          "duration_ms=1234", "runs=1", "verdicts_failed=1",
                          "run_p95_ms=1234", "slowest_step=b", "record_dropped=0"));
  // A complete ordered flow expects nothing more.
  registry_.Trace("pick", "c", true);
  EXPECT_EQ(Values(registry_.CollectDiagnostics().status[1])[3], "next=");
}

TEST_F(FlowHealthTest, OneStatusPerRegisteredFlowSortedByIdAndNamedAfterTheNode) {
  for (const char* id : {"b", "a", "c10", "c9", "B"}) {
    registry_.RegisterTraceFlow(Flow(id, kOrdered, kAbc));
  }
  EXPECT_THAT(Names(registry_.CollectDiagnostics()),
              ElementsAre("flow_trace: B", "flow_trace: a", "flow_trace: b", "flow_trace: c10",
                          "flow_trace: c9"));

  Init("workflows:\n  - {flow_id: z}\n  - {flow_id: y}\n", MakeNode("health_test"));
  CaptureStdout quiet;
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
    FlowTraceTestAccess::FillDiagnostics(kept, layout);
    EXPECT_EQ(kept.status, registry_.CollectDiagnostics().status) << after;
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
  registry_.ResetAllFlows();
  expect_fresh("reset");
  Init("workflows:\n  - {flow_id: m}\n", MakeNode("health_refill_test"));
  expect_fresh("reload with a node");
}

// --- publication -----------------------------------------------------------------------------

TEST_F(FlowHealthTest, PublishesOnDiagnosticsThroughTheNodeOfInitAndLogsNothing) {
  const std::string yaml =
      "workflows:\n"
      "  - {flow_id: pick, check_order: true, flow_points: [{point_id: a}, {point_id: b}]}\n"
      "  - {flow_id: beat, flow_points: [{point_id: p}]}\n";
  Init(yaml, nullptr);
  registry_.PublishDiagnostics();  // without a node: nothing
  EXPECT_FALSE(FlowTraceTestAccess::DiagnosticsPublisher());

  Init(yaml, MakeNode("health_publisher"));
  auto listener = MakeNode("health_listener");
  std::vector<DiagnosticArray> received;
  auto subscription = listener->create_subscription<DiagnosticArray>(
      "/diagnostics", 10, [&](const DiagnosticArray& array) { received.push_back(array); });
  // Publishes (the first time through a new publisher) until an array named `first` arrives.
  const auto publish_until = [&](const std::string& first) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      registry_.PublishDiagnostics();
      rclcpp::spin_some(listener);
      for (const auto& array : received) {
        if (!array.status.empty() && array.status[0].name == first) {
          return array;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return DiagnosticArray();
  };
  CaptureStdout capture;
  test::FunctionNames names;
  registry_.Trace("pick", "b", true);
  const DiagnosticArray first = publish_until("health_publisher: beat");
  EXPECT_EQ(first.status, registry_.CollectDiagnostics().status);
  EXPECT_THAT(Names(first), ElementsAre("health_publisher: beat", "health_publisher: pick"));
  EXPECT_EQ(first.status.at(1).message, "Status Failed, point missing: a");
  const auto publisher = FlowTraceTestAccess::DiagnosticsPublisher();

  // A later Init with another node gets a publisher of its own; one without a node, none.
  Init(yaml, MakeNode("health_other"));
  EXPECT_EQ(Names(publish_until("health_other: beat")).size(), 2U);
  EXPECT_NE(FlowTraceTestAccess::DiagnosticsPublisher(), publisher);
  Init(yaml, nullptr);
  registry_.PublishDiagnostics();
  EXPECT_FALSE(FlowTraceTestAccess::DiagnosticsPublisher());
  EXPECT_THAT(names.sink().lines, IsEmpty());
  EXPECT_THAT(capture.Text(), IsEmpty());
}

}  // namespace
}  // namespace valtrix::trace
