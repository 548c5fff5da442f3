#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <rclcpp/time.hpp>

#include "bookkeeping.hpp"
#include "events.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"
#include "wall_clock.hpp"

namespace valtrix::trace {

namespace {

constexpr std::string_view kPointOverdue = "Status Failed, point overdue: ";
constexpr int64_t kNanosecondsPerMillisecond = 1000000;

using Wait = FlowWatch::Wait;

// A point found overdue, to be reported once the scan is over. The pointers lead into the
// registry, which cannot change while the lock is held.
struct OverdueReport {
  const std::string* flow_id;
  const TraceFlowCfg* flow;
  const TracePointCfg* point;
  uint64_t elapsed_ms;
  uint64_t limit_ms;
};

bool HasMinimumFrequency(const TracePointCfg* point) {
  return point != nullptr && std::isfinite(point->freq_min) && point->freq_min > 0.0F;
}

// 1000 / freq_min in whole milliseconds. Elapsed times are whole milliseconds, so exceeding the
// exact period is exceeding its integer part. The float holds the decimal the user wrote only to
// within a relative FLT_EPSILON / 2 (0.1 is stored as 0.100000001...); nudging the quotient up
// by FLT_EPSILON makes 0.1 Hz the 10000 ms it was meant to be, not 9999.
uint64_t PeriodMs(float freq_min) {
  const double period = 1000.0 / static_cast<double>(freq_min) * (1.0 + FLT_EPSILON);
  constexpr double kLongest = 9.0e18;  // longer than any wait a 64-bit millisecond clock shows
  return period < kLongest ? static_cast<uint64_t>(period) : static_cast<uint64_t>(kLongest);
}

// The milliseconds from `since` to `now`; none when the clock stepped back behind `since`.
uint64_t Elapsed(int64_t since, int64_t now) {
  return now < since ? 0 : static_cast<uint64_t>(now) - static_cast<uint64_t>(since);
}

// The milliseconds since `since` when they exceed `limit_ms`; nothing while within the limit or
// when the clock stepped back behind `since`.
std::optional<uint64_t> OverdueBy(int64_t since, int64_t now, uint64_t limit_ms) {
  const uint64_t elapsed = Elapsed(since, now);
  return elapsed > limit_ms ? std::optional<uint64_t>(elapsed) : std::nullopt;
}

// The point the ordered check expects next, when it has a time limit.
const TracePointCfg* TimedExpectedPoint(const TraceFlowCfg& flow) {
  if (flow.next_index >= flow.flow_points.size()) {
    return nullptr;  // complete
  }
  const TracePointCfg* expected = flow.flow_points[flow.next_index].get();
  return expected != nullptr && expected->timeout_ms != 0 ? expected : nullptr;
}

// When an unordered flow's point was last seen: its newest entry or, when it never came, the
// start of the run.
int64_t LastSeen(const FlowWatch::PointWatch& seen, const FlowWatch& watch,
                 const PointQueue& record) {
  return seen.newest != 0 ? seen.newest_timestamp : watch.RunStart(record);
}

// True the first time a wait is reported; remembers it in `reported`.
bool FirstReportOf(Wait wait, std::optional<Wait>& reported) {
  if (reported == wait) {
    return false;
  }
  reported = wait;
  return true;
}

// Ordered: the expected point, timed from the newest entry. A wait ends with every new entry.
void FindOverdueInOrder(const std::string& flow_id, const PointQueue& record,
                        const TraceFlowCfg& flow, FlowWatch& watch, int64_t now,
                        std::vector<OverdueReport>& found) {
  const TracePointCfg* expected = TimedExpectedPoint(flow);
  if (expected == nullptr) {
    return;
  }
  const auto elapsed = OverdueBy(record.back()->timestamp, now, expected->timeout_ms);
  if (elapsed && FirstReportOf(watch.RunLength(record), watch.reported)) {
    found.push_back({&flow_id, &flow, expected, *elapsed, expected->timeout_ms});
  }
}

// Unordered: every point with a minimum frequency, timed from its own newest entry or, when it
// never came, from the start of the run. A wait ends with the point's next entry.
void FindOverdueUnordered(const std::string& flow_id, const PointQueue& record,
                          const TraceFlowCfg& flow, FlowWatch& watch, int64_t now,
                          std::vector<OverdueReport>& found) {
  const FlowWatch::PointWatch never_seen;
  for (size_t k = 0; k < flow.flow_points.size(); ++k) {
    const TracePointCfg* point = flow.flow_points[k].get();
    if (!HasMinimumFrequency(point)) {
      continue;
    }
    const FlowWatch::PointWatch& seen = k < watch.points.size() ? watch.points[k] : never_seen;
    const uint64_t limit = PeriodMs(point->freq_min);
    const auto elapsed = OverdueBy(LastSeen(seen, watch, record), now, limit);
    if (!elapsed) {
      continue;
    }
    // Points configured after the flow was registered have no entry yet.
    if (k >= watch.points.size()) {
      watch.points.resize(flow.flow_points.size());
    }
    FlowWatch::PointWatch& entry = watch.points[k];
    if (FirstReportOf(entry.newest, entry.reported)) {
      found.push_back({&flow_id, &flow, point, *elapsed, limit});
    }
  }
}

}  // namespace

std::optional<OverduePoint> ReportedOverdue(const PointQueue& record, const TraceFlowCfg& flow,
                                            const FlowWatch& watch, int64_t now) {
  if (record.empty()) {
    return std::nullopt;
  }
  if (flow.check_order) {
    const TracePointCfg* expected = TimedExpectedPoint(flow);
    if (expected == nullptr || watch.reported != watch.RunLength(record)) {
      return std::nullopt;
    }
    return OverduePoint{expected, Elapsed(record.back()->timestamp, now), expected->timeout_ms};
  }
  for (size_t k = 0; k < flow.flow_points.size() && k < watch.points.size(); ++k) {
    const TracePointCfg* point = flow.flow_points[k].get();
    const FlowWatch::PointWatch& seen = watch.points[k];
    if (HasMinimumFrequency(point) && seen.reported == seen.newest) {
      return OverduePoint{point, Elapsed(LastSeen(seen, watch, record), now),
                          PeriodMs(point->freq_min)};
    }
  }
  return std::nullopt;
}

void FlowTrace::Bookkeeping::RestartWatch(const TraceFlowCfg& flow) {
  FlowWatch& watch = watches[&flow];
  watch.reported.reset();
  watch.points.assign(flow.flow_points.size(), FlowWatch::PointWatch{});
  watch.health = FlowHealth{};
  watch.dropped = 0;
}

// Keeps the newest entry of each point with a minimum frequency at hand, so that CheckTimeouts
// never searches a record, however long it has grown.
void FlowTrace::Bookkeeping::NoteArrival(const TraceFlowCfg& flow, const PointQueue& record) {
  const TracePoint& arrived = *record.back();
  FlowWatch* watch = nullptr;
  for (size_t k = 0; k < flow.flow_points.size(); ++k) {
    const TracePointCfg* point = flow.flow_points[k].get();
    if (!HasMinimumFrequency(point) || point->point_id != arrived.point_id) {
      continue;
    }
    if (watch == nullptr) {
      watch = &watches[&flow];
      if (watch->points.size() < flow.flow_points.size()) {
        watch->points.resize(flow.flow_points.size());
      }
    }
    watch->points[k].newest = watch->RunLength(record);
    watch->points[k].newest_timestamp = arrived.timestamp;
  }
}

std::size_t FlowTrace::CheckTimeouts() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = NowMilliseconds();

