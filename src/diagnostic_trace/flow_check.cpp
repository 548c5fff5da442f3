#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

namespace {

constexpr char kSucceedDetail[] = "Succeed";
constexpr char kMissingPointPrefix[] = "Missing Point: ";
constexpr char kStepSeparator[] = " -> ";

using DiagnosticEvent = valtrix_protocol::msg::DiagnosticEvent;

size_t HashOf(std::string_view id) { return std::hash<std::string_view>()(id); }

// The configured points of a flow as the check sees them. An empty entry in `flow_points`
// names no point, so it is left out rather than dereferenced.
class ConfiguredPoints {
 public:
  void Reset(const std::vector<std::shared_ptr<TracePointCfg>>& points) {
    entries_.clear();
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
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::vector<const std::shared_ptr<TracePointCfg>*> entries_;
};

// Point ids replaced by numbers: recorded ids are numbered 0, 1, ... in order of first
// appearance, equal ids get equal numbers, and an id that was never recorded gets kUnrecorded,
// unequal to every recorded one. 32 bits suffice, as for `TracePoint::index`; positions in the
// record are held in 32 bits for the same reason.
using IdNumber = uint32_t;
constexpr IdNumber kUnrecorded = UINT32_MAX;

// What the passes need of a recorded entry and of a configured point, copied out of each object
// while its id is numbered. The objects lie scattered over the heap and a long flow outgrows the
// caches, so each is read once and the passes then work on these flat arrays.
struct RecordedStep {
  IdNumber id;
  bool success;
};

struct ConfiguredStep {
  IdNumber id;
  bool critical;
  uint32_t entries;  ///< how many recorded entries a match stands for in the order pass
};

// A matched point with a repetition requirement stands for as many entries as the progressive
// check counted for it this run (possibly none, so the same entry is then compared with the
// next configured point).
uint32_t EntriesPerMatch(const TracePointCfg& point) {
  return point.repeat_cnt != 0 ? point.hit_cnt : 1;
}

// How far ahead the id table is prefetched: with a long record it outgrows the caches, and
// every probe would otherwise wait for memory in turn. The points themselves are fetched twice
// as far ahead, since their ids must be read before their slots can be asked for.
constexpr size_t kPrefetchDistance = 16;

template <typename T>
void PrefetchObject(const T& object) {
  const auto* bytes = reinterpret_cast<const char*>(&object);
  for (size_t offset = 0; offset < sizeof(T); offset += 64) {
    __builtin_prefetch(bytes + offset);
  }
}

// Numbers the recorded ids (open addressing over the record's own strings, which outlive the
// call while the registry lock is held) and looks configured ids up among them.
class IdTable {
 public:
  /// Empties the table for a record of `record_size` entries.
  void Reset(size_t record_size) {
    slots_.assign(TableSize(record_size), Slot{});
    first_ids_.clear();
    first_ids_.reserve(record_size);
  }

  /// Each recorded entry's id number and outcome, in record order.
  void NumberRecord(const PointQueue& record, std::vector<RecordedStep>& steps) {
    steps.clear();
    steps.reserve(record.size());
    ProbeAll(
        record.begin(), record.end(),
        [](const std::shared_ptr<TracePoint>& entry) -> const TracePoint& { return *entry; },
        [this, &steps](const TracePoint& entry, Slot& slot, size_t hash) {
          if (slot.number == kFree) {
            slot = {static_cast<uint32_t>(hash), static_cast<IdNumber>(first_ids_.size())};
            first_ids_.push_back(&entry.point_id);
          }
          steps.push_back({slot.number, entry.success});
        });
  }

  /// Each configured point's id number (kUnrecorded for ids no entry carries) and what the
  /// passes need of it, in configuration order.
  void NumberConfiguration(const ConfiguredPoints& points, std::vector<ConfiguredStep>& steps) {
    steps.clear();
    steps.reserve(points.size());
    ProbeAll(
        points.begin(), points.end(),
        [](const std::shared_ptr<TracePointCfg>* point) -> const TracePointCfg& { return **point; },
        [&steps](const TracePointCfg& point, const Slot& slot, size_t) {
          steps.push_back({slot.number, point.is_critical, EntriesPerMatch(point)});
        });
  }

  /// How many distinct ids the record holds.
  size_t Count() const { return first_ids_.size(); }

 private:
  static constexpr IdNumber kFree = kUnrecorded;
  struct Slot {
    uint32_t hash = 0;        ///< low bits of the id's hash, to skip most string compares
    IdNumber number = kFree;  ///< number of the slot's id; kFree: unused
  };

