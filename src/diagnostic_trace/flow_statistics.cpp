#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "bookkeeping.hpp"
#include "statistics.hpp"
#include "valtrix/trace/flow_statistics.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

DurationHistogram::DurationHistogram() = default;
DurationHistogram::~DurationHistogram() = default;
DurationHistogram::DurationHistogram(DurationHistogram&&) noexcept = default;
DurationHistogram& DurationHistogram::operator=(DurationHistogram&&) noexcept = default;

void DurationHistogram::Prepare() {
  if (!bins_) {
    bins_ = std::make_unique<uint64_t[]>(kBuckets);
  }
}

// The middle of the bucket's whole milliseconds; the last bucket reads as the largest seen.
double DurationHistogram::Percentile(double fraction) const {
  if (count_ == 0 || !bins_) {
    return 0.0;
  }
  const auto rank = std::max<uint64_t>(
      1, static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count_))));
  uint64_t seen = 0;
  double value = static_cast<double>(max_);
  for (unsigned bucket = 0; bucket + 1 < kBuckets; ++bucket) {
    seen += bins_[bucket];
    if (seen < rank) {
      continue;
    }
    if (bucket < kExact) {
      value = bucket;
    } else {
      const unsigned octave = (bucket - kExact) / kPerOctave;
      const unsigned step = (bucket - kExact) % kPerOctave;
      const double lowest = static_cast<double>(uint64_t{kPerOctave + step} << octave);
      value = lowest + static_cast<double>((uint64_t{1} << octave) - 1) / 2.0;
    }
    break;
  }
  return std::clamp(value, static_cast<double>(min_), static_cast<double>(max_));
}

DurationSummary DurationHistogram::Summary() const {
  DurationSummary summary;
  if (count_ == 0) {
    return summary;
  }
  summary.count = count_;
  summary.min_ms = min_;
  summary.max_ms = max_;
  summary.mean_ms = static_cast<double>(sum_) / static_cast<double>(count_);
  summary.p50_ms = Percentile(0.5);
  summary.p95_ms = Percentile(0.95);
  return summary;
}

void FlowTrace::Bookkeeping::TallyRun(const TraceFlowCfg& flow, const PointQueue& record,
                                      FlowCheckStatus verdict) {
  const auto watch = watches.find(&flow);
  if (!statistics || watch == watches.end() || !flow.tally) {
    return;
  }
  FlowTally& tally = *flow.tally;
  ++tally.runs;
  const auto value = static_cast<std::size_t>(verdict);
  if (value < tally.verdicts.size()) {
    ++tally.verdicts[value];
  }
  if (!record.empty()) {
    const int64_t start = watch->second.RunStart(record);
    const int64_t end = record.back()->timestamp;
    tally.run.Prepare();
    tally.run.Add(start < end ? static_cast<uint64_t>(end - start) : 0);
  }
}

// Popping from the front of a deque frees each block as it empties: a bounded record holds its
// memory steady however long the run.
void FlowTrace::Bookkeeping::BoundRecord(const TraceFlowCfg& flow, PointQueue& record) {
  FlowWatch& watch = watches[&flow];
  record.back()->index += static_cast<uint32_t>(watch.dropped);
  while (record.size() > flow.max_record) {
    if (watch.dropped == 0) {
      watch.first_timestamp = record.front()->timestamp;
    }
    record.pop_front();
    ++watch.dropped;
    if (flow.tally) {
      ++flow.tally->dropped;
    }
  }
}

std::optional<FlowStatistics> FlowTrace::GetFlowStatistics(const std::string& flow_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto config = flow_configs_.find(flow_id);
  if (config == flow_configs_.end()) {
    return std::nullopt;
  }
  const TraceFlowCfg& flow = *config->second;
  FlowStatistics statistics;
  statistics.flow_id = flow_id;
  const FlowTally* tally = flow.tally.get();
  if (tally != nullptr) {
    statistics.runs = tally->runs;
    statistics.verdicts = tally->verdicts;
    statistics.run = tally->run.Summary();
    statistics.dropped = tally->dropped;
  }
  statistics.points.reserve(flow.flow_points.size());
  for (std::size_t k = 0; k < flow.flow_points.size(); ++k) {
    PointStatistics& point = statistics.points.emplace_back();
    point.point_id = flow.flow_points[k] ? flow.flow_points[k]->point_id : "";
    if (tally != nullptr && k < tally->points.size()) {
      const PointTally& counted = tally->points[k];
      point.arrivals = counted.arrivals;
      point.failed = counted.failed;
      point.late = counted.late;
      point.step = counted.steps.Summary();
    }
  }
  return statistics;
}

}  // namespace valtrix::trace
