#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "support/capture_stdout.hpp"
#include "support/event_listener.hpp"
#include "support/flow_builders.hpp"
#include "support/flow_trace_access.hpp"
#include "support/function_name_sink.hpp"
#include "support/temp_files.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

using test::CaptureStdout;
using test::LogLines;
using Access = FlowTraceTestAccess;

// DEBUG lines are part of what the loader reports; the logger reads its settings once, before
// the first line of the process.
const bool kLoggerSettings = [] {
  setenv("SPDLOG_STDOUT", "true", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "debug", 1);
  return true;
}();

constexpr char kFileError[] = "[ERROR] Failed to parse flow configuration file: ";
constexpr char kFlowError[] = "[ERROR] Failed to parse trace flow config: ";
constexpr char kPointError[] = "[ERROR] Failed to parse trace point config: ";
constexpr char kNoPointId[] = "[ERROR] point_id parse failed, point config invalid";
constexpr char kNoWorkflows[] = "[ERROR] No workflows configuration found";
constexpr char kNotSequence[] = "[ERROR] workflows should be a sequence";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> WithPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> kept;
  for (const auto& line : lines) {
    if (StartsWith(line, prefix)) {
      kept.push_back(line);
    }
  }
  return kept;
}

std::vector<std::string> Errors(const std::vector<std::string>& lines) {
  return WithPrefix(lines, "[ERROR]");
}

std::vector<std::string> PointIds(const std::shared_ptr<TraceFlowCfg>& cfg) {
  std::vector<std::string> ids;
  for (const auto& point : cfg->flow_points) {
    ids.push_back(point->point_id);
  }
  return ids;
}

class FlowConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { Access::Clear(); }

  void TearDown() override { Access::Clear(); }

  std::string WriteFile(const std::string& text) { return files_.Write(text); }

  // Runs Init on `yaml` and returns the log lines it printed, without their numbers.
  std::vector<std::string> Load(const std::string& yaml,
                                std::shared_ptr<rclcpp::Node> node = nullptr) {
    return LoadPath(WriteFile(yaml), std::move(node));
  }

  std::vector<std::string> LoadPath(const std::string& path,
                                    std::shared_ptr<rclcpp::Node> node = nullptr) {
    CaptureStdout capture;
    FlowTrace::GetInstance().Init(path, std::move(node));
    return LogLines(capture);
  }

  // Loads a file with one flow "f" holding `points` (YAML block lines, indented by 6).
  std::shared_ptr<TraceFlowCfg> LoadPoints(const std::string& points,
                                           std::vector<std::string>* errors = nullptr) {
    const auto lines = Load("workflows:\n  - flow_id: f\n    flow_points:\n" + points);
    if (errors != nullptr) {
      *errors = Errors(lines);
    }
    return Access::Config("f");
  }

 private:
  test::TempFiles files_;
};

constexpr char kGoodFile[] = R"(
workflows:
  - flow_id: earlier
    flow_points:
      - point_id: a
)";

