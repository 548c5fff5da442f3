// Statistics per flow and per configured point, and records bounded by max_record.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "support/capture_stdout.hpp"
#include "support/flow_trace_access.hpp"
#include "support/temp_files.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_lint.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using test::CaptureStdout;

class FlowStatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::Instance();
    FlowTraceTestAccess::Clear();
  }
  void TearDown() override { FlowTraceTestAccess::Clear(); }

  void TraceAt(const std::string& flow_id, const char* id, int64_t ms, bool success = true) {
    auto point = std::make_shared<TracePoint>(id, success);
    point->timestamp = ms;
    registry_.Trace(flow_id, point);
  }

  static std::shared_ptr<TraceFlowCfg> Flow(const std::string& flow_id, bool ordered,
                                            std::initializer_list<const char*> ids) {
    auto flow = std::make_shared<TraceFlowCfg>(flow_id);
    flow->check_order = ordered;
    for (const char* id : ids) {
      auto point = std::make_shared<TracePointCfg>(id);
      point->is_critical = true;
      flow->flow_points.push_back(point);
    }
    return flow;
  }

  FlowTrace& registry_ = FlowTrace::GetInstance();

};

TEST_F(FlowStatisticsTest, CountsStepsRunsAndVerdictsAcrossResetsUntilReRegistered) {
  auto flow = Flow("pick", true, {"a", "b", "c"});
  flow->flow_points[1]->timeout_ms = 100;
  registry_.RegisterTraceFlow(flow);
  TraceAt("pick", "a", 1000);
  TraceAt("pick", "b", 1050);
  TraceAt("pick", "c", 1250, false);
  registry_.CheckFlow("pick");  // FAILED, 250 ms
  registry_.ResetFlow("pick");
  TraceAt("pick", "a", 2000);
  TraceAt("pick", "b", 2300);
  TraceAt("pick", "x", 2310);  // undefined, not counted for any point
  TraceAt("pick", "a", 2400);  // out of its place, still counted
  registry_.CheckFlow("pick");  // 400 ms

  const auto stats = registry_.GetFlowStatistics("pick");
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->runs, 2U);
  EXPECT_EQ(stats->verdicts[static_cast<size_t>(FlowCheckStatus::FAILED)], 1U);
  EXPECT_EQ(stats->verdicts[static_cast<size_t>(FlowCheckStatus::SUCCESS)], 0U);
  EXPECT_EQ(stats->run.count, 2U);
  EXPECT_EQ(stats->run.min_ms, 250U);
  EXPECT_EQ(stats->run.max_ms, 400U);
  ASSERT_EQ(stats->points.size(), 3U);
  struct Expected {
    const char* id;
    uint64_t arrivals, failed, late, steps, min_ms, max_ms;
  };
  const Expected expected[] = {
      {"a", 3, 0, 0, 1, 90, 90}, {"b", 2, 0, 1, 2, 50, 300}, {"c", 1, 1, 0, 1, 200, 200}};
  for (size_t k = 0; k < 3; ++k) {
    const PointStatistics& point = stats->points[k];
    SCOPED_TRACE(point.point_id);
    EXPECT_EQ(point.point_id, expected[k].id);
    EXPECT_EQ(point.arrivals, expected[k].arrivals);
    EXPECT_EQ(point.failed, expected[k].failed);
    EXPECT_EQ(point.late, expected[k].late);
    EXPECT_EQ(point.step.count, expected[k].steps);
    EXPECT_EQ(point.step.min_ms, expected[k].min_ms);
    EXPECT_EQ(point.step.max_ms, expected[k].max_ms);
  }
  const auto values = registry_.CollectDiagnostics().status[0].values;
  ASSERT_GE(values.size(), 5U);
  std::string tail;
  for (size_t k = values.size() - 5; k < values.size(); ++k) {
    tail += values[k].key + "=" + values[k].value + " ";
  }
  EXPECT_EQ(tail, "runs=2 verdicts_failed=2 run_p95_ms=400 slowest_step=b record_dropped=0 ");

  registry_.RegisterTraceFlow(Flow("pick", true, {"a"}));
  EXPECT_EQ(registry_.GetFlowStatistics("pick")->runs, 0U);
  registry_.RemoveTraceFlow("pick");
  EXPECT_FALSE(registry_.GetFlowStatistics("pick"));
  test::TempFiles files;
  registry_.RegisterTraceFlow(Flow("beat", false, {"p"}));
  registry_.Trace("beat", "p", true);
  registry_.Init(files.Write("workflows:\n  - {flow_id: beat, flow_points: [{point_id: p}]}\n"),
                 nullptr);
  EXPECT_EQ(registry_.GetFlowStatistics("beat")->points[0].arrivals, 0U);
}

