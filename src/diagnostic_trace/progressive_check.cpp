#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include <rclcpp/time.hpp>

#include "bookkeeping.hpp"
#include "events.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"
#include "wall_clock.hpp"

namespace valtrix::trace {

namespace {

// What the check reports of a point (of the flow, on completion).
enum class Report {
  kStepOk,           ///< a configured point, traced with success
  kStepFailed,       ///< a configured point, traced as failed
  kLate,             ///< later than its limit after the previous entry
  kComplete,         ///< the flow passed its last point
  kPointMissing,     ///< a critical point was skipped
  kOptionalMissing,  ///< an optional point was skipped; no event, only a warning
  kDuplicated,       ///< the point just passed came again right after itself
  kUndefined,        ///< any other point
};

// A report as its event (or, for a missing optional point, its warning) words it.
std::string Wording(Report report, const std::string& id) {
  switch (report) {
    case Report::kStepOk:
      return "Status OK: " + id;
    case Report::kStepFailed:
      return "Status Failed: " + id;
    case Report::kLate:
      return id + "Timeout";
    case Report::kComplete:
      return "Status OK, work flow complete: " + id;
    case Report::kPointMissing:
      return "Status Failed, point missing: " + id;
    case Report::kOptionalMissing:
      return "optional point missing: '" + id + "'";
    case Report::kDuplicated:
      return "Status Failed, point duplicated: " + id;
    case Report::kUndefined:
      break;
  }
  return "Status Failed, undefined point: " + id;
}

int32_t OutcomeOf(Report report) {
  return report == Report::kStepOk || report == Report::kComplete ? kOutcomeOk : kOutcomeFailed;
}

// A report of the check; `id` points into the configuration or the record, both of which
// outlive the call.
struct Said {
  Report report;
  const std::string* id;
};

// One event the check wants published.
struct Publication {
  uint32_t event_code;
  Said said;
};

// Everything one check decided, in the order it is to be logged and published: the step
// duration first, then the warning of a missing optional point, then the events. A check
// publishes at most one event of each kind, so each kind has its own slot and none can be filled
// twice over. The findings, for the flow's health, are reports of faults whatever the
// configuration publishes of them, in the order they happened: a late arrival before whatever
// the point itself amounts to.
struct Verdict {
  /// The position in `flow_points` of the configured point the new entry is counted for, if any.
  std::optional<size_t> matched;
  std::optional<uint64_t> step_duration;
  std::optional<Publication> timeout;     ///< the step took longer than its limit
  std::optional<Publication> status;      ///< what the new point itself amounts to
  std::optional<Publication> completion;  ///< the flow has passed its last point
  std::optional<Said> late;               ///< the step took longer than its limit
  std::optional<Said> fault;              ///< the point failed, or is not the one expected
};

Publication Publish(uint32_t event_code, Report report, const std::string& id) {
  return Publication{event_code, Said{report, &id}};
}

// The four ways an ordered flow can take a new point, tried in this order.
enum class OrderedCase {
  kInOrder,    // A: the point expected next
  kSkipped,    // B: the point after the expected one
  kRepeated,   // C: the point just passed, right after itself
  kUndefined,  // D: anything else
};

const TracePointCfg* PointAt(const TraceFlowCfg& flow, uint64_t position) {
  return position < flow.flow_points.size() ? flow.flow_points[position].get() : nullptr;
}

bool Matches(const TracePointCfg* configured, const TracePoint& point) {
  return configured != nullptr && configured->point_id == point.point_id;
}

OrderedCase ClassifyOrdered(const PointQueue& record, const TraceFlowCfg& flow) {
  const TracePoint& point = *record.back();
  const uint64_t expected = flow.next_index;
  if (Matches(PointAt(flow, expected), point)) {
    return OrderedCase::kInOrder;
  }
  if (PointAt(flow, expected) != nullptr && Matches(PointAt(flow, expected + 1), point)) {
    return OrderedCase::kSkipped;
  }
  if (record.size() >= 2 && expected > 0 && Matches(PointAt(flow, expected - 1), point) &&
      record[record.size() - 2]->point_id == point.point_id) {
    return OrderedCase::kRepeated;
  }
  return OrderedCase::kUndefined;
}

// Milliseconds from the previous entry to the newest; a newer entry stamped earlier (built out
// of order, clock stepped back) took no time rather than a wrapped-around eternity.
uint64_t StepDuration(const PointQueue& record) {
  const int64_t previous = record[record.size() - 2]->timestamp;
  const int64_t current = record.back()->timestamp;
  return previous < current ? static_cast<uint64_t>(current - previous) : 0;
}

void StepStatus(const TracePointCfg& configured, bool success, Verdict& verdict) {
  if (!success) {
    verdict.fault = Said{Report::kStepFailed, &configured.point_id};
  }
  if (configured.event_id == 0) {
    return;
  }
  if (success && configured.on_success) {
    verdict.status = Publish(configured.event_id, Report::kStepOk, configured.point_id);
  } else if (!success && configured.on_failure) {
    verdict.status = Publish(configured.event_id, Report::kStepFailed, configured.point_id);
  }
}

// Counts one more occurrence unless that would exceed `repeat_max`; true once enough were seen.
bool CountRepetition(TracePointCfg& configured) {
  const bool capped = configured.repeat_max != 0 && configured.hit_cnt >= configured.repeat_max;
  if (!capped && configured.hit_cnt != std::numeric_limits<uint32_t>::max()) {
    ++configured.hit_cnt;
  }
  return configured.hit_cnt >= configured.repeat_cnt;
}

Verdict JudgeInOrder(const PointQueue& record, TraceFlowCfg& flow) {
  Verdict verdict;
  const uint32_t position = flow.next_index;
  verdict.matched = position;
  TracePointCfg& expected = *flow.flow_points[position];
  const TracePoint& point = *record.back();

  bool passed = true;
  if (expected.repeat_cnt != 0) {
    if (record.size() >= 2 && expected.timeout_ms != 0) {
      const uint64_t duration = StepDuration(record);
      verdict.step_duration = duration;
      if (duration > expected.timeout_ms) {
        verdict.late = Said{Report::kLate, &expected.point_id};
        if (expected.event_id != 0 && expected.on_timeout) {
          verdict.timeout = Publish(expected.event_id, Report::kLate, expected.point_id);
        }
      }
    }
    passed = CountRepetition(expected);
  }
  if (passed) {
    flow.next_index = position + 1;
  }

  StepStatus(expected, point.success, verdict);

  if (flow.next_index == flow.flow_points.size()) {
    const uint32_t event_id = flow.event_id != 0 ? flow.event_id : expected.event_id;
    if (event_id != 0) {
      verdict.completion = Publish(event_id, Report::kComplete, flow.flow_id);
    }
  }
  return verdict;
}

Verdict JudgeSkipped(TraceFlowCfg& flow) {
  Verdict verdict;
  const TracePointCfg& skipped = *flow.flow_points[flow.next_index];
  verdict.matched = flow.next_index + 1;
  flow.next_index += 2;
  if (!skipped.is_critical) {
    verdict.fault = Said{Report::kOptionalMissing, &skipped.point_id};
  } else {
    verdict.status = Publish(skipped.event_id, Report::kPointMissing, skipped.point_id);
    verdict.fault = Said{Report::kPointMissing, &skipped.point_id};
  }
  return verdict;
}

Verdict JudgeRepeated(const TraceFlowCfg& flow) {
  Verdict verdict;
  const TracePointCfg& passed = *flow.flow_points[flow.next_index - 1];
  verdict.matched = flow.next_index - 1;
  verdict.status = Publish(passed.event_id, Report::kDuplicated, passed.point_id);
  verdict.fault = Said{Report::kDuplicated, &passed.point_id};
  return verdict;
}

// The first configured point with the entry's id.
std::optional<size_t> FindConfigured(const TraceFlowCfg& flow, const TracePoint& point) {
  for (size_t k = 0; k < flow.flow_points.size(); ++k) {
    if (Matches(flow.flow_points[k].get(), point)) {
      return k;
    }
  }
  return std::nullopt;
}

// Reported with the event id of the point expected next; once the flow is complete (or has no
// points) there is none, and the flow's own event id stands in. A configured point out of its
// place still counts for its statistics.
Verdict JudgeUndefined(const TraceFlowCfg& flow, const TracePoint& point) {
  Verdict verdict;
  verdict.matched = FindConfigured(flow, point);
  const TracePointCfg* expected = PointAt(flow, flow.next_index);
  const uint32_t event_id = expected != nullptr ? expected->event_id : flow.event_id;
  verdict.status = Publish(event_id, Report::kUndefined, point.point_id);
  verdict.fault = Said{Report::kUndefined, &point.point_id};
  return verdict;
}

Verdict JudgeOrdered(const PointQueue& record, TraceFlowCfg& flow) {
  switch (ClassifyOrdered(record, flow)) {
    case OrderedCase::kInOrder:
      return JudgeInOrder(record, flow);
    case OrderedCase::kSkipped:
      return JudgeSkipped(flow);
    case OrderedCase::kRepeated:
      return JudgeRepeated(flow);
    case OrderedCase::kUndefined:
      break;
  }
  return JudgeUndefined(flow, *record.back());
}

Verdict JudgeUnordered(const TraceFlowCfg& flow, const TracePoint& point) {
  Verdict verdict;
  verdict.matched = FindConfigured(flow, point);
  if (verdict.matched) {
    StepStatus(*flow.flow_points[*verdict.matched], point.success, verdict);
    return verdict;
  }
  verdict.status = Publish(flow.event_id, Report::kUndefined, point.point_id);
  verdict.fault = Said{Report::kUndefined, &point.point_id};
  return verdict;
}

// The worst finding counts for the run, and the first one names it. Being late and skipping an
// optional point are warnings; every other fault is an error.
void NoteFinding(const Said& finding, FlowHealth& health) {
  const bool warning =
      finding.report == Report::kLate || finding.report == Report::kOptionalMissing;
  const auto severity = warning ? FlowHealth::Findings::kWarning : FlowHealth::Findings::kError;
  if (health.findings < severity) {
    health.findings = severity;
  }
  if (health.first_finding.empty()) {
    health.first_finding = Wording(finding.report, *finding.id);
  }
}

}  // namespace

void FlowTrace::checkFlow(const std::string& flow_id, const PointQueue& record,
                          TraceFlowCfg& flow) {
  const Verdict verdict =
      flow.check_order ? JudgeOrdered(record, flow) : JudgeUnordered(flow, *record.back());

  if (verdict.matched && flow.tally && bookkeeping_->statistics) {
    CountArrival(*flow.tally, flow, record, *verdict.matched);
  }
  // Looked up only when there is something to note: a run that goes as configured costs nothing.
  if (verdict.late || verdict.fault) {
    const auto watch = bookkeeping_->watches.find(&flow);
    for (const auto* finding : {&verdict.late, &verdict.fault}) {
      if (*finding && watch != bookkeeping_->watches.end()) {
        NoteFinding(**finding, watch->second.health);
      }
    }
  }

  if (verdict.step_duration) {
    LOG_INFO("duration: '{}'", *verdict.step_duration);
  }
  if (verdict.fault && verdict.fault->report == Report::kOptionalMissing) {
    LOG_WARN("optional point missing: '{}'", *verdict.fault->id);
  }
  if (!flow.publisher || !(verdict.timeout || verdict.status || verdict.completion)) {
    return;
  }
  const builtin_interfaces::msg::Time now = rclcpp::Time(NowNanoseconds(), RCL_SYSTEM_TIME);
  for (const auto* slot : {&verdict.timeout, &verdict.status, &verdict.completion}) {
    if (*slot) {
      const Said& said = (*slot)->said;
      const auto event = MakeEvent(now, flow_id, (*slot)->event_code, OutcomeOf(said.report),
                                   Wording(said.report, *said.id));
      flow.publisher->publish(event);
      LOG_INFO("ROS2 topic pub: '{}'", event.detail);
    }
  }
}

}  // namespace valtrix::trace
