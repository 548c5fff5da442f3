// flow_replay: feeds the points of run logs, run by run, through the library offline and judges
// each run again, against the flows the log registered or against another configuration file.

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "command_line.hpp"
#include "run_log_reader.hpp"
#include "valtrix/control_escape.hpp"
#include "valtrix/trace/flow_lint.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace {

using valtrix::tools::LoggedRun;
using valtrix::tools::LoggedVerdict;
using valtrix::tools::OptionValue;
using valtrix::tools::RunLog;
using valtrix::tools::StatusName;
using valtrix::tools::UsageError;
using valtrix::trace::FlowCheckStatus;
using valtrix::trace::FlowTrace;
using valtrix::trace::TraceFlowCfg;

constexpr int kExitSame = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitUsage = 2;
constexpr char kUsage[] =
    "usage: flow_replay [--config FILE] [--expect-same] [--verbose] RUNLOG...\n"
    "  Replays the points of run logs (VALTRIX_RUN_LOG) through the library, run by run, and\n"
    "  judges each run that was judged when it ran; prints one line per verdict.\n"
    "  RUNLOG...       log files, oldest first (rotated: runs.2.jsonl runs.1.jsonl runs.jsonl)\n"
    "  --config FILE   judge against this flow configuration instead of the log's flows\n"
    "  --expect-same   fail when a verdict differs from the logged one\n"
    "  --verbose       let the library log (SPDLOG_* as set) instead of keeping it quiet\n"
    "  Exit status: 0 done, 1 a verdict differs under --expect-same, 2 bad arguments, a log\n"
    "  that cannot be read or is malformed, or a configuration that loads no flow.\n";

struct Options {
  std::optional<std::string> config;
  bool expect_same = false;
  bool verbose = false;
  std::vector<std::string> logs;
};

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
      std::exit(kExitSame);
    } else if (argument == "--expect-same") {
      options.expect_same = true;
    } else if (argument == "--verbose") {
      options.verbose = true;
    } else if (auto config = OptionValue("--config", argc, argv, i)) {
      options.config = std::move(config);
    } else {
      throw UsageError("unknown option '" + argument + "'");
    }
  }
  if (options.logs.empty()) {
    throw UsageError("no run log given");
  }
  return options;
}

std::string Escaped(const std::string& text) {
  std::string escaped;
  valtrix::AppendEscaped(escaped, text);
  return escaped;
}

// The library reads its logging settings and the run log's path once, on first use: settle
// both before the first call. A replay must never append to a run log itself.
void PrepareEnvironment(bool verbose) {
  unsetenv("VALTRIX_RUN_LOG");
  if (!verbose) {
    setenv("SPDLOG_STDOUT", "false", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "critical", 1);
  }
}

// Loads `path` with Init; the ids of its flows, or a UsageError with the linter's reasons when
// it loads none.
std::set<std::string> LoadConfig(const std::string& path) {
  std::set<std::string> flow_ids;
  for (const auto& cfg : valtrix::trace::ReadFlowConfigs(path)) {
    flow_ids.insert(cfg->flow_id);
  }
  std::string errors;
  for (const auto& finding : valtrix::trace::LintFlowConfig(path)) {
    if (finding.severity == valtrix::trace::LintSeverity::kError) {
      errors += "\n  " + Escaped(finding.file + ":" + std::to_string(finding.line) + ": " +
                                 finding.message + " [" + finding.code + "]");
    }
  }
  if (flow_ids.empty()) {
    throw UsageError(Escaped(path) + ": loads no flow" + errors);
  }
  if (!errors.empty()) {
    std::cerr << "flow_replay: warning: " << Escaped(path) << " loads with errors:" << errors
              << "\n";
  }
  FlowTrace::GetInstance().Init(path, nullptr);
  return flow_ids;
}

struct Tally {
  std::size_t judged = 0;
  std::size_t same = 0;
  std::size_t different = 0;
  std::size_t not_judged = 0;
  std::size_t without_verdict = 0;
};

// Replays runs into the registry: the log's own registrations, or the flows of --config.
class Replayer {
 public:
  Replayer(const RunLog& log, std::optional<std::set<std::string>> configured)
      : log_(log), configured_(std::move(configured)) {}

