// The flow configuration linter: the findings of every rule with their positions, the reading
// of files, the flow_lint command's output and exit codes, and the diagrams.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/flow_builders.hpp"
#include "support/flow_trace_access.hpp"
#include "support/temp_files.hpp"
#include "valtrix/trace/flow_lint.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

// Init logs; nothing of it is wanted here. The logger reads its settings once.
const bool kQuietLogger = [] {
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "error", 1);
  return true;
}();

// A finding without its message: "LINE:COL severity code flow/point/key".
std::string Brief(const LintFinding& finding) {
  return std::to_string(finding.line) + ":" + std::to_string(finding.column) + " " +
         LintSeverityName(finding.severity) + " " + finding.code + " " + finding.flow_id + "/" +
         finding.point_id + "/" + finding.key;
}

std::vector<std::string> Briefs(const std::string& yaml) {
  std::vector<std::string> briefs;
  for (const auto& finding : LintFlowConfigText(yaml, "flows.yaml")) {
    briefs.push_back(Brief(finding));
  }
  return briefs;
}

// A flow "f" that lints clean around `points`, which start on line 7.
std::string Ordered(const std::string& points) {
  return "workflows:\n  - flow_id: f\n    check_order: true\n    diag_topic: /d\n    event_id: 1\n"
         "    flow_points:\n" + points;
}
std::string Unordered(const std::string& points) {
  return "workflows:\n  - flow_id: f\n    check_order: false\n    diag_topic: /d\n"
         "    event_id: 1\n    flow_points:\n" + points;
}

struct Case {
  const char* name;
  std::string yaml;
  std::vector<std::string> expected;
};

void ExpectFindings(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(Briefs(c.yaml), c.expected) << c.name;
  }
}

TEST(FlowLintTest, errors_are_what_init_drops_or_refuses) {
  ExpectFindings({
      {"syntax", "workflows: [a\n", {"2:1 error syntax-error //"}},
      {"aliases past the limit", NestedAliasFlows(8), {"6:45 error alias-limit //"}},
      {"scalar root", "just text\n", {"1:1 error no-workflows //"}},
      {"empty file", "# nothing\n", {"0:0 error no-workflows //workflows"}},
      {"sequence root", "- workflows\n", {"0:0 error no-workflows //workflows"}},
      {"workflows empty", "workflows:\n", {"1:1 error no-workflows //workflows"}},
      {"workflows mapping", "workflows: {a: 1}\n",
       {"1:12 error workflows-not-sequence //workflows"}},
      {"flow entry a text", "workflows:\n  - dock\n", {"2:5 error bad-entry //"}},
      {"flow keys of the wrong type", R"(workflows:
  - flow_id: f
    check_order: maybe
    event_id: -1
    flow_name: [x]
    diag_topic: /d
    flow_points: [{point_id: a}]
)",
       {"3:18 error bad-type f//check_order", "4:15 error bad-type f//event_id",
        "5:16 error bad-type f//flow_name"}},
      {"point keys of the wrong type", Ordered(R"(      - point_id: a
        repeat_cnt: "three"
        on_success:
        freq_min: fast
        point_desc: [x]
        optional: maybe
)"),
       {"8:21 error bad-type f/a/repeat_cnt", "9:9 error bad-type f/a/on_success",
        "10:19 error bad-type f/a/freq_min", "11:21 error bad-type f/a/point_desc",
        "12:19 error bad-type f/a/optional"}},
      {"point entries without point_id", Ordered(R"(      - word
      -
      - [point_id, a]
      - pointid: b
      - point_id: c
)"),
       {"7:9 error bad-entry f//", "8:7 error missing-point-id f//point_id",
        "9:9 error missing-point-id f//point_id", "10:9 error missing-point-id f//point_id",
        "10:9 warning unknown-key f//pointid"}},
      {"topics ROS 2 rejects", R"(workflows:
  - {flow_id: a, diag_topic: /a b}
  - {flow_id: b, diag_topic: "/b//c"}
  - {flow_id: c, diag_topic: "/{robot}/diag"}
  - {flow_id: d, diag_topic: )" + std::string(247, 'd') + "}\n",
       {"2:32 error bad-topic a//diag_topic", "3:34 error bad-topic b//diag_topic",
        "4:30 error bad-topic c//diag_topic", "5:30 error bad-topic d//diag_topic"}},
      // Boundaries: the forms yaml-cpp converts, and keys the loader never reads.
      {"clean: hexadecimal, octal, infinity", Unordered(R"(      - point_id: a
        event_id: 0x10
        repeat_cnt: 010
        freq_min: .inf
        optional: Off
)"),
       {}},
      {"clean: a topic of 247 characters", R"(workflows:
  - {flow_id: d, check_order: true, event_id: 1, diag_topic: )" + std::string(246, 'd') +
           ", flow_points: [{point_id: a}]}\n",
       {}},
      {"unread faliure_id and description do not drop the point", Ordered(R"(      - point_id: a
        event_id: 2
        faliure_id: abc
        point_desc: text
        description: [x]
)"),
       {"9:9 warning ignored-key f/a/faliure_id", "11:9 warning ignored-key f/a/description"}},
  });
}

