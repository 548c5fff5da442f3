// FlowTrace::CheckTimeouts: overdue expected points of ordered flows, stale points of unordered
// flows, once per wait, and the warnings and events that report them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/capture_stdout.hpp"
#include "support/event_listener.hpp"
#include "support/flow_trace_access.hpp"
#include "support/function_name_sink.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using ::testing::Each;
using ::testing::UnorderedElementsAre;
using test::CaptureStdout;
using test::EventListener;
using test::LogLines;
using Event = valtrix_protocol::msg::DiagnosticEvent;

constexpr char kTopic[] = "/valtrix/timeout_check_test";
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::shared_ptr<TracePoint> PointStamped(const std::string& id, int64_t timestamp) {
  auto point = std::make_shared<TracePoint>(id, true);
  point->timestamp = timestamp;
  return point;
}

struct PointLimits {
  const char* id;
  uint32_t timeout_ms = 0;
  float freq_min = 0.0F;
  uint32_t repeat_cnt = 0;
};

std::shared_ptr<TraceFlowCfg> Flow(const std::string& flow_id, bool ordered,
                                   const std::vector<PointLimits>& points) {
  auto flow = std::make_shared<TraceFlowCfg>(flow_id);
  flow->check_order = ordered;
  for (const PointLimits& limits : points) {
    auto point = std::make_shared<TracePointCfg>(limits.id);
    point->is_critical = true;
    point->timeout_ms = limits.timeout_ms;
    point->freq_min = limits.freq_min;
    point->repeat_cnt = limits.repeat_cnt;
    flow->flow_points.push_back(point);
  }
  return flow;
}

// An entry of the record, stamped `age_ms` before the check.
struct Aged {
  const char* id;
  int64_t age_ms;
};

class TimeoutCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::Instance();  // startup notices go out before any capture
    FlowTraceTestAccess::Clear();
  }
  void TearDown() override { FlowTraceTestAccess::Clear(); }

  void Record(const std::string& flow_id, const std::vector<Aged>& entries, int64_t now) {
    for (const Aged& entry : entries) {
      registry_.Trace(flow_id, PointStamped(entry.id, now - entry.age_ms));
    }
  }

  // Records `entries` into a fresh run of the flow and checks, all within one millisecond of the
  // system clock (trying again otherwise), so that each entry is exactly its age at the check.
  size_t CheckAged(const std::string& flow_id, const std::vector<Aged>& entries) {
    CaptureStdout quiet;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      registry_.ResetFlow(flow_id);
      const int64_t now = NowMs();
      Record(flow_id, entries, now);
      const size_t reports = registry_.CheckTimeouts();
      if (NowMs() == now) {
        return reports;
      }
    }
    ADD_FAILURE() << "the clock never stood still for one check";
    return 0;
  }

  FlowTrace& registry_ = FlowTrace::GetInstance();
};

struct LimitCase {
  const char* name;
  bool ordered;
  std::vector<PointLimits> points;
  std::vector<Aged> entries;
  size_t reports;
};

void PrintTo(const LimitCase& c, std::ostream* out) { *out << c.name; }

class TimeoutLimitTest : public TimeoutCheckTest,
                         public ::testing::WithParamInterface<LimitCase> {};

TEST_P(TimeoutLimitTest, ReportsOnlyStrictlyPastTheLimit) {
  const LimitCase& c = GetParam();
  registry_.RegisterTraceFlow(Flow("flow", c.ordered, c.points));
  EXPECT_EQ(CheckAged("flow", c.entries), c.reports);
}

constexpr bool kOrdered = true;
constexpr bool kUnordered = false;
const std::vector<PointLimits> kTimedB = {{"a"}, {"b", 100}};
const std::vector<PointLimits> kBeat = {{"p", 0, 4.0F}, {"q"}};  // p: every 250 ms

