// Diagrams of the flows a configuration file loads: Mermaid flowcharts and Graphviz digraphs.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flow_lint_model.hpp"

namespace valtrix::trace {

namespace {

// The flows Init ends up holding, in file order: the ones it keeps, less those that a later
// flow of the same id replaces.
std::vector<std::shared_ptr<TraceFlowCfg>> RegisteredFlows(const lint::ConfigFile& config) {
  std::map<std::string, size_t> last_by_id;
  for (size_t k = 0; k < config.flows.size(); ++k) {
    if (config.flows[k].cfg) {
      last_by_id[config.flows[k].cfg->flow_id] = k;
    }
  }
  std::vector<std::shared_ptr<TraceFlowCfg>> flows;
  for (size_t k = 0; k < config.flows.size(); ++k) {
    const auto& cfg = config.flows[k].cfg;
    if (cfg && last_by_id[cfg->flow_id] == k) {
      flows.push_back(cfg);
    }
  }
  return flows;
}

std::string FlowTitle(const TraceFlowCfg& flow) {
  std::string title = flow.flow_id.empty() ? "(no flow_id)" : flow.flow_id;
  if (!flow.flow_name.empty()) {
    title += ": " + flow.flow_name;
  }
  title += flow.check_order ? " (ordered" : " (unordered";
  if (flow.event_id != 0) {
    title += ", event " + std::to_string(flow.event_id);
  }
  return title + ")";
}

// Id, "optional", event id, "×N" for repeat_cnt, "≤ N ms" for timeout_ms.
std::vector<std::string> PointLines(const TracePointCfg& point) {
  std::vector<std::string> lines{point.point_id};
  if (!point.is_critical) {
    lines.emplace_back("optional");
  }
  if (point.event_id != 0) {
    lines.push_back("event " + std::to_string(point.event_id));
  }
  if (point.repeat_cnt != 0) {
    lines.push_back("\u00d7" + std::to_string(point.repeat_cnt));
  }
  if (point.timeout_ms != 0) {
    lines.push_back("\u2264 " + std::to_string(point.timeout_ms) + " ms");
  }
  return lines;
}

std::string MermaidText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '"': out += "#quot;"; break;
      case '<': out += "#lt;"; break;
      case '>': out += "#gt;"; break;
      case '#': out += "#35;"; break;
      case '\n': out += ' '; break;
      default: out += c;
    }
  }
  return out;
}

std::string DotText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += ' '; break;
      default: out += c;
    }
  }
  return out;
}

std::string Joined(const std::vector<std::string>& lines, std::string (*escape)(const std::string&),
                   const char* separator) {
  std::string out;
  for (const auto& line : lines) {
    out += (out.empty() ? "" : separator) + escape(line);
  }
  return out;
}

// Critical points are boxes, optional ones rounded and dashed; an ordered flow links its points
// in order, an unordered one is a set of points.
std::string MermaidDiagram(const TraceFlowCfg& flow) {
  std::string out = "flowchart LR\n  subgraph points [\"" + MermaidText(FlowTitle(flow)) + "\"]\n";
  const auto& points = flow.flow_points;
  std::string optional_nodes;
  for (size_t k = 0; k < points.size(); ++k) {
    const std::string node = "p" + std::to_string(k + 1);
    const std::string label = Joined(PointLines(*points[k]), MermaidText, "<br/>");
    const bool box = points[k]->is_critical;
    out += "    " + node + (box ? "[\"" : "(\"") + label + (box ? "\"]" : "\")") + "\n";
    if (!points[k]->is_critical) {
      optional_nodes += (optional_nodes.empty() ? "" : ",") + node;
    }
  }
  if (points.empty()) {
    out += "    empty[\"no points\"]\n";
  }
  if (flow.check_order) {
    for (size_t k = 1; k < points.size(); ++k) {
      out += "    p" + std::to_string(k) + " --> p" + std::to_string(k + 1) + "\n";
    }
  }
  out += "  end\n";
  if (!optional_nodes.empty()) {
    out += "  classDef optional stroke-dasharray: 5 5\n  class " + optional_nodes + " optional\n";
  }
  return out;
}

std::string DotDiagram(const TraceFlowCfg& flow) {
  std::string out = "digraph \"" + DotText(flow.flow_id) + "\" {\n  label=\"" +
                    DotText(FlowTitle(flow)) +
                    "\";\n  labelloc=t;\n  rankdir=LR;\n  node [shape=box];\n";
  const auto& points = flow.flow_points;
  for (size_t k = 0; k < points.size(); ++k) {
    out += "  p" + std::to_string(k + 1) + " [label=\"" +
           Joined(PointLines(*points[k]), DotText, "\\n") + "\"" +
           (points[k]->is_critical ? "" : ", style=\"rounded,dashed\"") + "];\n";
  }
  if (points.empty()) {
    out += "  empty [label=\"no points\", shape=plaintext];\n";
  }
  if (flow.check_order) {
    for (size_t k = 1; k < points.size(); ++k) {
      out += "  p" + std::to_string(k) + " -> p" + std::to_string(k + 1) + ";\n";
    }
  }
  return out + "}\n";
}

}  // namespace

std::string DrawFlowDiagram(const TraceFlowCfg& flow, FlowDiagramFormat format) {
  return format == FlowDiagramFormat::kMermaid ? MermaidDiagram(flow) : DotDiagram(flow);
}

std::string DrawFlowDiagramsText(const std::string& yaml, FlowDiagramFormat format) {
  const lint::ConfigFile config = lint::ReadConfig(yaml, "");
  std::string out;
  for (const auto& flow : RegisteredFlows(config)) {
    out += (out.empty() ? "" : "\n") + DrawFlowDiagram(*flow, format);
  }
  return out;
}

std::string DrawFlowDiagrams(const std::string& path, FlowDiagramFormat format) {
  std::string text;
  LintFinding failure;
  if (!lint::ReadConfigText(path, text, failure)) {
    return "";
  }
  return DrawFlowDiagramsText(text, format);
}

std::vector<std::shared_ptr<TraceFlowCfg>> ReadFlowConfigs(const std::string& path) {
  std::string text;
  LintFinding failure;
  if (!lint::ReadConfigText(path, text, failure)) {
    return {};
  }
  return RegisteredFlows(lint::ReadConfig(text, path));
}

}  // namespace valtrix::trace
