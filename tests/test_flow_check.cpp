#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/capture_stdout.hpp"
#include "support/event_listener.hpp"
#include "support/flow_trace_access.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using test::CaptureStdout;
using test::LogLines;

constexpr char kFlow[] = "pick";

std::shared_ptr<TracePointCfg> Critical(const std::string& id, uint32_t event_id = 0) {
  auto point = std::make_shared<TracePointCfg>(id);
  point->is_critical = true;
  point->event_id = event_id;
  return point;
}

std::shared_ptr<TracePointCfg> Optional(const std::string& id) {
  return std::make_shared<TracePointCfg>(id);
}

std::shared_ptr<TraceFlowCfg> Register(std::vector<std::shared_ptr<TracePointCfg>> points,
                                       bool check_order = true, const std::string& flow_id = kFlow) {
  auto cfg = std::make_shared<TraceFlowCfg>(flow_id);
  cfg->check_order = check_order;
  cfg->flow_points = std::move(points);
  FlowTrace::GetInstance().RegisterTraceFlow(cfg);
  return cfg;
}

// Traces "A B! C" as A, failed B, C and returns the recorded entries.
std::vector<std::shared_ptr<TracePoint>> Record(const std::string& steps,
                                                const std::string& flow_id = kFlow) {
  std::vector<std::shared_ptr<TracePoint>> entries;
  std::istringstream in(steps);
  for (std::string step; in >> step;) {
    const bool failed = step.back() == '!';
    if (failed) {
      step.pop_back();
    }
    entries.push_back(std::make_shared<TracePoint>(step, !failed));
    FlowTrace::GetInstance().Trace(flow_id, entries.back());
  }
  return entries;
}

// Counts handler calls and keeps the last result handed over.
struct HandlerProbe {
  int calls = 0;
  std::shared_ptr<FlowCheckResult> last;
};

std::shared_ptr<HandlerProbe> Probe(const std::string& flow_id = kFlow) {
  auto probe = std::make_shared<HandlerProbe>();
  FlowTrace::GetInstance().RegisterFlowHandler(
      flow_id, [probe](const std::string& id, const std::shared_ptr<FlowCheckResult>& result) {
        EXPECT_EQ(id, kFlow);
        ++probe->calls;
        probe->last = result;
      });
  return probe;
}

struct Checked {
  std::shared_ptr<FlowCheckResult> result;
  std::vector<std::string> lines;
};

Checked CheckCaptured(const std::string& flow_id = kFlow) {
  CaptureStdout capture;
  auto result = FlowTrace::GetInstance().CheckFlow(flow_id);
  return {result, LogLines(capture)};
}

std::vector<std::string> Tail(const std::vector<std::string>& lines, size_t count) {
  return {lines.end() - static_cast<std::ptrdiff_t>(std::min(count, lines.size())), lines.end()};
}

class FlowCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("SPDLOG_STDOUT", "true", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "info", 1);
  }
  void SetUp() override { FlowTraceTestAccess::Clear(); }
  void TearDown() override { FlowTraceTestAccess::Clear(); }
};