  void Replay(const LoggedRun& run, Tally& tally) {
    if (run.verdicts.empty()) {
      ++tally.without_verdict;
      return;
    }
    const char* refusal = Refusal(run);
    FlowTrace& flows = FlowTrace::GetInstance();
    if (refusal == nullptr) {
      flows.ResetFlow(run.flow_id);
    }
    std::size_t traced = 0;
    for (const LoggedVerdict& verdict : run.verdicts) {
      std::optional<FlowCheckStatus> status;
      if (refusal == nullptr) {
        for (; traced < verdict.points_before; ++traced) {
          TraceLogged(run.flow_id, run.points[traced]);
        }
        status = flows.CheckFlow(run.flow_id)->status;
      }
      Print(run, verdict, status, refusal);
      if (refusal != nullptr && run.began_before_log) {
        ++tally.not_judged;
        continue;
      }
      ++tally.judged;
      ++(status == verdict.status ? tally.same : tally.different);
    }
  }

 private:
  // Why the run cannot be replayed, or null; registers the log's flow when it can.
  const char* Refusal(const LoggedRun& run) {
    if (run.began_before_log) {
      return "not judged, began before the log";
    }
    if (configured_) {
      return configured_->count(run.flow_id) != 0 ? nullptr : "not configured";
    }
    if (!run.flow) {
      return "not configured";
    }
    const auto& cfg = log_.flows[*run.flow].cfg;
    auto& registered = registered_[run.flow_id];
    if (registered != cfg) {
      FlowTrace::GetInstance().RegisterTraceFlow(cfg);
      registered = cfg;
    }
    return nullptr;
  }

  static void TraceLogged(const std::string& flow_id, const valtrix::tools::LoggedPoint& logged) {
    auto point = std::make_shared<valtrix::trace::TracePoint>(logged.point_id, logged.success);
    point->timestamp = logged.stamp_ms;
    point->metadata = logged.metadata;
    FlowTrace::GetInstance().Trace(flow_id, point);
  }

  // "<flow> run N (P points, D ms): VERDICT", and the logged one when they differ.
  static void Print(const LoggedRun& run, const LoggedVerdict& verdict,
                    std::optional<FlowCheckStatus> status, const char* refusal) {
    int64_t duration = 0;
    if (verdict.points_before != 0) {
      duration = run.points[verdict.points_before - 1].stamp_ms - run.points.front().stamp_ms;
    }
    std::cout << Escaped(run.flow_id) << " run " << run.number << " (" << verdict.points_before
              << (verdict.points_before == 1 ? " point, " : " points, ")
              << (duration > 0 ? duration : 0)
              << " ms): " << (status ? StatusName(*status) : refusal);
    if (status != verdict.status) {
      std::cout << " (logged " << StatusName(verdict.status) << ")";
    }
    std::cout << "\n";
  }

  const RunLog& log_;
  std::optional<std::set<std::string>> configured_;
  std::unordered_map<std::string, std::shared_ptr<TraceFlowCfg>> registered_;
};

std::string Summary(const Tally& tally) {
  std::string summary = std::to_string(tally.judged) +
                        (tally.judged == 1 ? " verdict" : " verdicts") +
                        " replayed: " + std::to_string(tally.same) + " as logged, " +
                        std::to_string(tally.different) + " different";
  if (tally.not_judged != 0) {
    summary += "; " + std::to_string(tally.not_judged) + " not judged (began before the log)";
  }
  if (tally.without_verdict != 0) {
    summary += "; " + std::to_string(tally.without_verdict) +
               (tally.without_verdict == 1 ? " run" : " runs") + " without a verdict";
  }
  return summary;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "flow_replay: " << error.what() << "\n" << kUsage;
    return kExitUsage;
  }
  PrepareEnvironment(options.verbose);

  RunLog log;
  std::optional<std::set<std::string>> configured;
  try {
    log = valtrix::tools::ReadRunLogs(options.logs, std::cerr);
    if (options.config) {
      configured = LoadConfig(*options.config);
    }
  } catch (const valtrix::tools::RunLogError& error) {
    std::cerr << "flow_replay: " << Escaped(error.what()) << "\n";
    return kExitUsage;
  } catch (const UsageError& error) {  // a configuration that loads no flow, already escaped
    std::cerr << "flow_replay: " << error.what() << "\n";
    return kExitUsage;
  }

  Replayer replayer(log, std::move(configured));
  Tally tally;
  for (const LoggedRun& run : log.runs) {
    replayer.Replay(run, tally);
  }
  std::cout << Summary(tally) << "\n";
  return options.expect_same && tally.different != 0 ? kExitDifferent : kExitSame;
}
