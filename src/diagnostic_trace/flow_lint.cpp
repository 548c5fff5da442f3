// The linter's entry points and the pieces of its findings shared by the reader and the rules.

#include "valtrix/trace/flow_lint.hpp"

#include <algorithm>
#include <utility>

#include "flow_lint_model.hpp"

namespace valtrix::trace {
namespace lint {

namespace {

constexpr size_t kMaxQuotedValue = 60;

}  // namespace

Position PositionOf(const YAML::Mark& mark) {
  if (mark.is_null() || mark.line < 0 || mark.column < 0) {
    return {};
  }
  return {static_cast<uint32_t>(mark.line) + 1, static_cast<uint32_t>(mark.column) + 1};
}

const KeyEntry* KeyTable::Find(std::string_view name) const {
  for (const KeyEntry& entry : entries) {
    if (entry.is_text && entry.name == name) {
      return &entry;
    }
  }
  return nullptr;
}

void ConfigFile::Report(LintSeverity severity, Position position, const FlowEntry* flow,
                        const PointEntry* point, std::string_view key, std::string_view code,
                        std::string message) {
  LintFinding finding;
  finding.severity = severity;
  finding.file = name;
  finding.line = position.line;
  finding.column = position.column;
  if (flow != nullptr) {
    finding.flow_id = flow->id;
  }
  if (point != nullptr) {
    finding.point_id = point->id;
  }
  finding.key = key;
  finding.code = code;
  finding.message = std::move(message);
  findings.push_back(std::move(finding));
}

std::string Quoted(std::string_view text, char quote) {
  std::string out(1, quote);
  for (const char c : text.substr(0, kMaxQuotedValue)) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += '?';
    } else {
      out += c;
    }
  }
  if (text.size() > kMaxQuotedValue) {
    out += "...";
  }
  return out + quote;
}

std::string FlowLabel(const FlowEntry& flow) {
  if (!flow.id.empty()) {
    return "flow " + Quoted(flow.id, '\'');
  }
  return "flow #" + std::to_string(flow.number);
}

std::string PointLabel(const FlowEntry& flow, const PointEntry& point) {
  const std::string name =
      point.id.empty() ? "#" + std::to_string(point.number) : Quoted(point.id, '\'');
  return "point " + name + " in " + FlowLabel(flow);
}

std::string WrittenValue(const YAML::Node& value) {
  if (value.IsNull()) {
    return "empty";
  }
  if (value.IsSequence()) {
    return "a sequence";
  }
  if (value.IsMap()) {
    return "a mapping";
  }
  return Quoted(value.Scalar(), '"');
}

}  // namespace lint

const char* LintSeverityName(LintSeverity severity) {
  switch (severity) {
    case LintSeverity::kError:
      return "error";
    case LintSeverity::kWarning:
      return "warning";
    case LintSeverity::kNote:
      break;
  }
  return "note";
}

std::vector<LintFinding> LintFlowConfigText(const std::string& yaml, const std::string& name) {
  lint::ConfigFile config = lint::ReadConfig(yaml, name);
  lint::CheckRules(config);
  std::stable_sort(config.findings.begin(), config.findings.end(),
                   [](const LintFinding& a, const LintFinding& b) {
                     return a.line != b.line ? a.line < b.line : a.column < b.column;
                   });
  return std::move(config.findings);
}

std::vector<LintFinding> LintFlowConfig(const std::string& path) {
  std::string text;
  LintFinding failure;
  if (!lint::ReadConfigText(path, text, failure)) {
    return {failure};
  }
  return LintFlowConfigText(text, path);
}

}  // namespace valtrix::trace