TEST_F(FlowCheckTest, PassingFlowLogsBothSequencesWithMetadataFirstAndCallsHandlerOnce) {
  Register({Critical("A"), Optional("B"), Critical("C")});
  auto probe = Probe();
  auto a = std::make_shared<TracePoint>("A", true);
  a->metadata = {{"gripper", "opened"}, {"pos", "2000"}};
  auto c = std::make_shared<TracePoint>("C", true);
  c->metadata = {{"pos", "{}"}};
  FlowTrace::GetInstance().Trace(kFlow, a);
  Record("B");
  FlowTrace::GetInstance().Trace(kFlow, c);

  const Checked checked = CheckCaptured();

  EXPECT_EQ(checked.result->status, FlowCheckStatus::SUCCESS);
  EXPECT_FALSE(checked.result->failure_point);
  EXPECT_FALSE(checked.result->desired_point);
  EXPECT_EQ(probe->calls, 1);
  EXPECT_EQ(probe->last, checked.result);
  EXPECT_EQ(checked.lines, (std::vector<std::string>{
                               "[INFO] Check flow: pick",
                               "[INFO] Flow 'pick' has trace point 'A' metadata 'gripper' = 'opened'",
                               "[INFO] Flow 'pick' has trace point 'A' metadata 'pos' = '2000'",
                               "[INFO] Flow 'pick' has trace point 'C' metadata 'pos' = '{}'",
                               "[INFO] Flow 'pick' trace points: A -> B -> C",
                               "[INFO] Flow 'pick' trace point configs: <A> -> [B] -> <C>",
                               "[INFO] All points executed in flow 'pick'",
                               "[INFO] Flow 'pick' check passed",
                           }));
}

TEST_F(FlowCheckTest, RecordedSequenceSeparatesEveryIdButTheFirstEvenEmptyOnes) {
  struct SequenceCase {
    std::vector<std::string> ids;
    const char* line;
  };
  const SequenceCase cases[] = {
      {{"", "", "B"}, "[INFO] Flow 'pick' trace points:  ->  -> B"},
      {{"", "B"}, "[INFO] Flow 'pick' trace points:  -> B"},
      {{"A", "", ""}, "[INFO] Flow 'pick' trace points: A ->  -> "},
  };
  for (const SequenceCase& sequence : cases) {
    SCOPED_TRACE(sequence.line);
    Register({Optional("B")});
    for (const std::string& id : sequence.ids) {
      FlowTrace::GetInstance().Trace(kFlow, id, true);
    }
    const Checked checked = CheckCaptured();
    ASSERT_GE(checked.lines.size(), 2U);
    EXPECT_EQ(checked.lines[1], sequence.line);
  }
}

TEST_F(FlowCheckTest, UnknownFlowEmptyRecordOrNoConfiguredPointsIsInvalidWithoutHandlerCall) {
  auto probe = Probe();
  Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::INVALID_FLOW);
  EXPECT_EQ(checked.lines, (std::vector<std::string>{"[INFO] Check flow: pick",
                                                     "[WARN] Flow with ID 'pick' not found"}));

  Register({Critical("A")});
  checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::INVALID_FLOW);
  EXPECT_EQ(checked.lines, (std::vector<std::string>{"[INFO] Check flow: pick",
                                                     "[WARN] Flow with ID 'pick' is empty"}));

  Register({});
  Record("A");
  checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::INVALID_FLOW);
  EXPECT_EQ(checked.lines.back(), "[WARN] Flow with ID 'pick' is empty");
  EXPECT_FALSE(checked.result->failure_point);
  EXPECT_FALSE(checked.result->desired_point);
  EXPECT_EQ(probe->calls, 0);
}

TEST_F(FlowCheckTest, CriticalPointNeverRecordedIsMissingAndOptionalOneIsNot) {
  auto cfg = Register({Critical("A"), Critical("B"), Critical("C")});
  auto probe = Probe();
  Record("A C");

  const Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::MISSING_POINT);
  EXPECT_EQ(checked.result->desired_point, cfg->flow_points[1]);
  EXPECT_FALSE(checked.result->failure_point);
  EXPECT_EQ(probe->calls, 1);
  EXPECT_EQ(probe->last, checked.result);
  EXPECT_EQ(checked.lines.back(), "[ERROR] Critical point 'B' not executed in flow 'pick'");

  Register({Critical("A"), Optional("B"), Critical("C")});
  Record("A C");
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::SUCCESS);
}

