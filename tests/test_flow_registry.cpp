#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_stdout.hpp"
#include "support/flow_builders.hpp"
#include "support/flow_trace_access.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using test::CaptureStdout;
using test::LogLines;

class FlowRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::Instance();  // startup notices go out before any capture
    FlowTraceTestAccess::Clear();
  }
  void TearDown() override { FlowTraceTestAccess::Clear(); }

  FlowTrace& registry_ = FlowTrace::GetInstance();
};

TEST_F(FlowRegistryTest, ReRegistrationReplacesConfigEmptiesRecordAndKeepsHandler) {
  int handler_calls = 0;
  registry_.RegisterFlowHandler("pick", [&](const std::string&, const auto&) { ++handler_calls; });
  registry_.RegisterTraceFlow(CriticalFlow("pick", {"a"}));
  registry_.Trace("pick", "a", true);
  ASSERT_EQ(FlowTraceTestAccess::Record("pick").size(), 1U);

  auto replacement = CriticalFlow("pick", {"a", "b"});
  CaptureStdout capture;
  registry_.RegisterTraceFlow(replacement);
  EXPECT_THAT(LogLines(capture),
              ElementsAre("[WARN] Flow with ID 'pick' already registered, overwriting",
                          "[INFO] Registered trace flow: flow_id=pick, flow_name=pick_name, "
                          "points_count=2"));
  EXPECT_EQ(FlowTraceTestAccess::Config("pick"), replacement);
  EXPECT_THAT(FlowTraceTestAccess::Record("pick"), IsEmpty());
  EXPECT_TRUE(FlowTraceTestAccess::HasHandler("pick"));
}

TEST_F(FlowRegistryTest, RefusesEmptyConfigurationOrFlowId) {
  CaptureStdout capture;
  registry_.RegisterTraceFlow(std::shared_ptr<TraceFlowCfg>());
  registry_.RegisterTraceFlow(CriticalFlow("", {"a"}));
  registry_.RemoveTraceFlow("");
  registry_.RegisterFlowHandler("", nullptr);
  EXPECT_THAT(LogLines(capture), ElementsAre("[ERROR] Invalid flow configuration: flow_id is empty",
                                             "[ERROR] Invalid flow configuration: flow_id is empty",
                                             "[ERROR] Invalid flow_id: cannot be empty",
                                             "[ERROR] Invalid flow_id: cannot be empty"));
  EXPECT_EQ(FlowTraceTestAccess::FlowCount(), 0U);
  EXPECT_FALSE(FlowTraceTestAccess::HasHandler(""));
}

TEST_F(FlowRegistryTest, VectorOverloadMovesPointsOnlyWhenFlowIdIsValid) {
  auto points = CriticalPoints({"a", "b", "c"});
  {
    CaptureStdout capture;
    registry_.RegisterTraceFlow("", points, "name", "desc", true);
    EXPECT_THAT(LogLines(capture), ElementsAre("[ERROR] Invalid flow_id: cannot be empty"));
  }
  EXPECT_EQ(points.size(), 3U);

  const auto original = points;
  CaptureStdout capture;
  registry_.RegisterTraceFlow("place", points, "Place", "put it down", false);
  EXPECT_THAT(LogLines(capture),
              ElementsAre("[INFO] Registered trace flow: flow_id=place, flow_name=Place, "
                          "points_count=3"));
  EXPECT_THAT(points, IsEmpty());
  auto cfg = FlowTraceTestAccess::Config("place");
  ASSERT_TRUE(cfg);
  EXPECT_EQ(cfg->flow_points, original);
  EXPECT_EQ(cfg->description, "put it down");
  EXPECT_FALSE(cfg->check_order);
  EXPECT_FALSE(cfg->publisher);
  EXPECT_EQ(cfg->event_id, 0U);
  EXPECT_TRUE(FlowTraceTestAccess::HasQueue("place"));
}

