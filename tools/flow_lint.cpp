// flow_lint: checks flow configuration files before they run, the way compilers report, and
// draws their flows as Mermaid or Graphviz diagrams.

#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.hpp"
#include "valtrix/control_escape.hpp"
#include "valtrix/trace/flow_lint.hpp"

namespace {

using valtrix::tools::OptionValue;
using valtrix::tools::UsageError;
using valtrix::trace::FlowDiagramFormat;
using valtrix::trace::LintFinding;
using valtrix::trace::LintSeverity;

constexpr int kExitClean = 0;
constexpr int kExitFindings = 1;
constexpr int kExitUsage = 2;
constexpr char kUnreadableFile[] = "unreadable-file";
constexpr char kUsage[] =
    "usage: flow_lint [--format text|json] [--werror] [--diagram mermaid|dot] FILE...\n"
    "  Checks flow configuration files as FlowTrace::Init reads them.\n"
    "  --format text|json     findings as compiler messages (default) or as one JSON object\n"
    "  --werror               warnings fail the check as errors do\n"
    "  --diagram mermaid|dot  print a diagram of every flow; the findings then go to stderr\n"
    "  Exit status: 0 nothing fails, 1 findings that fail, 2 bad arguments or a file that\n"
    "  cannot be read.\n";

struct Options {
  bool json = false;
  bool werror = false;
  std::optional<FlowDiagramFormat> diagram;
  std::vector<std::string> files;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (only_files || argument.size() < 2 || argument[0] != '-') {
      options.files.push_back(argument);
    } else if (argument == "--") {
      only_files = true;
    } else if (argument == "-h" || argument == "--help") {
      std::cout << kUsage;
      std::exit(kExitClean);
    } else if (argument == "--werror") {
      options.werror = true;
    } else if (const auto format = OptionValue("--format", argc, argv, i)) {
      if (*format != "text" && *format != "json") {
        throw UsageError("--format takes text or json, not '" + *format + "'");
      }
      options.json = *format == "json";
    } else if (const auto diagram = OptionValue("--diagram", argc, argv, i)) {
      if (*diagram != "mermaid" && *diagram != "dot") {
        throw UsageError("--diagram takes mermaid or dot, not '" + *diagram + "'");
      }
      options.diagram =
          *diagram == "mermaid" ? FlowDiagramFormat::kMermaid : FlowDiagramFormat::kDot;
    } else {
      throw UsageError("unknown option '" + argument + "'");
    }
  }
  if (options.files.empty()) {
    throw UsageError("no file given");
  }
  return options;
}

struct Counts {
  size_t errors = 0;
  size_t warnings = 0;
  size_t notes = 0;
};

Counts CountOf(const std::vector<LintFinding>& findings) {
  Counts counts;
  for (const auto& finding : findings) {
    switch (finding.severity) {
      case LintSeverity::kError: ++counts.errors; break;
      case LintSeverity::kWarning: ++counts.warnings; break;
      case LintSeverity::kNote: ++counts.notes; break;
    }
  }
  return counts;
}

std::string Counted(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// "N errors, M warnings", and the notes when there are any.
std::string Summary(const Counts& counts) {
  std::string summary =
      Counted(counts.errors, "error") + ", " + Counted(counts.warnings, "warning");
  if (counts.notes != 0) {
    summary += ", " + Counted(counts.notes, "note");
  }
  return summary;
}

// FILE:LINE:COL: SEVERITY: MESSAGE [CODE], without the position for whole-file findings.
// Control characters (yaml-cpp's messages quote raw bytes of the file) are written as escapes,
// as the library's log lines write them.
std::string TextLine(const LintFinding& finding) {
  std::string line = finding.file + ":";
  if (finding.line != 0) {
    line += std::to_string(finding.line) + ":" + std::to_string(finding.column) + ":";
  }
  line += " " + std::string(valtrix::trace::LintSeverityName(finding.severity)) + ": " +
          finding.message + " [" + finding.code + "]";
  std::string escaped;
  valtrix::AppendEscaped(escaped, line);
  return escaped;
}

std::string JsonString(std::string_view text) {
  std::string out;
  valtrix::AppendJsonString(out, text);
  return out;
}

std::string JsonFinding(const LintFinding& finding) {
  return "{\"file\": " + JsonString(finding.file) + ", \"line\": " + std::to_string(finding.line) +
         ", \"column\": " + std::to_string(finding.column) + ", \"severity\": " +
         JsonString(valtrix::trace::LintSeverityName(finding.severity)) +
         ", \"code\": " + JsonString(finding.code) + ", \"flow_id\": " +
         JsonString(finding.flow_id) + ", \"point_id\": " + JsonString(finding.point_id) +
         ", \"key\": " + JsonString(finding.key) + ", \"message\": " +
         JsonString(finding.message) + "}";
}

std::string JsonReport(const std::vector<LintFinding>& findings, const Counts& counts) {
  std::string out = "{\n  \"findings\": [";
  for (size_t k = 0; k < findings.size(); ++k) {
    out += (k == 0 ? "\n    " : ",\n    ") + JsonFinding(findings[k]);
  }
  out += findings.empty() ? "],\n" : "\n  ],\n";
  return out + "  \"errors\": " + std::to_string(counts.errors) + ",\n  \"warnings\": " +
         std::to_string(counts.warnings) + ",\n  \"notes\": " + std::to_string(counts.notes) +
         "\n}\n";
}

bool Unreadable(const std::vector<LintFinding>& findings) {
  return findings.size() == 1 && findings[0].code == kUnreadableFile;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "flow_lint: " << error.what() << "\n" << kUsage;
    return kExitUsage;
  }

  std::vector<LintFinding> findings;
  std::string diagrams;
  bool unreadable = false;
  for (const auto& file : options.files) {
    const auto file_findings = valtrix::trace::LintFlowConfig(file);
    findings.insert(findings.end(), file_findings.begin(), file_findings.end());
    if (Unreadable(file_findings)) {
      unreadable = true;
    } else if (options.diagram) {
      const std::string drawn = valtrix::trace::DrawFlowDiagrams(file, *options.diagram);
      diagrams += (diagrams.empty() || drawn.empty() ? "" : "\n") + drawn;
    }
  }

  const Counts counts = CountOf(findings);
  std::ostream& report = options.diagram ? std::cerr : std::cout;
  if (options.json) {
    report << JsonReport(findings, counts);
  } else {
    for (const auto& finding : findings) {
      report << TextLine(finding) << "\n";
    }
    report << Summary(counts) << "\n";
  }
  std::cout << diagrams << std::flush;

  if (unreadable) {
    return kExitUsage;
  }
  const bool fails = counts.errors != 0 || (options.werror && counts.warnings != 0);
  return fails ? kExitFindings : kExitClean;
}
