// Reading a configuration file for the linter, with the reader Init uses.

#include <cstring>
#include <string>

#include <yaml-cpp/exceptions.h>

#include "config_file.hpp"
#include "flow_lint_model.hpp"

namespace valtrix::trace::lint {

bool ReadConfigText(const std::string& path, std::string& text, LintFinding& failure) {
  std::string error;
  try {
    text = ReadConfigFile(path);
    return true;
  } catch (const ConfigFileNotOpened& e) {
    error = std::string(std::strerror(e.error_number)) + ": " + path;
  } catch (const YAML::Exception& e) {
    error = e.what();
  }
  failure.severity = LintSeverity::kError;
  failure.file = path;
  failure.code = "unreadable-file";
  failure.message = "cannot read the file: " + error;
  return false;
}

}  // namespace valtrix::trace::lint
