// flow_report: the page drawn from 10 000 runs, read as text and as Chromium lays it out.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "support/browser.hpp"
#include "support/child_process.hpp"
#include "support/run_logs.hpp"
#include "support/temp_files.hpp"

namespace valtrix::test {
namespace {

constexpr int kRuns = 10000;

// Flow "lift" (a, b within 100 ms, c): b is late in every 10th run, c fails in every 7th, which
// is then judged FAILED. And one run of a flow the log never registers, whose ids need escaping.
std::string TenThousandRuns() {
  std::string log = FlowLine("lift", {{"a", 0}, {"b", 100}, {"c", 0}});
  int64_t t = 1'000'000;
  for (int r = 0; r < kRuns; ++r) {
    const bool late = r % 10 == 0;
    const bool failed = r % 7 == 0;
    log += (r == 0 ? "" : ResetLine("lift")) + PointLine("lift", "a", t, 0) +
           PointLine("lift", "b", t + (late ? 150 : 50), 1) +
           PointLine("lift", "c", t + (late ? 200 : 100), 2, !failed) +
           VerdictLine("lift", failed ? "FAILED" : "SUCCESS", 3);
    t += 1000;
  }
  return log + PointLine("x<script>&", "<b>", t, 0) + VerdictLine("x<script>&", "SUCCESS", 1);
}

class FlowReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    report_ = files_.Keep(files_.Write("") + ".html");
    const CommandRun run = RunCommand(std::string(FLOW_REPORT_PATH) + " " +
                                      files_.Write(TenThousandRuns()) + " --runs 25 -o " + report_);
    ASSERT_EQ(run.status, 0) << run.out;
    page_ = ReadFile(report_);
  }

  TempFiles files_;
  std::string report_;
  std::string page_;
};

TEST_F(FlowReportTest, draws_the_last_runs_and_counts_all_of_them_in_a_bounded_page) {
  EXPECT_LT(page_.size(), 100'000U);
  EXPECT_NE(page_.find("Timelines: last 25 of 10000 runs; statistics and counts over all 10000"),
            std::string::npos);
  EXPECT_NE(page_.find("SUCCESS 8571</li><li class=\"verdict-count failure\">FAILED 1429"),
            std::string::npos);
  // count, failed, late, min, mean, p50, p95, max
  EXPECT_NE(page_.find(">b</td><td>10000</td><td>0</td><td>1000</td><td>50</td><td>60.0</td>"
                       "<td>50</td><td>150</td><td>150</td>"),
            std::string::npos);
  EXPECT_NE(page_.find("x&lt;script&gt;&amp;"), std::string::npos);
  // Nothing to fetch: no address but the SVG namespace's, no script.
  const std::string fetched =
      std::regex_replace(page_, std::regex("http://www.w3.org/2000/svg"), "");
  EXPECT_FALSE(std::regex_search(fetched, std::regex("http|src=|href|@import|url\\(|<script")));
}

TEST_F(FlowReportTest, Browser_lays_out_every_element_drawn) {
  ASSERT_EQ(RunCommand("command -v chromium").status, 0)
      << "chromium is not installed (scripts/install-deps installs it): the report cannot be "
         "checked in a browser";
  std::string failure;
  // Runs 9975 to 9999 of "lift": 9980 and 9990 late, 9975, 9982, 9989 and 9996 failed; and the
  // one run of the unregistered flow.
  EXPECT_EQ(CountedInBrowser(report_, kReportElements, "rect.step", &failure),
            "svg.timeline=2 g.run=26 rect.step=76 rect.step.late=2 rect.step.failed=4 "
            "line.timeout-tick=25 text.verdict=4 table.step-stats tbody tr=4 svg.histogram=4 "
            "laid-out=76")
      << failure;
}

}  // namespace
}  // namespace valtrix::test