TEST_F(FlowConfigTest, successfully_loads_every_key_of_flows_and_points) {
  const auto lines = Load(R"(
workflows:
  - flow_id: grab_place_task
    flow_name: Grab and place
    description: moves one part
    check_order: true
    event_id: 7
    flow_points:
      - point_id: home_pos_reached
        point_desc: at home
        event_id: 11
        on_success: yes
        on_failure: false
        on_timeout: On
        repeat_cnt: 2
        repeat_max: 4
        timeout_ms: 1500
        freq_min: 2.5
        optional: true
      - point_id: gripper_opened
        description: open
)");
  EXPECT_EQ(Errors(lines), std::vector<std::string>{});
  ASSERT_EQ(Access::FlowCount(), 1U);
  const auto cfg = Access::Config("grab_place_task");
  ASSERT_TRUE(cfg);
  EXPECT_TRUE(Access::HasQueue("grab_place_task"));
  EXPECT_TRUE(Access::Record("grab_place_task").empty());
  EXPECT_EQ(cfg->flow_name, "Grab and place");
  EXPECT_EQ(cfg->description, "moves one part");
  EXPECT_TRUE(cfg->check_order);
  EXPECT_EQ(cfg->event_id, 7U);
  EXPECT_EQ(cfg->next_index, 0U);
  EXPECT_FALSE(cfg->publisher);
  ASSERT_EQ(PointIds(cfg), (std::vector<std::string>{"home_pos_reached", "gripper_opened"}));

  const auto& home = *cfg->flow_points[0];
  EXPECT_EQ(home.description, "at home");
  EXPECT_EQ(home.event_id, 11U);
  EXPECT_TRUE(home.on_success);
  EXPECT_FALSE(home.on_failure);
  EXPECT_TRUE(home.on_timeout);
  EXPECT_EQ(home.repeat_cnt, 2U);
  EXPECT_EQ(home.repeat_max, 4U);
  EXPECT_EQ(home.timeout_ms, 1500U);
  EXPECT_FLOAT_EQ(home.freq_min, 2.5F);
  EXPECT_FALSE(home.is_critical);
  EXPECT_EQ(home.hit_cnt, 0U);

  const auto& gripper = *cfg->flow_points[1];
  EXPECT_EQ(gripper.description, "open");
  EXPECT_TRUE(gripper.is_critical);

  EXPECT_EQ(WithPrefix(lines, "[DEBUG]"),
            (std::vector<std::string>{
                "[DEBUG] Parsed trace point config: point_id=home_pos_reached, "
                "description=at home, is_critical=false",
                "[DEBUG] Parsed trace point config: point_id=gripper_opened, description=open, "
                "is_critical=true",
                "[DEBUG] Parsed trace flow config: flow_id=grab_place_task, "
                "flow_name=Grab and place, check_order=true, points_count=2",
            }));
}

TEST_F(FlowConfigTest, absent_keys_take_their_defaults) {
  const auto lines = Load(R"(
workflows:
  - flow_points:
      - point_id: p
)");
  EXPECT_EQ(Errors(lines), std::vector<std::string>{});
  const auto cfg = Access::Config("");
  ASSERT_TRUE(cfg) << "a flow without flow_id is stored under the empty text";
  EXPECT_FALSE(cfg->check_order);
  EXPECT_EQ(cfg->event_id, 0U);
  EXPECT_EQ(cfg->flow_name, "");
  EXPECT_EQ(cfg->diag_topic, "");
  ASSERT_EQ(cfg->flow_points.size(), 1U);
  const auto& point = *cfg->flow_points[0];
  EXPECT_EQ(point.description, "");
  EXPECT_TRUE(point.is_critical);
  EXPECT_FALSE(point.on_success);
  EXPECT_TRUE(point.on_failure);
  EXPECT_FALSE(point.on_timeout);
  EXPECT_EQ(point.event_id, 0U);
  EXPECT_EQ(point.repeat_cnt, 0U);
  EXPECT_EQ(point.repeat_max, 0U);
  EXPECT_EQ(point.timeout_ms, 0U);
  EXPECT_EQ(point.freq_min, 0.0F);
}

TEST_F(FlowConfigTest, event_id_wins_over_faliure_id_and_point_desc_over_description) {
  Load(R"(
workflows:
  - flow_id: both
    faliure_id: 3
    event_id: 4
    flow_points:
      - {point_id: both, faliure_id: 5, event_id: 6, description: d, point_desc: pd}
      - {point_id: old_only, faliure_id: 8, description: d}
      - {point_id: optional_false, optional: false}
  - flow_id: old_only
    faliure_id: 9
)");
  const auto both = Access::Config("both");
  ASSERT_TRUE(both);
  EXPECT_EQ(both->event_id, 4U);
  ASSERT_EQ(both->flow_points.size(), 3U);
  EXPECT_EQ(both->flow_points[0]->event_id, 6U);
  EXPECT_EQ(both->flow_points[0]->description, "pd");
  EXPECT_EQ(both->flow_points[1]->event_id, 8U);
  EXPECT_EQ(both->flow_points[1]->description, "d");
  EXPECT_TRUE(both->flow_points[2]->is_critical);
  ASSERT_TRUE(Access::Config("old_only"));
  EXPECT_EQ(Access::Config("old_only")->event_id, 9U);
}