INSTANTIATE_TEST_SUITE_P(
    Limits, TimeoutLimitTest,
    ::testing::Values(
        LimitCase{"OrderedAtTheLimit", kOrdered, kTimedB, {{"a", 100}}, 0},
        LimitCase{"OrderedPastTheLimit", kOrdered, kTimedB, {{"a", 101}}, 1},
        LimitCase{"OrderedWhateverTheRepetitions", kOrdered, {{"a"}, {"b", 100, 0, 3}},
                  {{"a", 101}}, 1},
        LimitCase{"OrderedTimedFromTheNewestEntry", kOrdered, kTimedB, {{"a", 900}, {"x", 100}},
                  0},
        LimitCase{"OrderedFirstPointAfterAnUndefinedOne", kOrdered, {{"a", 100}}, {{"x", 101}},
                  1},
        LimitCase{"OrderedCompleteFlow", kOrdered, kTimedB, {{"a", 900}, {"b", 900}}, 0},
        LimitCase{"OrderedWithoutTimeout", kOrdered, {{"a"}, {"b"}}, {{"a", 100000}}, 0},
        LimitCase{"OrderedIgnoresFreqMin", kOrdered, {{"a"}, {"b", 0, 10.0F}}, {{"a", 100000}},
                  0},
        LimitCase{"OrderedEmptyRecord", kOrdered, {{"a", 100}}, {}, 0},
        LimitCase{"OrderedClockSteppedBack", kOrdered, kTimedB, {{"a", -1000}}, 0},
        LimitCase{"UnorderedAtThePeriod", kUnordered, kBeat, {{"p", 250}}, 0},
        LimitCase{"UnorderedPastThePeriod", kUnordered, kBeat, {{"p", 251}}, 1},
        LimitCase{"UnorderedFractionalPeriodAt", kUnordered, {{"p", 0, 3.0F}}, {{"p", 333}}, 0},
        LimitCase{"UnorderedFractionalPeriodPast", kUnordered, {{"p", 0, 3.0F}}, {{"p", 334}},
                  1},
        // 0.1 is not exactly a float; the period is still the 10 s the file says.
        LimitCase{"UnorderedDecimalFrequencyAt", kUnordered, {{"p", 0, 0.1F}}, {{"p", 10000}},
                  0},
        LimitCase{"UnorderedDecimalFrequencyPast", kUnordered, {{"p", 0, 0.1F}}, {{"p", 10001}},
                  1},
        LimitCase{"UnorderedTimedFromItsOwnNewestEntry", kUnordered, kBeat,
                  {{"p", 900}, {"p", 100}, {"q", 900}}, 0},
        LimitCase{"UnorderedOtherPointsDoNotCount", kUnordered, kBeat, {{"p", 300}, {"q", 0}},
                  1},
        LimitCase{"UnorderedNeverCamePastTheRunsStart", kUnordered, kBeat,
                  {{"q", 251}, {"q", 0}}, 1},
        LimitCase{"UnorderedNeverCameAtTheRunsStart", kUnordered, kBeat, {{"q", 250}, {"q", 0}},
                  0},
        LimitCase{"UnorderedEveryStalePoint", kUnordered, {{"p", 0, 4.0F}, {"r", 0, 2.0F}},
                  {{"p", 501}}, 2},
        LimitCase{"UnorderedIgnoresTimeoutMs", kUnordered, {{"p", 100}}, {{"p", 100000}}, 0},
        LimitCase{"UnorderedWithoutUsableFrequency", kUnordered,
                  {{"z", 0, 0.0F}, {"n", 0, -1.0F}, {"nan", 0, kNaN}, {"inf", 0, kInfinity}},
                  {{"q", 100000}}, 0},
        LimitCase{"UnorderedEmptyRecord", kUnordered, kBeat, {}, 0},
        LimitCase{"UnorderedClockSteppedBack", kUnordered, kBeat, {{"p", -1000}}, 0}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return info.param.name; });

// What one step of a run does: trace an aged entry, check, or start the watch afresh.
enum class Op { kTrace, kCheck, kResetFlow, kResetAll, kRegisterAgain, kRemoveAndRegister, kInit };

struct Step {
  Op op;
  const char* id = "";
  int64_t value = 0;  // kTrace: age of the entry in ms; kCheck: the reports expected
};

Step TraceAged(const char* id, int64_t age_ms) { return {Op::kTrace, id, age_ms}; }
Step Check(int64_t reports) { return {Op::kCheck, "", reports}; }
Step Do(Op op) { return {op}; }

struct WaitCase {
  const char* name;
  const char* flow_id;
  std::vector<Step> steps;
};

