#include <yaml-cpp/yaml.h>

#include <string>
#include <unordered_map>
#include <utility>

#include <rclcpp/qos.hpp>

#include "bookkeeping.hpp"
#include "config_file.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

namespace {

constexpr size_t kPublisherHistoryDepth = 1;

// A key counts as present when the mapping holds it and its node is defined; an empty value
// (YAML null) is present too. Lookups go through a const node so that nothing is inserted.
// Each Read* leaves `field` untouched when the key is absent, and throws YAML::Exception when the
// value does not convert.
template <typename Stored, typename Field>
bool ReadKey(const YAML::Node& entry, const char* key, Field& field) {
  const YAML::Node value = entry[key];
  if (!value.IsDefined()) {
    return false;
  }
  field = value.as<Stored>();
  return true;
}

bool ReadString(const YAML::Node& entry, const char* key, std::string& field) {
  return ReadKey<std::string>(entry, key, field);
}

bool ReadBool(const YAML::Node& entry, const char* key, bool& field) {
  return ReadKey<bool>(entry, key, field);
}

bool ReadUnsigned(const YAML::Node& entry, const char* key, uint32_t& field) {
  return ReadKey<unsigned int>(entry, key, field);
}

bool ReadFloat(const YAML::Node& entry, const char* key, float& field) {
  return ReadKey<float>(entry, key, field);
}

// "event_id" wins over its older spelling "faliure_id", which is still found in deployed files.
void ReadEventId(const YAML::Node& entry, uint32_t& field) {
  if (!ReadUnsigned(entry, "event_id", field)) {
    ReadUnsigned(entry, "faliure_id", field);
  }
}

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
    const YAML::Node root = YAML::Load(ReadConfigFile(path));
    const YAML::Node workflows = root["workflows"];
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
      bookkeeping_->RestartWatch(*cfg);
      std::shared_ptr<TraceFlowCfg>& slot = flow_configs_[cfg->flow_id];
      replaced = std::move(slot);
      bookkeeping_->watches.erase(replaced.get());
      slot = std::move(cfg);
    }
  } catch (const YAML::Exception& e) {
    LOG_ERROR("Failed to parse flow configuration file: {}", e.what());
  }
}

std::shared_ptr<TraceFlowCfg> FlowTrace::parseTraceFlowCfg(const YAML::Node& flow_node) {
  try {
    auto cfg = std::make_shared<TraceFlowCfg>();
    ReadString(flow_node, "flow_id", cfg->flow_id);
    ReadString(flow_node, "flow_name", cfg->flow_name);
    if (ReadString(flow_node, "diag_topic", cfg->diag_topic) && node_ &&
        !cfg->diag_topic.empty()) {
      cfg->publisher = node_->create_publisher<valtrix_protocol::msg::DiagnosticEvent>(
          cfg->diag_topic, rclcpp::QoS(kPublisherHistoryDepth));
    }
    ReadString(flow_node, "description", cfg->description);
    if (!ReadBool(flow_node, "check_order", cfg->check_order)) {
      cfg->check_order = false;
    }
    ReadEventId(flow_node, cfg->event_id);

    const YAML::Node points = flow_node["flow_points"];
    if (points.IsDefined() && points.IsSequence()) {
      cfg->flow_points.reserve(points.size());
      for (const YAML::Node& point_node : points) {
        if (auto point = parseTracePointCfg(point_node)) {
          cfg->flow_points.push_back(std::move(point));
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
    if (!ReadString(point_node, "point_id", point->point_id)) {
      LOG_ERROR("point_id parse failed, point config invalid");
      return nullptr;
    }
    ReadEventId(point_node, point->event_id);
    ReadBool(point_node, "on_success", point->on_success);
    ReadBool(point_node, "on_failure", point->on_failure);
    ReadBool(point_node, "on_timeout", point->on_timeout);
    ReadUnsigned(point_node, "repeat_cnt", point->repeat_cnt);
    ReadUnsigned(point_node, "repeat_max", point->repeat_max);
    ReadUnsigned(point_node, "timeout_ms", point->timeout_ms);
    ReadFloat(point_node, "freq_min", point->freq_min);
    if (!ReadString(point_node, "point_desc", point->description)) {
      ReadString(point_node, "description", point->description);
    }
    bool optional = false;
    ReadBool(point_node, "optional", optional);
    point->is_critical = !optional;

    LOG_DEBUG("Parsed trace point config: point_id={}, description={}, is_critical={}",
              point->point_id, point->description, BoolText(point->is_critical));
    return point;
  } catch (const YAML::Exception& e) {
    LOG_ERROR("Failed to parse trace point config: {}", e.what());
    return nullptr;
  }
}

}  // namespace valtrix::trace