TEST(FlowLintTest, warnings_are_what_init_accepts_but_cannot_behave_as_written) {
  ExpectFindings({
      {"unknown keys", R"(workflows:
  - flow_id: dock
    chek_order: true
    diag_topic: /d
    event_id: 1
    flow_points:
      - point_id: a
        evnet_id: 2
        check_order: true
        colour: red
workflow: x
)",
       {"2:5 note default-check-order dock//check_order",
        "3:5 warning unknown-key dock//chek_order",
        "8:9 warning unknown-key dock/a/evnet_id", "9:9 warning unknown-key dock/a/check_order",
        "10:9 warning unknown-key dock/a/colour", "11:1 warning unknown-key //workflow"}},
      {"clean: a top-level anchor that flows use", R"(shared: &points [{point_id: a}]
workflows:
  - {flow_id: f, check_order: true, diag_topic: /d, event_id: 1, flow_points: *points}
)",
       {}},
      {"a key twice", Ordered("      - {point_id: a, event_id: 2, event_id: 3}\n"),
       {"7:36 warning duplicate-key f/a/event_id"}},
      {"flow ids repeated, missing and empty", R"(workflows:
  - {flow_id: f, check_order: true, diag_topic: /d, event_id: 1, flow_points: [{point_id: a}]}
  - {flow_id: f, check_order: true, diag_topic: /d, event_id: 1, flow_points: [{point_id: a}]}
  - {flow_id: '', check_order: true, diag_topic: /d, event_id: 1, flow_points: [{point_id: a}]}
  - {check_order: true, diag_topic: /d, event_id: 1, flow_points: [{point_id: a}]}
  - flow_id:
    check_order: true
    diag_topic: /d
    event_id: 1
    flow_points: [{point_id: a}]
)",
       {"3:15 warning duplicate-flow-id f//flow_id", "4:15 warning empty-flow-id //flow_id",
        "5:5 warning duplicate-flow-id //flow_id", "5:5 warning empty-flow-id //flow_id",
        "6:5 warning empty-flow-id null//flow_id"}},
      {"a repeated flow_id beside an error of the later flow", R"(workflows:
  - {flow_id: f, check_order: true, diag_topic: /d, event_id: 1, flow_points: [{point_id: a}]}
  - {flow_id: f, check_order: true, diag_topic: /a b, event_id: 1, flow_points: [{point_id: a}]}
)",
       {"3:15 warning duplicate-flow-id f//flow_id", "3:51 error bad-topic f//diag_topic"}},
      {"diag_topic written empty",
       "workflows:\n  - {flow_id: f, check_order: true, event_id: 1, diag_topic: ,"
       " flow_points: [{point_id: a}]}\n",
       {"2:50 warning null-topic f//diag_topic"}},
      {"flags without an event id", Ordered(R"(      - point_id: a
        on_success: true
        on_failure: true
        on_timeout: true
        timeout_ms: 10
        repeat_cnt: 1
      - {point_id: b, on_success: false, event_id: 0}
)"),
       {"8:9 warning never-sent f/a/on_success", "9:9 warning never-sent f/a/on_failure",
        "10:9 warning never-sent f/a/on_timeout"}},
      {"on_timeout without a time limit",
       Ordered(R"(      - {point_id: a, event_id: 2, on_timeout: true}
      - {point_id: b, event_id: 2, on_timeout: true, freq_min: 2}
      - {point_id: c, event_id: 2, on_timeout: true, timeout_ms: 9, repeat_cnt: 1}
)"),
       {"7:36 warning no-time-limit f/a/on_timeout", "8:36 warning no-time-limit f/b/on_timeout",
        "8:54 warning unused-key f/b/freq_min"}},
      {"on_timeout without a period in an unordered flow",
       Unordered(R"(      - {point_id: a, event_id: 2, on_timeout: true, timeout_ms: 9}
      - {point_id: b, event_id: 2, on_timeout: true, freq_min: .inf}
      - {point_id: c, event_id: 2, on_timeout: true, freq_min: 0.5}
)"),
       {"7:36 warning no-time-limit f/a/on_timeout", "7:54 warning unused-key f/a/timeout_ms",
        "8:36 warning no-time-limit f/b/on_timeout"}},
      {"timeout_ms judged only by CheckTimeouts", Ordered(R"(      - {point_id: a, timeout_ms: 500}
      - {point_id: b, timeout_ms: 500, repeat_cnt: 1}
      - {point_id: c, timeout_ms: 0, freq_min: 0}
)"),
       {"7:23 warning timeout-not-on-arrival f/a/timeout_ms"}},
      {"repeat_max below repeat_cnt", Ordered(R"(      - {point_id: a, repeat_cnt: 3, repeat_max: 2}
      - {point_id: b, repeat_cnt: 3, repeat_max: 3}
      - {point_id: c, repeat_cnt: 3, repeat_max: 0}
)"),
       {"7:50 warning unreachable-repeat f/a/repeat_max"}},
      {"clean: repeat bounds in an unordered flow",
       Unordered("      - {point_id: a, repeat_cnt: 3, repeat_max: 2}\n"), {}},
      {"the same point twice in a row", Ordered(R"(      - point_id: a
      - point_id: a
      - {point_id: b, event_id: x}
      - point_id: a
      - point_id: c
      - point_id: a
)"),
       {"8:19 warning repeated-point f/a/point_id", "9:33 error bad-type f/b/event_id",
        "10:19 warning repeated-point f/a/point_id"}},
      {"clean: a point twice in a row in an unordered flow",
       Unordered("      - point_id: a\n      - point_id: a\n"), {}},
      {"old spellings beside the new ones", R"(workflows:
  - flow_id: f
    check_order: true
    diag_topic: /d
    event_id: 1
    faliure_id: 1
    flow_points: [{point_id: a, point_desc: x, description: y}]
)",
       {"6:5 warning ignored-key f//faliure_id", "7:48 warning ignored-key f/a/description"}},
      {"entries that give no points", R"(workflows:
  -
  - {flow_id: f, check_order: true, diag_topic: /d, event_id: 1, flow_points: {point_id: a}}
  - {flow_id: g, check_order: true, diag_topic: /d, event_id: 1, flow_points: []}
  - {flow_id: h, check_order: true, diag_topic: /d, event_id: 1}
)",
       {"2:3 warning entry-not-mapping //", "3:79 warning points-not-sequence f//flow_points",
        "4:79 warning no-points g//flow_points", "5:5 warning no-points h//flow_points"}},
      {"empty point ids", Ordered("      - point_id:\n      - point_id: ''\n"),
       {"7:9 warning empty-point-id f/null/point_id", "8:19 warning empty-point-id f//point_id"}},
  });
}

