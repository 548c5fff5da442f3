#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_stdout.hpp"
#include "support/flow_builders.hpp"
#include "support/flow_trace_access.hpp"
#include "support/function_name_sink.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using test::CaptureStdout;
using test::LogLines;

// The empty-record message of GetFlowDuration is a DEBUG line; the level is read once, at the
// logger's first use, which comes after static initialisation.
const bool kDebugLevel = setenv("SPDLOG_LEVEL", "debug", 1) == 0;

std::shared_ptr<TracePoint> PointAt(const std::string& id, int64_t timestamp) {
  auto point = std::make_shared<TracePoint>(id, true);
  point->timestamp = timestamp;
  return point;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class TraceRecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kDebugLevel);
    Logger::Instance();  // startup notices go out before any capture
    FlowTraceTestAccess::Clear();
  }
  void TearDown() override { FlowTraceTestAccess::Clear(); }

  FlowTrace& registry_ = FlowTrace::GetInstance();
};

TEST_F(TraceRecordingTest, UnknownFlowOrEmptyPointRecordsNothingAndWarns) {
  registry_.RegisterTraceFlow(CriticalFlow("pick", {"a"}));
  CaptureStdout capture;
  test::FunctionNames names;
  registry_.Trace("ghost", "a", true);
  registry_.Trace("", "a", true);
  registry_.Trace("pick", std::shared_ptr<TracePoint>());
  registry_.Trace("ghost", std::make_shared<TracePoint>("a", true));
  EXPECT_THAT(LogLines(capture), ElementsAre("[WARN] flow_id ghost not found",
                                             "[WARN] flow_id  not found",
                                             "[WARN] flow_id pick not found",
                                             "[WARN] flow_id ghost not found"));
  // Logged under the operation's own name, which the journal shows as CODE_FUNC.
  EXPECT_THAT(names.sink().Functions(), ElementsAre("Trace", "Trace", "Trace", "Trace"));
  EXPECT_FALSE(FlowTraceTestAccess::HasQueue("ghost"));
  EXPECT_FALSE(FlowTraceTestAccess::HasQueue(""));
  EXPECT_THAT(FlowTraceTestAccess::Record("pick"), IsEmpty());
  EXPECT_EQ(FlowTraceTestAccess::Config("pick")->next_index, 0U);
}

TEST_F(TraceRecordingTest, PointsAreIndexedByTheirPositionInTheRecord) {
  registry_.RegisterTraceFlow(CriticalFlow("pick", {"a", "b"}, false));
  auto shared = std::make_shared<TracePoint>("a", true);
  registry_.Trace("pick", shared);
  registry_.Trace("pick", "b", false);
  registry_.Trace("pick", shared);

  const PointQueue record = FlowTraceTestAccess::Record("pick");
  ASSERT_EQ(record.size(), 3U);
  // The record holds the caller's object itself; tracing it twice shows its later position.
  EXPECT_EQ(record[0], shared);
  EXPECT_EQ(record[2], shared);
  EXPECT_EQ(shared->index, 2U);
  EXPECT_EQ(record[1]->index, 1U);

  registry_.ResetFlow("pick");
  registry_.Trace("pick", "b", true);
  EXPECT_EQ(FlowTraceTestAccess::Record("pick").at(0)->index, 0U);
}

TEST_F(TraceRecordingTest, ThreeArgumentTraceStampsANewPointNow) {
  registry_.RegisterTraceFlow(CriticalFlow("pick", {"a"}, false));
  const int64_t before = NowMs();
  registry_.Trace("pick", "a", false);
  const int64_t after = NowMs();

  const PointQueue record = FlowTraceTestAccess::Record("pick");
  ASSERT_EQ(record.size(), 1U);
  EXPECT_EQ(record[0]->point_id, "a");
  EXPECT_FALSE(record[0]->success);
  EXPECT_GE(record[0]->timestamp, before);
  EXPECT_LE(record[0]->timestamp, after);
  EXPECT_THAT(record[0]->metadata, IsEmpty());
}