TEST_F(FlowCheckTest, FailedEntryIsReportedAsTheVeryRecordedObject) {
  auto cfg = Register({Critical("A"), Critical("B"), Critical("C")});
  auto probe = Probe();
  const auto entries = Record("A B! C");

  const Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::FAILED);
  EXPECT_EQ(checked.result->failure_point, entries[1]);
  EXPECT_EQ(checked.result->desired_point, cfg->flow_points[1]);
  EXPECT_EQ(probe->calls, 1);
  EXPECT_EQ(Tail(checked.lines, 2),
            (std::vector<std::string>{"[INFO] Flow 'pick' trace point configs: <A> -> <B> -> <C>",
                                      "[ERROR] Point 'B' failed in flow 'pick'"}));
}

TEST_F(FlowCheckTest, NewestOccurrenceDecidesPresenceAndTheRepeatIsADuplicate) {
  auto cfg = Register({Critical("A"), Critical("B"), Critical("C")});
  auto probe = Probe();
  const auto entries = Record("A B! B C");

  const Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::DUPLICATED_POINT);
  EXPECT_EQ(checked.result->failure_point, entries[2]);
  EXPECT_EQ(checked.result->desired_point, cfg->flow_points[2]);
  EXPECT_EQ(probe->calls, 1);
  EXPECT_EQ(Tail(checked.lines, 4),
            (std::vector<std::string>{"[ERROR] Some points not in flow 'pick' executed: ",
                                      "[WARN] Point 'B' not in flow config",
                                      "[ERROR] Flow 'pick' trace point 'B' duplicated",
                                      "[ERROR] Flow 'pick' trace point 'B' not match config 'C'"}));
}

TEST_F(FlowCheckTest, RepeatWithoutOrderIsOnlyReportedAsLeftOver) {
  Register({Critical("A"), Critical("B"), Critical("C")}, /*check_order=*/false);
  Record("A B B C");
  const Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::SUCCESS);
  EXPECT_EQ(Tail(checked.lines, 3),
            (std::vector<std::string>{"[ERROR] Some points not in flow 'pick' executed: ",
                                      "[WARN] Point 'B' not in flow config",
                                      "[INFO] Flow 'pick' check passed"}));

  Register({Critical("A"), Critical("B"), Critical("C")}, /*check_order=*/false);
  Record("C B A");
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::SUCCESS);
}

// Each case: record, expected status, index of the reported entry (-1: none), index of the
// desired configured point, the rule's line and the closing line.
struct OrderCase {
  const char* record;
  FlowCheckStatus status;
  int failure_entry;
  int desired_point;
  const char* rule_line;
  const char* mismatch_line;
};

TEST_F(FlowCheckTest, OrderPassPicksTheFirstRuleThatApplies) {
  const OrderCase cases[] = {
      // A: the entry is the next configured point.
      {"A C B", FlowCheckStatus::MISSING_POINT, -1, 1, "[ERROR] Flow 'pick' trace point 'B' missing",
       "[ERROR] Flow 'pick' trace point 'C' not match config 'B'"},
      {"B A C", FlowCheckStatus::MISSING_POINT, -1, 0, "[ERROR] Flow 'pick' trace point 'A' missing",
       "[ERROR] Flow 'pick' trace point 'B' not match config 'A'"},
      // B: the entry repeats its predecessor.
      {"A B B C", FlowCheckStatus::DUPLICATED_POINT, 2, 2,
       "[ERROR] Flow 'pick' trace point 'B' duplicated",
       "[ERROR] Flow 'pick' trace point 'B' not match config 'C'"},
      // C: the expected point follows the entry.
      {"A X B C", FlowCheckStatus::INVALID_POINT, 1, 1, "[ERROR] Flow 'pick' trace point 'X' invalid",
       "[ERROR] Flow 'pick' trace point 'X' not match config 'B'"},
      {"C A B", FlowCheckStatus::INVALID_POINT, 0, 0, "[ERROR] Flow 'pick' trace point 'C' invalid",
       "[ERROR] Flow 'pick' trace point 'C' not match config 'A'"},
  };
  for (const OrderCase& order_case : cases) {
    SCOPED_TRACE(order_case.record);
    auto cfg = Register({Critical("A"), Critical("B"), Critical("C")});
    auto probe = Probe();
    const auto entries = Record(order_case.record);
    const Checked checked = CheckCaptured();
    EXPECT_EQ(checked.result->status, order_case.status);
    if (order_case.failure_entry < 0) {
      EXPECT_FALSE(checked.result->failure_point);
    } else {
      EXPECT_EQ(checked.result->failure_point, entries[order_case.failure_entry]);
    }
    EXPECT_EQ(checked.result->desired_point, cfg->flow_points[order_case.desired_point]);
    EXPECT_EQ(probe->calls, 1);
    EXPECT_EQ(probe->last, checked.result);
    EXPECT_EQ(Tail(checked.lines, 2),
              (std::vector<std::string>{order_case.rule_line, order_case.mismatch_line}));
  }
}

