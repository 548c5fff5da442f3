// The logger reads its environment once per process, so each case here runs in a process of its
// own with the environment its name describes (see the logger block of tests/CMakeLists.txt).
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>

#include "support/capture_stdout.hpp"
#include "valtrix/logger.hpp"

namespace {

using valtrix::Logger;
using valtrix::test::CaptureStdout;

constexpr const char* kStdoutNotSet = "environment variable SPDLOG_STDOUT is not set, and set true";
constexpr const char* kSystemdNotSet =
    "environment variable SPDLOG_SYSTEMD is not set, and set false";
constexpr const char* kLevelNotSet =
    "environment variable SPDLOG_LEVEL is not set, and set default level";
constexpr const char* kStdoutInvalid = "environment variable SPDLOG_STDOUT is invalid, and set true";
constexpr const char* kSystemdInvalid =
    "environment variable SPDLOG_SYSTEMD is invalid, and set false";
constexpr const char* kLevelInvalid =
    "environment variable SPDLOG_LEVEL is invalid, and set default level";

using Environment = std::initializer_list<std::pair<const char*, const char*>>;

// Guards against running a case in the wrong environment; nullptr means "not set".
::testing::AssertionResult RunsIn(Environment expected) {
  for (const auto& [name, value] : expected) {
    const char* actual = std::getenv(name);
    const bool same = value == nullptr ? actual == nullptr
                                       : actual != nullptr && std::strcmp(actual, value) == 0;
    if (!same) {
      return ::testing::AssertionFailure()
             << name << " is " << (actual ? actual : "<unset>") << ", this case needs "
             << (value ? value : "<unset>") << " (run it through ctest)";
    }
  }
  return ::testing::AssertionSuccess();
}

template <typename Sink>
bool IsSink(const spdlog::sink_ptr& sink) {
  return std::dynamic_pointer_cast<Sink>(sink) != nullptr;
}

using ConsoleSink = spdlog::sinks::ansicolor_stdout_sink_mt;
using JournalSink = spdlog::sinks::systemd_sink_mt;

TEST(LoggerStartup, WithNothingSetPrintsThreeNoticesInOrderThenLogsInfoToStdout) {
  ASSERT_TRUE(RunsIn({{"SPDLOG_STDOUT", nullptr},
                      {"SPDLOG_SYSTEMD", nullptr},
                      {"SPDLOG_LEVEL", nullptr}}));
  CaptureStdout capture;
  LOG_DEBUG("dropped");
  LOG_INFO("first {}", "line");

  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{kStdoutNotSet, kSystemdNotSet, kLevelNotSet,
                                                       "  1 [INFO] first line"}));
  const auto& sinks = Logger::Instance().logger->sinks();
  ASSERT_EQ(sinks.size(), 1U);
  EXPECT_TRUE(IsSink<ConsoleSink>(sinks[0]));
  EXPECT_EQ(Logger::Instance().level, spdlog::level::info);
}

TEST(LoggerStartup, WithInexactValuesPrintsInvalidNoticesInOrderAndFallsBack) {
  ASSERT_TRUE(
      RunsIn({{"SPDLOG_STDOUT", "True"}, {"SPDLOG_SYSTEMD", "1"}, {"SPDLOG_LEVEL", "warn"}}));
  CaptureStdout capture;
  LOG_DEBUG("dropped");
  LOG_INFO("kept");

  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{kStdoutInvalid, kSystemdInvalid,
                                                       kLevelInvalid, "  1 [INFO] kept"}));
  const auto& sinks = Logger::Instance().logger->sinks();
  ASSERT_EQ(sinks.size(), 1U);
  EXPECT_TRUE(IsSink<ConsoleSink>(sinks[0]));
  EXPECT_EQ(Logger::Instance().logger->level(), spdlog::level::info);
}

TEST(LoggerStartup, WithValidValuesIsSilentNumbersFromOneAndIgnoresLaterChanges) {
  ASSERT_TRUE(
      RunsIn({{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "debug"}}));
  CaptureStdout capture;
  for (int i = 1; i <= 129; ++i) {
    LOG_DEBUG("line {}", i);
  }
  setenv("SPDLOG_LEVEL", "error", 1);
  setenv("SPDLOG_STDOUT", "false", 1);
  LOG_DEBUG("after the environment changed");
  const auto lines = capture.Lines();

  ASSERT_EQ(lines.size(), 130U);
  EXPECT_EQ(lines[0], "  1 [DEBUG] line 1");
  EXPECT_EQ(lines[126], "127 [DEBUG] line 127");
  EXPECT_EQ(lines[127], "  0 [DEBUG] line 128");
  EXPECT_EQ(lines[128], "  1 [DEBUG] line 129");
  EXPECT_EQ(lines[129], "  2 [DEBUG] after the environment changed");
  EXPECT_EQ(Logger::Instance().level, spdlog::level::debug);
}

TEST(LoggerStartup, AtErrorLevelLowerLinesNeitherPrintNorTakeANumber) {
  ASSERT_TRUE(
      RunsIn({{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "error"}}));
  CaptureStdout capture;
  LOG_WARN("dropped warning");
  LOG_INFO("dropped info");
  LOG_DEBUG("dropped debug");
  LOG_ERROR("first error");
  LOG_WARN("dropped warning");
  LOG_ERROR("second error");

  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"  1 [ERROR] first error", "  2 [ERROR] second error"}));
  EXPECT_EQ(Logger::Instance().seq.load(), 2);
}

TEST(LoggerStartup, WithoutSinksLinesAreDiscardedButStillCounted) {
  ASSERT_TRUE(
      RunsIn({{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}}));
  CaptureStdout capture;
  LOG_INFO("one");
  LOG_WARN("two");
  LOG_DEBUG("below the level");

  EXPECT_EQ(capture.Text(), "");
  ASSERT_NE(Logger::Instance().logger, nullptr);
  EXPECT_TRUE(Logger::Instance().logger->sinks().empty());
  EXPECT_EQ(Logger::Instance().seq.load(), 2);
}

// Runs where no journald listens (a container, a build machine): the journal write fails and
// spdlog's error handler reports it on stderr; the caller and the console line are unaffected.
TEST(LoggerStartup, FailedJournalWriteNeverReachesTheCaller) {
  ASSERT_TRUE(
      RunsIn({{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "true"}, {"SPDLOG_LEVEL", "info"}}));
  CaptureStdout capture;
  EXPECT_NO_THROW(LOG_ERROR("to console and journal"));
  EXPECT_NO_THROW(LOG_INFO("and {}", "again"));

  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"  1 [ERROR] to console and journal",
                                                       "  2 [INFO] and again"}));
  const auto& sinks = Logger::Instance().logger->sinks();
  ASSERT_EQ(sinks.size(), 2U);
  EXPECT_TRUE(IsSink<ConsoleSink>(sinks[0]));
  EXPECT_TRUE(IsSink<JournalSink>(sinks[1]));
}

}  // namespace