void PrintTo(const WaitCase& c, std::ostream* out) { *out << c.name; }

constexpr char kFlowsYaml[] = R"(workflows:
  - flow_id: pick
    check_order: true
    flow_points:
      - {point_id: a}
      - {point_id: b, timeout_ms: 100}
  - flow_id: beat
    check_order: false
    flow_points:
      - {point_id: p, freq_min: 4.0}
      - {point_id: q}
)";

class TimeoutWaitTest : public TimeoutCheckTest, public ::testing::WithParamInterface<WaitCase> {
 protected:
  void SetUp() override {
    TimeoutCheckTest::SetUp();
    char path[] = "/tmp/valtrix_timeout_check_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = path;
    std::ofstream(path_) << kFlowsYaml;
  }
  void TearDown() override {
    unlink(path_.c_str());
    TimeoutCheckTest::TearDown();
  }

  void Run(const std::string& flow_id, const Step& step) {
    const auto cfg = FlowTraceTestAccess::Config(flow_id);
    switch (step.op) {
      case Op::kTrace:
        Record(flow_id, {{step.id, step.value}}, NowMs());
        break;
      case Op::kCheck:
        EXPECT_EQ(registry_.CheckTimeouts(), static_cast<size_t>(step.value));
        break;
      case Op::kResetFlow:
        registry_.ResetFlow(flow_id);
        break;
      case Op::kResetAll:
        registry_.ResetAllFlows();
        break;
      case Op::kRegisterAgain:
        registry_.RegisterTraceFlow(cfg);
        break;
      case Op::kRemoveAndRegister:
        registry_.RemoveTraceFlow(flow_id);
        registry_.RegisterTraceFlow(cfg);
        break;
      case Op::kInit:
        registry_.Init(path_, nullptr);
        break;
    }
  }

  std::string path_;
};

