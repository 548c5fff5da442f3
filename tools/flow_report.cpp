// flow_report: draws run logs as one self-contained HTML page: per flow the timelines of its last
// runs, the statistics of every step over all runs, and the verdict counts.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "run_log_reader.hpp"
#include "valtrix/control_escape.hpp"

namespace {

using valtrix::tools::LoggedPoint;
using valtrix::tools::LoggedRun;
using valtrix::tools::OptionValue;
using valtrix::tools::RunLog;
using valtrix::tools::StatusName;
using valtrix::tools::UsageError;
using valtrix::trace::FlowCheckStatus;
using valtrix::trace::TraceFlowCfg;

constexpr int kExitWritten = 0;
constexpr int kExitUsage = 2;
constexpr std::size_t kDefaultRuns = 20;
constexpr char kUsage[] =
    "usage: flow_report RUNLOG... -o REPORT.html [--runs N]\n"
    "  Writes one self-contained HTML page (inline SVG and CSS) from run logs (VALTRIX_RUN_LOG):\n"
    "  per flow the timelines of its last runs, the statistics of each step over all runs,\n"
    "  and the verdict counts.\n"
    "  RUNLOG...       log files, oldest first (rotated: runs.2.jsonl runs.1.jsonl runs.jsonl)\n"
    "  -o, --output FILE  the page to write\n"
    "  --runs N        runs per flow drawn as timelines (default 20)\n"
    "  Exit status: 0 written, 2 bad arguments, a log that cannot be read or is malformed, or a\n"
    "  page that cannot be written.\n";

struct Options {
  std::string output;
  std::size_t runs = kDefaultRuns;
  std::vector<std::string> logs;
};

std::size_t RunCount(const std::string& text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || value == 0 || value > 100000) {
    throw UsageError("--runs takes a number from 1 to 100000, not '" + text + "'");
  }
  return static_cast<std::size_t>(value);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (only_files || argument.size() < 2 || argument[0] != '-') {
      options.logs.push_back(argument);
    } else if (argument == "--") {
      only_files = true;
    } else if (argument == "-h" || argument == "--help") {
      std::cout << kUsage;
      std::exit(kExitWritten);
    } else if (auto output = OptionValue("-o", argc, argv, i)) {
      options.output = *output;
    } else if (auto long_output = OptionValue("--output", argc, argv, i)) {
      options.output = *long_output;
    } else if (const auto runs = OptionValue("--runs", argc, argv, i)) {
      options.runs = RunCount(*runs);
    } else {
      throw UsageError("unknown option '" + argument + "'");
    }
  }
  if (options.logs.empty()) {
    throw UsageError("no run log given");
  }
  if (options.output.empty()) {
    throw UsageError("no output file given (-o REPORT.html)");
  }
  return options;
}

// Text from a log, safe inside HTML text and attribute values; control characters as escapes.
std::string Html(const std::string& text) {
  std::string escaped;
  valtrix::AppendEscaped(escaped, text);
  std::string html;
  html.reserve(escaped.size());
  for (const char c : escaped) {
    switch (c) {
      case '&': html += "&amp;"; break;
      case '<': html += "&lt;"; break;
      case '>': html += "&gt;"; break;
      case '"': html += "&quot;"; break;
      case '\'': html += "&#39;"; break;
      default: html += c;
    }
  }
  return html;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", value);
  return text;
}

// --- what a step was ---------------------------------------------------------------------------

enum class Outcome { kOk, kFailed, kLate, kUndefined };

const char* OutcomeClass(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "ok";
    case Outcome::kFailed: return "failed";
    case Outcome::kLate: return "late";
    case Outcome::kUndefined: return "undefined";
  }
  return "ok";
}

// One point of a run, placed against the flow's configuration.
struct Step {
  const LoggedPoint* point;
  /// Index of the configured point it matched; nullopt for a point the flow does not configure.
  std::optional<std::size_t> config_index;
  /// Since the previous entry of the run; nullopt for the first.
  std::optional<int64_t> duration_ms;
  /// The matched point's timeout_ms, 0 for none.
  uint32_t timeout_ms = 0;
  Outcome outcome = Outcome::kOk;
};