  // A power of two at least twice the number of entries, so probe chains stay short.
  static size_t TableSize(size_t entries) {
    size_t size = 16;
    while (size < 2 * entries) {
      size *= 2;
    }
    return size;
  }

  // Probes the id of each point from `first` to `last` (reached through `point_of`) in turn and
  // hands the point and its slot to `use`. Each id is hashed, and its slot prefetched,
  // kPrefetchDistance points ahead.
  template <typename Iterator, typename PointOf, typename Use>
  void ProbeAll(Iterator first, Iterator last, PointOf point_of, Use use) {
    std::array<size_t, kPrefetchDistance> hashes{};
    Iterator fetch = first;
    auto fetch_ahead = [&] {
      if (fetch != last) {
        PrefetchObject(point_of(*fetch));
        ++fetch;
      }
    };
    Iterator ahead = first;
    size_t hashed = 0;
    auto hash_ahead = [&] {
      fetch_ahead();
      if (ahead != last) {
        const size_t hash = HashOf(point_of(*ahead).point_id);
        hashes[hashed++ % kPrefetchDistance] = hash;
        __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
        ++ahead;
      }
    };
    for (size_t i = 0; i < kPrefetchDistance; ++i) {
      fetch_ahead();
    }
    for (size_t i = 0; i < kPrefetchDistance; ++i) {
      hash_ahead();
    }
    for (size_t i = 0; first != last; ++first, ++i) {
      const size_t hash = hashes[i % kPrefetchDistance];
      hash_ahead();
      const auto& point = point_of(*first);
      use(point, Probe(point.point_id, hash), hash);
    }
  }

  // The slot holding `id`, or the free slot where it belongs (linear probing; the table is
  // never more than half full, so a free slot always ends the search).
  Slot& Probe(std::string_view id, size_t hash) {
    const auto tag = static_cast<uint32_t>(hash);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.number == kFree || (slot.hash == tag && *first_ids_[slot.number] == id)) {
        return slot;
      }
    }
  }

  std::vector<Slot> slots_;
  std::vector<const std::string*> first_ids_;  ///< per number: the id, as its first entry holds it
};

// The recorded entries not matched yet. A look-up of an id yields the newest entry left with
// that id; per id number the pool keeps the position of that entry, and older entries with
// the same number are chained through `older_`.
class Pool {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  /// Fills the pool with every recorded entry.
  void Fill(const std::vector<RecordedStep>& recorded, size_t id_count) {
    newest_.assign(id_count, kNone);
    older_.resize(recorded.size());
    taken_.assign(recorded.size(), false);
    left_ = recorded.size();
    for (uint32_t p = 0; p < recorded.size(); ++p) {
      older_[p] = newest_[recorded[p].id];
      newest_[recorded[p].id] = p;
    }
  }

  /// Position of the newest entry left with this id, or kNone.
  uint32_t Newest(IdNumber id) const { return id == kUnrecorded ? kNone : newest_[id]; }

  /// Removes the newest entry left with this id, which must exist.
  void TakeNewest(IdNumber id) {
    const uint32_t p = newest_[id];
    taken_[p] = true;
    newest_[id] = older_[p];
    --left_;
  }

  size_t Left() const { return left_; }
  bool IsLeft(size_t p) const { return !taken_[p]; }

 private:
  std::vector<uint32_t> newest_;
  std::vector<uint32_t> older_;
  std::vector<bool> taken_;
  size_t left_ = 0;
};

// The record and the configuration with their ids numbered.
struct NumberedFlow {
  std::vector<RecordedStep> recorded;      ///< per recorded entry, in record order
  std::vector<ConfiguredStep> configured;  ///< per configured point, in configuration order
  size_t id_count = 0;                     ///< how many distinct ids the record holds
};

// The arrays a check works on, kept from one call to the next: for a long record they span tens
// of megabytes, and faulting in fresh pages on every call would cost more than the passes over
// them. Only their capacity carries over (that of the longest record checked so far); every call
// refills them before reading.
struct Workspace {
  ConfiguredPoints points;
  IdTable table;
  NumberedFlow numbered;
  Pool pool;

  void NumberIds(const PointQueue& record) {
    table.Reset(record.size());
    table.NumberRecord(record, numbered.recorded);
    table.NumberConfiguration(points, numbered.configured);
    numbered.id_count = table.Count();
  }
};

// One for the whole process: checks use it only while they hold the registry lock.
Workspace& CheckWorkspace() {
  static Workspace workspace;
  return workspace;
}

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

struct PresenceFinding {
  enum class Kind { kAllPresent, kCriticalMissing, kFailed };
  Kind kind = Kind::kAllPresent;
  size_t c = 0;  ///< configured point concerned
  size_t p = 0;  ///< recorded entry concerned (kFailed only)
};