// Every time here is far from its limit, so nothing depends on how fast the steps run.
TEST_P(TimeoutWaitTest, ReportsOncePerWait) {
  const WaitCase& c = GetParam();
  CaptureStdout quiet;
  registry_.Init(path_, nullptr);
  for (size_t k = 0; k < c.steps.size(); ++k) {
    SCOPED_TRACE("step " + std::to_string(k));
    Run(c.flow_id, c.steps[k]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, TimeoutWaitTest,
    ::testing::Values(
        WaitCase{"OrderedReArmedByEveryNewEntry",
                 "pick",
                 {TraceAged("a", 900), Check(1), Check(0), TraceAged("x", 500), Check(1), Check(0),
                  TraceAged("b", 0), Check(0)}},
        // Each of these empties the record; the next run's first entry starts a new wait at the
        // same position as the reported one.
        WaitCase{"OrderedReArmedByResetsRegistrationAndReload",
                 "pick",
                 {TraceAged("a", 900), Check(1), Do(Op::kResetFlow), TraceAged("a", 900), Check(1),
                  Do(Op::kResetAll), TraceAged("a", 900), Check(1), Do(Op::kRegisterAgain),
                  TraceAged("a", 900), Check(1), Do(Op::kRemoveAndRegister), TraceAged("a", 900),
                  Check(1), Do(Op::kInit), TraceAged("a", 900), Check(1), Check(0)}},
        WaitCase{"UnorderedReArmedOnlyByThePointsOwnEntry",
                 "beat",
                 {TraceAged("p", 900), Check(1), Check(0), TraceAged("q", 0), Check(0),
                  TraceAged("p", 600), Check(1), Check(0), TraceAged("p", 0), Check(0)}},
        WaitCase{"UnorderedReArmedByResetsRegistrationAndReload",
                 "beat",
                 {TraceAged("q", 900), Check(1), Check(0), Do(Op::kResetFlow), TraceAged("q", 900),
                  Check(1), Do(Op::kResetAll), TraceAged("p", 900), Check(1),
                  Do(Op::kRegisterAgain), TraceAged("p", 900), Check(1),
                  Do(Op::kRemoveAndRegister), TraceAged("q", 900), Check(1), Do(Op::kInit),
                  TraceAged("p", 900), Check(1), Check(0)}}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

int64_t StampMs(const Event& event) {
  return int64_t{event.stamp.sec} * 1000 + int64_t{event.stamp.nanosec} / 1000000;
}

// Each warning with the publication line that follows it, if any, its elapsed time as "N".
std::vector<std::string> Reports(const std::vector<std::string>& lines) {
  static const std::regex kElapsed("overdue: [0-9]+ ms");
  std::vector<std::string> reports;
  for (const std::string& line : lines) {
    if (line.rfind("[WARN] ", 0) == 0) {
      reports.push_back(std::regex_replace(line.substr(7), kElapsed, "overdue: N ms"));
    } else if (!reports.empty() && line.rfind("[INFO] ROS2 topic pub: ", 0) == 0) {
      reports.back() += " | " + line.substr(23);
    }
  }
  return reports;
}

// Flows whose expected point "b" (100 ms) is overdue, differing only in how it is announced.
struct Announcement {
  const char* flow_id;
  uint32_t event_id;
  bool on_timeout;
  bool with_publisher;
};

TEST_F(TimeoutCheckTest, WarnsForEveryOverduePointAndPublishesWhereConfigured) {
  if (!rclcpp::ok()) {
    rclcpp::init(0, nullptr);
  }
  auto node = std::make_shared<rclcpp::Node>("timeout_check_test");
  EventListener listener(kTopic, "timeout_check_listener");
  auto publisher = node->create_publisher<Event>(kTopic, rclcpp::QoS(10));
  ASSERT_TRUE(test::WaitForSubscribers(publisher));

  const int64_t start = NowMs();
  for (const Announcement& a : {Announcement{"announced", 7, true, true},
                                Announcement{"no_event_id", 0, true, true},
                                Announcement{"no_on_timeout", 7, false, true},
                                Announcement{"no_publisher", 7, true, false}}) {
    auto flow = Flow(a.flow_id, kOrdered, kTimedB);
    flow->flow_points[1]->event_id = a.event_id;
    flow->flow_points[1]->on_timeout = a.on_timeout;
    flow->publisher = a.with_publisher ? publisher : nullptr;
    registry_.RegisterTraceFlow(flow);
    Record(a.flow_id, {{"a", 500}}, start);
  }
  auto beat = Flow("beat", kUnordered, kBeat);
  beat->flow_points[0]->event_id = 9;
  beat->flow_points[0]->on_timeout = true;
  beat->publisher = publisher;
  registry_.RegisterTraceFlow(beat);
  Record("beat", {{"q", 500}}, start);

  CaptureStdout capture;
  test::FunctionNames names;
  const int64_t before = NowMs();
  EXPECT_EQ(registry_.CheckTimeouts(), 5U);
  const int64_t after = NowMs();
  EXPECT_EQ(registry_.CheckTimeouts(), 0U);

  // Flows are checked in no particular order; a publication follows its warning.
  const std::string since = " since the last trace point, limit ";
  const std::string published = " ms | 'Status Failed, point overdue: ";
  EXPECT_THAT(
      Reports(LogLines(capture)),
      UnorderedElementsAre(
          "Flow 'announced' point 'b' overdue: N ms" + since + "100" + published + "b'",
          "Flow 'no_event_id' point 'b' overdue: N ms" + since + "100 ms",
          "Flow 'no_on_timeout' point 'b' overdue: N ms" + since + "100 ms",
          "Flow 'no_publisher' point 'b' overdue: N ms" + since + "100 ms",
          "Flow 'beat' point 'p' overdue: N ms" + since + "250" + published + "p'"));
  EXPECT_THAT(names.sink().Functions(), Each(std::string("CheckTimeouts")));

  ASSERT_TRUE(listener.WaitFor(2));
  ASSERT_TRUE(listener.NoMoreThan(2, publisher));
  std::vector<std::string> events;
  for (const Event& event : listener.events()) {
    events.push_back(event.source_id + " " + std::to_string(event.event_code) + " " +
                     std::to_string(event.outcome) + " " + event.detail);
    EXPECT_GE(StampMs(event), before);
    EXPECT_LE(StampMs(event), after);
  }
  EXPECT_THAT(events, UnorderedElementsAre("announced 7 1 Status Failed, point overdue: b",
                                           "beat 9 1 Status Failed, point overdue: p"));
}

}  // namespace
}  // namespace valtrix::trace