TEST_F(FlowRegistryTest, RemovalReportsQueueThenConfigurationAndKeepsHandler) {
  registry_.RegisterTraceFlow(CriticalFlow("pick", {"a"}));
  registry_.RegisterFlowHandler("pick", [](const std::string&, const auto&) {});
  {
    CaptureStdout capture;
    registry_.RemoveTraceFlow("pick");
    EXPECT_THAT(LogLines(capture),
                ElementsAre("[INFO] Removed flow queue for flow_id: pick",
                            "[INFO] Removed flow configuration for flow_id: pick"));
  }
  EXPECT_EQ(FlowTraceTestAccess::FlowCount(), 0U);
  EXPECT_TRUE(FlowTraceTestAccess::HasHandler("pick"));

  CaptureStdout capture;
  registry_.RemoveTraceFlow("pick");
  EXPECT_THAT(LogLines(capture),
              ElementsAre("[WARN] Flow queue not found for flow_id: pick",
                          "[WARN] Flow configuration not found for flow_id: pick"));
}

TEST_F(FlowRegistryTest, HandlerReplacementWarnsAndInstallsTheNewHandler) {
  CaptureStdout capture;
  registry_.RegisterFlowHandler("pick", nullptr);
  registry_.RegisterFlowHandler("pick", [](const std::string&, const auto&) {});
  EXPECT_THAT(LogLines(capture),
              ElementsAre("[INFO] Successfully registered handler for flow_id: pick",
                          "[WARN] Handler for flow_id 'pick' already exists, overwriting",
                          "[INFO] Successfully registered handler for flow_id: pick"));
}

TEST_F(FlowRegistryTest, UnknownFlowGetsTheSameEmptyQueueAndAWarning) {
  CaptureStdout capture;
  const PointQueue& first = registry_.GetTracePoints("nope");
  const PointQueue& second = registry_.GetTracePoints("other");
  EXPECT_EQ(&first, &second);
  EXPECT_THAT(first, IsEmpty());
  EXPECT_THAT(LogLines(capture),
              ElementsAre("[WARN] flow_id nope not found", "[WARN] flow_id other not found"));
  EXPECT_FALSE(FlowTraceTestAccess::HasQueue("nope"));
}

TEST_F(FlowRegistryTest, GetTracePointsReturnsTheLiveRecord) {
  registry_.RegisterTraceFlow(CriticalFlow("pick", {"a", "b"}));
  const PointQueue& record = registry_.GetTracePoints("pick");
  registry_.Trace("pick", "a", true);
  registry_.Trace("pick", "b", false);
  ASSERT_EQ(record.size(), 2U);
  EXPECT_EQ(record[1]->point_id, "b");
  EXPECT_FALSE(record[1]->success);
  registry_.ResetFlow("pick");
  EXPECT_EQ(&registry_.GetTracePoints("pick"), &record);
  EXPECT_THAT(record, IsEmpty());
}

TEST_F(FlowRegistryTest, ResetFlowStartsANewRunOfOneFlow) {
  auto pick = CriticalFlow("pick", {"a", "b"});
  auto place = CriticalFlow("place", {"a"});
  registry_.RegisterTraceFlow(pick);
  registry_.RegisterTraceFlow(place);
  registry_.Trace("pick", "a", true);
  registry_.Trace("place", "a", true);
  pick->next_index = 1;
  pick->flow_points[0]->hit_cnt = 2;
  place->next_index = 1;

  CaptureStdout capture;
  registry_.ResetFlow("pick");
  EXPECT_THAT(LogLines(capture), IsEmpty());
  EXPECT_THAT(FlowTraceTestAccess::Record("pick"), IsEmpty());
  EXPECT_EQ(pick->next_index, 0U);
  EXPECT_EQ(pick->flow_points[0]->hit_cnt, 0U);
  EXPECT_EQ(FlowTraceTestAccess::Record("place").size(), 1U);
  EXPECT_EQ(place->next_index, 1U);

  registry_.Trace("pick", "b", true);
  EXPECT_EQ(FlowTraceTestAccess::Record("pick").at(0)->index, 0U);
}

