// diag_echo as a second process: it receives over loopback what this process publishes through
// the ROS 2 stand-in and prints it the way `ros2 topic echo` does.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/diagnostic_builders.hpp"
#include "support/event_listener.hpp"

extern char** environ;

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using valtrix::test::MakeStatus;
using valtrix_protocol::msg::DiagnosticEvent;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(20);

// diag_echo running as a child process with its stdout and stderr in pipes.
class DiagEcho {
 public:
  explicit DiagEcho(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), DIAG_ECHO_PATH);
    std::vector<char*> argv;
    for (auto& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (spawned != 0) {
      throw std::runtime_error("cannot start " + arguments[0]);
    }
  }
  DiagEcho(const DiagEcho&) = delete;
  DiagEcho& operator=(const DiagEcho&) = delete;
  ~DiagEcho() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_fd_);
    close(err_fd_);
  }

  // Reads stdout until it holds `count` messages (each ends in "---"), the child closes it, or
  // the deadline passes; returns everything read so far.
  const std::string& ReadMessages(size_t count) {
    const auto deadline = Clock::now() + kDeadline;
    while (Messages() < count && Clock::now() < deadline) {
      if (!ReadSome(out_fd_, out_, deadline)) {
        break;
      }
    }
    return out_;
  }

  // Waits for the child to end and returns its exit status (-1 on a signal or time-out).
  int Wait() {
    const auto deadline = Clock::now() + kDeadline;
    while (ReadSome(out_fd_, out_, deadline)) {
    }
    while (ReadSome(err_fd_, err_, deadline)) {
    }
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Signal(int signal_number) { kill(pid_, signal_number); }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  size_t Messages() const {
    size_t count = 0;
    for (size_t at = out_.find("---\n"); at != std::string::npos; at = out_.find("---\n", at + 4)) {
      ++count;
    }
    return count;
  }

  // Appends what `fd` delivers before the deadline; false at end of file or time-out.
  static bool ReadSome(int fd, std::string& into, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd poll_fd{fd, POLLIN, 0};
    if (poll(&poll_fd, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got <= 0) {
      return false;
    }
    into.append(buffer, static_cast<size_t>(got));
    return true;
  }

  pid_t pid_ = 0;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
};

DiagnosticEvent MakeEvent(const std::string& source_id, const std::string& detail) {
  DiagnosticEvent event;
  event.stamp.sec = 1700000000;
  event.stamp.nanosec = 5;
  event.source_id = source_id;
  event.event_code = 100;
  event.outcome = 1;
  event.detail = detail;
  return event;
}

std::string Rendered(const std::string& source_id, const std::string& detail) {
  return "stamp:\n  sec: 1700000000\n  nanosec: 5\nsource_id: " + source_id +
         "\nevent_code: 100\noutcome: 1\ndetail: " + detail + "\n---\n";
}

DiagnosticArray MakeArray(std::vector<DiagnosticStatus> statuses) {
  DiagnosticArray array;
  array.header.stamp.sec = 1700000000;
  array.header.stamp.nanosec = 5;
  array.status = std::move(statuses);
  return array;
}


constexpr char kRenderedHeader[] =
    "header:\n  stamp:\n    sec: 1700000000\n    nanosec: 5\n  frame_id: ''\n";

class DiagEchoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    node_ = std::make_shared<rclcpp::Node>("diag_echo_test");
  }

  std::shared_ptr<rclcpp::Node> node_;
};

TEST_F(DiagEchoTest, PrintsEachEventAsYamlQuotingStringsLikeRos2TopicEcho) {
  // Text sent, and how PyYAML writes it.
  const std::vector<std::pair<std::string, std::string>> details = {
      {"Status OK: a", "'Status OK: a'"}, {"Succeed", "Succeed"},   {"", "''"},
      {"yes", "'yes'"},                   {"123", "'123'"},         {"3.5", "'3.5'"},
      {"null", "'null'"},                 {"it's", "it's"},         {"'q'", "'''q'''"},
      {"- item", "'- item'"},             {"a #b", "'a #b'"},       {"a#b", "a#b"},
      {" lead", "' lead'"},               {"tab\there", "\"tab\\there\""},
      {"[x]", "'[x]'"},                   {"a: b", "'a: b'"},       {"key:", "'key:'"},
  };
  DiagEcho echo({"--count", std::to_string(details.size()), "--timeout", "60", "/echo/events"});
  auto publisher = node_->create_publisher<DiagnosticEvent>("/echo/events", rclcpp::QoS(10));
  ASSERT_TRUE(valtrix::test::WaitForSubscribers(publisher, 1, kDeadline));

  // Each message must appear before the next is sent: diag_echo flushes per message (and a
  // burst could overrun its keep-last history).
  std::string expected;
  for (size_t i = 0; i < details.size(); ++i) {
    const std::string source_id = i == 0 ? "grab_place_task" : "on";
    publisher->publish(MakeEvent(source_id, details[i].first));
    expected += Rendered(i == 0 ? source_id : "'on'", details[i].second);
    ASSERT_EQ(echo.ReadMessages(i + 1), expected);
  }
  EXPECT_EQ(echo.Wait(), 0) << echo.err();
  EXPECT_EQ(echo.out(), expected);
}

