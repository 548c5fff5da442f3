// Demonstration node: plays the sample flow "grab_place_task" four times with different
// deviations, logs each whole-flow verdict, then traces a heartbeat once a second until Ctrl-C.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <rclcpp/exceptions.hpp>
#include <rclcpp/rclcpp.hpp>

#include "interrupts.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace {

using valtrix::trace::FlowCheckResult;
using valtrix::trace::FlowCheckStatus;
using valtrix::trace::FlowTrace;
using valtrix::trace::TracePoint;

constexpr const char* kFlowId = "grab_place_task";
constexpr const char* kHeartbeat = "heartbeat";

// One step of a run: a point id, its reported outcome and the pause after it. The step marked
// `built` is traced as a point the program builds itself, with metadata.
struct Step {
  const char* point_id;
  bool success;
  int pause_ms;
  bool built = false;
};

const std::vector<std::vector<Step>> kRuns = {
    // Run 1: "place_pos_reached" fails.
    {{"home_pos_reached", true, 100},
     {"gripper_opened", true, 200, true},
     {"target_pos_reached", true, 100},
     {"gripper_closed", true, 300},
     {"place_pos_reached", false, 500},
     {"gripper_opened", true, 0},
     {"task_completed", true, 0}},
    // Run 2: "gripper_closed" is left out.
    {{"home_pos_reached", true, 100},
     {"gripper_opened", true, 200, true},
     {"target_pos_reached", true, 100},
     {"place_pos_reached", true, 500},
     {"gripper_opened", true, 0},
     {"task_completed", true, 0}},
    // Run 3: "target_pos_reached" twice in a row.
    {{"home_pos_reached", true, 100},
     {"gripper_opened", true, 200, true},
     {"target_pos_reached", true, 100},
     {"target_pos_reached", true, 100},
     {"gripper_closed", true, 300},
     {"place_pos_reached", true, 500},
     {"gripper_opened", true, 0},
     {"task_completed", true, 0}},
    // Run 4: the complete sequence.
    {{"home_pos_reached", true, 100},
     {"gripper_opened", true, 100, true},
     {"target_pos_reached", true, 100},
     {"gripper_closed", true, 300},
     {"place_pos_reached", true, 500},
     {"gripper_opened", true, 0},
     {"task_completed", true, 0}},
};

// Sleeps for `milliseconds` in short slices so that Ctrl-C is honoured promptly; false once
// ROS is shutting down.
bool Pause(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (rclcpp::ok() && std::chrono::steady_clock::now() < deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        left, std::chrono::milliseconds(50)));
  }
  return rclcpp::ok();
}

void TraceStep(FlowTrace& flow_trace, const Step& step) {
  if (step.built) {
    auto point = std::make_shared<TracePoint>(step.point_id, step.success);
    point->metadata.emplace_back("gripper", "opened");
    point->metadata.emplace_back("pos", "2000");
    flow_trace.Trace(kFlowId, point);
  } else {
    flow_trace.Trace(kFlowId, step.point_id, step.success);
  }
}

// Plays one run; false when interrupted by shutdown.
bool PlayRun(FlowTrace& flow_trace, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    TraceStep(flow_trace, step);
    if (!Pause(step.pause_ms)) {
      return false;
    }
  }
  return true;
}

// Creates the node and loads the flows; empty when a Ctrl-C came first. The signal shuts the
// ROS context down, and creating the node or a publisher on it then fails: that ends the
// program as quietly as a Ctrl-C later on. Any other error escapes.
std::shared_ptr<rclcpp::Node> StartUp(FlowTrace& flow_trace, const std::string& config_path) {
  try {
    auto node = std::make_shared<rclcpp::Node>("diag_trace_test");
    flow_trace.Init(config_path, node);
    return node;
  } catch (const rclcpp::exceptions::RCLErrorBase&) {
    if (rclcpp::ok()) {
      throw;
    }
    return nullptr;
  }
}

const char* VerdictFormat(FlowCheckStatus status) {
  switch (status) {
    case FlowCheckStatus::SUCCESS: return "FlowEventHandler: Flow '{}' success, status: {}";
    case FlowCheckStatus::FAILED: return "FlowEventHandler: Flow '{}' failed, status: {}";
    case FlowCheckStatus::INVALID_POINT:
      return "FlowEventHandler: Flow '{}' invalid point, status: {}";
    case FlowCheckStatus::DUPLICATED_POINT:
      return "FlowEventHandler: Flow '{}' duplicated point, status: {}";
    case FlowCheckStatus::MISSING_POINT:
      return "FlowEventHandler: Flow '{}' missing point, status: {}";
    case FlowCheckStatus::INVALID_ORDER:
      return "FlowEventHandler: Flow '{}' invalid order, status: {}";
    case FlowCheckStatus::INVALID_FLOW:
      return "FlowEventHandler: Flow '{}' invalid flow, status: {}";
  }
  return "FlowEventHandler: Flow '{}' unknown status: {}";
}

}  // namespace

int main(int argc, char** argv) {
  const valtrix::tools::InterruptsOnOwnThread interrupts;
  rclcpp::init(argc, argv);
  interrupts.Receive();
  const std::string config_path =
      ament_index_cpp::get_package_share_directory("valtrix_diagnostic_reporter") + "/config/" +
      "test_flow.yaml";

  FlowTrace& flow_trace = FlowTrace::GetInstance();
  const auto node = StartUp(flow_trace, config_path);
  if (!node) {
    return 0;
  }

  auto FlowEventHandler = [](const std::string& flow_id,
                             const std::shared_ptr<FlowCheckResult>& result) {
    if (!result) {
      LOG_ERROR("FlowEventHandler: Flow '{}' check result is null", flow_id);
      return;
    }
    LOG_ERROR(fmt::runtime(VerdictFormat(result->status)), flow_id,
              static_cast<int32_t>(result->status));
    if (result->failure_point) {
      LOG_ERROR("FlowEventHandler: failure point '{}', index: {}", result->failure_point->point_id,
                result->failure_point->index);
    }
    if (result->desired_point) {
      LOG_ERROR("FlowEventHandler:  desired point '{}', event_id '{}'",
                result->desired_point->point_id, result->desired_point->event_id);
    }
  };
  flow_trace.RegisterFlowHandler(kFlowId, FlowEventHandler);

  std::shared_ptr<FlowCheckResult> last_result;
  for (size_t run = 0; run < kRuns.size() && rclcpp::ok(); ++run) {
    const bool last_run = run + 1 == kRuns.size();
    if (!PlayRun(flow_trace, kRuns[run])) {
      break;
    }
    last_result = flow_trace.CheckFlow(kFlowId);
    const uint64_t duration = flow_trace.GetFlowDuration(kFlowId);
    if (run != 2) {
      LOG_INFO("--------Flow '{}' duration: {} ms--------", kFlowId, duration);
    }
    if (!last_run) {
      flow_trace.ResetFlow(kFlowId);
    }
  }

  while (Pause(1000)) {
    flow_trace.Trace(kHeartbeat, kHeartbeat, true);
  }

  rclcpp::shutdown();
  return 0;
}
