#include "valtrix/trace/flow_trace.hpp"

#include <utility>

#include "bookkeeping.hpp"
#include "valtrix/logger.hpp"
#include "wall_clock.hpp"

namespace valtrix::trace {

namespace {

// A new run counts repetitions afresh; otherwise a point needing several matches would pass on
// its first match after a reset and the run would be judged against the previous one's count.
void RewindRun(TraceFlowCfg& cfg) {
  cfg.next_index = 0;
  for (const auto& point : cfg.flow_points) {
    if (point) {
      point->hit_cnt = 0;
    }
  }
}

}  // namespace

TracePoint::TracePoint(const std::string& point_id, bool success)
    : point_id(point_id), timestamp(NowMilliseconds()), success(success), index(0) {}

TracePoint::~TracePoint() = default;

FlowTrace& FlowTrace::GetInstance() {
  static FlowTrace instance;
  return instance;
}

FlowTrace::FlowTrace() : bookkeeping_(std::make_unique<Bookkeeping>()) {
  if (const RunLogSettings run_log = RunLogSettingsFromEnvironment(); !run_log.path.empty()) {
    OpenRunLog(run_log.path, run_log.max_bytes, run_log.max_files);
  }
}

FlowTrace::~FlowTrace() = default;

void FlowTrace::RegisterTraceFlow(std::shared_ptr<TraceFlowCfg> cfg) {
  if (!cfg || cfg->flow_id.empty()) {
    LOG_ERROR("Invalid flow configuration: flow_id is empty");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto existing = flow_configs_.find(cfg->flow_id);
    if (existing != flow_configs_.end()) {
      LOG_WARN("Flow with ID '{}' already registered, overwriting", cfg->flow_id);
      bookkeeping_->watches.erase(existing->second.get());
      existing->second = cfg;
    } else {
      flow_configs_.emplace(cfg->flow_id, cfg);
    }
    flow_queues_[cfg->flow_id].clear();
    StartTally(*cfg);
    bookkeeping_->RestartWatch(*cfg);
    bookkeeping_->run_log.Flow(*cfg);
  }
  LOG_INFO("Registered trace flow: flow_id={}, flow_name={}, points_count={}", cfg->flow_id,
           cfg->flow_name, cfg->flow_points.size());
}

void FlowTrace::RegisterTraceFlow(const std::string& flow_id,
                                  std::vector<std::shared_ptr<TracePointCfg>>& points,
                                  const std::string& flow_name, const std::string& description,
                                  bool check_order) {
  if (flow_id.empty()) {
    LOG_ERROR("Invalid flow_id: cannot be empty");
    return;
  }
  auto cfg = std::make_shared<TraceFlowCfg>(flow_id, flow_name, description);
  cfg->check_order = check_order;
  cfg->flow_points = std::move(points);
  points.clear();
  RegisterTraceFlow(std::move(cfg));
}

void FlowTrace::RemoveTraceFlow(const std::string& flow_id) {
  if (flow_id.empty()) {
    LOG_ERROR("Invalid flow_id: cannot be empty");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (flow_queues_.erase(flow_id) != 0) {
    LOG_INFO("Removed flow queue for flow_id: {}", flow_id);
  } else {
    LOG_WARN("Flow queue not found for flow_id: {}", flow_id);
  }
  auto config = flow_configs_.find(flow_id);
  if (config != flow_configs_.end()) {
    bookkeeping_->watches.erase(config->second.get());
    flow_configs_.erase(config);
    LOG_INFO("Removed flow configuration for flow_id: {}", flow_id);
  } else {
    LOG_WARN("Flow configuration not found for flow_id: {}", flow_id);
  }
}

void FlowTrace::RegisterFlowHandler(const std::string& flow_id, FlowHandler handler) {
  if (flow_id.empty()) {
    LOG_ERROR("Invalid flow_id: cannot be empty");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto existing = flow_handlers_.find(flow_id);
  if (existing != flow_handlers_.end()) {
    LOG_WARN("Handler for flow_id '{}' already exists, overwriting", flow_id);
    existing->second = std::move(handler);
  } else {
    flow_handlers_.emplace(flow_id, std::move(handler));
  }
  LOG_INFO("Successfully registered handler for flow_id: {}", flow_id);
}

const PointQueue& FlowTrace::GetTracePoints(const std::string& flow_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto queue = flow_queues_.find(flow_id);
  if (queue != flow_queues_.end()) {
    return queue->second;
  }
  LOG_WARN("flow_id {} not found", flow_id);
  return empty_queue_;
}

void FlowTrace::ResetFlow(const std::string& flow_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto queue = flow_queues_.find(flow_id);
  if (queue == flow_queues_.end()) {
    LOG_WARN("flow_id {} not found", flow_id);
    return;
  }
  PointQueue().swap(queue->second);  // gives back the queue's blocks, not only its entries
  auto cfg = flow_configs_.find(flow_id);
  if (cfg != flow_configs_.end()) {
    RewindRun(*cfg->second);
    bookkeeping_->RestartWatch(*cfg->second);
    bookkeeping_->run_log.Reset(flow_id);
  } else {
    LOG_WARN("flow_id {} not found in flow config", flow_id);
  }
}

void FlowTrace::ResetAllFlows() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [flow_id, queue] : flow_queues_) {
    PointQueue().swap(queue);
  }
  for (auto& [flow_id, cfg] : flow_configs_) {
    RewindRun(*cfg);
    bookkeeping_->RestartWatch(*cfg);
    bookkeeping_->run_log.Reset(flow_id);
  }
}

void FlowTrace::Trace(const std::string& flow_id, const std::shared_ptr<TracePoint>& point) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto queue = flow_queues_.find(flow_id);
  auto config = queue == flow_queues_.end() ? flow_configs_.end() : flow_configs_.find(flow_id);
  if (config == flow_configs_.end() || !point) {
    LOG_WARN("flow_id {} not found", flow_id);
    return;
  }
  PointQueue& record = queue->second;
  point->index = static_cast<uint32_t>(record.size());
  record.push_back(point);
  TraceFlowCfg& flow = *config->second;
  if (!flow.check_order) {
    bookkeeping_->NoteArrival(flow, record);
  }
  checkFlow(flow_id, record, flow);
  if (flow.max_record != 0) {
    bookkeeping_->BoundRecord(flow, record);
  }
  // Once the point has its place in the run, which a bounded record counts on from its size.
  bookkeeping_->run_log.Point(flow_id, *point);
}

// The point is stamped before the lock is taken: its time is that of the call, however long
// another thread holds the registry.
void FlowTrace::Trace(const std::string& flow_id, const std::string& point_id, bool success) {
  Trace(flow_id, std::make_shared<TracePoint>(point_id, success));
}

uint64_t FlowTrace::GetFlowDuration(const std::string& flow_id) {
  if (flow_id.empty()) {
    LOG_ERROR("Invalid flow_id: cannot be empty");
    return 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto queue = flow_queues_.find(flow_id);
  if (queue == flow_queues_.end()) {
    LOG_WARN("Flow with ID '{}' not found", flow_id);
    return 0;
  }
  const PointQueue& record = queue->second;
  if (record.empty()) {
    LOG_DEBUG("Flow '{}' has no trace points", flow_id);
    return 0;
  }
  const int64_t start = record.front()->timestamp;
  const int64_t end = record.back()->timestamp;
  const uint64_t duration = start < end ? static_cast<uint64_t>(end - start) : 0;
  LOG_INFO("Flow '{}' duration: {} ms (start: {}, end: {})", flow_id, duration, start, end);
  return duration;
}

}  // namespace valtrix::trace
