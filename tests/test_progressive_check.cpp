#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/capture_stdout.hpp"
#include "support/event_listener.hpp"
#include "support/flow_trace_access.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using test::CaptureStdout;
using test::EventListener;
using test::LogLines;
using Event = valtrix_protocol::msg::DiagnosticEvent;

constexpr char kTopic[] = "/valtrix/progressive_check_test";
constexpr char kFlowId[] = "job";
constexpr uint32_t kFlowEvent = 100;

// A configured point: critical, reporting success and failure, unless changed.
struct Cfg {
  explicit Cfg(const char* id, uint32_t event_id = 0) : point(std::make_shared<TracePointCfg>(id)) {
    point->is_critical = true;
    point->on_success = true;
    point->event_id = event_id;
  }
  Cfg& Optional() {
    point->is_critical = false;
    return *this;
  }
  Cfg& Quiet(bool on_success, bool on_failure) {
    point->on_success = on_success;
    point->on_failure = on_failure;
    return *this;
  }
  Cfg& Repeat(uint32_t count, uint32_t max = 0) {
    point->repeat_cnt = count;
    point->repeat_max = max;
    return *this;
  }
  Cfg& Timeout(uint32_t ms) {
    point->timeout_ms = ms;
    point->on_timeout = true;
    return *this;
  }
  std::shared_ptr<TracePointCfg> point;
};

// A point to record; a timestamp of 0 keeps the construction time.
struct Step {
  const char* id;
  bool success = true;
  int64_t timestamp = 0;
};

struct Expected {
  int32_t event_code;
  int32_t outcome;
  std::string detail;
};

Expected Ok(int32_t code, const std::string& detail) { return {code, 0, detail}; }
Expected Failed(int32_t code, const std::string& detail) { return {code, 1, detail}; }
std::string Pub(const std::string& detail) { return "[INFO] ROS2 topic pub: '" + detail + "'"; }

struct Case {
  const char* name;
  std::vector<Cfg> points;
  std::vector<Step> steps;
  std::vector<Expected> events;
  std::vector<std::string> logs;
  uint32_t next_index;
  bool ordered = true;
  uint32_t flow_event_id = kFlowEvent;
};

// Test listings show the case by name rather than as raw bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t StampNs(const Event& event) {
  return int64_t{event.stamp.sec} * 1000000000 + int64_t{event.stamp.nanosec};
}

// One publisher and one listener on loopback for the whole suite; each case registers its flow
// with that publisher and expects exactly its own events.
class ProgressiveCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Logger::Instance();  // startup notices go out before any capture
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    node_ = std::make_shared<rclcpp::Node>("progressive_check_test");
    listener_ = std::make_unique<EventListener>(kTopic, "progressive_check_listener");
    publisher_ = node_->create_publisher<Event>(kTopic, rclcpp::QoS(1));
  }

  static void TearDownTestSuite() {
    publisher_.reset();
    listener_.reset();
    node_.reset();
  }

  void SetUp() override {
    ASSERT_TRUE(test::WaitForSubscribers(publisher_));
    FlowTraceTestAccess::Clear();
    listener_->Clear();
  }
  void TearDown() override { FlowTraceTestAccess::Clear(); }

  std::shared_ptr<TraceFlowCfg> Register(const std::vector<Cfg>& points, bool ordered,
                                         uint32_t flow_event_id, bool with_publisher = true) {
    auto flow = std::make_shared<TraceFlowCfg>(kFlowId);
    flow->check_order = ordered;
    flow->event_id = flow_event_id;
    for (const auto& cfg : points) {
      flow->flow_points.push_back(cfg.point);
    }
    if (with_publisher) {
      flow->publisher = publisher_;
    }
    registry_.RegisterTraceFlow(flow);
    return flow;
  }

  // Records the steps and returns the log lines they caused.
  std::vector<std::string> Record(const std::vector<Step>& steps) {
    CaptureStdout capture;
    for (const auto& step : steps) {
      auto point = std::make_shared<TracePoint>(step.id, step.success);
      if (step.timestamp != 0) {
        point->timestamp = step.timestamp;
      }
      registry_.Trace(kFlowId, point);
    }
    return LogLines(capture);
  }

  // Waits until everything published so far has arrived and checks it is exactly the expected
  // events, in order.
  void ExpectEvents(const std::vector<Expected>& expected, int64_t not_before_ns,
                    int64_t not_after_ns) {
    ASSERT_TRUE(listener_->WaitForMarker(publisher_)) << "the end marker never arrived";
    const auto& events = listener_->events();
    ASSERT_EQ(events.size(), expected.size()) << "wrong number of events";
    for (size_t k = 0; k < expected.size(); ++k) {
      SCOPED_TRACE("event " + std::to_string(k) + ": " + expected[k].detail);
      EXPECT_EQ(events[k].detail, expected[k].detail);
      EXPECT_EQ(events[k].event_code, expected[k].event_code);
      EXPECT_EQ(events[k].outcome, expected[k].outcome);
      EXPECT_EQ(events[k].source_id, kFlowId);
      EXPECT_GE(StampNs(events[k]), not_before_ns - 1);
      EXPECT_LE(StampNs(events[k]), not_after_ns + 1);
    }
  }

  FlowTrace& registry_ = FlowTrace::GetInstance();
  static std::shared_ptr<rclcpp::Node> node_;
  static std::unique_ptr<EventListener> listener_;
  static rclcpp::Publisher<Event>::SharedPtr publisher_;
};

