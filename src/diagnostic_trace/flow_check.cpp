#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bookkeeping.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

namespace {

constexpr char kSucceedDetail[] = "Succeed";
constexpr char kMissingPointPrefix[] = "Missing Point: ";
constexpr char kStepSeparator[] = " -> ";

using DiagnosticEvent = valtrix_protocol::msg::DiagnosticEvent;

// The configured points of a flow as the check sees them. An empty entry in `flow_points`
// names no point, so it is left out rather than dereferenced.
class ConfiguredPoints {
 public:
  explicit ConfiguredPoints(const std::vector<std::shared_ptr<TracePointCfg>>& points) {
    entries_.reserve(points.size());
    for (const auto& point : points) {
      if (point) {
        entries_.push_back(&point);
      }
    }
  }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const TracePointCfg& operator[](size_t c) const { return **entries_[c]; }
  /// The pointer held by the configuration, for `FlowCheckResult::desired_point`.
  const std::shared_ptr<TracePointCfg>& Shared(size_t c) const { return *entries_[c]; }
  const TracePointCfg& back() const { return **entries_.back(); }

 private:
  std::vector<const std::shared_ptr<TracePointCfg>*> entries_;
};

// " -> " stands before every step but the first, whatever the steps' texts are.
void AppendSeparator(std::string& text, size_t position) {
  if (position != 0) {
    text += kStepSeparator;
  }
}

// "<a> -> [b] -> <c>": critical points in angle brackets, optional ones in square brackets.
std::string ConfiguredSequence(const ConfiguredPoints& points) {
  std::string text;
  for (size_t c = 0; c < points.size(); ++c) {
    const TracePointCfg& point = points[c];
    AppendSeparator(text, c);
    text += point.is_critical ? '<' : '[';
    text += point.point_id;
    text += point.is_critical ? '>' : ']';
  }
  return text;
}

// The recorded entries not matched yet. A look-up of an id yields the newest entry left with
// it: per id the pool keeps the position of that entry, and per entry the position of the next
// older one with the same id. The keys view the record's own ids, which stay in place while the
// registry lock is held. The map's nodes come from one arena that goes with the pool, so a long
// record costs no allocation per entry. Positions fit in 32 bits, as `TracePoint::index` does.
class Pool {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  explicit Pool(const PointQueue& record)
      : newest_(&arena_), older_(record.size(), kNone), taken_(record.size(), false),
        left_(record.size()) {
    newest_.reserve(record.size());
    for (size_t p = 0; p < record.size(); ++p) {
      const auto position = static_cast<uint32_t>(p);
      auto [slot, inserted] = newest_.try_emplace(record[p]->point_id, position);
      if (!inserted) {
        older_[p] = slot->second;
        slot->second = position;
      }
    }
  }

  /// The slot of `id`, holding the position of its newest entry left (kNone once all are
  /// taken); nullptr for an id the record does not hold.
  uint32_t* Find(std::string_view id) {
    auto slot = newest_.find(id);
    return slot == newest_.end() ? nullptr : &slot->second;
  }

  /// Removes the newest entry of a slot that still holds one.
  void TakeNewest(uint32_t& slot) {
    taken_[slot] = true;
    slot = older_[slot];
    --left_;
  }

  size_t Left() const { return left_; }
  bool IsLeft(size_t p) const { return !taken_[p]; }

