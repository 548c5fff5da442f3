// Writes one line per level for tests/logger_journal_test.sh, which reads them back from the
// journal. Each call carries a marker comment by which the script finds its line number.
#include "valtrix/logger.hpp"

int main() {
  LOG_DEBUG("probe {} line", "debug");  // probe:debug
  LOG_INFO("probe {} line", "info");    // probe:info
  LOG_WARN("probe {} line", "warn{}\n");  // probe:warn
  const auto in_lambda = [] {
    LOG_ERROR("probe {} line", "error");  // probe:error
  };
  in_lambda();
  return 0;
}