std::shared_ptr<rclcpp::Node> ProgressiveCheckTest::node_;
std::unique_ptr<EventListener> ProgressiveCheckTest::listener_;
rclcpp::Publisher<Event>::SharedPtr ProgressiveCheckTest::publisher_;

class ProgressiveCheckCaseTest : public ProgressiveCheckTest,
                                 public ::testing::WithParamInterface<Case> {};

TEST_P(ProgressiveCheckCaseTest, PublishesAndLogsExactlyTheExpectedOutcomes) {
  const Case& c = GetParam();
  auto flow = Register(c.points, c.ordered, c.flow_event_id);
  const int64_t before = NowNs();
  const auto logs = Record(c.steps);
  const int64_t after = NowNs();
  EXPECT_THAT(logs, ElementsAreArray(c.logs));
  EXPECT_EQ(flow->next_index, c.next_index);
  ExpectEvents(c.events, before, after);
}

// Without a publisher the same steps change the same state and log all but the publications.
TEST_P(ProgressiveCheckCaseTest, WithoutPublisherChangesTheSameStateSilently) {
  const Case& c = GetParam();
  auto flow = Register(c.points, c.ordered, c.flow_event_id, false);
  const auto logs = Record(c.steps);
  std::vector<std::string> expected_logs;
  for (const auto& line : c.logs) {
    if (line.rfind("[INFO] ROS2 topic pub: ", 0) != 0) {
      expected_logs.push_back(line);
    }
  }
  EXPECT_THAT(logs, ElementsAreArray(expected_logs));
  EXPECT_EQ(flow->next_index, c.next_index);
  ExpectEvents({}, 0, 0);
}