TEST(FlowLintTest, notes_are_defaults_worth_knowing) {
  ExpectFindings({
      {"defaults", R"(workflows:
  - flow_id: f
    flow_points: [{point_id: a}]
  - flow_id: g
    check_order: true
    diag_topic: ''
    flow_points: [{point_id: a, event_id: 0}]
)",
       {"2:5 note no-topic f//diag_topic", "2:5 note default-check-order f//check_order",
        "4:5 note no-completion-event g//event_id", "6:17 note no-topic g//diag_topic"}},
      {"clean: a completion event from the flow or from its last point", R"(workflows:
  - {flow_id: f, check_order: true, diag_topic: /d, event_id: 1, flow_points: [{point_id: a}]}
  - {flow_id: g, check_order: true, diag_topic: /d, flow_points: [{point_id: a, event_id: 2}]}
  - {flow_id: h, check_order: false, diag_topic: /d, flow_points: [{point_id: a}]}
)",
       {}},
  });
}

TEST(FlowLintTest, messages_name_key_flow_point_type_and_value) {
  const auto findings = LintFlowConfigText(R"(workflows:
  - flow_id: dock
    chek_order: true
    diag_topic:
    event_id: 1
    flow_points:
      - point_id: approach
        repeat_cnt: "three"
      - pointid: grab
)",
                                           "dock.yaml");
  std::vector<std::string> messages;
  for (const auto& finding : findings) {
    EXPECT_EQ(finding.file, "dock.yaml");
    messages.push_back(finding.message);
  }
  EXPECT_EQ(messages,
            (std::vector<std::string>{
                "flow 'dock' has no check_order, so it is unordered: the file's default is false, "
                "whereas a TraceFlowCfg built in code defaults to true",
                "unknown key 'chek_order' in flow 'dock' (did you mean 'check_order'?)",
                "diag_topic of flow 'dock' is written empty, so it reads as the text 'null' and "
                "events are published on the topic 'null' (/null in the root namespace)",
                "'repeat_cnt' in point 'approach' in flow 'dock' must be an unsigned 32-bit "
                "integer, but is \"three\"; the point is dropped",
                "point #2 in flow 'dock' has no 'point_id', so the point is dropped (its keys: "
                "'pointid'; did you mean 'point_id' instead of 'pointid'?)",
                "unknown key 'pointid' in point #2 in flow 'dock' (did you mean 'point_id'?)",
            }));
  const auto topic = LintFlowConfigText("workflows:\n  - {flow_id: a, diag_topic: /a b}\n", "");
  ASSERT_EQ(topic.size(), 1U);
  EXPECT_EQ(topic[0].message,
            "ROS 2 rejects diag_topic '/a b' of flow 'a': topic name must not contain characters "
            "other than alphanumerics, '_', '~', '{', or '}' (character 3 of '/a b'); with a "
            "node, Init throws here and loads no later flow");
}

