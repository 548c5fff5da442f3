// CheckTimeouts beside tracers and resetters on the same flows (this suite runs under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_stdout.hpp"
#include "support/flow_trace_access.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

constexpr int kFlows = 4;
constexpr int kTracers = 3;
constexpr int kPointsPerTracer = 2000;

std::string FlowId(int f) { return "flow" + std::to_string(f); }

// Limits of a millisecond, so that points fall overdue all the time while the threads run.
std::shared_ptr<TraceFlowCfg> QuickFlow(int f) {
  auto flow = std::make_shared<TraceFlowCfg>(FlowId(f));
  flow->check_order = f % 2 == 0;
  for (const char* id : {"t0", "t1", "t2"}) {
    auto point = std::make_shared<TracePointCfg>(id);
    point->timeout_ms = 1;
    point->freq_min = 1000.0F;
    flow->flow_points.push_back(point);
  }
  return flow;
}

TEST(TimeoutCheckThreadsTest, ChecksBesideTracersAndResetsThenReportsEachWaitOnce) {
  Logger::Instance();
  FlowTraceTestAccess::Clear();
  FlowTrace& registry = FlowTrace::GetInstance();
  for (int f = 0; f < kFlows; ++f) {
    registry.RegisterTraceFlow(QuickFlow(f));
  }

  std::atomic<bool> done{false};
  std::atomic<size_t> reports{0};
  {
    test::CaptureStdout quiet;
    std::vector<std::thread> tracers;
    for (int t = 0; t < kTracers; ++t) {
      tracers.emplace_back([&registry, t] {
        const std::string id = "t" + std::to_string(t);
        for (int k = 0; k < kPointsPerTracer; ++k) {
          // Stamped in the past, so every check while the threads run finds overdue points
          // however fast the tracers are.
          auto point = std::make_shared<TracePoint>(id, true);
          point->timestamp -= 10000;
          registry.Trace(FlowId(k % kFlows), point);
        }
      });
    }
    std::thread checker([&] {
      do {
        reports += registry.CheckTimeouts();
      } while (!done);
    });
    std::thread resetter([&] {
      for (int round = 0; !done; ++round) {
        if (round % 3 == 0) {
          registry.ResetAllFlows();
        } else {
          registry.ResetFlow(FlowId(round % kFlows));
        }
        std::this_thread::yield();
      }
    });
    for (auto& tracer : tracers) {
      tracer.join();
    }
    done = true;
    checker.join();
    resetter.join();

    // Once the records stand still, every wait is reported at most once.
    for (int f = 0; f < kFlows; ++f) {
      registry.Trace(FlowId(f), "t0", true);
    }
    const auto quiet_after = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (registry.CheckTimeouts() == 0 && std::chrono::steady_clock::now() < quiet_after) {
      std::this_thread::yield();
    }
    EXPECT_EQ(registry.CheckTimeouts(), 0U);
  }
  EXPECT_GT(reports.load(), 0U);
  FlowTraceTestAccess::Clear();
}

}  // namespace
}  // namespace valtrix::trace
