#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bookkeeping.hpp"
#include "events.hpp"
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
  const TracePointCfg& operator[](size_t c) const { return **entries_[c]; }
  /// The pointer held by the configuration, for `FlowCheckResult::desired_point`.
  const std::shared_ptr<TracePointCfg>& Shared(size_t c) const { return *entries_[c]; }

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

// What decides the verdict, in the order the check looks for it.
enum class Finding {
  kNone,             ///< both passes found nothing
  kCriticalMissing,  ///< presence: a critical point was never recorded
  kFailed,           ///< presence: the newest entry of a configured point failed
  kSkipped,          ///< order, rule A: the entry is the next configured point
  kDuplicated,       ///< order, rule B: the entry repeats its predecessor
  kInvalid,          ///< order, rule C: an extra entry stands before the expected one
  kOrderError,       ///< order, rule D: anything else
};

FlowCheckStatus StatusOf(Finding finding) {
  // By finding, in the order of the enumeration.
  constexpr FlowCheckStatus kStatuses[] = {
      FlowCheckStatus::SUCCESS,          FlowCheckStatus::MISSING_POINT,
      FlowCheckStatus::FAILED,           FlowCheckStatus::MISSING_POINT,
      FlowCheckStatus::DUPLICATED_POINT, FlowCheckStatus::INVALID_POINT,
      FlowCheckStatus::INVALID_ORDER};
  return kStatuses[static_cast<size_t>(finding)];
}

// What the check found in a record: the finding that decides the verdict, with the configured
// point it is about and the recorded entry in that point's place (none for a point never
// recorded), and the entries that no configured point took.
struct Judgement {
  Finding finding = Finding::kNone;
  std::shared_ptr<TracePointCfg> desired_point;
  std::shared_ptr<TracePoint> found;
  /// Per recorded entry, whether it is left over, and how many are; judged only when the
  /// presence pass finds nothing.
  std::vector<bool> leftover;
  size_t leftover_count = 0;
};

// Matches every configured point with the newest entry left that carries its id. Stops at the
// first critical point never recorded or the first matched entry that failed.
//
// The pool of entries is keyed by the configured ids only: an entry of any other id can never be
// taken, so it needs no place in it. Per id it holds the position of the newest entry left, per
// entry the position of the next older one with the same id. The keys view the configuration's
// own ids, which stay in place while the registry lock is held. Positions fit in 32 bits, as
// `TracePoint::index` does.
Judgement JudgePresence(const PointQueue& record, const ConfiguredPoints& points) {
  constexpr uint32_t kNone = UINT32_MAX;
  std::unordered_map<std::string_view, uint32_t> newest;
  std::vector<uint32_t*> newest_of;  // per configured point, the slot of its id in `newest`
  newest.reserve(points.size());
  newest_of.reserve(points.size());
  for (size_t c = 0; c < points.size(); ++c) {
    newest_of.push_back(&newest.try_emplace(points[c].point_id, kNone).first->second);
  }
  // An entry that stands where its point is configured, as in a run that went as configured,
  // needs no look-up.
  std::vector<uint32_t> older(record.size(), kNone);
  for (size_t p = 0; p < record.size(); ++p) {
    const std::string& id = record[p]->point_id;
    uint32_t* slot = p < points.size() && id == points[p].point_id ? newest_of[p] : nullptr;
    if (slot == nullptr) {
      const auto found = newest.find(id);
      slot = found != newest.end() ? &found->second : nullptr;
    }
    if (slot != nullptr) {
      older[p] = std::exchange(*slot, static_cast<uint32_t>(p));
    }
  }

  Judgement judgement{Finding::kNone, nullptr, nullptr, std::vector<bool>(record.size(), true),
                      record.size()};
  for (size_t c = 0; c < points.size(); ++c) {
    uint32_t& taken = *newest_of[c];
    if (taken == kNone) {
      if (points[c].is_critical) {
        return {Finding::kCriticalMissing, points.Shared(c), nullptr, {}, 0};
      }
      continue;
    }
    if (!record[taken]->success) {
      return {Finding::kFailed, points.Shared(c), record[taken], {}, 0};
    }
    judgement.leftover[taken] = false;
    --judgement.leftover_count;
    taken = older[taken];
  }
  return judgement;
}

struct OrderMismatch {
  size_t c;  ///< critical configured point that was expected
  size_t p;  ///< recorded entry found in its place
};

// Walks the configuration and the record side by side. A match moves on in the record by one
// entry, or, for a point with a repetition requirement, by as many as the progressive check
// counted for it this run (possibly none: the same entry is then compared with the next point).
std::optional<OrderMismatch> FindOrderMismatch(const PointQueue& record,
                                               const ConfiguredPoints& points) {
  size_t p = 0;
  for (size_t c = 0; c < points.size() && p < record.size(); ++c) {
    const TracePointCfg& expected = points[c];
    if (record[p]->point_id == expected.point_id) {
      p += expected.repeat_cnt != 0 ? expected.hit_cnt : 1;
    } else if (expected.is_critical) {
      return OrderMismatch{c, p};
    }
  }
  return std::nullopt;
}

Finding WhichOrderRule(const PointQueue& record, const ConfiguredPoints& points,
                       const OrderMismatch& mismatch) {
  const auto [c, p] = mismatch;
  const std::string& found = record[p]->point_id;
  if (c + 1 < points.size() && found == points[c + 1].point_id) {
    return Finding::kSkipped;
  }
  if (p > 0 && record[p - 1]->point_id == found) {
    return Finding::kDuplicated;
  }
  if (p + 1 < record.size() && record[p + 1]->point_id == points[c].point_id) {
    return Finding::kInvalid;
  }
  return Finding::kOrderError;
}