struct FileCase {
  const char* name;
  const char* yaml;
  std::string error;  // a prefix for the yaml-cpp messages, the whole line otherwise
  bool whole_line;
};

TEST_F(FlowConfigTest, unusable_files_load_no_flow_and_drop_the_earlier_ones) {
  const FileCase cases[] = {
      {"empty file", "", kNoWorkflows, true},
      {"only a comment", "# nothing here\n", kNoWorkflows, true},
      {"unclosed flow sequence", "workflows: [a\n",
       std::string(kFileError) + "yaml-cpp: error at line 2, column 1: end of sequence flow not found",
       true},
      {"mismatched brackets", "workflows: {flow_id: a]\n", kFileError, false},
      {"bad indentation", "workflows:\n  - a\n - b\n", kFileError, false},
      {"undefined alias", "workflows: *x\n", kFileError, false},
      {"scalar root", "just text\n", std::string(kFileError) +
                                         "yaml-cpp: error at line 1, column 1: operator[] call "
                                         "on a scalar (key: \"workflows\")",
       true},
      {"sequence root", "- workflows\n- {workflows: []}\n", kNoWorkflows, true},
      {"workflows absent", "flows: []\n", kNoWorkflows, true},
      {"workflows empty value", "workflows:\n", kNoWorkflows, true},
      {"workflows null", "workflows: ~\n", kNoWorkflows, true},
      {"workflows mapping", "workflows:\n  flow_id: a\n", kNotSequence, true},
      {"workflows scalar", "workflows: a\n", kNotSequence, true},
      {"workflows empty string", "workflows: ''\n", kNotSequence, true},
      {"nested beyond the parser's depth bound",
       nullptr, kFileError, false},
  };
  const std::string deep = "workflows: " + std::string(100000, '[');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Load(kGoodFile);
    ASSERT_EQ(Access::FlowCount(), 1U);
    const auto errors = Errors(Load(c.yaml != nullptr ? c.yaml : deep));
    ASSERT_EQ(errors.size(), 1U);
    if (c.whole_line) {
      EXPECT_EQ(errors[0], c.error);
    } else {
      EXPECT_PRED2(StartsWith, errors[0], c.error);
    }
    EXPECT_EQ(Access::FlowCount(), 0U);
    EXPECT_FALSE(Access::HasQueue("earlier"));
  }
}

TEST_F(FlowConfigTest, missing_path_logs_the_file_error_and_drops_earlier_flows) {
  Load(kGoodFile);
  const auto errors = Errors(LoadPath("/nonexistent/valtrix/flows.yaml"));
  ASSERT_EQ(errors.size(), 1U);
  EXPECT_PRED2(StartsWith, errors[0], std::string(kFileError) + "bad file");
  EXPECT_EQ(Access::FlowCount(), 0U);
  EXPECT_FALSE(Access::HasQueue("earlier"));
}

