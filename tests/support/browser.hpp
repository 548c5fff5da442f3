#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/run_logs.hpp"

namespace valtrix::test {

// What flow_report draws, to be counted in the browser.
inline const std::vector<std::string> kReportElements = {
    "svg.timeline", "g.run", "rect.step", "rect.step.late", "rect.step.failed",
    "line.timeout-tick", "text.verdict", "table.step-stats tbody tr", "svg.histogram"};

// How many elements each CSS selector finds within `scope` (a selector; empty: the whole page) in
// the page at `page_path` once headless Chromium has parsed and laid it out ("selector=count
// ..."), then how many of the `laid_out` elements there have a width on screen ("laid-out=N").
// Chromium runs without a network. Empty on failure, with Chromium's output in `*failure`.
inline std::string CountedInBrowser(const std::string& page_path,
                                    const std::vector<std::string>& selectors,
                                    const std::string& laid_out, std::string* failure,
                                    const std::string& scope = "") {
  std::string list;
  for (const auto& selector : selectors) {
    list += (list.empty() ? "'" : ", '") + selector + "'";
  }
  const std::string harness = page_path + ".harness.html";
  {
    std::ifstream page(page_path, std::ios::binary);
    std::ofstream out(harness, std::ios::binary);
    out << page.rdbuf() << "<script>\nconst scope = '" << (scope.empty() ? "" : scope + " ")
        << "';\nconst n = s => document.querySelectorAll(scope + s).length;\n"
        << "const laidOut = [...document.querySelectorAll(scope + '" << laid_out << "')]\n"
        << "    .filter(e => e.getBoundingClientRect().width > 0).length;\n"
        << "const out = document.createElement('pre');\nout.id = 'counts';\n"
        << "out.textContent = [" << list
        << "].map(s => s + '=' + n(s)).join(' ') + ' laid-out=' + laidOut;\n"
        << "document.body.appendChild(out);\n</script>";
  }
  char profile[] = "/tmp/valtrix_chromium_XXXXXX";
  if (mkdtemp(profile) == nullptr) {
    *failure = "mkdtemp failed";
    return "";
  }
  const CommandRun run = RunCommand(
      "timeout 120 unshare -n sh -c 'ip link set lo up; exec chromium --headless --no-sandbox "
      "--disable-gpu --user-data-dir=" +
      std::string(profile) + " --dump-dom file://" + harness + "'");
  std::filesystem::remove_all(profile);
  std::filesystem::remove(harness);
  std::smatch counts;
  if (!std::regex_search(run.out, counts, std::regex("<pre id=\"counts\">([^<]*)</pre>"))) {
    *failure = run.out.substr(0, 2000);
    return "";
  }
  return counts[1].str();
}

}  // namespace valtrix::test
