#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace valtrix::trace {

struct TraceFlowCfg;

/// How bad a finding is: an error is something `FlowTrace::Init` drops or refuses, a warning
/// is accepted but almost certainly not meant, a note is a default worth knowing.
enum class LintSeverity { kError, kWarning, kNote };

/// One finding about a flow configuration file.
struct LintFinding {
  LintSeverity severity = LintSeverity::kError;
  /// The path or name the text was given under.
  std::string file;
  /// 1-based position of the key or value concerned; 0 when it concerns the whole file.
  uint32_t line = 0;
  uint32_t column = 0;
  /// The flow and point concerned, as written in the file; empty when there is none.
  std::string flow_id;
  std::string point_id;
  /// The configuration key concerned; empty when there is none.
  std::string key;
  /// Stable short name of the rule, e.g. "unknown-key", "bad-type", "never-sent".
  std::string code;
  /// Sentence naming the key, flow and point, the expected type and the value as written.
  std::string message;
};

/// "error", "warning" or "note".
const char* LintSeverityName(LintSeverity severity);

/// Checks the flow configuration file at `path`, read exactly as `FlowTrace::Init` reads it.
/// Findings come in file order; a file that cannot be read gives one "unreadable-file" error.
std::vector<LintFinding> LintFlowConfig(const std::string& path);

/// Checks configuration text; `name` labels the findings (usually the file's path).
std::vector<LintFinding> LintFlowConfigText(const std::string& yaml, const std::string& name);

enum class FlowDiagramFormat { kMermaid, kDot };

/// One diagram per flow that the file loads (as `Init` would register it), in file order: a
/// Mermaid `flowchart LR` or a Graphviz digraph. Empty when the file loads no flow.
std::string DrawFlowDiagrams(const std::string& path, FlowDiagramFormat format);

/// The same for configuration text.
std::string DrawFlowDiagramsText(const std::string& yaml, FlowDiagramFormat format);

/// The diagram of one flow, read from a file or registered in code.
std::string DrawFlowDiagram(const TraceFlowCfg& flow, FlowDiagramFormat format);

/// The flows that `FlowTrace::Init` would register from the file at `path`, in file order, each
/// as Init builds it (a later flow of the same id replacing the earlier), but with no publisher
/// and without logging anything. Empty when the file cannot be read or loads no flow; the
/// findings of `LintFlowConfig` say why.
std::vector<std::shared_ptr<TraceFlowCfg>> ReadFlowConfigs(const std::string& path);

}  // namespace valtrix::trace