// The configured point `point_id` stands for: the first of that id from `cursor` on, else the
// first before it (a repeat). A point id may be configured more than once.
std::optional<std::size_t> MatchConfigured(const TraceFlowCfg* cfg, const std::string& point_id,
                                           std::size_t cursor) {
  if (cfg == nullptr) {
    return std::nullopt;
  }
  const auto& points = cfg->flow_points;
  for (std::size_t pass = 0; pass < 2; ++pass) {
    const std::size_t from = pass == 0 ? cursor : 0;
    const std::size_t to = pass == 0 ? points.size() : std::min(cursor, points.size());
    for (std::size_t k = from; k < to; ++k) {
      if (points[k] && points[k]->point_id == point_id) {
        return k;
      }
    }
  }
  return std::nullopt;
}

std::vector<Step> StepsOf(const LoggedRun& run, const TraceFlowCfg* cfg) {
  std::vector<Step> steps;
  steps.reserve(run.points.size());
  std::size_t cursor = 0;
  for (std::size_t i = 0; i < run.points.size(); ++i) {
    Step step{&run.points[i], MatchConfigured(cfg, run.points[i].point_id, cursor), std::nullopt};
    if (i != 0) {
      step.duration_ms = run.points[i].stamp_ms - run.points[i - 1].stamp_ms;
    }
    if (step.config_index) {
      cursor = *step.config_index + 1;
      step.timeout_ms = cfg->flow_points[*step.config_index]->timeout_ms;
    }
    if (!step.point->success) {
      step.outcome = Outcome::kFailed;
    } else if (!step.config_index) {
      step.outcome = Outcome::kUndefined;
    } else if (step.timeout_ms != 0 && step.duration_ms && *step.duration_ms > step.timeout_ms) {
      step.outcome = Outcome::kLate;
    }
    steps.push_back(step);
  }
  return steps;
}

// --- statistics over all runs ------------------------------------------------------------------

// One row of a flow's step table: a configured point, or an id the flow does not configure.
struct StepStats {
  std::string label;
  bool configured = true;
  std::size_t count = 0;
  std::size_t failed = 0;
  std::size_t late = 0;
  std::vector<int64_t> durations{};  // ms since the previous entry; the first point has none
};

struct FlowReport {
  std::string flow_id;
  const TraceFlowCfg* cfg = nullptr;  // the flow's last registration in the logs
  std::vector<const LoggedRun*> runs{};
  std::vector<StepStats> rows{};
  std::map<std::string, std::size_t> undefined_rows{};  // point id -> index into rows
  std::map<FlowCheckStatus, std::size_t> verdicts{};    // by each run's last verdict
  std::size_t without_verdict = 0;
  std::vector<int64_t> run_durations{};
};

void CountRun(FlowReport& flow, const LoggedRun& run) {
  if (run.verdicts.empty()) {
    ++flow.without_verdict;
  } else {
    ++flow.verdicts[run.verdicts.back().status];
  }
  if (!run.points.empty()) {
    flow.run_durations.push_back(run.points.back().stamp_ms - run.points.front().stamp_ms);
  }
  for (const Step& step : StepsOf(run, flow.cfg)) {
    std::size_t row = 0;
    if (step.config_index) {
      row = *step.config_index;
    } else {
      const auto [found, added] =
          flow.undefined_rows.emplace(step.point->point_id, flow.rows.size());
      if (added) {
        flow.rows.push_back({step.point->point_id, false});
      }
      row = found->second;
    }
    StepStats& stats = flow.rows[row];
    ++stats.count;
    stats.failed += step.outcome == Outcome::kFailed ? 1 : 0;
    stats.late += step.outcome == Outcome::kLate ? 1 : 0;
    if (step.duration_ms) {
      stats.durations.push_back(*step.duration_ms);
    }
  }
}