TEST_F(FlowCheckTest, MismatchMatchingNoOtherRuleIsAnOrderError) {
  auto cfg = Register({Critical("A"), Critical("B"), Critical("C"), Critical("D")});
  const auto entries = Record("A D C B");
  const Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::INVALID_ORDER);
  EXPECT_EQ(checked.result->failure_point, entries[1]);
  EXPECT_EQ(checked.result->desired_point, cfg->flow_points[1]);
  EXPECT_EQ(Tail(checked.lines, 2),
            (std::vector<std::string>{"[ERROR] Flow 'pick' trace point 'D' order error",
                                      "[ERROR] Flow 'pick' trace point 'D' not match config 'B'"}));
}

TEST_F(FlowCheckTest, LateOptionalPointIsNotJudgedOnceTheConfigurationIsUsedUp) {
  Register({Critical("A"), Optional("B"), Critical("C")});
  Record("A C B");
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::SUCCESS);
}

TEST_F(FlowCheckTest, RepeatedPointAdvancesByThisRunsRepeatCount) {
  auto make_cfg = [] {
    auto repeated = Critical("B");
    repeated->repeat_cnt = 3;
    return std::vector<std::shared_ptr<TracePointCfg>>{Critical("A"), repeated, Critical("C")};
  };
  struct RepeatCase {
    uint32_t hit_cnt;
    FlowCheckStatus status;
  };
  // 3 steps over the three Bs; 0 compares the first B with C again; a count beyond the record
  // ends the pass without reading past it.
  const RepeatCase cases[] = {{3, FlowCheckStatus::SUCCESS},
                              {0, FlowCheckStatus::INVALID_ORDER},
                              {1000, FlowCheckStatus::SUCCESS}};
  for (const RepeatCase& repeat_case : cases) {
    SCOPED_TRACE(repeat_case.hit_cnt);
    auto cfg = Register(make_cfg());
    Record("A B B B C");
    cfg->flow_points[1]->hit_cnt = repeat_case.hit_cnt;
    EXPECT_EQ(CheckCaptured().result->status, repeat_case.status);
  }
}

// The repeat count comes from the progressive check while tracing. A second run must be judged
// on its own repetitions: counting the first run's too would jump over the stray X.
TEST_F(FlowCheckTest, SecondRunIsJudgedOnItsOwnRepetitions) {
  auto repeated = Critical("B");
  repeated->repeat_cnt = 2;
  Register({Critical("A"), repeated, Critical("C")});
  Record("A B B C");
  ASSERT_EQ(CheckCaptured().result->status, FlowCheckStatus::SUCCESS);

  FlowTrace::GetInstance().ResetFlow(kFlow);
  const auto entries = Record("A B X C");
  const Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::INVALID_POINT);
  EXPECT_EQ(checked.result->failure_point, entries[2]);
}

