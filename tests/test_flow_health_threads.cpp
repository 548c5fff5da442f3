// The health of the flows collected and published beside tracers, checks, resets and
// re-registrations on the same flows (this suite runs under ThreadSanitizer).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>

#include "support/capture_stdout.hpp"
#include "support/flow_trace_access.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

// Cyclone DDS is not built with ThreadSanitizer, so how its own threads (its garbage collector
// and its sender) hand memory to each other is hidden from it; what it reports there is theirs.
extern "C" const char* __tsan_default_suppressions() { return "race:libddsc.so\n"; }

namespace valtrix::trace {
namespace {

constexpr int kFlows = 4;
constexpr int kTracers = 3;
constexpr int kPointsPerTracer = 2000;

std::string FlowId(int f) { return "flow" + std::to_string(f); }

// Limits of a millisecond and a mix of ids, so that findings and overdue points come all the
// time while the threads run.
std::shared_ptr<TraceFlowCfg> BusyFlow(int f) {
  auto flow = std::make_shared<TraceFlowCfg>(FlowId(f));
  flow->check_order = f % 2 == 0;
  for (const char* id : {"t0", "t1", "t2"}) {
    auto point = std::make_shared<TracePointCfg>(id);
    point->is_critical = id[1] != '1';
    point->timeout_ms = 1;
    point->repeat_cnt = 1;
    point->freq_min = 1000.0F;
    flow->flow_points.push_back(point);
  }
  return flow;
}

TEST(FlowHealthThreadsTest, CollectsAndPublishesBesideEveryOperationThatChangesTheHealth) {
  Logger::Instance();
  FlowTraceTestAccess::Clear();
  rclcpp::init(0, nullptr);
  FlowTrace& registry = FlowTrace::GetInstance();
  char path[] = "/tmp/valtrix_flow_health_threads_XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "workflows: []\n";

  std::atomic<bool> done{false};
  std::atomic<size_t> arrays{0};
  {
    test::CaptureStdout quiet;
    registry.Init(path, std::make_shared<rclcpp::Node>("health_threads"));
    for (int f = 0; f < kFlows; ++f) {
      registry.RegisterTraceFlow(BusyFlow(f));
    }
    std::vector<std::thread> tracers;
    for (int t = 0; t < kTracers; ++t) {
      tracers.emplace_back([&registry, t] {
        for (int k = 0; k < kPointsPerTracer; ++k) {
          auto point = std::make_shared<TracePoint>(k % 7 == 0 ? "x" : "t" + std::to_string(t),
                                                    k % 5 != 0);
          point->timestamp -= 10000 - k;
          registry.Trace(FlowId(k % kFlows), point);
        }
      });
    }
    std::thread checker([&] {
      for (int round = 0; !done; ++round) {
        registry.CheckTimeouts();
        registry.CheckFlow(FlowId(round % kFlows));
      }
    });
    std::thread changer([&] {
      for (int round = 0; !done; ++round) {
        if (round % 3 == 0) {
          registry.ResetAllFlows();
        } else if (round % 3 == 1) {
          registry.ResetFlow(FlowId(round % kFlows));
        } else {
          registry.RemoveTraceFlow(FlowId(round % kFlows));
          registry.RegisterTraceFlow(BusyFlow(round % kFlows));
        }
        std::this_thread::yield();
      }
    });
    std::thread collector([&] {
      while (!done) {
        registry.PublishDiagnostics();
        const auto array = registry.CollectDiagnostics();
        // A flow being re-registered may be missing; the others stay in order.
        EXPECT_GE(array.status.size(), static_cast<size_t>(kFlows - 1));
        EXPECT_TRUE(std::is_sorted(
            array.status.begin(), array.status.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; }));
        ++arrays;
      }
    });
    for (auto& tracer : tracers) {
      tracer.join();
    }
    done = true;
    checker.join();
    changer.join();
    collector.join();
  }
  EXPECT_GT(arrays.load(), 0U);

  // Once the threads are gone, a new run of every flow starts healthy.
  registry.ResetAllFlows();
  for (const auto& status : registry.CollectDiagnostics().status) {
    EXPECT_EQ(status.level, diagnostic_msgs::msg::DiagnosticStatus::OK) << status.name;
    EXPECT_EQ(status.message, "idle") << status.name;
  }
  std::remove(path);
  FlowTraceTestAccess::Clear();
  rclcpp::shutdown();
}

}  // namespace
}  // namespace valtrix::trace