 private:
  std::pmr::monotonic_buffer_resource arena_;
  std::pmr::unordered_map<std::string_view, uint32_t> newest_;
  std::vector<uint32_t> older_;
  std::vector<bool> taken_;
  size_t left_;
};

struct PresenceFinding {
  enum class Kind { kAllPresent, kCriticalMissing, kFailed };
  Kind kind = Kind::kAllPresent;
  size_t c = 0;  ///< configured point concerned
  size_t p = 0;  ///< recorded entry concerned (kFailed only)
};

// Matches every configured point with the newest entry left in the pool that carries its id.
// Stops at the first critical point never recorded or the first matched entry that failed;
// matched successful entries leave the pool.
PresenceFinding CheckPresence(const PointQueue& record, const ConfiguredPoints& points,
                              Pool& pool) {
  for (size_t c = 0; c < points.size(); ++c) {
    const TracePointCfg& expected = points[c];
    uint32_t* slot = pool.Find(expected.point_id);
    if (slot == nullptr || *slot == Pool::kNone) {
      if (expected.is_critical) {
        return {PresenceFinding::Kind::kCriticalMissing, c, 0};
      }
      continue;
    }
    if (!record[*slot]->success) {
      return {PresenceFinding::Kind::kFailed, c, *slot};
    }
    pool.TakeNewest(*slot);
  }
  return {};
}

// A matched point with a repetition requirement stands for as many entries as the progressive
// check counted for it this run (possibly none, so the same entry is then compared with the
// next configured point).
size_t EntriesPerMatch(const TracePointCfg& point) {
  return point.repeat_cnt != 0 ? point.hit_cnt : 1;
}

struct OrderMismatch {
  size_t c;  ///< critical configured point that was expected
  size_t p;  ///< recorded entry found in its place
};

// Walks the configuration and the record side by side; a match moves on in the record by as
// many entries as the configured point stands for.
std::optional<OrderMismatch> FindOrderMismatch(const PointQueue& record,
                                               const ConfiguredPoints& points) {
  size_t p = 0;
  for (size_t c = 0; c < points.size() && p < record.size(); ++c) {
    const TracePointCfg& expected = points[c];
    if (record[p]->point_id == expected.point_id) {
      p += EntriesPerMatch(expected);
    } else if (expected.is_critical) {
      return OrderMismatch{c, p};
    }
  }
  return std::nullopt;
}

enum class OrderRule {
  kMissing,     ///< A: the entry is the next configured point, so the expected one was skipped
  kDuplicated,  ///< B: the entry repeats its predecessor
  kInvalid,     ///< C: an extra entry stands before the expected one
  kOrderError,  ///< D: anything else
};

OrderRule WhichOrderRule(const PointQueue& record, const ConfiguredPoints& points,
                         const OrderMismatch& mismatch) {
  const auto [c, p] = mismatch;
  const std::string& found = record[p]->point_id;
  if (c + 1 < points.size() && found == points[c + 1].point_id) {
    return OrderRule::kMissing;
  }
  if (p > 0 && record[p - 1]->point_id == found) {
    return OrderRule::kDuplicated;
  }
  if (p + 1 < record.size() && record[p + 1]->point_id == points[c].point_id) {
    return OrderRule::kInvalid;
  }
  return OrderRule::kOrderError;
}

void FillEvent(DiagnosticEvent& event, const std::string& source_id, uint32_t event_code,
               int outcome, std::string detail) {
  event.source_id = source_id;
  event.event_code = static_cast<decltype(event.event_code)>(event_code);
  event.outcome = static_cast<decltype(event.outcome)>(outcome);
  event.detail = std::move(detail);
}

void NoteVerdict(FlowHealth* health, FlowCheckStatus status) {
  if (health == nullptr) {
    return;
  }
  health->last_verdict = status;
  if (status != FlowCheckStatus::SUCCESS && !health->failed_verdict) {
    health->failed_verdict = status;
  }
}

// The verdict is complete: it counts for the run's health, then goes to the flow's handler.
void Conclude(FlowHealth* health, const std::unordered_map<std::string, FlowHandler>& handlers,
              const std::string& flow_id, const std::shared_ptr<FlowCheckResult>& result) {
  NoteVerdict(health, result->status);
  auto handler = handlers.find(flow_id);
  if (handler != handlers.end() && handler->second) {
    handler->second(flow_id, result);
  }
}

bool InfoEnabled() { return Logger::Instance().level <= spdlog::level::info; }

}  // namespace