TEST_F(FlowCheckTest, EmptyConfiguredEntriesNameNoPoint) {
  auto cfg = Register({Critical("A"), nullptr, Critical("B"), nullptr});
  auto probe = Probe();
  Record("A B");
  Checked checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::SUCCESS);
  EXPECT_EQ(Tail(checked.lines, 3),
            (std::vector<std::string>{"[INFO] Flow 'pick' trace point configs: <A> -> <B>",
                                      "[INFO] All points executed in flow 'pick'",
                                      "[INFO] Flow 'pick' check passed"}));

  Register({nullptr});
  Record("A");
  checked = CheckCaptured();
  EXPECT_EQ(checked.result->status, FlowCheckStatus::INVALID_FLOW);
  EXPECT_EQ(checked.lines.back(), "[WARN] Flow with ID 'pick' is empty");
  EXPECT_EQ(probe->calls, 1);
}

TEST_F(FlowCheckTest, CheckLeavesRecordAndProgressAloneAndRepeatsItsVerdict) {
  auto repeated = Critical("B");
  repeated->repeat_cnt = 2;
  auto cfg = Register({Critical("A"), repeated, Critical("C")});
  auto probe = Probe();
  const auto entries = Record("A B B X C");
  repeated->hit_cnt = 2;
  cfg->next_index = 2;

  const auto first = CheckCaptured().result;
  const auto second = CheckCaptured().result;

  EXPECT_NE(first, second);
  EXPECT_EQ(first->status, FlowCheckStatus::INVALID_POINT);
  EXPECT_EQ(second->status, first->status);
  EXPECT_EQ(second->failure_point, first->failure_point);
  EXPECT_EQ(second->desired_point, first->desired_point);
  EXPECT_EQ(probe->calls, 2);
  EXPECT_EQ(cfg->next_index, 2U);
  EXPECT_EQ(repeated->hit_cnt, 2U);
  const PointQueue& record = FlowTrace::GetInstance().GetTracePoints(kFlow);
  EXPECT_EQ(std::vector<std::shared_ptr<TracePoint>>(record.begin(), record.end()), entries);
  EXPECT_EQ(FlowTrace::GetInstance().GetFlowDuration(kFlow),
            static_cast<uint64_t>(entries.back()->timestamp - entries.front()->timestamp));
}

TEST_F(FlowCheckTest, HandlerExceptionReachesCallerAndReleasesTheLock) {
  auto cfg = Register({Critical("A"), Critical("B")});
  const auto entries = Record("A B");
  int calls = 0;
  FlowTrace::GetInstance().RegisterFlowHandler(
      kFlow, [&calls](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        if (++calls == 1) {
          throw std::runtime_error("handler failed");
        }
      });

  {
    CaptureStdout capture;
    EXPECT_THROW(FlowTrace::GetInstance().CheckFlow(kFlow), std::runtime_error);
  }

  // A lock left held would block the next call for good.
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::SUCCESS);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(FlowTraceTestAccess::Config(kFlow), cfg);
  const PointQueue record = FlowTraceTestAccess::Record(kFlow);
  EXPECT_EQ(std::vector<std::shared_ptr<TracePoint>>(record.begin(), record.end()), entries);
}

TEST_F(FlowCheckTest, EmptyHandlerIsNotCalled) {
  Register({Critical("A")});
  FlowTrace::GetInstance().RegisterFlowHandler(kFlow, FlowHandler());
  Record("A");
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::SUCCESS);
}

