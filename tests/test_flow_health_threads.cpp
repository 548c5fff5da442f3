// The health of the flows collected and published beside tracers, checks, resets and
// re-registrations on the same flows (this suite runs under ThreadSanitizer).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "support/capture_stdout.hpp"
#include "support/child_process.hpp"
#include "support/flow_trace_access.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

// Cyclone DDS is not built with ThreadSanitizer, so how its own threads (its garbage collector
// and its sender) hand memory to each other is hidden from it; what it reports there is theirs.
extern "C" const char* __tsan_default_suppressions() { return "race:libddsc.so\n"; }

namespace valtrix::trace {
namespace {

constexpr int kFlows = 4;

std::string FlowId(int f) { return "flow" + std::to_string(f); }

// Limits of a millisecond, so that findings and overdue points come all the time.
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
  test::CaptureStdout quiet;
  registry.Init(path, std::make_shared<rclcpp::Node>("health_threads"));
  std::remove(path);
  for (int f = 0; f < kFlows; ++f) {
    registry.RegisterTraceFlow(BusyFlow(f));
  }

  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {  // tracers: failed, undefined and late points among them
    threads.emplace_back([&registry, t] {
      for (int k = 0; k < 2000; ++k) {
        auto point = std::make_shared<TracePoint>(k % 7 == 0 ? "x" : "t" + std::to_string(t),
                                                  k % 5 != 0);
        point->timestamp -= 10000 - k;
        registry.Trace(FlowId(k % kFlows), point);
      }
    });
  }
  const auto until_done = [&done](auto body) {
    return std::thread([&done, body] {
      for (int round = 0; !done; ++round) {
        body(round);
      }
    });
  };
  std::vector<std::thread> others;
  others.push_back(until_done([&](int round) {
    registry.CheckTimeouts();
    registry.CheckFlow(FlowId(round % kFlows));
  }));
  others.push_back(until_done([&](int round) {
    if (round % 3 == 0) {
      registry.ResetAllFlows();
    } else if (round % 3 == 1) {
      registry.ResetFlow(FlowId(round % kFlows));
    } else {
      registry.RemoveTraceFlow(FlowId(round % kFlows));
      registry.RegisterTraceFlow(BusyFlow(round % kFlows));
    }
  }));
  std::atomic<int> arrays{0};
  others.push_back(until_done([&](int) {
    registry.PublishDiagnostics();
    const auto array = registry.CollectDiagnostics();
    // A flow being re-registered may be missing; the others stay in order.
    EXPECT_GE(array.status.size(), static_cast<size_t>(kFlows - 1));
    EXPECT_TRUE(std::is_sorted(array.status.begin(), array.status.end(),
                               [](const auto& a, const auto& b) { return a.name < b.name; }));
    ++arrays;
  }));
  for (auto& thread : threads) {
    thread.join();
  }
  // The first publication makes the publisher, which may take longer than all the tracing; the
  // other threads go on changing the flows until it is done.
  EXPECT_TRUE(test::WaitUntil([&] { return arrays > 0; }, std::chrono::seconds(60)));
  done = true;
  for (auto& thread : others) {
    thread.join();
  }
  EXPECT_GT(arrays.load(), 0);

  // Once the threads are gone, a new run of every flow starts healthy.
  registry.ResetAllFlows();
  for (const auto& status : registry.CollectDiagnostics().status) {
    EXPECT_EQ(status.message, "idle") << status.name;
  }
  FlowTraceTestAccess::Clear();
  rclcpp::shutdown();
}

// Init takes the node away and gives it back while another thread publishes through it.
TEST(FlowHealthThreadsTest, CollectsAndPublishesBesideInitReplacingTheNode) {
  Logger::Instance();
  FlowTraceTestAccess::Clear();
  rclcpp::init(0, nullptr);
  FlowTrace& registry = FlowTrace::GetInstance();
  char path[] = "/tmp/valtrix_flow_health_init_XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "workflows: []\n";
  const auto node = std::make_shared<rclcpp::Node>("health_init_threads");
  std::atomic<bool> done{false};
  std::thread publisher([&] {
    while (!done) {
      registry.PublishDiagnostics();
      registry.CollectDiagnostics();
    }
  });
  {
    test::CaptureStdout quiet;
    for (int k = 0; k < 20000; ++k) {
      registry.Init(path, k % 2 == 0 ? nullptr : node);
    }
  }
  done = true;
  publisher.join();
  std::remove(path);
  EXPECT_EQ(FlowTraceTestAccess::Node(), node);
  FlowTraceTestAccess::Clear();
  rclcpp::shutdown();
}

}  // namespace
}  // namespace valtrix::trace