// Steps of 1 to 2000 ms: the percentiles are read from the buckets within 3.1 %.
TEST_F(FlowStatisticsTest, PercentilesLieWithinTheStatedErrorAndMeanIsExact) {
  registry_.RegisterTraceFlow(Flow("beat", false, {"p"}));
  int64_t now = 0;
  TraceAt("beat", "p", now);
  for (int64_t step = 2000; step >= 1; --step) {
    now += step;
    TraceAt("beat", "p", now);
  }
  const DurationSummary steps = registry_.GetFlowStatistics("beat")->points[0].step;
  EXPECT_EQ(steps.count, 2000U);
  EXPECT_EQ(steps.min_ms, 1U);
  EXPECT_EQ(steps.max_ms, 2000U);
  EXPECT_DOUBLE_EQ(steps.mean_ms, 1000.5);
  EXPECT_NEAR(steps.p50_ms, 1000.0, 1000.0 * 0.031);
  EXPECT_NEAR(steps.p95_ms, 1900.0, 1900.0 * 0.031);
}

TEST_F(FlowStatisticsTest, BoundedRecordDropsTheOldestAndKeepsCountingTheRun) {
  // Unordered: p must come every 100 ms; ordered: q every 100 ms after the newest entry.
  auto beat = Flow("beat", false, {"p", "r"});
  beat->max_record = 3;
  beat->flow_points[0]->freq_min = 10.0F;
  auto steps = Flow("steps", true, {"q"});
  steps->max_record = 2;
  steps->flow_points[0]->repeat_cnt = UINT32_MAX;
  steps->flow_points[0]->timeout_ms = 100;
  registry_.RegisterTraceFlow(beat);
  registry_.RegisterTraceFlow(steps);
  for (int k = 0; k < 10; ++k) {
    TraceAt("beat", "r", 1000 + k);  // p never comes: timed from the run's first entry
    TraceAt("steps", "q", 1000 + k);
  }
  const PointQueue record = FlowTraceTestAccess::Record("beat");
  ASSERT_EQ(record.size(), 3U);
  EXPECT_EQ(record.front()->index, 7U);
  EXPECT_EQ(record.back()->index, 9U);
  EXPECT_EQ(FlowTraceTestAccess::Record("steps").size(), 2U);
  EXPECT_EQ(registry_.GetFlowStatistics("beat")->dropped, 7U);
  EXPECT_EQ(registry_.GetFlowStatistics("steps")->points[0].step.count, 9U);
  EXPECT_EQ(registry_.CollectDiagnostics().status[0].values.back().value, "7");

  // Each wait is reported once, however many entries the records dropped.
  EXPECT_EQ(registry_.CheckTimeouts(), 2U);
  EXPECT_EQ(registry_.CheckTimeouts(), 0U);
  TraceAt("steps", "q", 1100);
  EXPECT_EQ(registry_.CheckTimeouts(), 1U);

  registry_.ResetFlow("beat");
  TraceAt("beat", "r", 5000);
  EXPECT_EQ(FlowTraceTestAccess::Record("beat").back()->index, 0U);
  EXPECT_EQ(registry_.GetFlowStatistics("beat")->dropped, 7U);  // kept across the reset
}

TEST_F(FlowStatisticsTest, MaxRecordIsReadByInitAndKnownToTheLinter) {
  const char* good = "workflows:\n  - {flow_id: f, max_record: 5, flow_points: [{point_id: p}]}\n";
  test::TempFiles files;
  registry_.Init(files.Write(good), nullptr);
  EXPECT_EQ(FlowTraceTestAccess::Config("f")->max_record, 5U);
  for (const LintFinding& finding : LintFlowConfigText(good, "good.yaml")) {
    EXPECT_NE(finding.key, "max_record") << finding.message;
  }
  size_t bad_types = 0;
  for (const LintFinding& finding : LintFlowConfigText(
           "workflows:\n  - {flow_id: f, max_record: -1, flow_points: [{point_id: p}]}\n",
           "bad.yaml")) {
    bad_types += finding.code == "bad-type" && finding.key == "max_record" ? 1 : 0;
  }
  EXPECT_EQ(bad_types, 1U);
}

}  // namespace
}  // namespace valtrix::trace