// Records far longer than the cases above, so that look-ups cross many batches and large
// tables: each verdict names the very entry or point that decides it, and the entries left over
// are reported in record order.
TEST_F(FlowCheckTest, LongRecordsAreJudgedEntryByEntry) {
  constexpr int kPoints = 300;
  auto id = [](int i) { return "p" + std::to_string(i); };
  std::vector<std::shared_ptr<TracePointCfg>> points;
  for (int i = 0; i < kPoints; ++i) {
    points.push_back(Critical(id(i)));
  }
  struct LongCase {
    const char* name;
    bool check_order;
    std::vector<std::string> record;
    FlowCheckStatus status;
    int failure_entry;  // -1: none
    int desired_point;  // -1: none
    std::vector<std::string> tail;
  };
  std::vector<std::string> in_order;
  for (int i = 0; i < kPoints; ++i) {
    in_order.push_back(id(i));
  }
  std::vector<std::string> reversed_with_strays = {"x2"};
  for (int i = kPoints - 1; i >= 0; --i) {
    reversed_with_strays.push_back(id(i));
    if (i == 150) {
      reversed_with_strays.insert(reversed_with_strays.end(), {"x0", id(5)});
    }
  }
  reversed_with_strays.push_back("x1");
  std::vector<std::string> failing = in_order;
  failing[217] += "!";
  std::vector<std::string> dropped = in_order;
  dropped.erase(dropped.begin() + 131);

  const LongCase cases[] = {
      {"in order", true, in_order, FlowCheckStatus::SUCCESS, -1, -1,
       {"[INFO] All points executed in flow 'pick'", "[INFO] Flow 'pick' check passed"}},
      {"reversed with strays", false, reversed_with_strays, FlowCheckStatus::SUCCESS, -1, -1,
       {"[ERROR] Some points not in flow 'pick' executed: ", "[WARN] Point 'x2' not in flow config",
        "[WARN] Point 'x0' not in flow config", "[WARN] Point 'p5' not in flow config",
        "[WARN] Point 'x1' not in flow config", "[INFO] Flow 'pick' check passed"}},
      {"one failed", true, failing, FlowCheckStatus::FAILED, 217, 217,
       {"[ERROR] Point 'p217' failed in flow 'pick'"}},
      {"one dropped", true, dropped, FlowCheckStatus::MISSING_POINT, -1, 131,
       {"[ERROR] Critical point 'p131' not executed in flow 'pick'"}},
  };
  for (const LongCase& long_case : cases) {
    SCOPED_TRACE(long_case.name);
    auto cfg = Register(points, long_case.check_order);
    std::string steps;
    for (const std::string& step : long_case.record) {
      steps += step + " ";
    }
    const auto entries = Record(steps);
    const Checked checked = CheckCaptured();
    EXPECT_EQ(checked.result->status, long_case.status);
    EXPECT_EQ(checked.result->failure_point,
              long_case.failure_entry < 0 ? nullptr : entries[long_case.failure_entry]);
    EXPECT_EQ(checked.result->desired_point,
              long_case.desired_point < 0 ? nullptr : cfg->flow_points[long_case.desired_point]);
    EXPECT_EQ(Tail(checked.lines, long_case.tail.size()), long_case.tail);
  }
}