// Paths that are not readable files are refused like a missing file: one error, no flows, and
// nothing thrown. A FIFO must not block Init until someone writes to it.
TEST_F(FlowConfigTest, unreadable_paths_are_logged_and_absorbed_like_a_missing_file) {
  char dir_template[] = "/tmp/valtrix_unreadable_XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string fifo = dir + "/flows.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = dir + "/flows.sock";
  const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string bomb = WriteFile(NestedAliasFlows(8));

  const struct {
    std::string path;
    std::string error;
  } cases[] = {
      {dir, std::string(kFileError) + "is a directory: " + dir},
      {fifo, std::string(kFileError) + "is a FIFO: " + fifo},
      {socket_path, std::string(kFileError) + "is a socket: " + socket_path},
      // Reading the start of a process's memory file fails with EIO.
      {"/proc/self/mem",
       std::string(kFileError) + "read failed (Input/output error): /proc/self/mem"},
      {"/dev/null", kNoWorkflows},
      {WriteFile(""), kNoWorkflows},
      {"/dev/zero", std::string(kFileError) + "is larger than 64 MiB: /dev/zero"},
      {bomb, std::string(kFileError) +
                 "aliases reach more than 1000000 nodes at line 6, column 45: " + bomb},
  };
  for (const auto& c : cases) {
    Load(kGoodFile);
    ASSERT_EQ(Access::FlowCount(), 1U);
    EXPECT_EQ(Errors(LoadPath(c.path)), std::vector<std::string>{c.error}) << c.path;
    EXPECT_EQ(Access::FlowCount(), 0U) << c.path;
  }
  close(listening);
  std::remove(socket_path.c_str());
  std::remove(fifo.c_str());
  rmdir(dir.c_str());
}

TEST_F(FlowConfigTest, empty_workflows_sequence_loads_nothing_and_logs_nothing) {
  EXPECT_EQ(Load("workflows: []\n"), std::vector<std::string>{});
  EXPECT_EQ(Access::FlowCount(), 0U);
}

TEST_F(FlowConfigTest, flow_entries_that_are_not_mappings) {
  const auto lines = Load(R"(
workflows:
  - just_a_word
  - {flow_id: after_scalar}
  -
  - [flow_id, x]
)");
  const auto errors = Errors(lines);
  ASSERT_EQ(errors.size(), 1U);
  EXPECT_EQ(errors[0], std::string(kFlowError) + "yaml-cpp: error at line 3, column 5: "
                                                  "operator[] call on a scalar (key: \"flow_id\")");
  // The null and the sequence entry read as flows without keys, stored under the empty text.
  EXPECT_EQ(Access::FlowCount(), 2U);
  ASSERT_TRUE(Access::Config("after_scalar"));
  const auto keyless = Access::Config("");
  ASSERT_TRUE(keyless);
  EXPECT_FALSE(keyless->check_order);
  EXPECT_TRUE(keyless->flow_points.empty());
  EXPECT_EQ(WithPrefix(lines, "[DEBUG] Parsed trace flow config: flow_id=,").size(), 2U);
}

TEST_F(FlowConfigTest, flow_key_of_the_wrong_type_drops_only_that_flow) {
  const char* const bad_keys[] = {
      "flow_id: [a]",       "flow_name: {a: b}", "diag_topic: [t]",  "description: [d]",
      "check_order: maybe", "check_order:",      "event_id: -1",     "event_id: 4294967296",
      "event_id: abc",      "event_id:",         "faliure_id: 1.5",  "faliure_id: [1]",
  };
  for (const char* key : bad_keys) {
    SCOPED_TRACE(key);
    const std::string id = StartsWith(key, "flow_id:") ? "" : "flow_id: bad\n    ";
    const auto lines = Load("workflows:\n  - " + id + key +
                            "\n    flow_points: [{point_id: p}]\n  - flow_id: good\n");
    const auto errors = Errors(lines);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_PRED2(StartsWith, errors[0], kFlowError);
    EXPECT_EQ(Access::FlowCount(), 1U);
    EXPECT_TRUE(Access::Config("good"));
  }
}