// Log calls stay in this function so that every line carries its name; the helpers above only
// decide.
std::shared_ptr<FlowCheckResult> FlowTrace::CheckFlow(const std::string& flow_id) {
  LOG_INFO("Check flow: {}", flow_id);
  auto result = std::make_shared<FlowCheckResult>();
  DiagnosticEvent event;

  std::lock_guard<std::mutex> lock(mutex_);
  auto queue = flow_queues_.find(flow_id);
  auto config = flow_configs_.find(flow_id);
  if (queue == flow_queues_.end() || config == flow_configs_.end()) {
    LOG_WARN("Flow with ID '{}' not found", flow_id);
    result->status = FlowCheckStatus::INVALID_FLOW;
    return result;
  }
  const PointQueue& record = queue->second;
  const TraceFlowCfg& flow = *config->second;
  const ConfiguredPoints points(flow.flow_points);
  // An empty record is a run that has not started, with nothing to judge; any other verdict
  // counts for the run's health.
  auto watch = bookkeeping_->watches.find(flow_id);
  FlowHealth* health =
      record.empty() || watch == bookkeeping_->watches.end() ? nullptr : &watch->second.health;
  if (record.empty() || points.empty()) {
    LOG_WARN("Flow with ID '{}' is empty", flow_id);
    result->status = FlowCheckStatus::INVALID_FLOW;
    NoteVerdict(health, result->status);
    return result;
  }

  // Both sequences are only logged; skip building them when INFO lines are dropped anyway.
  if (InfoEnabled()) {
    std::string recorded;
    for (size_t p = 0; p < record.size(); ++p) {
      const TracePoint& entry = *record[p];
      AppendSeparator(recorded, p);
      recorded += entry.point_id;
      for (const auto& [key, value] : entry.metadata) {
        LOG_INFO("Flow '{}' has trace point '{}' metadata '{}' = '{}'", flow_id, entry.point_id,
                 key, value);
      }
    }
    LOG_INFO("Flow '{}' trace points: {}", flow_id, recorded);
    LOG_INFO("Flow '{}' trace point configs: {}", flow_id, ConfiguredSequence(points));
  }

  Pool pool(record);
  const PresenceFinding presence = CheckPresence(record, points, pool);
  if (presence.kind == PresenceFinding::Kind::kCriticalMissing) {
    const std::shared_ptr<TracePointCfg>& missing = points.Shared(presence.c);
    LOG_ERROR("Critical point '{}' not executed in flow '{}'", missing->point_id, flow_id);
    result->status = FlowCheckStatus::MISSING_POINT;
    result->desired_point = missing;
    Conclude(health, flow_handlers_, flow_id, result);
    if (!flow.check_order && flow.publisher) {
      FillEvent(event, missing->point_id, missing->event_id, 1,
                kMissingPointPrefix + missing->point_id);
      LOG_INFO("ROS2 topic pub: '{}'", event.detail);
      flow.publisher->publish(event);
    }
    return result;
  }
  if (presence.kind == PresenceFinding::Kind::kFailed) {
    LOG_ERROR("Point '{}' failed in flow '{}'", points[presence.c].point_id, flow_id);
    result->status = FlowCheckStatus::FAILED;
    result->failure_point = record[presence.p];
    result->desired_point = points.Shared(presence.c);
    Conclude(health, flow_handlers_, flow_id, result);
    return result;
  }

  if (pool.Left() != 0) {
    LOG_ERROR("Some points not in flow '{}' executed: ", flow_id);
    for (size_t p = 0; p < record.size(); ++p) {
      if (pool.IsLeft(p)) {
        LOG_WARN("Point '{}' not in flow config", record[p]->point_id);
      }
    }
  } else {
    LOG_INFO("All points executed in flow '{}'", flow_id);
  }

  if (flow.check_order) {
    if (const auto mismatch = FindOrderMismatch(record, points)) {
      const std::shared_ptr<TracePoint>& found = record[mismatch->p];
      const std::shared_ptr<TracePointCfg>& expected = points.Shared(mismatch->c);
      switch (WhichOrderRule(record, points, *mismatch)) {
        case OrderRule::kMissing:
          LOG_ERROR("Flow '{}' trace point '{}' missing", flow_id, expected->point_id);
          result->status = FlowCheckStatus::MISSING_POINT;
          break;
        case OrderRule::kDuplicated:
          LOG_ERROR("Flow '{}' trace point '{}' duplicated", flow_id, found->point_id);
          result->status = FlowCheckStatus::DUPLICATED_POINT;
          result->failure_point = found;
          break;
        case OrderRule::kInvalid:
          LOG_ERROR("Flow '{}' trace point '{}' invalid", flow_id, found->point_id);
          result->status = FlowCheckStatus::INVALID_POINT;
          result->failure_point = found;
          break;
        case OrderRule::kOrderError:
          LOG_ERROR("Flow '{}' trace point '{}' order error", flow_id, found->point_id);
          result->status = FlowCheckStatus::INVALID_ORDER;
          result->failure_point = found;
          break;
      }
      result->desired_point = expected;
      LOG_ERROR("Flow '{}' trace point '{}' not match config '{}'", flow_id, found->point_id,
                expected->point_id);
      Conclude(health, flow_handlers_, flow_id, result);
      return result;
    }
  }

  LOG_INFO("Flow '{}' check passed", flow_id);
  Conclude(health, flow_handlers_, flow_id, result);
  if (flow.publisher) {
    const uint32_t event_code = flow.event_id != 0 ? flow.event_id : points.back().event_id;
    FillEvent(event, flow_id, event_code, 0, kSucceedDetail);
    LOG_INFO("ROS2 topic pub: '{}'", event.detail);
    flow.publisher->publish(event);
  }
  return result;
}

}  // namespace valtrix::trace