TEST_F(DiagEchoTest, PrintsArraysOnDiagnosticsLikeRos2TopicEcho) {
  // Like strings, lists longer than 128 are cut there.
  const std::vector<DiagnosticStatus> many(129, MakeStatus(DiagnosticStatus::OK, "s", "", "", {}));
  std::string many_rendered = "status:\n";
  for (int i = 0; i < 128; ++i) {
    many_rendered +=
        "- level: \"\\0\"\n  name: s\n  message: ''\n  hardware_id: ''\n  values: []\n";
  }
  many_rendered += "- '...'\n";
  const std::vector<std::pair<DiagnosticArray, std::string>> arrays = {
      {MakeArray({MakeStatus(DiagnosticStatus::OK, "flow: grab_place_task", "Succeed", "",
                             {{"points", "3"}, {"", ""}}),
                  MakeStatus(DiagnosticStatus::WARN, "heartbeat", "late", "robot_1", {}),
                  MakeStatus(DiagnosticStatus::ERROR, "e", "", "", {{"k", "v"}}),
                  MakeStatus(DiagnosticStatus::STALE, "s", "", "", {})}),
       "status:\n"
       "- level: \"\\0\"\n"
       "  name: 'flow: grab_place_task'\n"
       "  message: Succeed\n"
       "  hardware_id: ''\n"
       "  values:\n"
       "  - key: points\n"
       "    value: '3'\n"
       "  - key: ''\n"
       "    value: ''\n"
       "- level: \"\\x01\"\n"
       "  name: heartbeat\n"
       "  message: late\n"
       "  hardware_id: robot_1\n"
       "  values: []\n"
       "- level: \"\\x02\"\n"
       "  name: e\n"
       "  message: ''\n"
       "  hardware_id: ''\n"
       "  values:\n"
       "  - key: k\n"
       "    value: v\n"
       "- level: \"\\x03\"\n"
       "  name: s\n"
       "  message: ''\n"
       "  hardware_id: ''\n"
       "  values: []\n"},
      {MakeArray({}), "status: []\n"},
      {MakeArray(many), many_rendered},
  };
  DiagEcho echo({"--count", std::to_string(arrays.size()), "--timeout", "60", "/diagnostics"});
  auto publisher = node_->create_publisher<DiagnosticArray>("/diagnostics", rclcpp::QoS(10));
  ASSERT_TRUE(valtrix::test::WaitForSubscribers(publisher, 1, kDeadline));

  std::string expected;
  for (size_t i = 0; i < arrays.size(); ++i) {
    publisher->publish(arrays[i].first);
    expected += kRenderedHeader + arrays[i].second + "---\n";
    ASSERT_EQ(echo.ReadMessages(i + 1), expected);
  }
  EXPECT_EQ(echo.Wait(), 0) << echo.err();
}

TEST_F(DiagEchoTest, PrintsTheTypeGivenWithTypeOnAnyTopic) {
  struct Case {
    std::string type;
    std::string topic;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"diagnostic_msgs/msg/DiagnosticArray", "/echo/arrays",
       kRenderedHeader + std::string("status: []\n---\n")},
      {"diagnostic_msgs/DiagnosticArray", "/echo/arrays",
       kRenderedHeader + std::string("status: []\n---\n")},
      {"valtrix_protocol/msg/DiagnosticEvent", "/diagnostics", Rendered("a", "b")},
  };
  for (const auto& c : cases) {
    DiagEcho echo({"--once", "--timeout", "60", "--type", c.type, c.topic});
    if (c.type.find("DiagnosticArray") != std::string::npos) {
      auto publisher = node_->create_publisher<DiagnosticArray>(c.topic, 1);
      ASSERT_TRUE(valtrix::test::WaitForSubscribers(publisher, 1, kDeadline)) << c.type;
      publisher->publish(MakeArray({}));
    } else {
      auto publisher = node_->create_publisher<DiagnosticEvent>(c.topic, 1);
      ASSERT_TRUE(valtrix::test::WaitForSubscribers(publisher, 1, kDeadline)) << c.type;
      publisher->publish(MakeEvent("a", "b"));
    }
    EXPECT_EQ(echo.Wait(), 0) << c.type << echo.err();
    EXPECT_EQ(echo.out(), c.expected) << c.type;
  }
}

TEST_F(DiagEchoTest, ExitsOneWhenTheTimeoutPassesWithFewerEvents) {
  DiagEcho echo({"/echo/quiet", "--count", "2", "--timeout", "0.5"});
  EXPECT_EQ(echo.Wait(), 1) << echo.err();
  EXPECT_EQ(echo.out(), "");
}

TEST_F(DiagEchoTest, ExitsZeroOnSigint) {
  DiagEcho echo({"/echo/interrupted"});
  auto publisher = node_->create_publisher<DiagnosticEvent>("/echo/interrupted", 1);
  ASSERT_TRUE(valtrix::test::WaitForSubscribers(publisher, 1, kDeadline));
  echo.Signal(SIGINT);
  EXPECT_EQ(echo.Wait(), 0) << echo.err();
}

TEST(DiagEchoUsageTest, RejectsBadArgumentsWithUsageAndExitTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--count", "many", "/t"},
      {"--count", "0", "/t"},
      {"--timeout", "-1", "/t"},
      {"--timeout"},
      {"/t", "/u"},
      {"--frobnicate", "/t"},
      {"/t", "--ros-args", "--bogus"},
      {"--type", "std_msgs/msg/String", "/t"},
      {"/t", "--type"},
  };
  for (const auto& arguments : bad) {
    DiagEcho echo(arguments);
    std::string joined;
    for (const auto& argument : arguments) {
      joined += argument + " ";
    }
    EXPECT_EQ(echo.Wait(), 2) << joined << echo.err();
    EXPECT_NE(echo.err().find("usage: diag_echo"), std::string::npos) << joined << echo.err();
  }
}

TEST(DiagEchoUsageTest, RejectsAnInvalidTopicNameWithExitTwo) {
  DiagEcho echo({"flow diag", "--timeout", "5"});
  EXPECT_EQ(echo.Wait(), 2);
  EXPECT_NE(echo.err().find("Invalid topic name"), std::string::npos) << echo.err();
}

}  // namespace