TEST_F(FlowConfigTest, flow_points_that_are_not_a_sequence_give_a_flow_without_points) {
  for (const char* points : {"flow_points:", "flow_points: {point_id: p}", "flow_points: p"}) {
    SCOPED_TRACE(points);
    const auto lines = Load(std::string("workflows:\n  - flow_id: f\n    ") + points + "\n");
    EXPECT_EQ(Errors(lines), std::vector<std::string>{});
    ASSERT_TRUE(Access::Config("f"));
    EXPECT_TRUE(Access::Config("f")->flow_points.empty());
    EXPECT_EQ(WithPrefix(lines, "[DEBUG] Parsed trace flow config:"),
              std::vector<std::string>{"[DEBUG] Parsed trace flow config: flow_id=f, flow_name=, "
                                       "check_order=false, points_count=0"});
  }
}

TEST_F(FlowConfigTest, point_key_of_the_wrong_type_drops_only_that_point) {
  const char* const bad_keys[] = {
      "point_id: [a]",        "event_id: -1",         "event_id: 4294967296",
      "event_id: 1.0",        "event_id: 12abc",      "faliure_id: -1",
      "faliure_id:",          "on_success:",          "on_success: 1",
      "on_failure: maybe",    "on_timeout: [true]",   "repeat_cnt: -1",
      "repeat_cnt: 4294967296", "repeat_max: ''",     "timeout_ms: 10ms",
      "timeout_ms: {a: 1}",   "freq_min: abc",        "freq_min:",
      "freq_min: 1.0.0",      "point_desc: [x]",      "description: {a: b}",
      "optional: maybe",      "optional:",
  };
  for (const char* key : bad_keys) {
    SCOPED_TRACE(key);
    std::vector<std::string> errors;
    const std::string id = StartsWith(key, "point_id:") ? "" : "point_id: bad\n        ";
    const auto cfg = LoadPoints("      - point_id: first\n      - " + id + key +
                                    "\n      - point_id: last\n",
                                &errors);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_PRED2(StartsWith, errors[0], kPointError);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(PointIds(cfg), (std::vector<std::string>{"first", "last"}));
  }
}

TEST_F(FlowConfigTest, first_faulty_key_in_reading_order_is_reported) {
  // "on_success" comes first in the file but "event_id" is read first.
  std::vector<std::string> errors;
  LoadPoints(R"(      - point_id: p
        on_success: maybe
        event_id: -1
)",
             &errors);
  ASSERT_EQ(errors.size(), 1U);
  EXPECT_EQ(errors[0], std::string(kPointError) + "yaml-cpp: error at line 6, column 19: bad conversion");

  const auto lines = Load(R"(workflows:
  - check_order: maybe
    flow_id: [x]
)");
  ASSERT_EQ(Errors(lines).size(), 1U);
  EXPECT_EQ(Errors(lines)[0], std::string(kFlowError) + "yaml-cpp: error at line 3, column 14: bad conversion");
}

TEST_F(FlowConfigTest, point_entries_without_point_id) {
  std::vector<std::string> errors;
  const auto cfg = LoadPoints(R"(      - description: no id
      -
      - [point_id, x]
      - just_a_word
      - point_id: kept
)",
                              &errors);
  EXPECT_EQ(errors, (std::vector<std::string>{
                        kNoPointId, kNoPointId, kNoPointId,
                        std::string(kPointError) +
                            "yaml-cpp: error at line 7, column 9: operator[] call on a scalar "
                            "(key: \"point_id\")"}));
  ASSERT_TRUE(cfg);
  EXPECT_EQ(PointIds(cfg), std::vector<std::string>{"kept"});
}

TEST_F(FlowConfigTest, unsigned_keys_accept_hexadecimal_octal_and_the_full_range) {
  const auto cfg = LoadPoints(R"(      - {point_id: hex, event_id: 0x10, repeat_cnt: 010, repeat_max: 4294967295}
      - {point_id: zero, timeout_ms: 0, faliure_id: 00}
)");
  ASSERT_TRUE(cfg);
  ASSERT_EQ(cfg->flow_points.size(), 2U);
  EXPECT_EQ(cfg->flow_points[0]->event_id, 16U);
  EXPECT_EQ(cfg->flow_points[0]->repeat_cnt, 8U);
  EXPECT_EQ(cfg->flow_points[0]->repeat_max, 4294967295U);
  EXPECT_EQ(cfg->flow_points[1]->timeout_ms, 0U);
}