TEST_F(FlowRegistryTest, ResetOfUnknownFlowOnlyWarns) {
  CaptureStdout capture;
  registry_.ResetFlow("nope");
  EXPECT_THAT(LogLines(capture), ElementsAre("[WARN] flow_id nope not found"));
  EXPECT_FALSE(FlowTraceTestAccess::HasQueue("nope"));
}

TEST_F(FlowRegistryTest, ResetAllFlowsRewindsEveryFlowSilently) {
  {
    CaptureStdout capture;
    registry_.ResetAllFlows();
    EXPECT_THAT(capture.Text(), IsEmpty());
  }
  auto pick = CriticalFlow("pick", {"a"});
  auto place = CriticalFlow("place", {"b"});
  registry_.RegisterTraceFlow(pick);
  registry_.RegisterTraceFlow(place);
  registry_.Trace("pick", "a", true);
  registry_.Trace("place", "b", true);
  pick->next_index = 1;
  place->next_index = 1;
  place->flow_points[0]->hit_cnt = 3;

  CaptureStdout capture;
  registry_.ResetAllFlows();
  EXPECT_THAT(capture.Text(), IsEmpty());
  EXPECT_THAT(FlowTraceTestAccess::Record("pick"), IsEmpty());
  EXPECT_THAT(FlowTraceTestAccess::Record("place"), IsEmpty());
  EXPECT_EQ(pick->next_index, 0U);
  EXPECT_EQ(place->next_index, 0U);
  EXPECT_EQ(place->flow_points[0]->hit_cnt, 0U);
  EXPECT_EQ(FlowTraceTestAccess::FlowCount(), 2U);
}

TEST_F(FlowRegistryTest, HandlerRegisteredBeforeItsFlowReceivesLaterVerdicts) {
  std::vector<std::shared_ptr<FlowCheckResult>> verdicts;
  registry_.RegisterFlowHandler(
      "late", [&](const std::string& flow_id, const std::shared_ptr<FlowCheckResult>& result) {
        EXPECT_EQ(flow_id, "late");
        verdicts.push_back(result);
      });
  registry_.RegisterTraceFlow(CriticalFlow("late", {"a"}));
  registry_.Trace("late", "a", true);

  auto result = registry_.CheckFlow("late");
  ASSERT_EQ(verdicts.size(), 1U);
  EXPECT_EQ(verdicts[0], result);
  EXPECT_EQ(result->status, FlowCheckStatus::SUCCESS);
}

// Registration, removal, resets and tracing from several threads at once must leave the two
// maps with equal key sets and never corrupt a record.
TEST(FlowRegistryConcurrencyTest, ConcurrentRegistrationRemovalAndResetsStayConsistent) {
  Logger::Instance();
  FlowTraceTestAccess::Clear();
  FlowTrace& registry = FlowTrace::GetInstance();
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) {
        std::this_thread::yield();
      }
      const std::string own = "flow" + std::to_string(t);
      for (int round = 0; round < kRounds; ++round) {
        registry.RegisterTraceFlow(CriticalFlow(own, {"a"}));
        registry.Trace(own, "a", true);
        registry.Trace("flow" + std::to_string((t + 1) % kThreads), "a", true);
        if (round % 3 == 0) {
          registry.ResetAllFlows();
        } else {
          registry.ResetFlow(own);
        }
        if (round % 5 == 0) {
          registry.RemoveTraceFlow(own);
        }
      }
      registry.RegisterTraceFlow(CriticalFlow(own, {"a"}));
    });
  }
  {
    CaptureStdout quiet;
    go = true;
    for (auto& thread : threads) {
      thread.join();
    }
  }
  EXPECT_EQ(FlowTraceTestAccess::FlowCount(), static_cast<size_t>(kThreads));
  for (int t = 0; t < kThreads; ++t) {
    const std::string own = "flow" + std::to_string(t);
    EXPECT_TRUE(FlowTraceTestAccess::HasQueue(own));
    const PointQueue record = FlowTraceTestAccess::Record(own);
    for (size_t i = 0; i < record.size(); ++i) {
      EXPECT_EQ(record[i]->index, i);
    }
  }
  FlowTraceTestAccess::Clear();
}

}  // namespace
}  // namespace valtrix::trace