// Matches every configured point with the newest entry left in the pool that carries its id.
// Stops at the first critical point never recorded or the first matched entry that failed;
// matched successful entries leave the pool.
PresenceFinding CheckPresence(const NumberedFlow& flow, Pool& pool) {
  for (size_t c = 0; c < flow.configured.size(); ++c) {
    const ConfiguredStep& expected = flow.configured[c];
    const uint32_t p = pool.Newest(expected.id);
    if (p == Pool::kNone) {
      if (expected.critical) {
        return {PresenceFinding::Kind::kCriticalMissing, c, 0};
      }
      continue;
    }
    if (!flow.recorded[p].success) {
      return {PresenceFinding::Kind::kFailed, c, p};
    }
    pool.TakeNewest(expected.id);
  }
  return {};
}

struct OrderMismatch {
  size_t c;  ///< critical configured point that was expected
  size_t p;  ///< recorded entry found in its place
};

// Walks the configuration and the record side by side; a match moves on in the record by as
// many entries as the configured point stands for.
std::optional<OrderMismatch> FindOrderMismatch(const NumberedFlow& flow) {
  const size_t recorded = flow.recorded.size();
  size_t p = 0;
  for (size_t c = 0; c < flow.configured.size() && p < recorded; ++c) {
    const ConfiguredStep& expected = flow.configured[c];
    if (flow.recorded[p].id == expected.id) {
      p += expected.entries;
    } else if (expected.critical) {
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

OrderRule WhichOrderRule(const NumberedFlow& flow, const OrderMismatch& mismatch) {
  const auto [c, p] = mismatch;
  const IdNumber found = flow.recorded[p].id;
  if (c + 1 < flow.configured.size() && found == flow.configured[c + 1].id) {
    return OrderRule::kMissing;
  }
  if (p > 0 && flow.recorded[p - 1].id == found) {
    return OrderRule::kDuplicated;
  }
  if (p + 1 < flow.recorded.size() && flow.recorded[p + 1].id == flow.configured[c].id) {
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

void Notify(const std::unordered_map<std::string, FlowHandler>& handlers,
            const std::string& flow_id, const std::shared_ptr<FlowCheckResult>& result) {
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
  Workspace& work = CheckWorkspace();
  work.points.Reset(flow.flow_points);
  const ConfiguredPoints& points = work.points;
  if (record.empty() || points.empty()) {
    LOG_WARN("Flow with ID '{}' is empty", flow_id);
    result->status = FlowCheckStatus::INVALID_FLOW;
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

  work.NumberIds(record);
  const NumberedFlow& numbered = work.numbered;
  Pool& pool = work.pool;
  pool.Fill(numbered.recorded, numbered.id_count);
  const PresenceFinding presence = CheckPresence(numbered, pool);
  if (presence.kind == PresenceFinding::Kind::kCriticalMissing) {
    const std::shared_ptr<TracePointCfg>& missing = points.Shared(presence.c);
    LOG_ERROR("Critical point '{}' not executed in flow '{}'", missing->point_id, flow_id);
    result->status = FlowCheckStatus::MISSING_POINT;
    result->desired_point = missing;
    Notify(flow_handlers_, flow_id, result);
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
    Notify(flow_handlers_, flow_id, result);
    return result;
  }

  if (pool.Left() != 0) {
    LOG_ERROR("Some points not in flow '{}' executed: ", flow_id);
    size_t p = 0;
    for (const auto& entry : record) {
      if (pool.IsLeft(p++)) {
        LOG_WARN("Point '{}' not in flow config", entry->point_id);
      }
    }
  } else {
    LOG_INFO("All points executed in flow '{}'", flow_id);
  }

  if (flow.check_order) {
    if (const auto mismatch = FindOrderMismatch(numbered)) {
      const std::shared_ptr<TracePoint>& found = record[mismatch->p];
      const std::shared_ptr<TracePointCfg>& expected = points.Shared(mismatch->c);
      switch (WhichOrderRule(numbered, *mismatch)) {
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
      Notify(flow_handlers_, flow_id, result);
      return result;
    }
  }

  LOG_INFO("Flow '{}' check passed", flow_id);
  Notify(flow_handlers_, flow_id, result);
  if (flow.publisher) {
    const uint32_t event_code = flow.event_id != 0 ? flow.event_id : points.back().event_id;
    FillEvent(event, flow_id, event_code, 0, kSucceedDetail);
    LOG_INFO("ROS2 topic pub: '{}'", event.detail);
    flow.publisher->publish(event);
  }
  return result;
}

}  // namespace valtrix::trace
