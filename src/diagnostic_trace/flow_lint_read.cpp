// Reads a flow configuration exactly as FlowTrace::Init does (by the same format tables, with
// the same conversions, in the same order) and reports as errors what Init would drop or refuse.

#include <algorithm>
#include <cctype>
#include <climits>
#include <stdexcept>
#include <utility>

#include <rclcpp/exceptions.hpp>
#include <rclcpp/expand_topic_or_service_name.hpp>

#include "config_file.hpp"
#include "config_format.hpp"
#include "flow_lint_model.hpp"

namespace valtrix::trace::lint {

namespace {

// Topic names are expanded as for a node of this name in the root namespace; the node's name
// only matters for names starting with '~'.
constexpr char kCheckNodeName[] = "node";
constexpr char kCheckNamespace[] = "/";

// The flow, and within it the point, whose keys are being read.
struct Scope {
  const FlowEntry* flow;
  const PointEntry* point;

  std::string Label() const {
    return point != nullptr ? PointLabel(*flow, *point) : FlowLabel(*flow);
  }
  const char* Dropped() const { return point != nullptr ? "the point" : "the flow"; }
  const KeyTable& Keys() const { return point != nullptr ? point->keys : flow->keys; }
};

class Reader {
 public:
  Reader(const std::string& yaml, ConfigFile& config) : yaml_(yaml), config_(config) {}

  void Read();

 private:
  void ReadWorkflows(const YAML::Node& workflows);
  FlowEntry ReadFlow(const YAML::Node& node, size_t number);
  PointEntry ReadPoint(const YAML::Node& node, size_t number, const FlowEntry& flow);
  // Reads the keys of one entry as Init does, by the format's table, and calls
  // `after_read(key, entry)` after each key read. A value that does not convert, or a required
  // key that is absent, drops the entry: it is reported and `kept` turns false.
  template <typename Record, size_t N, typename AfterRead>
  void ReadKeys(const config_format::Key<Record> (&format)[N], Scope scope, Record& record,
                bool& kept, AfterRead after_read);
  void ReportMissingPointId(const FlowEntry& flow, const PointEntry& point);
  bool CheckTopic(const KeyEntry& entry, const std::string& topic, const FlowEntry& flow);
  uint32_t ColumnInValue(const KeyEntry& entry, const std::string& text, size_t index) const;
  Position EntryPosition(const YAML::Node& entry) const;

  KeyTable TableOf(const YAML::Node& mapping);
  void PrepareAliasCheck();
  void NoteAlias(const YAML::Node& node);