TEST_F(FlowConfigTest, freq_min_takes_the_yaml_special_floats) {
  std::vector<std::string> errors;
  const auto cfg = LoadPoints(R"(      - {point_id: inf, freq_min: .inf}
      - {point_id: minus_inf, freq_min: -.Inf}
      - {point_id: nan, freq_min: .NaN}
      - {point_id: exp, freq_min: 1e-3}
      - {point_id: word, freq_min: abc}
)",
                              &errors);
  ASSERT_EQ(errors.size(), 1U);
  EXPECT_PRED2(StartsWith, errors[0], kPointError);
  ASSERT_TRUE(cfg);
  ASSERT_EQ(PointIds(cfg), (std::vector<std::string>{"inf", "minus_inf", "nan", "exp"}));
  EXPECT_EQ(cfg->flow_points[0]->freq_min, std::numeric_limits<float>::infinity());
  EXPECT_EQ(cfg->flow_points[1]->freq_min, -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(cfg->flow_points[2]->freq_min));
  EXPECT_FLOAT_EQ(cfg->flow_points[3]->freq_min, 1e-3F);
}

TEST_F(FlowConfigTest, text_keys_written_empty_read_as_null) {
  const auto lines = Load(R"(
workflows:
  - flow_id:
    flow_name:
    description:
    diag_topic:
    flow_points:
      - point_id:
        point_desc:
      - point_id: ''
        description: ""
)");
  EXPECT_EQ(Errors(lines), std::vector<std::string>{});
  const auto cfg = Access::Config("null");
  ASSERT_TRUE(cfg);
  EXPECT_EQ(cfg->flow_name, "null");
  EXPECT_EQ(cfg->description, "null");
  EXPECT_EQ(cfg->diag_topic, "null");
  ASSERT_EQ(PointIds(cfg), (std::vector<std::string>{"null", ""}));
  EXPECT_EQ(cfg->flow_points[0]->description, "null");
  EXPECT_EQ(cfg->flow_points[1]->description, "");
}

TEST_F(FlowConfigTest, repeated_ids_keep_the_later_flow_and_every_point) {
  const auto lines = Load(R"(
workflows:
  - {flow_id: twin, flow_name: first}
  - {flow_id: other}
  - flow_id: twin
    flow_name: second
    flow_points: [{point_id: p, event_id: 1}, {point_id: p, event_id: 2}]
)");
  EXPECT_EQ(Errors(lines), std::vector<std::string>{});
  EXPECT_EQ(Access::FlowCount(), 2U);
  const auto twin = Access::Config("twin");
  ASSERT_TRUE(twin);
  EXPECT_EQ(twin->flow_name, "second");
  ASSERT_EQ(PointIds(twin), (std::vector<std::string>{"p", "p"}));
  EXPECT_EQ(twin->flow_points[1]->event_id, 2U);
  EXPECT_EQ(WithPrefix(lines, "[DEBUG] Parsed trace flow config: flow_id=twin").size(), 2U);
}