// Flows in the order the logs first name them.
std::vector<FlowReport> FlowReports(const RunLog& log) {
  std::vector<FlowReport> flows;
  std::map<std::string, std::size_t> index;
  const auto flow_of = [&](const std::string& flow_id) -> FlowReport& {
    const auto [found, added] = index.emplace(flow_id, flows.size());
    if (added) {
      flows.push_back({flow_id});
    }
    return flows[found->second];
  };
  for (const auto& logged : log.flows) {
    flow_of(logged.cfg->flow_id).cfg = logged.cfg.get();
  }
  for (const auto& run : log.runs) {
    flow_of(run.flow_id).runs.push_back(&run);
  }
  for (FlowReport& flow : flows) {
    if (flow.cfg != nullptr) {
      for (const auto& point : flow.cfg->flow_points) {
        flow.rows.push_back({point ? point->point_id : "", true});
      }
    }
    for (const LoggedRun* run : flow.runs) {
      CountRun(flow, *run);
    }
  }
  return flows;
}

// The nearest-rank percentile `p` (0..1) of sorted, non-empty values.
int64_t Percentile(const std::vector<int64_t>& sorted, double p) {
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

// --- drawing -----------------------------------------------------------------------------------

constexpr char kStyle[] = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #222; }
h1 { font-size: 22px; } h2 { font-size: 18px; margin: 28px 0 4px; }
.flow-name { color: #666; font-weight: normal; }
.scope, .sources { color: #555; }
ul.verdict-counts { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: 8px; }
li.verdict-count { padding: 2px 8px; border-radius: 4px; background: #eee; }
li.verdict-count.success { background: #d8f0d8; } li.verdict-count.failure { background: #f8d8d8; }
.legend span { display: inline-block; margin-right: 14px; }
.legend i { display: inline-block; width: 12px; height: 12px; margin-right: 4px; }
svg text { font: 11px system-ui, sans-serif; fill: #333; }
rect.ok, .legend i.ok { fill: #43a047; background: #43a047; }
rect.failed, .legend i.failed { fill: #e53935; background: #e53935; }
rect.late, .legend i.late { fill: #fb8c00; background: #fb8c00; }
rect.undefined, .legend i.undefined { fill: #8e24aa; background: #8e24aa; }
rect.step { stroke: #fff; stroke-width: 1; }
line.timeout-tick { stroke: #111; stroke-width: 2; }
.legend i.timeout-tick { background: #111; width: 2px; }
line.axis, line.grid { stroke: #bbb; } line.grid { stroke-dasharray: 2 3; }
text.verdict { fill: #c62828; font-weight: bold; } text.no-verdict { fill: #888; }
table.step-stats { border-collapse: collapse; margin-top: 12px; }
table.step-stats th, table.step-stats td { padding: 3px 8px; text-align: right; }
table.step-stats td { border-top: 1px solid #ddd; }
table.step-stats td.point, table.step-stats th.point { text-align: left; }
table.step-stats tr.unconfigured td.point { color: #8e24aa; }
svg.histogram rect.bar { fill: #5c6bc0; }
)";

constexpr double kLabelWidth = 110;
constexpr double kPlotWidth = 760;
constexpr double kVerdictWidth = 150;
constexpr double kRowHeight = 18;
constexpr double kAxisHeight = 24;

// A round step for about six axis labels over `span` ms.
int64_t AxisStep(int64_t span) {
  int64_t step = 1;
  for (;;) {
    for (const int64_t factor : {1, 2, 5}) {
      if (span / (step * factor) <= 6) {
        return step * factor;
      }
    }
    step *= 10;
  }
}

// A run that is never reset (a heartbeat) can hold many thousands of points: its row draws the
// last ones only, and says so.
constexpr std::size_t kMaxDrawnSteps = 200;

// A step as its row draws it: its bar starts at `from`; the row's first bar is a mark.
struct DrawnStep {
  Step step;
  int64_t from;
};

std::vector<DrawnStep> DrawnSteps(const FlowReport& flow, const LoggedRun& run) {
  const auto steps = StepsOf(run, flow.cfg);
  const std::size_t skip = steps.size() > kMaxDrawnSteps ? steps.size() - kMaxDrawnSteps : 0;
  std::vector<DrawnStep> drawn;
  for (std::size_t i = skip; i < steps.size(); ++i) {
    drawn.push_back({steps[i], (i == skip ? steps[i] : steps[i - 1]).point->stamp_ms});
  }
  return drawn;
}

// The ms the timeline must show: every drawn run from its first bar, and its time-out ticks.
int64_t TimelineSpan(const FlowReport& flow, const std::vector<const LoggedRun*>& runs) {
  int64_t span = 1;
  for (const LoggedRun* run : runs) {
    const auto drawn = DrawnSteps(flow, *run);
    for (std::size_t k = 0; k < drawn.size(); ++k) {
      const int64_t origin = drawn.front().from;
      span = std::max(span, drawn[k].step.point->stamp_ms - origin);
      if (k != 0 && drawn[k].step.timeout_ms != 0) {
        span = std::max(span, drawn[k].from - origin + drawn[k].step.timeout_ms);
      }
    }
  }
  return span;
}

void DrawRun(std::ostream& out, const FlowReport& flow, const LoggedRun& run, double y,
             double scale) {
  const auto drawn = DrawnSteps(flow, run);
  out << "<g class=\"run\"><text class=\"run-label\" x=\"0\" y=\"" << y + 13 << "\">run "
      << run.number
      << (drawn.size() < run.points.size() ? " (last " + std::to_string(kMaxDrawnSteps) + ")"
                                           : std::string())
      << "</text>";
  const int64_t origin = drawn.empty() ? 0 : drawn.front().from;
  const auto x_of = [&](int64_t stamp) { return kLabelWidth + double(stamp - origin) * scale; };
  for (std::size_t k = 0; k < drawn.size(); ++k) {
    const Step& step = drawn[k].step;
    const int64_t from = drawn[k].from;
    const double x = x_of(std::min(from, step.point->stamp_ms));
    const double width = std::max(2.0, std::abs(double(step.point->stamp_ms - from)) * scale);
    out << "<rect class=\"step " << OutcomeClass(step.outcome) << "\" x=\"" << Number(x)
        << "\" y=\"" << y + 3 << "\" width=\"" << Number(width) << "\" height=\"" << kRowHeight - 6
        << "\"><title>" << Html(step.point->point_id) << ": " << OutcomeClass(step.outcome);
    if (step.duration_ms) {
      out << ", " << *step.duration_ms << " ms";
    }
    if (step.timeout_ms != 0) {
      out << " (limit " << step.timeout_ms << " ms)";
    }
    out << "</title></rect>";
    if (k != 0 && step.timeout_ms != 0) {
      const double tick = x_of(from + step.timeout_ms);
      out << "<line class=\"timeout-tick\" x1=\"" << Number(tick) << "\" x2=\"" << Number(tick)
          << "\" y1=\"" << y + 1 << "\" y2=\"" << y + kRowHeight - 1 << "\"/>";
    }
  }
  const double text_x = kLabelWidth + kPlotWidth + 8;
  if (run.verdicts.empty()) {
    out << "<text class=\"no-verdict\" x=\"" << text_x << "\" y=\"" << y + 13
        << "\">no verdict</text>";
  } else if (run.verdicts.back().status != FlowCheckStatus::SUCCESS) {
    out << "<text class=\"verdict\" x=\"" << text_x << "\" y=\"" << y + 13 << "\">"
        << StatusName(run.verdicts.back().status) << "</text>";
  }
  out << "</g>\n";
}

void DrawTimeline(std::ostream& out, const FlowReport& flow, std::size_t last_runs) {
  const std::size_t first = flow.runs.size() > last_runs ? flow.runs.size() - last_runs : 0;
  const std::vector<const LoggedRun*> runs(flow.runs.begin() + first, flow.runs.end());
  const int64_t span = TimelineSpan(flow, runs);
  const double scale = kPlotWidth / double(span);
  const double height = kAxisHeight + kRowHeight * double(runs.size());
  out << "<svg class=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\""
      << kLabelWidth + kPlotWidth + kVerdictWidth << "\" height=\"" << height << "\">\n";
  const int64_t step = AxisStep(span);
  for (int64_t ms = 0; ms <= span; ms += step) {
    const double x = kLabelWidth + double(ms) * scale;
    out << "<line class=\"grid\" x1=\"" << Number(x) << "\" x2=\"" << Number(x)
        << "\" y1=\"14\" y2=\"" << height << "\"/><text class=\"axis\" x=\"" << Number(x)
        << "\" y=\"11\" text-anchor=\"middle\">" << ms << " ms</text>";
  }
  out << "\n";
  for (std::size_t k = 0; k < runs.size(); ++k) {
    DrawRun(out, flow, *runs[k], kAxisHeight + kRowHeight * double(k), scale);
  }
  out << "</svg>\n";
}

// Step durations in 16 bins from the least to the greatest.
void DrawHistogram(std::ostream& out, const std::vector<int64_t>& sorted) {
  constexpr std::size_t kBins = 16;
  constexpr double kWidth = 128;
  constexpr double kHeight = 24;
  out << "<svg class=\"histogram\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth
      << "\" height=\"" << kHeight << "\">";
  if (!sorted.empty()) {
    const int64_t low = sorted.front();
    const double width = double(sorted.back() - low) / kBins;
    std::vector<std::size_t> bins(kBins, 0);
    for (const int64_t value : sorted) {
      const auto bin = width == 0 ? 0 : static_cast<std::size_t>(double(value - low) / width);
      ++bins[std::min(bin, kBins - 1)];
    }
    const std::size_t most = *std::max_element(bins.begin(), bins.end());
    for (std::size_t b = 0; b < kBins; ++b) {
      if (bins[b] == 0) {
        continue;
      }
      const double h = std::max(1.0, kHeight * double(bins[b]) / double(most));
      out << "<rect class=\"bar\" x=\"" << double(b) * kWidth / kBins << "\" y=\""
          << Number(kHeight - h) << "\" width=\"" << kWidth / kBins - 1 << "\" height=\""
          << Number(h) << "\"><title>" << Number(double(low) + width * double(b)) << " to "
          << Number(double(low) + width * double(b + 1)) << " ms: " << bins[b] << "</title></rect>";
    }
  }
  out << "</svg>";
}

void WriteStatsRow(std::ostream& out, std::size_t position, StepStats& row) {
  std::sort(row.durations.begin(), row.durations.end());
  out << "<tr" << (row.configured ? "" : " class=\"unconfigured\"") << "><td>"
      << (row.configured ? std::to_string(position + 1) : "") << "</td><td class=\"point\">"
      << Html(row.label) << (row.configured ? "" : " (not configured)") << "</td><td>" << row.count
      << "</td><td>" << row.failed << "</td><td>" << row.late << "</td>";
  if (row.durations.empty()) {
    out << "<td>-</td><td>-</td><td>-</td><td>-</td><td>-</td>";
  } else {
    double sum = 0;
    for (const int64_t value : row.durations) {
      sum += double(value);
    }
    out << "<td>" << row.durations.front() << "</td><td>"
        << Number(sum / double(row.durations.size())) << "</td><td>"
        << Percentile(row.durations, 0.5) << "</td><td>" << Percentile(row.durations, 0.95)
        << "</td><td>" << row.durations.back() << "</td>";
  }
  out << "<td>";
  DrawHistogram(out, row.durations);
  out << "</td></tr>\n";
}

void WriteVerdictCounts(std::ostream& out, FlowReport& flow) {
  out << "<ul class=\"verdict-counts\">";
  for (const auto& [status, count] : flow.verdicts) {
    out << "<li class=\"verdict-count "
        << (status == FlowCheckStatus::SUCCESS ? "success" : "failure") << "\">"
        << StatusName(status) << " " << count << "</li>";
  }
  if (flow.without_verdict != 0) {
    out << "<li class=\"verdict-count\">no verdict " << flow.without_verdict << "</li>";
  }
  out << "</ul>\n";
  if (!flow.run_durations.empty()) {
    std::sort(flow.run_durations.begin(), flow.run_durations.end());
    out << "<p class=\"run-durations\">Run duration, first to last point: p50 "
        << Percentile(flow.run_durations, 0.5) << " ms, p95 "
        << Percentile(flow.run_durations, 0.95) << " ms, max " << flow.run_durations.back()
        << " ms.</p>\n";
  }
}

void WriteFlow(std::ostream& out, FlowReport& flow, std::size_t last_runs) {
  const std::size_t total = flow.runs.size();
  const std::size_t drawn = std::min(total, last_runs);
  out << "<section class=\"flow\" data-flow=\"" << Html(flow.flow_id) << "\">\n<h2>"
      << Html(flow.flow_id);
  if (flow.cfg != nullptr && !flow.cfg->flow_name.empty()) {
    out << " <span class=\"flow-name\">" << Html(flow.cfg->flow_name) << "</span>";
  }
  out << "</h2>\n<p class=\"scope\">Timelines: last " << drawn << " of " << total
      << (total == 1 ? " run" : " runs") << "; statistics and counts over all " << total
      << (flow.cfg == nullptr ? "; the logs hold no registration of this flow, so no step is "
                                "configured"
                              : "")
      << ".</p>\n";
  WriteVerdictCounts(out, flow);
  if (drawn != 0) {
    out << "<p class=\"legend\"><span><i class=\"ok\"></i>ok</span><span><i class=\"failed\">"
           "</i>failed</span><span><i class=\"late\"></i>late (past timeout_ms)</span><span><i "
           "class=\"undefined\"></i>not configured</span><span><i class=\"timeout-tick\"></i>"
           "timeout_ms after the previous entry</span></p>\n";
    DrawTimeline(out, flow, last_runs);
  }
  out << "<table class=\"step-stats\"><thead><tr><th>#</th><th class=\"point\">point</th>"
         "<th>count</th><th>failed</th><th>late</th><th>min ms</th><th>mean ms</th>"
         "<th>p50 ms</th><th>p95 ms</th><th>max ms</th><th>since the previous entry</th>"
         "</tr></thead>\n<tbody>\n";
  for (std::size_t k = 0; k < flow.rows.size(); ++k) {
    WriteStatsRow(out, k, flow.rows[k]);
  }
  out << "</tbody></table>\n</section>\n";
}

std::string Report(const RunLog& log, const std::vector<std::string>& sources,
                   std::size_t last_runs) {
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<title>Flow report</title><style>"
      << kStyle << "</style></head>\n<body>\n<h1>Flow report</h1>\n<p class=\"sources\">From ";
  for (std::size_t k = 0; k < sources.size(); ++k) {
    out << (k == 0 ? "" : ", ") << Html(sources[k]);
  }
  out << ": " << log.runs.size() << (log.runs.size() == 1 ? " run" : " runs") << ".</p>\n";
  for (FlowReport& flow : FlowReports(log)) {
    WriteFlow(out, flow, last_runs);
  }
  out << "</body></html>\n";
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "flow_report: " << error.what() << "\n" << kUsage;
    return kExitUsage;
  }
  RunLog log;
  try {
    log = valtrix::tools::ReadRunLogs(options.logs, std::cerr);
  } catch (const valtrix::tools::RunLogError& error) {
    std::string escaped;
    valtrix::AppendEscaped(escaped, error.what());
    std::cerr << "flow_report: " << escaped << "\n";
    return kExitUsage;
  }
  const std::string page = Report(log, options.logs, options.runs);
  std::ofstream out(options.output, std::ios::binary | std::ios::trunc);
  out << page;
  out.close();
  if (!out) {
    std::cerr << "flow_report: " << options.output << ": cannot write\n";
    return kExitUsage;
  }
  return kExitWritten;
}