// --- reading as Init reads ---------------------------------------------------------------

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(VALTRIX_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class FlowLintFileTest : public ::testing::Test {
 protected:
  void TearDown() override { FlowTraceTestAccess::Clear(); }

  std::string WriteFile(const std::string& text) { return files_.Write(text); }

  test::TempFiles files_;
};

// Each Graphviz diagram starts with `digraph "<flow_id>" {`.
std::vector<std::pair<std::string, std::string>> DotDiagramsById(const std::string& diagrams) {
  std::vector<std::pair<std::string, std::string>> result;
  std::istringstream in(diagrams);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("digraph \"", 0) == 0) {
      std::string id;
      for (size_t k = 9; k + 3 < line.size(); ++k) {
        id += line[k] == '\\' ? line[++k] : line[k];
      }
      result.emplace_back(id, "");
    }
    if (!result.empty() && !line.empty()) {
      result.back().second += line + "\n";
    }
  }
  return result;
}

// The flows and points the linter keeps are the ones Init registers, with the same values:
// the diagram of each flow Init holds equals the one drawn from the linter's reading.
TEST_F(FlowLintFileTest, keeps_exactly_the_flows_and_points_that_init_registers) {
  std::vector<std::string> corpus = {
      Ordered("      - {point_id: a, repeat_cnt: 2, timeout_ms: 10}\n      - b\n"
              "      - {point_id: c, optional: true, event_id: 0x7}\n"
              "      - {point_id: d, freq_min: x}\n      - {pointid: e}\n"),
      "workflows:\n  - {flow_id: f, diag_topic: ''}\n  - {flow_id: f, event_id: 3}\n  -\n"
      "  - [x]\n  - {flow_id: g, check_order: maybe}\n  - word\n",
      ReadSource("config/test_flow.yaml"),
  };
  for (const char* name : {"anchors", "bad_types", "empty_values", "full_flow", "nested",
                           "not_yaml", "scalar_root", "sequence_root", "workflows_mapping",
                           "workflows_scalar"}) {
    corpus.push_back(ReadSource(std::string("tests/fuzz_corpus/") + name + ".yaml"));
  }
  for (const auto& yaml : corpus) {
    SCOPED_TRACE(yaml.substr(0, 200));
    FlowTrace::GetInstance().Init(WriteFile(yaml), nullptr);
    const auto diagrams = DotDiagramsById(DrawFlowDiagramsText(yaml, FlowDiagramFormat::kDot));
    EXPECT_EQ(diagrams.size(), FlowTraceTestAccess::FlowCount());
    for (const auto& [id, diagram] : diagrams) {
      const auto registered = FlowTraceTestAccess::Config(id);
      ASSERT_TRUE(registered) << id;
      EXPECT_EQ(DrawFlowDiagram(*registered, FlowDiagramFormat::kDot), diagram);
    }
  }
}