// A slow handler of another thread's CheckFlow holds the registry: a point traced meanwhile still
// carries the time of its call, not the time the registry was free again.
TEST_F(TraceRecordingTest, ThreeArgumentTraceStampsThePointBeforeWaitingForTheRegistry) {
  registry_.RegisterTraceFlow(CriticalFlow("pick", {"a"}, false));
  registry_.Trace("pick", "a", true);
  std::atomic<bool> holding{false};
  std::atomic<int64_t> called_ms{0};
  int64_t released_ms = 0;
  registry_.RegisterFlowHandler("pick", [&](const std::string&, const auto&) {
    holding = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((called_ms == 0 || NowMs() < called_ms + 20) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    released_ms = NowMs();
  });
  CaptureStdout quiet;
  std::thread checker([this] { registry_.CheckFlow("pick"); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!holding && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  called_ms = NowMs();
  registry_.Trace("pick", "a", true);
  checker.join();

  const PointQueue record = FlowTraceTestAccess::Record("pick");
  ASSERT_EQ(record.size(), 2U);
  EXPECT_LT(record[1]->timestamp, released_ms);
}

struct DurationCase {
  const char* name;
  std::vector<int64_t> timestamps;  // recorded in this order; empty: no points
  uint64_t expected;
  const char* log_line;
};

class FlowDurationTest : public TraceRecordingTest,
                         public ::testing::WithParamInterface<DurationCase> {};

TEST_P(FlowDurationTest, MeasuresFromTheOldestToTheNewestEntry) {
  const DurationCase& c = GetParam();
  registry_.RegisterTraceFlow(CriticalFlow("pick", {}, false));
  for (int64_t timestamp : c.timestamps) {
    registry_.Trace("pick", PointAt("a", timestamp));
  }
  CaptureStdout capture;
  EXPECT_EQ(registry_.GetFlowDuration("pick"), c.expected);
  EXPECT_THAT(LogLines(capture), ElementsAre(c.log_line));
}

INSTANTIATE_TEST_SUITE_P(
    Records, FlowDurationTest,
    ::testing::Values(
        DurationCase{"Empty", {}, 0, "[DEBUG] Flow 'pick' has no trace points"},
        DurationCase{"OnePoint", {5000}, 0,
                     "[INFO] Flow 'pick' duration: 0 ms (start: 5000, end: 5000)"},
        // Taken by position: the larger middle stamp does not count.
        DurationCase{"ByPosition", {1000, 9000, 2500}, 1500,
                     "[INFO] Flow 'pick' duration: 1500 ms (start: 1000, end: 2500)"},
        DurationCase{"NewestOlderThanOldest", {1000, 400}, 0,
                     "[INFO] Flow 'pick' duration: 0 ms (start: 1000, end: 400)"},
        DurationCase{"NegativeStamps", {-20, 30}, 50,
                     "[INFO] Flow 'pick' duration: 50 ms (start: -20, end: 30)"}),
    [](const ::testing::TestParamInfo<DurationCase>& info) { return info.param.name; });

TEST_F(TraceRecordingTest, FlowDurationRejectsEmptyAndUnknownFlows) {
  CaptureStdout capture;
  EXPECT_EQ(registry_.GetFlowDuration(""), 0U);
  EXPECT_EQ(registry_.GetFlowDuration("ghost"), 0U);
  EXPECT_THAT(LogLines(capture), ElementsAre("[ERROR] Invalid flow_id: cannot be empty",
                                             "[WARN] Flow with ID 'ghost' not found"));
}

// Tracers, resetters and readers on several flows at once. Flows have no publisher, so only the
// registry's own lock is exercised (this suite also runs under ThreadSanitizer).
class TraceConcurrencyTest : public TraceRecordingTest {
 protected:
  static constexpr int kFlows = 3;
  static constexpr int kTracers = 4;
  static constexpr int kPointsPerFlow = 1000;

  static std::string FlowId(int f) { return "flow" + std::to_string(f); }

  void RegisterFlows() {
    for (int f = 0; f < kFlows; ++f) {
      // Ordered and unordered flows, so the progressive check's state is exercised too.
      registry_.RegisterTraceFlow(CriticalFlow(FlowId(f), {"t0", "t1", "t2", "t3"}, f % 2 == 0));
    }
  }

  // Every tracer traces kPointsPerFlow points into each flow, its own id on each.
  std::vector<std::thread> StartTracers(std::atomic<bool>& go) {
    std::vector<std::thread> tracers;
    for (int t = 0; t < kTracers; ++t) {
      tracers.emplace_back([this, &go, t] {
        while (!go) {
          std::this_thread::yield();
        }
        const std::string point_id = "t" + std::to_string(t);
        for (int k = 0; k < kPointsPerFlow; ++k) {
          for (int f = 0; f < kFlows; ++f) {
            registry_.Trace(FlowId(f), point_id, true);
          }
        }
      });
    }
    return tracers;
  }

  // Reads every flow's duration and checks a snapshot of its record until `done`.
  std::thread StartReader(std::atomic<bool>& done, std::atomic<int>& sparse_snapshots) {
    return std::thread([this, &done, &sparse_snapshots] {
      while (!done) {
        for (int f = 0; f < kFlows; ++f) {
          registry_.GetFlowDuration(FlowId(f));
          if (!Dense(FlowTraceTestAccess::Record(FlowId(f)))) {
            ++sparse_snapshots;
          }
        }
      }
    });
  }

  static bool Dense(const PointQueue& record) {
    for (size_t i = 0; i < record.size(); ++i) {
      if (record[i]->index != i) {
        return false;
      }
    }
    return true;
  }
};

TEST_F(TraceConcurrencyTest, ConcurrentTracersLoseNoPointAndKeepIndicesDense) {
  RegisterFlows();
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  std::atomic<int> sparse_snapshots{0};
  auto tracers = StartTracers(go);
  std::thread reader = StartReader(done, sparse_snapshots);
  {
    CaptureStdout quiet;
    go = true;
    for (auto& tracer : tracers) {
      tracer.join();
    }
    done = true;
    reader.join();
  }
  EXPECT_EQ(sparse_snapshots, 0);
  for (int f = 0; f < kFlows; ++f) {
    const PointQueue record = FlowTraceTestAccess::Record(FlowId(f));
    ASSERT_EQ(record.size(), static_cast<size_t>(kTracers * kPointsPerFlow)) << FlowId(f);
    EXPECT_TRUE(Dense(record)) << FlowId(f);
    std::vector<int> per_tracer(kTracers, 0);
    for (const auto& point : record) {
      ++per_tracer.at(static_cast<size_t>(point->point_id[1] - '0'));
    }
    EXPECT_THAT(per_tracer, ::testing::Each(kPointsPerFlow)) << FlowId(f);
  }
}

TEST_F(TraceConcurrencyTest, ResetsBetweenConcurrentTracesKeepRecordsDense) {
  RegisterFlows();
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  std::atomic<int> sparse_snapshots{0};
  auto tracers = StartTracers(go);
  std::thread resetter([&] {
    for (int round = 0; !done; ++round) {
      if (round % 4 == 0) {
        registry_.ResetAllFlows();
      } else {
        registry_.ResetFlow(FlowId(round % kFlows));
      }
      std::this_thread::yield();
    }
  });
  std::thread reader = StartReader(done, sparse_snapshots);
  {
    CaptureStdout quiet;
    go = true;
    for (auto& tracer : tracers) {
      tracer.join();
    }
    done = true;
    resetter.join();
    reader.join();
  }
  EXPECT_EQ(sparse_snapshots, 0);
  for (int f = 0; f < kFlows; ++f) {
    const PointQueue record = FlowTraceTestAccess::Record(FlowId(f));
    EXPECT_LE(record.size(), static_cast<size_t>(kTracers * kPointsPerFlow));
    EXPECT_TRUE(Dense(record)) << FlowId(f);
    const auto cfg = FlowTraceTestAccess::Config(FlowId(f));
    EXPECT_LE(cfg->next_index, cfg->flow_points.size()) << FlowId(f);
  }
}

}  // namespace
}  // namespace valtrix::trace
