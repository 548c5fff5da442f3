#pragma once

// Inside the linter: a configuration file as FlowTrace::Init reads it, with the position of
// every key, shared by the reader, the rules and the diagrams.

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "valtrix/trace/flow_lint.hpp"
#include "valtrix/trace/trace_records.hpp"

namespace valtrix::trace::lint {

/// 1-based line and column; 0 and 0 when unknown.
struct Position {
  uint32_t line = 0;
  uint32_t column = 0;
};

Position PositionOf(const YAML::Mark& mark);

/// One key of a mapping as written.
struct KeyEntry {
  /// The key's text; empty for a key that is not a scalar.
  std::string name;
  bool is_text = false;
  /// Where the key starts.
  Position position;
  YAML::Node value;
  /// Where a finding about the value points: the value itself, or the key when the value is
  /// empty (yaml-cpp places an empty value at the next token).
  Position value_position;
};

/// The keys of one mapping in file order. `Find` returns the first key of a name, as the
/// loader's lookups do.
struct KeyTable {
  std::vector<KeyEntry> entries;

  const KeyEntry* Find(std::string_view name) const;
  bool Has(std::string_view name) const { return Find(name) != nullptr; }
};

/// One element of a flow's "flow_points".
struct PointEntry {
  /// 1-based position among the flow's point entries.
  size_t number = 0;
  Position position;
  bool is_mapping = false;
  KeyTable keys;
  /// "point_id" as read; empty when absent or unreadable.
  std::string id;
  /// The point as Init loads it; empty when Init drops it.
  std::shared_ptr<TracePointCfg> cfg;
};

/// One element of "workflows".
struct FlowEntry {
  /// 1-based position in "workflows".
  size_t number = 0;
  Position position;
  /// The entry as written.
  YAML::Node node;
  bool is_mapping = false;
  KeyTable keys;
  /// "flow_id" as read; empty when absent or unreadable.
  std::string id;
  bool has_id = false;
  /// The flow as Init loads it, its kept points in `flow_points`; empty when Init drops it.
  std::shared_ptr<TraceFlowCfg> cfg;
  /// Every point entry, kept or dropped.
  std::vector<PointEntry> points;
};

/// A file read as Init reads it, with the errors found on the way.
struct ConfigFile {
  std::string name;
  KeyTable top_keys;
  /// Per entry of `top_keys`: whether a flow reaches its value through a YAML alias.
  std::vector<bool> top_key_aliased;
  std::vector<FlowEntry> flows;
  std::vector<LintFinding> findings;

  void Report(LintSeverity severity, Position position, const FlowEntry* flow,
              const PointEntry* point, std::string_view key, std::string_view code,
              std::string message);
};

/// Reads `yaml` as Init does and records as errors everything Init would drop or refuse.
ConfigFile ReadConfig(const std::string& yaml, const std::string& name);

/// Adds the warnings and notes: keys that are never read, and flows and points that Init
/// accepts but that cannot behave as written.
void CheckRules(ConfigFile& config);

/// "flow 'dock'", or "flow #2" for a flow without a readable id.
std::string FlowLabel(const FlowEntry& flow);
/// "point 'grab' in flow 'dock'", or "point #3 in flow 'dock'".
std::string PointLabel(const FlowEntry& flow, const PointEntry& point);
/// `text` between `quote`s for messages, on one line and shortened when long.
std::string Quoted(std::string_view text, char quote);
/// A value as written, for messages: "three" in quotes, "empty", "a sequence", "a mapping".
std::string WrittenValue(const YAML::Node& value);

/// The known key nearest to `name` within an edit distance of 2 (a swap of neighbours counts
/// as one edit); empty when there is none.
std::string_view ClosestKey(std::string_view name, const std::vector<std::string_view>& known);

/// Reads the file at `path` as the loader would see it; on failure fills `failure` with an
/// "unreadable-file" error and returns false.
bool ReadConfigText(const std::string& path, std::string& text, LintFinding& failure);

}  // namespace valtrix::trace::lint