TEST_F(FlowLintFileTest, files_that_cannot_be_read_give_one_error_without_blocking) {
  const std::string fifo = "/tmp/valtrix_flow_lint_fifo_" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  files_.Keep(fifo);
  const std::pair<std::string, std::string> cases[] = {
      {"/nonexistent/flows.yaml", "No such file or directory: /nonexistent/flows.yaml"},
      {"/tmp", "is a directory: /tmp"},
      {fifo, "is a FIFO: " + fifo},
      {"/dev/zero", "is larger than 64 MiB: /dev/zero"},
  };
  for (const auto& [path, error] : cases) {
    const auto findings = LintFlowConfig(path);
    ASSERT_EQ(findings.size(), 1U) << path;
    EXPECT_EQ(Brief(findings[0]), "0:0 error unreadable-file //");
    EXPECT_EQ(findings[0].file, path);
    EXPECT_EQ(findings[0].message, "cannot read the file: " + error);
  }
  const std::string path = WriteFile("workflows:\n  - {flow_id: f, chek_order: true}\n");
  const auto findings = LintFlowConfig(path);
  ASSERT_FALSE(findings.empty());
  EXPECT_EQ(findings[0].file, path);
}

// --- the command ---------------------------------------------------------------------------

struct CommandRun {
  int status;
  std::string out;
};