// Random records over a small alphabet against random configurations: whatever the input, the
// check returns a verdict, calls the handler once unless the flow is invalid, repeats itself and
// changes nothing.
TEST_F(FlowCheckTest, RandomFlowsAlwaysGetAStableVerdictAndStayUntouched) {
  const std::string alphabet[] = {"A", "B", "C", "D", "X"};
  std::mt19937 rng(20240611);
  auto pick = [&rng](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };

  CaptureStdout quiet;
  std::set<FlowCheckStatus> verdicts;
  for (int iteration = 0; iteration < 3000; ++iteration) {
    SCOPED_TRACE(iteration);
    FlowTraceTestAccess::Clear();
    std::vector<std::shared_ptr<TracePointCfg>> points;
    for (int c = pick(0, 5); c > 0; --c) {
      if (pick(0, 15) == 0) {
        points.push_back(nullptr);
        continue;
      }
      auto point = std::make_shared<TracePointCfg>(alphabet[pick(0, 3)]);
      point->is_critical = pick(0, 2) != 0;
      point->repeat_cnt = static_cast<uint32_t>(pick(0, 3) == 0 ? pick(1, 3) : 0);
      point->event_id = static_cast<uint32_t>(pick(0, 9));
      points.push_back(point);
    }
    const bool registered = pick(0, 20) != 0;
    std::shared_ptr<TraceFlowCfg> cfg;
    if (registered) {
      cfg = Register(points, pick(0, 2) != 0);
    }
    auto probe = Probe();
    std::vector<std::shared_ptr<TracePoint>> entries;
    for (int p = pick(0, 9); p > 0; --p) {
      entries.push_back(std::make_shared<TracePoint>(alphabet[pick(0, 4)], pick(0, 7) != 0));
      FlowTrace::GetInstance().Trace(kFlow, entries.back());
    }
    std::vector<uint32_t> hit_counts;
    for (const auto& point : points) {
      if (point) {
        point->hit_cnt = static_cast<uint32_t>(pick(0, 4));
        hit_counts.push_back(point->hit_cnt);
      }
    }
    const uint32_t next_index = cfg ? cfg->next_index : 0;
    const PointQueue before = FlowTraceTestAccess::Record(kFlow);

    const auto first = FlowTrace::GetInstance().CheckFlow(kFlow);
    const int calls_after_first = probe->calls;
    const auto second = FlowTrace::GetInstance().CheckFlow(kFlow);

    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    verdicts.insert(first->status);
    const bool judgeable =
        registered && !entries.empty() &&
        std::any_of(points.begin(), points.end(), [](const auto& point) { return point != nullptr; });
    EXPECT_EQ(first->status == FlowCheckStatus::INVALID_FLOW, !judgeable);
    EXPECT_EQ(calls_after_first, judgeable ? 1 : 0);
    EXPECT_EQ(probe->calls, judgeable ? 2 : 0);
    if (judgeable) {
      EXPECT_EQ(probe->last, second);
    }
    EXPECT_EQ(second->status, first->status);
    EXPECT_EQ(second->failure_point, first->failure_point);
    EXPECT_EQ(second->desired_point, first->desired_point);
    if (first->failure_point) {
      EXPECT_NE(std::find(entries.begin(), entries.end(), first->failure_point), entries.end());
    }
    if (first->desired_point) {
      EXPECT_NE(std::find(points.begin(), points.end(), first->desired_point), points.end());
    }
    if (first->status == FlowCheckStatus::SUCCESS || first->status == FlowCheckStatus::INVALID_FLOW) {
      EXPECT_FALSE(first->failure_point);
      EXPECT_FALSE(first->desired_point);
    }
    if (first->status == FlowCheckStatus::FAILED) {
      ASSERT_TRUE(first->failure_point);
      ASSERT_TRUE(first->desired_point);
      EXPECT_FALSE(first->failure_point->success);
      EXPECT_EQ(first->failure_point->point_id, first->desired_point->point_id);
    }

    EXPECT_EQ(FlowTraceTestAccess::Record(kFlow), before);
    if (cfg) {
      EXPECT_EQ(FlowTraceTestAccess::Config(kFlow), cfg);
      EXPECT_EQ(cfg->next_index, next_index);
      std::vector<uint32_t> hit_counts_after;
      for (const auto& point : points) {
        if (point) {
          hit_counts_after.push_back(point->hit_cnt);
        }
      }
      EXPECT_EQ(hit_counts_after, hit_counts);
    }
    if (HasFailure()) {
      break;
    }
  }
  // The generator reaches every verdict, so the properties above were checked for each.
  EXPECT_EQ(verdicts.size(), 7U);
}

// --- events ------------------------------------------------------------------------------

class FlowCheckEventTest : public FlowCheckTest {
 protected:
  static void SetUpTestSuite() {
    FlowCheckTest::SetUpTestSuite();
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
  }

  // Attaches a publisher once the record is in place, so only the check's own events are seen.
  void AttachPublisher(const std::shared_ptr<TraceFlowCfg>& cfg) {
    cfg->publisher = node_->create_publisher<valtrix_protocol::msg::DiagnosticEvent>(
        topic_, rclcpp::QoS(1));
    ASSERT_TRUE(test::WaitForSubscribers(cfg->publisher));
  }

