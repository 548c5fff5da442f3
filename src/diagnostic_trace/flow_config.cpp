#include <yaml-cpp/yaml.h>

#include <string>
#include <unordered_map>
#include <utility>

#include <rclcpp/qos.hpp>

#include "bookkeeping.hpp"
#include "config_file.hpp"
#include "config_format.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

namespace {

constexpr size_t kPublisherHistoryDepth = 1;

const char* BoolText(bool value) { return value ? "true" : "false"; }

}  // namespace

void FlowTrace::Init(const std::string& path, std::shared_ptr<rclcpp::Node> node) {
  // The dropped records (and their publishers) are released after the lock is given back.
  std::unordered_map<std::string, PointQueue> dropped_queues;
  std::unordered_map<std::string, std::shared_ptr<TraceFlowCfg>> dropped_configs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    node_.swap(node);
    flow_queues_.swap(dropped_queues);
    flow_configs_.swap(dropped_configs);
    bookkeeping_->watches.clear();
  }
  dropped_queues.clear();
  dropped_configs.clear();

  try {
    const YAML::Node root = LoadConfigFile(path);
    const YAML::Node workflows = root[config_format::kWorkflows];
    if (!workflows.IsDefined() || workflows.IsNull()) {
      LOG_ERROR("No workflows configuration found");
      return;
    }
    if (!workflows.IsSequence()) {
      LOG_ERROR("workflows should be a sequence");
      return;
    }
    for (const YAML::Node& flow_node : workflows) {
      std::shared_ptr<TraceFlowCfg> cfg = parseTraceFlowCfg(flow_node);
      if (!cfg) {
        continue;
      }
      // A repeated flow_id replaces the earlier flow; that record is released after unlocking.
      std::shared_ptr<TraceFlowCfg> replaced;
      std::lock_guard<std::mutex> lock(mutex_);
      flow_queues_[cfg->flow_id].clear();
      StartTally(*cfg);
      bookkeeping_->RestartWatch(*cfg);
      std::shared_ptr<TraceFlowCfg>& slot = flow_configs_[cfg->flow_id];
      replaced = std::move(slot);
      bookkeeping_->watches.erase(replaced.get());
      slot = std::move(cfg);
      bookkeeping_->run_log.Flow(*slot);
    }
  } catch (const YAML::Exception& e) {
    LOG_ERROR("Failed to parse flow configuration file: {}", e.what());
  }
}

std::shared_ptr<TraceFlowCfg> FlowTrace::parseTraceFlowCfg(const YAML::Node& flow_node) {
  try {
    auto cfg = std::make_shared<TraceFlowCfg>();
    for (const auto& key : config_format::kFlowKeys) {
      const YAML::Node value = config_format::Read(flow_node, key, *cfg);
      if (!value.IsDefined()) {
        continue;
      }
      if (key.Fills(&TraceFlowCfg::diag_topic) && node_ && !cfg->diag_topic.empty()) {
        cfg->publisher = node_->create_publisher<valtrix_protocol::msg::DiagnosticEvent>(
            cfg->diag_topic, rclcpp::QoS(kPublisherHistoryDepth));
      } else if (key.Fills(&TraceFlowCfg::flow_points) && value.IsSequence()) {
        cfg->flow_points.reserve(value.size());
        for (const YAML::Node& point_node : value) {
          if (auto point = parseTracePointCfg(point_node)) {
            cfg->flow_points.push_back(std::move(point));
          }
        }
      }
    }
    LOG_DEBUG("Parsed trace flow config: flow_id={}, flow_name={}, check_order={}, points_count={}",
              cfg->flow_id, cfg->flow_name, BoolText(cfg->check_order), cfg->flow_points.size());
    return cfg;
  } catch (const YAML::Exception& e) {
    LOG_ERROR("Failed to parse trace flow config: {}", e.what());
    return nullptr;
  }
}

std::shared_ptr<TracePointCfg> FlowTrace::parseTracePointCfg(const YAML::Node& point_node) {
  try {
    auto point = std::make_shared<TracePointCfg>();
    for (const auto& key : config_format::kPointKeys) {
      if (!config_format::Read(point_node, key, *point).IsDefined() &&
          key.rule == config_format::Rule::kRequired) {
        LOG_ERROR("point_id parse failed, point config invalid");
        return nullptr;
      }
    }
    LOG_DEBUG("Parsed trace point config: point_id={}, description={}, is_critical={}",
              point->point_id, point->description, BoolText(point->is_critical));
    return point;
  } catch (const YAML::Exception& e) {
    LOG_ERROR("Failed to parse trace point config: {}", e.what());
    return nullptr;
  }
}

}  // namespace valtrix::trace