// Runs flow_lint with `arguments`; stdout and stderr together.
CommandRun RunFlowLint(const std::string& arguments) {
  const std::string command = std::string(FLOW_LINT_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  CommandRun run{-1, ""};
  char buffer[4096];
  for (size_t count; (count = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    run.out.append(buffer, count);
  }
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST_F(FlowLintFileTest, command_prints_like_a_compiler_and_exits_by_what_fails) {
  const std::string clean = std::string(VALTRIX_SOURCE_DIR) + "/config/test_flow.yaml";
  const std::string warning =
      WriteFile("workflows:\n  - {flow_id: f, check_order: true, diag_topic: /d, event_id: 1,"
                " flow_points: [{point_id: a, colour: red}]}\n");
  const std::string error = WriteFile("workflows: {}\n");
  const std::string noted =
      WriteFile("workflows:\n  - {flow_id: f, flow_points: [{point_id: a}]}\n");

  EXPECT_EQ(RunFlowLint(clean).status, 0);
  EXPECT_EQ(RunFlowLint("--werror " + clean).status, 0);
  const CommandRun warned = RunFlowLint(warning);
  EXPECT_EQ(warned.status, 0);
  EXPECT_EQ(warned.out, warning + ":2:94: warning: unknown key 'colour' in point 'a' in flow 'f' "
                                  "[unknown-key]\n0 errors, 1 warning\n");
  EXPECT_EQ(RunFlowLint("--werror " + warning).status, 1);
  EXPECT_EQ(RunFlowLint("--werror " + noted).status, 0);
  EXPECT_EQ(RunFlowLint(error + " " + clean).status, 1);
  EXPECT_EQ(RunFlowLint(clean + " /nonexistent.yaml").status, 2);
  for (const char* bad : {"", "--format xml f.yaml", "--diagram", "--bogus f.yaml"}) {
    const CommandRun run = RunFlowLint(bad);
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_NE(run.out.find("usage: flow_lint"), std::string::npos) << bad;
  }
}

TEST_F(FlowLintFileTest, json_carries_every_field_of_each_finding) {
  const std::string path = WriteFile(
      "workflows:\n  - {flow_id: \"d\\\"q\", check_order: true, diag_topic: /d, event_id: 1,"
      " flow_points: [{point_id: a, repeat_cnt: x}]}\n");
  const CommandRun run = RunFlowLint("--format=json " + path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "{\n  \"findings\": [\n    {\"file\": \"" + path +
                         "\", \"line\": 2, \"column\": 111, \"severity\": \"error\", \"code\": "
                         "\"bad-type\", \"flow_id\": \"d\\\"q\", \"point_id\": \"a\", \"key\": "
                         "\"repeat_cnt\", \"message\": \"'repeat_cnt' in point 'a' in flow "
                         "'d\\\"q' must be an unsigned 32-bit integer, but is \\\"x\\\"; the point "
                         "is dropped\"}\n  ],\n  \"errors\": 1,\n  \"warnings\": 0,\n  \"notes\": "
                         "0\n}\n");
  EXPECT_EQ(RunFlowLint("--format json " + std::string(VALTRIX_SOURCE_DIR) +
                        "/config/test_flow.yaml")
                .out,
            "{\n  \"findings\": [],\n  \"errors\": 0,\n  \"warnings\": 0,\n  \"notes\": 0\n}\n");
}

// yaml-cpp quotes raw bytes of the file in its messages; JSON readers refuse invalid UTF-8.
TEST_F(FlowLintFileTest, output_escapes_control_characters_and_invalid_utf8) {
  const std::string escape = WriteFile("workflows: [\"\\\x1b\"]\n");
  EXPECT_NE(RunFlowLint(escape).out.find("unknown escape character: \\x1b;"), std::string::npos);
  const std::string latin1 = WriteFile("workflows:\n  - {flow_id: \"caf\xe9\", event_id: x}\n");
  EXPECT_NE(RunFlowLint("--format json " + latin1).out.find("\"flow_id\": \"caf\\ufffd\""),
            std::string::npos);
}

// --- diagrams ------------------------------------------------------------------------------

TEST_F(FlowLintFileTest, diagrams_of_the_sample_configuration) {
  const std::string sample = std::string(VALTRIX_SOURCE_DIR) + "/config/test_flow.yaml";
  EXPECT_EQ(DrawFlowDiagrams(sample, FlowDiagramFormat::kMermaid), R"golden(flowchart LR
  subgraph points ["grab_place_task: Grab and place (ordered, event 1000)"]
    p1["home_pos_reached<br/>event 1001"]
    p2["gripper_opened<br/>event 1002"]
    p3["target_pos_reached<br/>event 1003"]
    p4["gripper_closed<br/>event 1004"]
    p5["place_pos_reached<br/>event 1005"]
    p6["gripper_opened<br/>event 1006"]
    p7["task_completed<br/>event 1007"]
    p1 --> p2
    p2 --> p3
    p3 --> p4
    p4 --> p5
    p5 --> p6
    p6 --> p7
  end

flowchart LR
  subgraph points ["heartbeat: Heartbeat (unordered, event 2000)"]
    p1["heartbeat<br/>event 2001"]
  end
)golden");
  const CommandRun run = RunFlowLint("--diagram dot " + sample);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, R"golden(0 errors, 0 warnings
digraph "grab_place_task" {
  label="grab_place_task: Grab and place (ordered, event 1000)";
  labelloc=t;
  rankdir=LR;
  node [shape=box];
  p1 [label="home_pos_reached\nevent 1001"];
  p2 [label="gripper_opened\nevent 1002"];
  p3 [label="target_pos_reached\nevent 1003"];
  p4 [label="gripper_closed\nevent 1004"];
  p5 [label="place_pos_reached\nevent 1005"];
  p6 [label="gripper_opened\nevent 1006"];
  p7 [label="task_completed\nevent 1007"];
  p1 -> p2;
  p2 -> p3;
  p3 -> p4;
  p4 -> p5;
  p5 -> p6;
  p6 -> p7;
}

digraph "heartbeat" {
  label="heartbeat: Heartbeat (unordered, event 2000)";
  labelloc=t;
  rankdir=LR;
  node [shape=box];
  p1 [label="heartbeat\nevent 2001"];
}
)golden");
}

TEST(FlowLintTest, diagrams_mark_optional_points_repetitions_and_time_limits) {
  const std::string yaml = R"yaml(workflows:
  - flow_id: f
    check_order: true
    flow_points:
      - {point_id: a, repeat_cnt: 3, timeout_ms: 500}
      - {point_id: "b<\"#>", optional: true}
      - {point_id: dropped, event_id: -1}
  - {flow_id: g, flow_points: [{point_id: x, optional: true}, {point_id: y}]}
)yaml";
  EXPECT_EQ(DrawFlowDiagramsText(yaml, FlowDiagramFormat::kMermaid), R"golden(flowchart LR
  subgraph points ["f (ordered)"]
    p1["a<br/>×3<br/>≤ 500 ms"]
    p2("b#lt;#quot;#35;#gt;<br/>optional")
    p1 --> p2
  end
  classDef optional stroke-dasharray: 5 5
  class p2 optional

flowchart LR
  subgraph points ["g (unordered)"]
    p1("x<br/>optional")
    p2["y"]
  end
  classDef optional stroke-dasharray: 5 5
  class p1 optional
)golden");
  EXPECT_EQ(DrawFlowDiagramsText(yaml, FlowDiagramFormat::kDot), R"golden(digraph "f" {
  label="f (ordered)";
  labelloc=t;
  rankdir=LR;
  node [shape=box];
  p1 [label="a\n×3\n≤ 500 ms"];
  p2 [label="b<\"#>\noptional", style="rounded,dashed"];
  p1 -> p2;
}

digraph "g" {
  label="g (unordered)";
  labelloc=t;
  rankdir=LR;
  node [shape=box];
  p1 [label="x\noptional", style="rounded,dashed"];
  p2 [label="y"];
}
)golden");
}

}  // namespace
}  // namespace valtrix::trace
