#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace valtrix::tools {

/// A command line the program cannot run with; its text says what is wrong.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The value of option `name` if `argv[i]` is that option, as "--name value" or "--name=value";
/// advances `i` past a separate value.
inline std::optional<std::string> OptionValue(const std::string& name, int argc, char** argv,
                                              int& i) {
  const std::string argument = argv[i];
  if (argument == name) {
    if (i + 1 == argc) {
      throw UsageError(name + " needs a value");
    }
    return std::string(argv[++i]);
  }
  if (argument.rfind(name + "=", 0) == 0) {
    return argument.substr(name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace valtrix::tools