  std::vector<OverdueReport> found;  // allocates only when something is overdue
  for (const auto& [flow_id, record] : flow_queues_) {
    if (record.empty()) {
      continue;
    }
    const auto config = flow_configs_.find(flow_id);
    if (config == flow_configs_.end()) {
      continue;
    }
    const TraceFlowCfg& flow = *config->second;
    const auto watch = bookkeeping_->watches.find(&flow);
    if (watch == bookkeeping_->watches.end()) {
      continue;
    }
    if (flow.check_order) {
      FindOverdueInOrder(flow_id, record, flow, watch->second, now, found);
    } else {
      FindOverdueUnordered(flow_id, record, flow, watch->second, now, found);
    }
  }

  for (const OverdueReport& report : found) {
    LOG_WARN("Flow '{}' point '{}' overdue: {} ms since the last trace point, limit {} ms",
             *report.flow_id, report.point->point_id, report.elapsed_ms, report.limit_ms);
    if (!report.flow->publisher || report.point->event_id == 0 || !report.point->on_timeout) {
      continue;
    }
    const auto event = MakeEvent(rclcpp::Time(now * kNanosecondsPerMillisecond, RCL_SYSTEM_TIME),
                                 *report.flow_id, report.point->event_id, kOutcomeFailed,
                                 std::string(kPointOverdue) + report.point->point_id);
    report.flow->publisher->publish(event);
    LOG_INFO("ROS2 topic pub: '{}'", event.detail);
  }
  return found.size();
}

}  // namespace valtrix::trace
