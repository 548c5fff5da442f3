#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/capture_stdout.hpp"
#include "valtrix/logger.hpp"

namespace {

using valtrix::test::CaptureStdout;
using valtrix::test::LogLines;

// Console only, every level emitted. Set before the logger's first use in this process.
class LoggerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("SPDLOG_STDOUT", "true", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "debug", 1);
  }
};

int NumberOf(const std::string& line) { return std::stoi(line.substr(0, 3)); }

TEST_F(LoggerTest, EachLevelWritesRightAlignedNumberTagAndMessage) {
  CaptureStdout capture;
  LOG_DEBUG("debug line");
  LOG_INFO("info line");
  LOG_WARN("warn line");
  LOG_ERROR("error line");
  const auto lines = capture.Lines();

  ASSERT_EQ(lines.size(), 4U);
  const std::regex shape(R"(^[ 0-9]{2}[0-9] \[[A-Z]+\] .*$)");
  for (const auto& line : lines) {
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
  }
  EXPECT_EQ(LogLines(capture), (std::vector<std::string>{
                                   "[DEBUG] debug line", "[INFO] info line",
                                   "[WARN] warn line", "[ERROR] error line"}));
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(NumberOf(lines[i]), (NumberOf(lines[i - 1]) + 1) % 128);
  }
}

TEST_F(LoggerTest, ArgumentsAreFormattedOnceAndBracesInThemStayVerbatim) {
  CaptureStdout capture;
  LOG_INFO("flow '{}' has {} points", std::string("grab_{}_{0}_{:>5}"), 3);
  LOG_WARN("{}", "%v {{}}");
  EXPECT_EQ(LogLines(capture), (std::vector<std::string>{
                                   "[INFO] flow 'grab_{}_{0}_{:>5}' has 3 points",
                                   "[WARN] %v {{}}"}));
}

// A traced id holding a newline must not forge a line of its own, nor an escape sequence
// repaint the terminal: control characters of text arguments are written as C escapes.
TEST_F(LoggerTest, ControlCharactersOfTextArgumentsAreEscaped) {
  const std::string forged = "42\n 43 [ERROR] FlowEventHandler: Flow 'x' success, status: 0";
  const struct {
    std::string argument;
    std::string written;
  } cases[] = {
      {forged, "42\\n 43 [ERROR] FlowEventHandler: Flow 'x' success, status: 0"},
      {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
      {"tab\tcr\rdel\x7f", "tab\\tcr\\rdel\\x7f"},
      {std::string("nul\0one\x01us\x1f", 11), "nul\\x00one\\x01us\\x1f"},
      {"braces {} {0} and \\n stay", "braces {} {0} and \\n stay"},
      {"UTF-8 Greifer geöffnet, 把手 ✓", "UTF-8 Greifer geöffnet, 把手 ✓"},
  };
  for (const auto& c : cases) {
    CaptureStdout capture;
    LOG_WARN("point '{}' not in flow config", c.argument);
    EXPECT_EQ(LogLines(capture),
              std::vector<std::string>{"[WARN] point '" + c.written + "' not in flow config"})
        << c.written;
  }

  CaptureStdout capture;
  LOG_INFO("{} {} {} [{:>6}]", "c\nstr", std::string_view("v\n"), '\n', "a\tb");
  EXPECT_EQ(LogLines(capture), std::vector<std::string>{"[INFO] c\\nstr v\\n \\n [  a\\tb]"});
}

TEST_F(LoggerTest, NumbersRunToHundredTwentySevenThenWrapToZero) {
  CaptureStdout capture;
  for (int i = 0; i < 300; ++i) {
    LOG_INFO("line {}", i);
  }
  const auto lines = capture.Lines();

  ASSERT_EQ(lines.size(), 300U);
  int wraps = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const int previous = NumberOf(lines[i - 1]);
    const int number = NumberOf(lines[i]);
    ASSERT_EQ(number, (previous + 1) % 128) << lines[i];
    wraps += previous == 127 ? 1 : 0;
  }
  // 300 lines pass both the 7-bit wrap of the printed number and the 8-bit wrap of the counter.
  EXPECT_GE(wraps, 2);
  EXPECT_EQ(lines[0].substr(3), " [INFO] line 0");
}

}  // namespace