TEST_F(FlowConfigTest, aliased_point_lists_give_every_flow_its_own_point_records) {
  // Run-time counters live in the point records, so flows must not share them.
  const auto lines = Load(R"(
shared_points: &points [{point_id: a, repeat_cnt: 2}, {point_id: b}]
workflows:
  - {flow_id: one, flow_points: *points}
  - {flow_id: two, flow_points: *points}
)");
  EXPECT_EQ(Errors(lines), std::vector<std::string>{});
  const auto one = Access::Config("one");
  const auto two = Access::Config("two");
  ASSERT_TRUE(one && two);
  ASSERT_EQ(PointIds(one), (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(PointIds(two), (std::vector<std::string>{"a", "b"}));
  EXPECT_NE(one->flow_points[0], two->flow_points[0]);
  EXPECT_EQ(two->flow_points[0]->repeat_cnt, 2U);
}

TEST_F(FlowConfigTest, second_init_leaves_only_the_second_files_flows_and_keeps_handlers) {
  Load(R"(
workflows:
  - flow_id: a
    flow_points: [{point_id: a1}]
  - flow_id: shared
    flow_points: [{point_id: s1}]
)");
  auto& trace = FlowTrace::GetInstance();
  trace.RegisterFlowHandler("a", [](const std::string&, const std::shared_ptr<FlowCheckResult>&) {});
  trace.RegisterFlowHandler("shared",
                            [](const std::string&, const std::shared_ptr<FlowCheckResult>&) {});
  {
    CaptureStdout quiet;
    trace.Trace("shared", "s1", true);
  }
  ASSERT_EQ(Access::Record("shared").size(), 1U);
  const auto first_shared = Access::Config("shared");

  Load(R"(
workflows:
  - flow_id: shared
    flow_points: [{point_id: s2}]
  - flow_id: b
)");
  EXPECT_EQ(Access::FlowCount(), 2U);
  EXPECT_FALSE(Access::Config("a"));
  EXPECT_FALSE(Access::HasQueue("a"));
  ASSERT_TRUE(Access::Config("shared"));
  EXPECT_NE(Access::Config("shared"), first_shared);
  EXPECT_EQ(PointIds(Access::Config("shared")), std::vector<std::string>{"s2"});
  EXPECT_TRUE(Access::HasQueue("shared"));
  EXPECT_TRUE(Access::Record("shared").empty());
  EXPECT_TRUE(Access::HasQueue("b"));
  EXPECT_TRUE(Access::HasHandler("a"));
  EXPECT_TRUE(Access::HasHandler("shared"));
}

TEST_F(FlowConfigTest, ten_megabyte_file_with_ten_thousand_flows_loads_completely) {
  std::string yaml = "workflows:\n";
  const std::string padding(900, 'x');
  for (int flow = 0; flow < 10000; ++flow) {
    yaml += "  - flow_id: flow_" + std::to_string(flow) + "\n    description: " + padding +
            "\n    flow_points:\n";
    for (int point = 0; point < 3; ++point) {
      yaml += "      - {point_id: p" + std::to_string(point) + ", event_id: " +
              std::to_string(flow) + "}\n";
    }
  }
  ASSERT_GE(yaml.size(), 10U * 1000 * 1000);
  const auto lines = Load(yaml);
  EXPECT_EQ(Errors(lines), std::vector<std::string>{});
  EXPECT_EQ(Access::FlowCount(), 10000U);
  const auto last = Access::Config("flow_9999");
  ASSERT_TRUE(last);
  EXPECT_EQ(PointIds(last), (std::vector<std::string>{"p0", "p1", "p2"}));
  EXPECT_EQ(last->flow_points[2]->event_id, 9999U);
  EXPECT_EQ(last->description.size(), padding.size());
}

TEST_F(FlowConfigTest, every_line_carries_the_name_of_its_operation) {
  std::vector<std::string> functions;
  {
    test::FunctionNames names;
    Load(R"(
workflows:
  - flow_id: f
    flow_points: [{point_id: p}, {description: x}, {point_id: q, on_success: maybe}]
  - flow_id: [x]
)");
    Load("workflows: {}\n");
    Load("workflows:\n");
    Load("[");
    functions = names.sink().Functions();
  }
  EXPECT_EQ(functions, (std::vector<std::string>{
                           "parseTracePointCfg",  // DEBUG p
                           "parseTracePointCfg",  // point_id missing
                           "parseTracePointCfg",  // bad on_success
                           "parseTraceFlowCfg",   // DEBUG f
                           "parseTraceFlowCfg",   // bad flow_id
                           "Init",                // not a sequence
                           "Init",                // no workflows
                           "Init",                // not YAML
                       }));
}

// --- with a node ------------------------------------------------------------------------------

class FlowConfigNodeTest : public FlowConfigTest {
 protected:
  static void SetUpTestSuite() {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
  }
  static void TearDownTestSuite() { rclcpp::shutdown(); }
};

TEST_F(FlowConfigNodeTest, flow_with_diag_topic_gets_its_own_reliable_volatile_publisher) {
  auto node = std::make_shared<rclcpp::Node>("flow_config_test");
  const auto lines = Load(R"(
workflows:
  - {flow_id: a, diag_topic: /valtrix/flow_config_test}
  - {flow_id: b, diag_topic: /valtrix/flow_config_test}
  - {flow_id: no_topic}
  - {flow_id: empty_topic, diag_topic: ''}
)",
                          node);
  EXPECT_EQ(Errors(lines), std::vector<std::string>{});
  EXPECT_EQ(Access::Node(), node);
  const auto a = Access::Config("a");
  const auto b = Access::Config("b");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->publisher);
  ASSERT_TRUE(b->publisher);
  EXPECT_NE(a->publisher, b->publisher) << "each flow owns its own publisher";
  EXPECT_STREQ(a->publisher->get_topic_name(), "/valtrix/flow_config_test");
  EXPECT_FALSE(Access::Config("no_topic")->publisher);
  EXPECT_FALSE(Access::Config("empty_topic")->publisher);

  // A reliable subscriber matches and receives; one that joins later gets nothing (volatile).
  test::EventListener listener("/valtrix/flow_config_test");
  ASSERT_TRUE(test::WaitForSubscribers(a->publisher));
  test::EventListener::Event event;
  event.source_id = "a";
  a->publisher->publish(event);
  ASSERT_TRUE(listener.WaitFor(1));
  EXPECT_EQ(listener.events()[0].source_id, "a");
  test::EventListener late("/valtrix/flow_config_test", "late_listener");
  ASSERT_TRUE(test::WaitForSubscribers(a->publisher, 2));
  EXPECT_TRUE(late.NoMoreThan(0, a->publisher));

  // Without a node the same file loads with no publisher at all, and the node is dropped.
  Load("workflows:\n  - {flow_id: a, diag_topic: /valtrix/flow_config_test}\n");
  EXPECT_FALSE(Access::Node());
  ASSERT_TRUE(Access::Config("a"));
  EXPECT_FALSE(Access::Config("a")->publisher);
}