  const std::string topic_ = "flow_check_events";
  std::shared_ptr<rclcpp::Node> node_ = std::make_shared<rclcpp::Node>("flow_check_test");
  test::EventListener listener_{topic_, "flow_check_listener"};
};

TEST_F(FlowCheckEventTest, PassedFlowPublishesSucceedWithLastPointsEventCodeAndZeroStamp) {
  auto cfg = Register({Critical("A", 5), Critical("B", 7)});
  Record("A B");
  AttachPublisher(cfg);

  const Checked checked = CheckCaptured();
  ASSERT_TRUE(listener_.WaitFor(1));
  EXPECT_TRUE(listener_.NoMoreThan(1, cfg->publisher));
  const auto& event = listener_.events().front();
  EXPECT_EQ(event.source_id, kFlow);
  EXPECT_EQ(event.event_code, 7);
  EXPECT_EQ(event.outcome, 0);
  EXPECT_EQ(event.detail, "Succeed");
  EXPECT_EQ(event.stamp.sec, 0);
  EXPECT_EQ(event.stamp.nanosec, 0U);
  EXPECT_EQ(Tail(checked.lines, 2), (std::vector<std::string>{"[INFO] Flow 'pick' check passed",
                                                              "[INFO] ROS2 topic pub: 'Succeed'"}));

  cfg->event_id = 9;
  CheckCaptured();
  ASSERT_TRUE(listener_.WaitFor(2));
  EXPECT_EQ(listener_.events().back().event_code, 9);

  cfg->event_id = 0;
  cfg->flow_points.back()->event_id = 0;
  CheckCaptured();
  ASSERT_TRUE(listener_.WaitFor(3));
  EXPECT_EQ(listener_.events().back().event_code, 0);
  EXPECT_EQ(listener_.events().back().detail, "Succeed");
}

TEST_F(FlowCheckEventTest, MissingPointIsPublishedUnderItsOwnIdOnlyForUnorderedFlows) {
  auto cfg = Register({Critical("A", 5), Critical("B", 6), Critical("C", 7)}, false);
  Record("A C");
  AttachPublisher(cfg);

  const Checked checked = CheckCaptured();
  ASSERT_TRUE(listener_.WaitFor(1));
  const auto& event = listener_.events().front();
  EXPECT_EQ(event.source_id, "B");
  EXPECT_EQ(event.event_code, 6);
  EXPECT_EQ(event.outcome, 1);
  EXPECT_EQ(event.detail, "Missing Point: B");
  EXPECT_EQ(event.stamp.sec, 0);
  EXPECT_EQ(event.stamp.nanosec, 0U);
  EXPECT_EQ(Tail(checked.lines, 2),
            (std::vector<std::string>{"[ERROR] Critical point 'B' not executed in flow 'pick'",
                                      "[INFO] ROS2 topic pub: 'Missing Point: B'"}));

  cfg->check_order = true;
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::MISSING_POINT);
  EXPECT_TRUE(listener_.NoMoreThan(1, cfg->publisher));
}

TEST_F(FlowCheckEventTest, OtherVerdictsPublishNothing) {
  auto cfg = Register({Critical("A", 5), Critical("B", 6), Critical("C", 7)});
  Record("A B! C");
  AttachPublisher(cfg);
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::FAILED);

  Register({Critical("A", 5), Critical("B", 6), Critical("C", 7)});
  Record("A C B");
  FlowTraceTestAccess::Config(kFlow)->publisher = cfg->publisher;
  EXPECT_EQ(CheckCaptured().result->status, FlowCheckStatus::MISSING_POINT);
  EXPECT_TRUE(listener_.NoMoreThan(0, cfg->publisher));
}

}  // namespace
}  // namespace valtrix::trace
