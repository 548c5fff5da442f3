// Warnings and notes: configurations that Init accepts but that cannot behave as written, and
// defaults worth knowing. One function per rule family, each over what the reader recorded.

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config_format.hpp"
#include "flow_lint_model.hpp"

namespace valtrix::trace::lint {

namespace {

constexpr size_t kMaxSuggestionDistance = 2;

std::string Key(std::string_view name) { return Quoted(name, '\''); }

// Optimal string alignment distance: insertions, deletions, substitutions and swaps of
// neighbouring characters each count one.
size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) {
    d[i][0] = i;
  }
  for (size_t j = 0; j <= b.size(); ++j) {
    d[0][j] = j;
  }
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

bool Contains(const std::vector<std::string_view>& keys, std::string_view name) {
  return std::find(keys.begin(), keys.end(), name) != keys.end();
}

// --- keys that are never read ------------------------------------------------------------

// Every spelling the loader reads at one level of the file.
template <typename Record, size_t N>
std::vector<std::string_view> NamesOf(const config_format::Key<Record> (&format)[N]) {
  std::vector<std::string_view> names;
  for (const auto& key : format) {
    names.emplace_back(key.name);
    if (key.old_name != nullptr) {
      names.emplace_back(key.old_name);
    }
  }
  return names;
}

const std::vector<std::string_view> kTopLevelKeys = {config_format::kWorkflows};
const std::vector<std::string_view> kFlowKeys = NamesOf(config_format::kFlowKeys);
const std::vector<std::string_view> kPointKeys = NamesOf(config_format::kPointKeys);

// Where the keys of one mapping belong, for messages and suggestions.
struct KeyLevel {
  const std::vector<std::string_view>& known;
  std::string where;  // "in flow 'dock'", or empty at the top level
  const FlowEntry* flow;
  const PointEntry* point;
};

std::string UnknownKeyHint(const KeyEntry& entry, const KeyLevel& level) {
  if (entry.name == "<<") {
    return " (yaml-cpp does not merge '<<' keys: the merged keys are not read)";
  }
  const std::string_view closest = ClosestKey(entry.name, level.known);
  if (!closest.empty()) {
    return " (did you mean " + Key(closest) + "?)";
  }
  if (level.point != nullptr && Contains(kFlowKeys, entry.name)) {
    return " (it is a flow key, not a point key)";
  }
  if (level.point == nullptr && level.flow != nullptr && Contains(kPointKeys, entry.name)) {
    return " (it is a point key; points go in the flow's 'flow_points' list)";
  }
  return "";
}

void CheckUnknownKeys(ConfigFile& config, const KeyTable& keys, const KeyLevel& level,
                      const std::vector<bool>* aliased = nullptr) {
  const std::string where = level.where.empty() ? " at the top level" : " " + level.where;
  for (size_t k = 0; k < keys.entries.size(); ++k) {
    const KeyEntry& entry = keys.entries[k];
    if (entry.is_text && Contains(level.known, entry.name)) {
      continue;
    }
    // A top-level key holding anchors that flows use is in use, though never looked up.
    if (aliased != nullptr && (*aliased)[k]) {
      continue;
    }
    const std::string message =
        entry.is_text ? "unknown key " + Key(entry.name) + where + UnknownKeyHint(entry, level)
                      : "a key that is not a text" + where + " is never read";
    config.Report(LintSeverity::kWarning, entry.position, level.flow, level.point, entry.name,
                  "unknown-key", message);
  }
}

void CheckDuplicateKeys(ConfigFile& config, const KeyTable& keys, const KeyLevel& level) {
  std::unordered_map<std::string_view, const KeyEntry*> first_by_name;
  for (const KeyEntry& entry : keys.entries) {
    if (!entry.is_text) {
      continue;
    }
    const auto [first, inserted] = first_by_name.emplace(entry.name, &entry);
    if (inserted) {
      continue;
    }
    config.Report(LintSeverity::kWarning, entry.position, level.flow, level.point, entry.name,
                  "duplicate-key",
                  "key " + Key(entry.name) + " appears again" +
                      (level.where.empty() ? "" : " " + level.where) +
                      "; only the first, at line " + std::to_string(first->second->position.line) +
                      ", is read");
  }
}

template <typename Record, size_t N>
void CheckKeys(ConfigFile& config, const KeyTable& keys,
               const config_format::Key<Record> (&format)[N], const KeyLevel& level) {
  CheckUnknownKeys(config, keys, level);
  CheckDuplicateKeys(config, keys, level);
  // Of two spellings of one field, the loader reads only the preferred one.
  for (const auto& key : format) {
    const KeyEntry* ignored = key.old_name != nullptr ? keys.Find(key.old_name) : nullptr;
    if (ignored != nullptr && keys.Has(key.name)) {
      config.Report(LintSeverity::kWarning, ignored->position, level.flow, level.point,
                    key.old_name, "ignored-key",
                    Key(key.old_name) + " " + level.where + " is ignored because " +
                        Key(key.name) + " is given");
    }
  }
}

void CheckTopLevelKeys(ConfigFile& config) {
  const KeyLevel level{kTopLevelKeys, "", nullptr, nullptr};
  CheckUnknownKeys(config, config.top_keys, level, &config.top_key_aliased);
  CheckDuplicateKeys(config, config.top_keys, level);
}

// --- flows --------------------------------------------------------------------------------

Position KeyOrEntry(const FlowEntry& flow, std::string_view key) {
  const KeyEntry* entry = flow.keys.Find(key);
  return entry != nullptr ? entry->value_position : flow.position;
}

// The id Init files a flow under, judged apart from the flow's other errors; none when
// "flow_id" itself cannot be read or the entry is a text.
const std::string* RegisteredId(const FlowEntry& flow) {
  const bool unreadable = flow.is_mapping ? flow.keys.Has("flow_id") && !flow.has_id : !flow.cfg;
  return unreadable ? nullptr : &flow.id;
}

// The registry keeps one flow per id: a later flow replaces an earlier one of the same id.
void CheckRepeatedFlowIds(ConfigFile& config) {
  std::map<std::string, const FlowEntry*> first_by_id;
  for (const FlowEntry& flow : config.flows) {
    const std::string* id = RegisteredId(flow);
    if (id == nullptr) {
      continue;
    }
    const auto [it, inserted] = first_by_id.emplace(*id, &flow);
    if (inserted) {
      continue;
    }
    const FlowEntry& earlier = *it->second;
    config.Report(LintSeverity::kWarning, KeyOrEntry(flow, "flow_id"), &flow, nullptr, "flow_id",
                  "duplicate-flow-id",
                  FlowLabel(flow) + " has the same flow_id as flow #" +
                      std::to_string(earlier.number) + " at line " +
                      std::to_string(earlier.position.line) +
                      "; the later flow replaces the earlier");
    it->second = &flow;
  }
}

void CheckFlowId(ConfigFile& config, const FlowEntry& flow) {
  const KeyEntry* entry = flow.keys.Find("flow_id");
  if (entry == nullptr) {
    config.Report(LintSeverity::kWarning, flow.position, &flow, nullptr, "flow_id",
                  "empty-flow-id",
                  FlowLabel(flow) + " has no flow_id; it is registered under the empty id");
  } else if (entry->value.IsNull()) {
    config.Report(LintSeverity::kWarning, entry->position, &flow, nullptr, "flow_id",
                  "empty-flow-id",
                  "flow_id of flow #" + std::to_string(flow.number) +
                      " is written empty, so the flow is registered as 'null'");
  } else if (flow.cfg->flow_id.empty()) {
    config.Report(LintSeverity::kWarning, entry->value_position, &flow, nullptr, "flow_id",
                  "empty-flow-id",
                  "flow_id of " + FlowLabel(flow) +
                      " is empty; the flow is registered under the empty id");
  }
}

void CheckTopic(ConfigFile& config, const FlowEntry& flow) {
  const KeyEntry* entry = flow.keys.Find("diag_topic");
  if (entry == nullptr) {
    config.Report(LintSeverity::kNote, flow.position, &flow, nullptr, "diag_topic", "no-topic",
                  FlowLabel(flow) + " has no diag_topic: nothing is published for it");
  } else if (entry->value.IsNull()) {
    config.Report(LintSeverity::kWarning, entry->position, &flow, nullptr, "diag_topic",
                  "null-topic",
                  "diag_topic of " + FlowLabel(flow) +
                      " is written empty, so it reads as the text 'null' and events are "
                      "published on the topic 'null' (/null in the root namespace)");
  } else if (flow.cfg->diag_topic.empty()) {
    config.Report(LintSeverity::kNote, entry->value_position, &flow, nullptr, "diag_topic",
                  "no-topic",
                  "diag_topic of " + FlowLabel(flow) + " is empty: nothing is published for it");
  }
}

void CheckOrderDefault(ConfigFile& config, const FlowEntry& flow) {
  if (!flow.keys.Has("check_order")) {
    config.Report(LintSeverity::kNote, flow.position, &flow, nullptr, "check_order",
                  "default-check-order",
                  FlowLabel(flow) +
                      " has no check_order, so it is unordered: the file's default is false, "
                      "whereas a TraceFlowCfg built in code defaults to true");
  }
}

void CheckPointList(ConfigFile& config, const FlowEntry& flow) {
  const KeyEntry* entry = flow.keys.Find("flow_points");
  if (entry != nullptr && !entry->value.IsSequence()) {
    config.Report(LintSeverity::kWarning, entry->value_position, &flow, nullptr, "flow_points",
                  "points-not-sequence",
                  "'flow_points' of " + FlowLabel(flow) + " is " + WrittenValue(entry->value) +
                      ", not a sequence, so the flow has no points");
  } else if (flow.points.empty()) {
    config.Report(LintSeverity::kWarning, KeyOrEntry(flow, "flow_points"), &flow, nullptr,
                  "flow_points", "no-points",
                  FlowLabel(flow) + " has no points; CheckFlow reports INVALID_FLOW for it");
  }
}

void CheckCompletionEvent(ConfigFile& config, const FlowEntry& flow) {
  const auto& points = flow.cfg->flow_points;
  if (!flow.cfg->check_order || points.empty() || flow.cfg->event_id != 0 ||
      points.back()->event_id != 0) {
    return;
  }
  config.Report(LintSeverity::kNote, flow.position, &flow, nullptr, "event_id",
                "no-completion-event",
                "ordered " + FlowLabel(flow) +
                    " sends no completion event: its event_id and that of its last point " +
                    Quoted(points.back()->point_id, '\'') + " are both 0");
}

// Among the points the flow keeps, so that a dropped point between two does not hide it.
void CheckRepeatedPoints(ConfigFile& config, const FlowEntry& flow) {
  if (!flow.cfg->check_order) {
    return;
  }
  const PointEntry* previous = nullptr;
  for (const PointEntry& point : flow.points) {
    if (!point.cfg) {
      continue;
    }
    if (previous != nullptr && previous->cfg->point_id == point.cfg->point_id) {
      config.Report(LintSeverity::kWarning, point.keys.Find("point_id")->value_position, &flow,
                    &point, "point_id", "repeated-point",
                    PointLabel(flow, point) +
                        " comes twice in a row in an ordered flow; a second arrival is "
                        "indistinguishable from a duplicate");
    }
    previous = &point;
  }
}

// --- points -------------------------------------------------------------------------------

void CheckPointId(ConfigFile& config, const FlowEntry& flow, const PointEntry& point) {
  const KeyEntry& entry = *point.keys.Find("point_id");
  const std::string where =
      " in point #" + std::to_string(point.number) + " in " + FlowLabel(flow);
  if (entry.value.IsNull()) {
    config.Report(LintSeverity::kWarning, entry.position, &flow, &point, "point_id",
                  "empty-point-id",
                  "'point_id' is written empty" + where + ", so the point is named 'null'");
  } else if (point.cfg->point_id.empty()) {
    config.Report(LintSeverity::kWarning, entry.value_position, &flow, &point, "point_id",
                  "empty-point-id",
                  "'point_id' is empty" + where + "; the application must trace an empty id");
  }
}

// Point events carry the point's event_id; with 0 the point sends none.
void CheckEventFlags(ConfigFile& config, const FlowEntry& flow, const PointEntry& point) {
  const TracePointCfg& cfg = *point.cfg;
  if (cfg.event_id != 0) {
    return;
  }
  const std::pair<std::string_view, bool> flags[] = {
      {"on_success", cfg.on_success}, {"on_failure", cfg.on_failure},
      {"on_timeout", cfg.on_timeout}};
  for (const auto& [name, value] : flags) {
    const KeyEntry* entry = point.keys.Find(name);
    if (entry != nullptr && value) {
      config.Report(LintSeverity::kWarning, entry->position, &flow, &point, name, "never-sent",
                    Key(name) + " is true in " + PointLabel(flow, point) +
                        ", but its event_id is 0, so the event is never sent");
    }
  }
}

bool HasPeriod(float freq_min) { return std::isfinite(freq_min) && freq_min > 0.0F; }

// Which limit judges a point's time: in an ordered flow `timeout_ms`, for the expected point
// (by CheckTimeouts) and, when repeat_cnt is not 0, on each arrival; in an unordered flow the
// period 1000/freq_min ms (by CheckTimeouts) alone.
void CheckTimeLimits(ConfigFile& config, const FlowEntry& flow, const PointEntry& point) {
  const TracePointCfg& cfg = *point.cfg;
  const bool ordered = flow.cfg->check_order;
  const std::string label = PointLabel(flow, point);
  if (const KeyEntry* entry = point.keys.Find("on_timeout"); entry != nullptr && cfg.on_timeout) {
    if (ordered && cfg.timeout_ms == 0) {
      config.Report(LintSeverity::kWarning, entry->position, &flow, &point, "on_timeout",
                    "no-time-limit",
                    "'on_timeout' is true in " + label +
                        ", but it has no timeout_ms, so no time-out is ever judged");
    } else if (!ordered && !HasPeriod(cfg.freq_min)) {
      config.Report(LintSeverity::kWarning, entry->position, &flow, &point, "on_timeout",
                    "no-time-limit",
                    "'on_timeout' is true in " + label +
                        ", but it has no freq_min above 0; an unordered flow judges time-outs "
                        "only by the period 1000/freq_min ms, so none is ever judged");
    }
  }
  const KeyEntry* timeout = point.keys.Find("timeout_ms");
  if (ordered && cfg.timeout_ms != 0 && cfg.repeat_cnt == 0) {
    config.Report(LintSeverity::kWarning, timeout->position, &flow, &point, "timeout_ms",
                  "timeout-not-on-arrival",
                  "'timeout_ms' in " + label +
                      " is judged only by CheckTimeouts, never on arrival, because repeat_cnt "
                      "is 0 (repeat_cnt: 1 judges it on arrival too)");
  }
  if (!ordered && cfg.timeout_ms != 0) {
    config.Report(LintSeverity::kWarning, timeout->position, &flow, &point, "timeout_ms",
                  "unused-key",
                  "'timeout_ms' in " + label +
                      " is not used: an unordered flow judges time only by freq_min");
  }
  if (ordered && cfg.freq_min != 0.0F) {
    config.Report(LintSeverity::kWarning, point.keys.Find("freq_min")->position, &flow, &point,
                  "freq_min", "unused-key",
                  "'freq_min' in " + label +
                      " is not used: an ordered flow judges time only by timeout_ms");
  }
}

// The ordered check counts arrivals up to repeat_max and passes the point at repeat_cnt.
void CheckRepeatBounds(ConfigFile& config, const FlowEntry& flow, const PointEntry& point) {
  const TracePointCfg& cfg = *point.cfg;
  if (!flow.cfg->check_order || cfg.repeat_max == 0 || cfg.repeat_max >= cfg.repeat_cnt) {
    return;
  }
  config.Report(LintSeverity::kWarning, point.keys.Find("repeat_max")->value_position, &flow,
                &point, "repeat_max", "unreachable-repeat",
                "'repeat_max' " + std::to_string(cfg.repeat_max) + " is below 'repeat_cnt' " +
                    std::to_string(cfg.repeat_cnt) + " in " + PointLabel(flow, point) +
                    ", so the ordered check can never pass the point");
}

void CheckFlow(ConfigFile& config, const FlowEntry& flow) {
  if (flow.is_mapping) {
    CheckKeys(config, flow.keys, config_format::kFlowKeys,
              {kFlowKeys, "in " + FlowLabel(flow), &flow, nullptr});
  }
  for (const PointEntry& point : flow.points) {
    if (point.is_mapping) {
      CheckKeys(config, point.keys, config_format::kPointKeys,
                {kPointKeys, "in " + PointLabel(flow, point), &flow, &point});
    }
  }
  if (!flow.cfg) {
    return;
  }
  if (!flow.is_mapping) {
    config.Report(LintSeverity::kWarning, flow.position, &flow, nullptr, "", "entry-not-mapping",
                  "flow #" + std::to_string(flow.number) + " is " + WrittenValue(flow.node) +
                      ", not a mapping; it is registered as a flow without keys under the "
                      "empty flow_id");
    return;
  }
  CheckFlowId(config, flow);
  CheckTopic(config, flow);
  CheckOrderDefault(config, flow);
  CheckPointList(config, flow);
  CheckCompletionEvent(config, flow);
  CheckRepeatedPoints(config, flow);
  for (const PointEntry& point : flow.points) {
    if (point.cfg) {
      CheckPointId(config, flow, point);
      CheckEventFlags(config, flow, point);
      CheckTimeLimits(config, flow, point);
      CheckRepeatBounds(config, flow, point);
    }
  }
}

}  // namespace

std::string_view ClosestKey(std::string_view name, const std::vector<std::string_view>& known) {
  std::string_view best;
  size_t best_distance = kMaxSuggestionDistance + 1;
  for (const std::string_view candidate : known) {
    const size_t length_gap = name.size() > candidate.size() ? name.size() - candidate.size()
                                                             : candidate.size() - name.size();
    if (length_gap >= best_distance) {
      continue;
    }
    const size_t distance = EditDistance(name, candidate);
    if (distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  return best;
}

void CheckRules(ConfigFile& config) {
  CheckTopLevelKeys(config);
  CheckRepeatedFlowIds(config);
  for (const FlowEntry& flow : config.flows) {
    CheckFlow(config, flow);
  }
}

}  // namespace valtrix::trace::lint