  const std::string& yaml_;
  ConfigFile& config_;
  // Text positions where each top-level key's value starts, and where "workflows" begins and
  // ends; set only when there are top-level keys besides "workflows".
  std::vector<int> top_key_starts_;
  int workflows_begin_ = 0;
  int workflows_end_ = 0;
};

template <typename Record, size_t N, typename AfterRead>
void Reader::ReadKeys(const config_format::Key<Record> (&format)[N], Scope scope,
                      Record& record, bool& kept, AfterRead after_read) {
  for (const auto& key : format) {
    const KeyEntry* entry = scope.Keys().Find(key.name);
    if (entry == nullptr && key.old_name != nullptr) {
      entry = scope.Keys().Find(key.old_name);
    }
    if (entry == nullptr) {
      config_format::StoreAbsent(key, record);
      if (key.rule == config_format::Rule::kRequired) {
        ReportMissingPointId(*scope.flow, *scope.point);
        kept = false;
      }
      continue;
    }
    try {
      config_format::Store(key, entry->value, record);
    } catch (const YAML::Exception&) {
      kept = false;
      config_.Report(LintSeverity::kError, entry->value_position, scope.flow, scope.point,
                     entry->name, "bad-type",
                     "'" + entry->name + "' in " + scope.Label() + " must be " +
                         config_format::kValueKinds[key.field.index()] + ", but is " + WrittenValue(entry->value) + "; " +
                         scope.Dropped() + " is dropped");
      continue;
    }
    after_read(key, *entry);
  }
}

void Reader::Read() {
  YAML::Node root;
  try {
    root = YAML::Load(yaml_);
  } catch (const YAML::Exception& e) {
    config_.Report(LintSeverity::kError, PositionOf(e.mark), nullptr, nullptr, "",
                   "syntax-error", "YAML syntax error: " + e.msg + "; no flow is loaded");
    return;
  }
  if (const auto excess = FindAliasExcess(yaml_)) {
    config_.Report(LintSeverity::kError, PositionOf(*excess), nullptr, nullptr, "", "alias-limit",
                   "the aliases up to this one reach more than " +
                       std::to_string(kMaxAliasedNodes) +
                       " nodes, so Init refuses the file; no flow is loaded");
    return;
  }
  if (root.IsScalar()) {
    config_.Report(LintSeverity::kError, PositionOf(root.Mark()), nullptr, nullptr, "",
                   "no-workflows",
                   "the file holds a single text, not a mapping with a 'workflows' sequence; no "
                   "flow is loaded");
    return;
  }
  if (root.IsMap()) {
    config_.top_keys = TableOf(root);
    config_.top_key_aliased.assign(config_.top_keys.entries.size(), false);
  }
  const KeyEntry* workflows = config_.top_keys.Find(config_format::kWorkflows);
  if (workflows == nullptr) {
    const char* found = root.IsSequence()
                            ? "the file is a sequence, not a mapping with a 'workflows' key"
                        : root.IsMap() ? "there is no top-level 'workflows' key"
                                       : "the file is empty";
    config_.Report(LintSeverity::kError, {}, nullptr, nullptr, "workflows", "no-workflows",
                   std::string(found) + "; no flow is loaded");
    return;
  }
  if (workflows->value.IsNull()) {
    config_.Report(LintSeverity::kError, workflows->position, nullptr, nullptr, "workflows",
                   "no-workflows", "'workflows' is empty; no flow is loaded");
    return;
  }
  if (!workflows->value.IsSequence()) {
    config_.Report(LintSeverity::kError, workflows->value_position, nullptr, nullptr,
                   "workflows", "workflows-not-sequence",
                   "'workflows' must be a sequence of flows, but is " +
                       WrittenValue(workflows->value) + "; no flow is loaded");
    return;
  }
  PrepareAliasCheck();
  ReadWorkflows(workflows->value);
}

void Reader::ReadWorkflows(const YAML::Node& workflows) {
  config_.flows.reserve(workflows.size());
  size_t number = 0;
  for (const YAML::Node& node : workflows) {
    config_.flows.push_back(ReadFlow(node, ++number));
  }
}

FlowEntry Reader::ReadFlow(const YAML::Node& node, size_t number) {
  FlowEntry flow;
  flow.number = number;
  flow.position = EntryPosition(node);
  flow.node = node;
  NoteAlias(node);
  if (node.IsScalar()) {
    config_.Report(LintSeverity::kError, flow.position, &flow, nullptr, "", "bad-entry",
                   "flow #" + std::to_string(number) + " is a text (" + WrittenValue(node) +
                       "), not a mapping of flow keys; the flow is dropped");
    return flow;
  }
  // An empty or sequence entry reads as a mapping without keys.
  flow.is_mapping = node.IsMap();
  if (flow.is_mapping) {
    flow.keys = TableOf(node);
  }
  auto cfg = std::make_shared<TraceFlowCfg>();
  bool kept = true;
  ReadKeys(config_format::kFlowKeys, {&flow, nullptr}, *cfg, kept,
           [&](const config_format::Key<TraceFlowCfg>& key, const KeyEntry& entry) {
             if (key.Fills(&TraceFlowCfg::flow_id)) {
               flow.id = cfg->flow_id;
               flow.has_id = true;
             } else if (key.Fills(&TraceFlowCfg::diag_topic) && !cfg->diag_topic.empty() &&
                        !CheckTopic(entry, cfg->diag_topic, flow)) {
               kept = false;
             } else if (key.Fills(&TraceFlowCfg::flow_points) && entry.value.IsSequence()) {
               flow.points.reserve(entry.value.size());
               for (const YAML::Node& point : entry.value) {
                 flow.points.push_back(ReadPoint(point, flow.points.size() + 1, flow));
                 if (flow.points.back().cfg) {
                   cfg->flow_points.push_back(flow.points.back().cfg);
                 }
               }
             }
           });
  if (kept) {
    flow.cfg = std::move(cfg);
  }
  return flow;
}

PointEntry Reader::ReadPoint(const YAML::Node& node, size_t number, const FlowEntry& flow) {
  PointEntry point;
  point.number = number;
  point.position = EntryPosition(node);
  NoteAlias(node);
  if (node.IsScalar()) {
    config_.Report(LintSeverity::kError, point.position, &flow, &point, "", "bad-entry",
                   PointLabel(flow, point) + " is a text (" + WrittenValue(node) +
                       "), not a mapping of point keys; the point is dropped");
    return point;
  }
  if (!node.IsMap()) {
    config_.Report(LintSeverity::kError, point.position, &flow, &point, "point_id",
                   "missing-point-id",
                   PointLabel(flow, point) + " is " + WrittenValue(node) +
                       ", so it has no 'point_id'; the point is dropped");
    return point;
  }
  point.is_mapping = true;
  point.keys = TableOf(node);
  auto cfg = std::make_shared<TracePointCfg>();
  bool kept = true;
  ReadKeys(config_format::kPointKeys, {&flow, &point}, *cfg, kept,
           [&](const config_format::Key<TracePointCfg>& key, const KeyEntry& /*entry*/) {
             if (key.Fills(&TracePointCfg::point_id)) {
               point.id = cfg->point_id;
             }
           });
  if (kept) {
    point.cfg = std::move(cfg);
  }
  return point;
}

void Reader::ReportMissingPointId(const FlowEntry& flow, const PointEntry& point) {
  std::string names;
  std::string suggestion;
  for (const KeyEntry& entry : point.keys.entries) {
    names += (names.empty() ? "" : ", ") + (entry.is_text ? Quoted(entry.name, '\'') : "?");
    if (suggestion.empty() && entry.is_text && ClosestKey(entry.name, {"point_id"}) == "point_id") {
      suggestion = "; did you mean 'point_id' instead of " + Quoted(entry.name, '\'') + "?";
    }
  }
  config_.Report(LintSeverity::kError, point.position, &flow, &point, "point_id",
                 "missing-point-id",
                 PointLabel(flow, point) +
                     " has no 'point_id', so the point is dropped (its keys: " +
                     (names.empty() ? "none" : names) + suggestion + ")");
}

// With a node, Init creates the flow's publisher on this name. ROS 2 refuses a name its rules
// reject, and the exception leaves Init before any later flow is read. True when ROS 2 takes
// the name.
bool Reader::CheckTopic(const KeyEntry& entry, const std::string& topic, const FlowEntry& flow) {
  std::string problem;
  std::string where;
  Position position = entry.value_position;
  try {
    rclcpp::expand_topic_or_service_name(topic, kCheckNodeName, kCheckNamespace);
    return true;
  } catch (const rclcpp::exceptions::NameValidationError& e) {
    problem = e.error_msg;
    where = " (character " + std::to_string(e.invalid_index + 1) + " of " + Quoted(e.name, '\'') +
            ")";
    if (e.name == topic) {
      position.column = ColumnInValue(entry, topic, e.invalid_index);
    }
  } catch (const std::runtime_error& e) {
    problem = e.what();
    if (topic.find('{') != std::string::npos) {
      where = " (ROS 2 substitutes only {node}, {ns} and {namespace})";
    }
  }
  config_.Report(LintSeverity::kError, position, &flow, nullptr, "diag_topic", "bad-topic",
                 "ROS 2 rejects diag_topic " + Quoted(topic, '\'') + " of " + FlowLabel(flow) +
                     ": " + problem + where +
                     "; with a node, Init throws here and loads no later flow");
  return false;
}

// The column of character `index` of `text` where the value is written on one line, plain or
// quoted; the value's own column otherwise.
uint32_t Reader::ColumnInValue(const KeyEntry& entry, const std::string& text,
                               size_t index) const {
  const int pos = entry.value.Mark().pos;
  if (pos < 0 || entry.value_position.column == 0) {
    return entry.value_position.column;
  }
  const auto start = static_cast<size_t>(pos);
  size_t offset = 0;
  if (start < yaml_.size() && (yaml_[start] == '"' || yaml_[start] == '\'')) {
    offset = 1;
  }
  if (yaml_.compare(start + offset, text.size(), text) != 0 || index > text.size()) {
    return entry.value_position.column;
  }
  return entry.value_position.column + static_cast<uint32_t>(offset + index);
}

// yaml-cpp places an empty sequence entry at the token after it; the entry's "-" is the last
// thing written before that token, bar blanks.
Position Reader::EntryPosition(const YAML::Node& entry) const {
  const YAML::Mark mark = entry.Mark();
  if (!entry.IsNull() || mark.pos <= 0 || static_cast<size_t>(mark.pos) > yaml_.size()) {
    return PositionOf(mark);
  }
  size_t dash = static_cast<size_t>(mark.pos);
  while (dash > 0 && std::isspace(static_cast<unsigned char>(yaml_[dash - 1])) != 0) {
    --dash;
  }
  if (dash == 0 || yaml_[--dash] != '-') {
    return PositionOf(mark);
  }
  const auto newlines = std::count(yaml_.begin() + static_cast<std::ptrdiff_t>(dash),
                                   yaml_.begin() + mark.pos, '\n');
  const size_t line_start = yaml_.rfind('\n', dash) + 1;  // npos + 1 is 0
  return {static_cast<uint32_t>(mark.line + 1 - newlines),
          static_cast<uint32_t>(dash - line_start + 1)};
}

KeyTable Reader::TableOf(const YAML::Node& mapping) {
  KeyTable table;
  table.entries.reserve(mapping.size());
  for (const auto& pair : mapping) {
    KeyEntry entry;
    entry.is_text = pair.first.IsScalar();
    if (entry.is_text) {
      entry.name = pair.first.Scalar();
    }
    entry.position = PositionOf(pair.first.Mark());
    entry.value = pair.second;
    entry.value_position = pair.second.IsNull() ? entry.position : PositionOf(pair.second.Mark());
    NoteAlias(pair.second);
    table.entries.push_back(std::move(entry));
  }
  return table;
}

// A flow may reach values defined under other top-level keys through YAML aliases (an anchor
// there, "*name" in the flow); an alias node carries the position of its anchor. The ranges
// of the top-level values tell which key such a value belongs to.
void Reader::PrepareAliasCheck() {
  const auto& entries = config_.top_keys.entries;
  if (entries.size() < 2) {
    return;
  }
  for (size_t k = 0; k < entries.size(); ++k) {
    const int start = entries[k].value.Mark().pos;
    top_key_starts_.push_back(start);
    if (entries[k].is_text && entries[k].name == config_format::kWorkflows && workflows_end_ == 0) {
      workflows_begin_ = start;
      workflows_end_ = k + 1 < entries.size() ? entries[k + 1].value.Mark().pos : INT_MAX;
    }
  }
}

void Reader::NoteAlias(const YAML::Node& node) {
  if (top_key_starts_.empty()) {
    return;
  }
  const int pos = node.Mark().pos;
  if (pos >= workflows_begin_ && pos < workflows_end_) {
    return;
  }
  for (size_t k = top_key_starts_.size(); k-- > 0;) {
    if (top_key_starts_[k] <= pos) {
      config_.top_key_aliased[k] = true;
      return;
    }
  }
}

}  // namespace

ConfigFile ReadConfig(const std::string& yaml, const std::string& name) {
  ConfigFile config;
  config.name = name;
  Reader(yaml, config).Read();
  return config;
}

}  // namespace valtrix::trace::lint