const std::vector<Cfg> kAbc = {Cfg("A", 11), Cfg("B", 12), Cfg("C", 13)};

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressiveCheckCaseTest,
    ::testing::Values(
        Case{"InOrderRunCompletes",
             kAbc,
             {{"A"}, {"B"}, {"C"}},
             {Ok(11, "Status OK: A"), Ok(12, "Status OK: B"), Ok(13, "Status OK: C"),
              Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status OK: A"), Pub("Status OK: B"), Pub("Status OK: C"),
              Pub("Status OK, work flow complete: job")},
             3},
        // The skip passes both points: no event for C itself and no completion.
        Case{"SkippedCriticalPointIsMissing",
             kAbc,
             {{"A"}, {"C"}},
             {Ok(11, "Status OK: A"), Failed(12, "Status Failed, point missing: B")},
             {Pub("Status OK: A"), Pub("Status Failed, point missing: B")},
             3},
        Case{"SkippedOptionalPointOnlyWarns",
             {Cfg("A", 11), Cfg("B", 12).Optional(), Cfg("C", 13)},
             {{"A"}, {"C"}},
             {Ok(11, "Status OK: A")},
             {Pub("Status OK: A"), "[WARN] optional point missing: 'B'"},
             3},
        Case{"FirstPointRepeatedIsDuplicate",
             kAbc,
             {{"A"}, {"A"}},
             {Ok(11, "Status OK: A"), Failed(11, "Status Failed, point duplicated: A")},
             {Pub("Status OK: A"), Pub("Status Failed, point duplicated: A")},
             1},
        Case{"LastPointRepeatedAfterCompletionIsDuplicate",
             kAbc,
             {{"A"}, {"B"}, {"C"}, {"C"}},
             {Ok(11, "Status OK: A"), Ok(12, "Status OK: B"), Ok(13, "Status OK: C"),
              Ok(100, "Status OK, work flow complete: job"),
              Failed(13, "Status Failed, point duplicated: C")},
             {Pub("Status OK: A"), Pub("Status OK: B"), Pub("Status OK: C"),
              Pub("Status OK, work flow complete: job"),
              Pub("Status Failed, point duplicated: C")},
             3},
        // X carries the expected point's id; the second A follows X, so it is no duplicate.
        Case{"UndefinedPointCarriesTheExpectedPointsEventId",
             kAbc,
             {{"A"}, {"X"}, {"A"}},
             {Ok(11, "Status OK: A"), Failed(12, "Status Failed, undefined point: X"),
              Failed(12, "Status Failed, undefined point: A")},
             {Pub("Status OK: A"), Pub("Status Failed, undefined point: X"),
              Pub("Status Failed, undefined point: A")},
             1},
        // After completion there is no expected point: the flow's own id is used.
        Case{"UndefinedPointAfterCompletionCarriesTheFlowEventId",
             {Cfg("A", 11)},
             {{"A"}, {"X"}},
             {Ok(11, "Status OK: A"), Ok(100, "Status OK, work flow complete: job"),
              Failed(100, "Status Failed, undefined point: X")},
             {Pub("Status OK: A"), Pub("Status OK, work flow complete: job"),
              Pub("Status Failed, undefined point: X")},
             1},
        Case{"OrderedFlowWithoutPointsReportsUndefinedWithTheFlowEventId",
             {},
             {{"X"}},
             {Failed(100, "Status Failed, undefined point: X")},
             {Pub("Status Failed, undefined point: X")},
             0},
        // A needs three in-order matches; B after only two skips it.
        Case{"RepeatCountHoldsTheIndexUntilReached",
             {Cfg("A", 11).Repeat(3), Cfg("B", 12)},
             {{"A"}, {"A"}, {"B"}},
             {Ok(11, "Status OK: A"), Ok(11, "Status OK: A"),
              Failed(11, "Status Failed, point missing: A")},
             {Pub("Status OK: A"), Pub("Status OK: A"), Pub("Status Failed, point missing: A")},
             2},
        Case{"RepeatCountReachedPassesThePoint",
             {Cfg("A", 11).Repeat(3), Cfg("B", 12)},
             {{"A"}, {"A"}, {"A"}, {"B"}},
             {Ok(11, "Status OK: A"), Ok(11, "Status OK: A"), Ok(11, "Status OK: A"),
              Ok(12, "Status OK: B"), Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status OK: A"), Pub("Status OK: A"), Pub("Status OK: A"), Pub("Status OK: B"),
              Pub("Status OK, work flow complete: job")},
             2},
        Case{"RepeatMaxBelowRepeatCountNeverPasses",
             {Cfg("A", 11).Repeat(3, 2), Cfg("B", 12)},
             {{"A"}, {"A"}, {"A"}, {"A"}},
             {Ok(11, "Status OK: A"), Ok(11, "Status OK: A"), Ok(11, "Status OK: A"),
              Ok(11, "Status OK: A")},
             {Pub("Status OK: A"), Pub("Status OK: A"), Pub("Status OK: A"), Pub("Status OK: A")},
             0},
        // The first entry has no step duration; the second takes 101 ms against a 100 ms limit.
        Case{"TimeoutStrictlyAboveTheLimit",
             {Cfg("A", 11).Repeat(1).Timeout(100), Cfg("B", 12).Repeat(1).Timeout(100)},
             {{"A", true, 1000}, {"B", true, 1101}},
             {Ok(11, "Status OK: A"), Failed(12, "BTimeout"), Ok(12, "Status OK: B"),
              Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status OK: A"), "[INFO] duration: '101'", Pub("BTimeout"), Pub("Status OK: B"),
              Pub("Status OK, work flow complete: job")},
             2},
        Case{"NoTimeoutAtTheLimit",
             {Cfg("A", 11).Repeat(1).Timeout(100), Cfg("B", 12).Repeat(1).Timeout(100)},
             {{"A", true, 1000}, {"B", true, 1100}},
             {Ok(11, "Status OK: A"), Ok(12, "Status OK: B"),
              Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status OK: A"), "[INFO] duration: '100'", Pub("Status OK: B"),
              Pub("Status OK, work flow complete: job")},
             2},
        // A clock stepped back gives a zero step, not a wrapped one that would time out.
        Case{"StepBackInTimeIsNoTimeout",
             {Cfg("A", 11).Repeat(1).Timeout(100), Cfg("B", 12).Repeat(1).Timeout(100)},
             {{"A", true, 5000}, {"B", true, 4000}},
             {Ok(11, "Status OK: A"), Ok(12, "Status OK: B"),
              Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status OK: A"), "[INFO] duration: '0'", Pub("Status OK: B"),
              Pub("Status OK, work flow complete: job")},
             2},
        // Points without repetitions are not timed at all.
        Case{"TimeoutNeedsARepeatCount",
             {Cfg("A", 11), Cfg("B", 12).Timeout(100)},
             {{"A", true, 1000}, {"B", true, 9000}},
             {Ok(11, "Status OK: A"), Ok(12, "Status OK: B"),
              Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status OK: A"), Pub("Status OK: B"), Pub("Status OK, work flow complete: job")},
             2},
        Case{"FailingLastPointStillCompletes",
             kAbc,
             {{"A"}, {"B"}, {"C", false}},
             {Ok(11, "Status OK: A"), Ok(12, "Status OK: B"), Failed(13, "Status Failed: C"),
              Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status OK: A"), Pub("Status OK: B"), Pub("Status Failed: C"),
              Pub("Status OK, work flow complete: job")},
             3},
        Case{"StepEventsFollowTheirSwitches",
             {Cfg("A", 11).Quiet(false, true), Cfg("B", 12).Quiet(true, false), Cfg("C", 13)},
             {{"A", true}, {"B", false}, {"C", false}},
             {Failed(13, "Status Failed: C"), Ok(100, "Status OK, work flow complete: job")},
             {Pub("Status Failed: C"), Pub("Status OK, work flow complete: job")},
             3},
        // A point id of 0 silences step and time-out events, never the order events.
        Case{"ZeroEventIdSilencesOnlyStepEvents",
             {Cfg("A"), Cfg("B").Repeat(1).Timeout(10), Cfg("C"), Cfg("D")},
             {{"A", true, 1000}, {"A", true, 1000}, {"X", true, 1000}, {"B", false, 5000},
              {"D", true, 5000}},
             {Failed(0, "Status Failed, point duplicated: A"),
              Failed(0, "Status Failed, undefined point: X"),
              Failed(0, "Status Failed, point missing: C")},
             {Pub("Status Failed, point duplicated: A"), Pub("Status Failed, undefined point: X"),
              "[INFO] duration: '4000'", Pub("Status Failed, point missing: C")},
             4,
             true,
             0},
        Case{"CompletionFallsBackToTheLastPointsEventId",
             {Cfg("A"), Cfg("B", 12).Quiet(false, true)},
             {{"A"}, {"B"}},
             {Ok(12, "Status OK, work flow complete: job")},
             {Pub("Status OK, work flow complete: job")},
             2,
             true,
             0},
        Case{"CompletionSilentWhenFlowAndLastPointIdsAreZero",
             {Cfg("A", 11), Cfg("B")},
             {{"A"}, {"B"}},
             {Ok(11, "Status OK: A")},
             {Pub("Status OK: A")},
             2,
             true,
             0},
        // Unordered: only looked up; no index, repetition, timing or completion.
        Case{"UnorderedFlowLooksPointsUp",
             {Cfg("A", 11).Repeat(2).Timeout(1), Cfg("B", 12)},
             {{"B", true, 1000}, {"X", true, 1000}, {"A", false, 9000}, {"A", true, 9000}},
             {Ok(12, "Status OK: B"), Failed(100, "Status Failed, undefined point: X"),
              Failed(11, "Status Failed: A"), Ok(11, "Status OK: A")},
             {Pub("Status OK: B"), Pub("Status Failed, undefined point: X"),
              Pub("Status Failed: A"), Pub("Status OK: A")},
             0,
             false},
        Case{"UnorderedFlowWithoutPointsReportsEveryPointUndefined",
             {},
             {{"X"}, {"Y"}},
             {Failed(100, "Status Failed, undefined point: X"),
              Failed(100, "Status Failed, undefined point: Y")},
             {Pub("Status Failed, undefined point: X"), Pub("Status Failed, undefined point: Y")},
             0,
             false}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// A second run after a reset counts repetitions afresh: it needs its own matches and is judged
// exactly like the first run (no duplicate, no early pass).
TEST_F(ProgressiveCheckTest, ResetStartsRepetitionCountsAfresh) {
  auto flow = Register({Cfg("A", 11).Repeat(2), Cfg("B", 12)}, true, kFlowEvent);
  const std::vector<Expected> run = {Ok(11, "Status OK: A"), Ok(11, "Status OK: A"),
                                     Ok(12, "Status OK: B"),
                                     Ok(100, "Status OK, work flow complete: job")};
  for (int pass = 0; pass < 3; ++pass) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    if (pass == 1) {
      registry_.ResetFlow(kFlowId);
    } else if (pass == 2) {
      registry_.ResetAllFlows();
    }
    listener_->Clear();
    const int64_t before = NowNs();
    Record({{"A"}});
    EXPECT_EQ(flow->next_index, 0U);
    EXPECT_EQ(flow->flow_points[0]->hit_cnt, 1U);
    Record({{"A"}, {"B"}});
    const int64_t after = NowNs();
    EXPECT_EQ(flow->next_index, 2U);
    ExpectEvents(run, before, after);
  }
}

}  // namespace
}  // namespace valtrix::trace