TEST_F(FlowConfigNodeTest, node_is_kept_even_when_the_file_is_unreadable) {
  auto node = std::make_shared<rclcpp::Node>("flow_config_test");
  LoadPath("/nonexistent/valtrix/flows.yaml", node);
  EXPECT_EQ(Access::Node(), node);
}

TEST_F(FlowConfigNodeTest, invalid_topic_name_throws_and_keeps_the_flows_stored_before) {
  auto node = std::make_shared<rclcpp::Node>("flow_config_test");
  for (const char* topic : {"with space", "1starts_with_digit", "double//slash", "trailing/"}) {
    SCOPED_TRACE(topic);
    const std::string path = WriteFile(std::string(R"(
workflows:
  - {flow_id: before, diag_topic: /valtrix/ok}
  - {flow_id: bad, diag_topic: ")") + topic + R"("}
  - {flow_id: after}
)");
    {
      CaptureStdout quiet;
      EXPECT_THROW(FlowTrace::GetInstance().Init(path, node),
                   rclcpp::exceptions::InvalidTopicNameError);
    }
    EXPECT_EQ(Access::FlowCount(), 1U);
    ASSERT_TRUE(Access::Config("before"));
    EXPECT_TRUE(Access::Config("before")->publisher);
    EXPECT_FALSE(Access::Config("bad"));
    EXPECT_FALSE(Access::Config("after"));
  }
}

}  // namespace
}  // namespace valtrix::trace