// The presence pass and, for an ordered flow in which it found nothing, the order pass.
Judgement JudgeFlow(const PointQueue& record, const TraceFlowCfg& flow,
                    const ConfiguredPoints& points) {
  Judgement judgement = JudgePresence(record, points);
  if (judgement.finding != Finding::kNone || !flow.check_order) {
    return judgement;
  }
  if (const auto mismatch = FindOrderMismatch(record, points)) {
    judgement.finding = WhichOrderRule(record, points, *mismatch);
    judgement.desired_point = points.Shared(mismatch->c);
    judgement.found = record[mismatch->p];
  }
  return judgement;
}

// The one event a verdict publishes, if any; CheckFlow's events carry no stamp.
std::optional<DiagnosticEvent> EventOf(const Judgement& judgement, const std::string& flow_id,
                                       const TraceFlowCfg& flow, const ConfiguredPoints& points) {
  if (!flow.publisher) {
    return std::nullopt;
  }
  const builtin_interfaces::msg::Time zero;
  if (judgement.finding == Finding::kCriticalMissing && !flow.check_order) {
    const TracePointCfg& missing = *judgement.desired_point;
    return MakeEvent(zero, missing.point_id, missing.event_id, kOutcomeFailed,
                     kMissingPointPrefix + missing.point_id);
  }
  if (judgement.finding == Finding::kNone) {
    const uint32_t last = points[points.size() - 1].event_id;
    const uint32_t event_code = flow.event_id != 0 ? flow.event_id : last;
    return MakeEvent(zero, flow_id, event_code, kOutcomeOk, kSucceedDetail);
  }
  return std::nullopt;
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

bool WarnEnabled() { return Logger::Instance().level <= spdlog::level::warn; }

}  // namespace

// Judges first, then acts: the log calls stay in this function so that every line carries its
// name; the handler is called after them, and the event, if any, published last.
std::shared_ptr<FlowCheckResult> FlowTrace::CheckFlow(const std::string& flow_id) {
  LOG_INFO("Check flow: {}", flow_id);
  auto result = std::make_shared<FlowCheckResult>();

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
  auto watch = bookkeeping_->watches.find(&flow);
  FlowHealth* health =
      record.empty() || watch == bookkeeping_->watches.end() ? nullptr : &watch->second.health;
  if (record.empty() || points.size() == 0) {
    LOG_WARN("Flow with ID '{}' is empty", flow_id);
    result->status = FlowCheckStatus::INVALID_FLOW;
    NoteVerdict(health, result->status);
    bookkeeping_->TallyRun(flow, record, result->status);
    bookkeeping_->run_log.Verdict(flow_id, *result, record);
    return result;
  }

  // Both sequences are only logged; skip building them when INFO lines are dropped anyway.
  if (Logger::Instance().level <= spdlog::level::info) {
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

  const Judgement judgement = JudgeFlow(record, flow, points);
  const std::string_view expected =
      judgement.desired_point ? judgement.desired_point->point_id : std::string_view();
  const std::string_view found = judgement.found ? judgement.found->point_id : std::string_view();
  if (judgement.finding == Finding::kCriticalMissing) {
    LOG_ERROR("Critical point '{}' not executed in flow '{}'", expected, flow_id);
  } else if (judgement.finding == Finding::kFailed) {
    LOG_ERROR("Point '{}' failed in flow '{}'", expected, flow_id);
  } else {
    if (judgement.leftover_count != 0) {
      LOG_ERROR("Some points not in flow '{}' executed: ", flow_id);
      // A long record leaves many entries; walk them only when their warnings are not dropped.
      for (size_t p = 0; p < record.size() && WarnEnabled(); ++p) {
        if (judgement.leftover[p]) {
          LOG_WARN("Point '{}' not in flow config", record[p]->point_id);
        }
      }
    } else {
      LOG_INFO("All points executed in flow '{}'", flow_id);
    }
    switch (judgement.finding) {
      case Finding::kSkipped:
        LOG_ERROR("Flow '{}' trace point '{}' missing", flow_id, expected);
        break;
      case Finding::kDuplicated:
        LOG_ERROR("Flow '{}' trace point '{}' duplicated", flow_id, found);
        break;
      case Finding::kInvalid:
        LOG_ERROR("Flow '{}' trace point '{}' invalid", flow_id, found);
        break;
      case Finding::kOrderError:
        LOG_ERROR("Flow '{}' trace point '{}' order error", flow_id, found);
        break;
      default:
        LOG_INFO("Flow '{}' check passed", flow_id);
        break;
    }
    if (judgement.finding != Finding::kNone) {
      LOG_ERROR("Flow '{}' trace point '{}' not match config '{}'", flow_id, found, expected);
    }
  }

  result->status = StatusOf(judgement.finding);
  // A point missing from its place (rule A) blames no entry.
  result->failure_point = judgement.finding == Finding::kSkipped ? nullptr : judgement.found;
  result->desired_point = judgement.desired_point;
  NoteVerdict(health, result->status);
  bookkeeping_->TallyRun(flow, record, result->status);
  bookkeeping_->run_log.Verdict(flow_id, *result, record);
  auto handler = flow_handlers_.find(flow_id);
  if (handler != flow_handlers_.end() && handler->second) {
    handler->second(flow_id, result);
  }
  if (const auto event = EventOf(judgement, flow_id, flow, points)) {
    LOG_INFO("ROS2 topic pub: '{}'", event->detail);
    flow.publisher->publish(*event);
  }
  return result;
}

}  // namespace valtrix::trace
