#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <rclcpp/exceptions.hpp>
#include <rclcpp/utilities.hpp>

#include "standin_internal.hpp"

namespace ros2_standin {
namespace {

constexpr int kInvalidRosArgs = 1003;  // RCL_RET_INVALID_ROS_ARGS
constexpr char kInitErrorPrefix[] = "failed to initialize rcl: ";

// Flags of rcl that take no value; they are accepted and have no effect here.
const char* const kIgnoredFlags[] = {
    "--enable-stdout-logs",  "--disable-stdout-logs",       "--enable-rosout-logs",
    "--disable-rosout-logs", "--enable-external-lib-logs", "--disable-external-lib-logs",
};
// Options of rcl that take one value; accepted and ignored likewise.
const char* const kIgnoredOptions[] = {
    "-e", "--enclave", "--log-level", "--log-config-file",
};

bool is_one_of(const std::string& argument, const char* const* begin, const char* const* end) {
  for (auto it = begin; it != end; ++it) {
    if (argument == *it) {
      return true;
    }
  }
  return false;
}

[[noreturn]] void throw_invalid_ros_args(const std::string& message) {
  throw rclcpp::exceptions::RCLInvalidROSArgsError(
      rclcpp::exceptions::RCLErrorBase(kInvalidRosArgs, message), kInitErrorPrefix);
}

RemapRule parse_remap_rule(const std::string& text) {
  const auto separator = text.find(":=");
  if (separator == std::string::npos || separator == 0 || separator + 2 == text.size()) {
    throw_invalid_ros_args("Couldn't parse remap rule: '" + text + "'");
  }
  RemapRule rule;
  std::string from = text.substr(0, separator);
  rule.to = text.substr(separator + 2);
  const auto node_separator = from.find(':');
  if (node_separator != std::string::npos) {
    rule.node_name = from.substr(0, node_separator);
    from = from.substr(node_separator + 1);
    if (rule.node_name.empty() || from.empty()) {
      throw_invalid_ros_args("Couldn't parse remap rule: '" + text + "'");
    }
  }
  if (from == "__ns") {
    rule.kind = RemapRule::Kind::Namespace;
  } else if (from == "__node" || from == "__name") {
    rule.kind = RemapRule::Kind::NodeName;
  } else {
    rule.kind = RemapRule::Kind::Topic;
  }
  rule.from = from;
  return rule;
}

// State of the one context of the process. Never destroyed, so that entities released late
// during exit still find it.
struct Context {
  std::mutex mutex;
  std::vector<RemapRule> remaps;
  std::vector<ParameterRule> parameters;
  bool initialized = false;
  bool handlers_installed = false;
};

Context& context() {
  static auto* instance = new Context();
  return *instance;
}

std::atomic<bool> g_ok{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
struct sigaction g_previous_sigint {};
struct sigaction g_previous_sigterm {};

// The decimal digits of `value`, at least `width` of them, written at `out`; returns the end.
char* write_decimal(char* out, uint64_t value, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 || count < width);
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

char* write_text(char* out, const char* text, const char* end) {
  const size_t length = std::min(std::strlen(text), static_cast<size_t>(end - out));
  std::memcpy(out, text, length);
  return out + length;
}

// A line as rcutils writes it to stderr, "[WARN] [<seconds>.<nanoseconds>] [rcl]: <message>",
// built by hand and written with write(2), so that a signal handler may call it too (stdio may
// not be used there). Long messages are cut.
void log_line(const char* severity, const char* logger, const char* message) {
  const int saved_errno = errno;  // the interrupted code may be about to read it
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char line[512];
  char* const end = line + sizeof line - 1;
  char* out = write_text(line, "[", end);
  out = write_text(out, severity, end);
  out = write_text(out, "] [", end);
  out = write_decimal(out, static_cast<uint64_t>(now.tv_sec), 1);
  *out++ = '.';
  out = write_decimal(out, static_cast<uint64_t>(now.tv_nsec), 9);
  out = write_text(out, "] [", end);
  out = write_text(out, logger, end);
  out = write_text(out, "]: ", end);
  out = write_text(out, message, end);
  *out++ = '\n';
  if (write(STDERR_FILENO, line, static_cast<size_t>(out - line)) < 0) {
    // Nothing to be done about a closed stderr.
  }
  errno = saved_errno;
}

// rclcpp logs every signal it handles.
void log_signal(int signal_number) {
  char message[40];
  char* out = write_text(message, "signal_handler(signum=", message + sizeof message);
  out = write_decimal(out, static_cast<uint64_t>(signal_number), 1);
  *out++ = ')';
  *out = '\0';
  log_line("INFO", "rclcpp", message);
}

void on_signal(int signal_number, siginfo_t* info, void* ucontext) {
  log_signal(signal_number);
  g_ok.store(false);
  // Chain to a handler that was installed before ours, as rclcpp does.
  const struct sigaction& previous = signal_number == SIGINT ? g_previous_sigint : g_previous_sigterm;
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal_number, info, ucontext);
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
             previous.sa_handler != nullptr) {
    previous.sa_handler(signal_number);
  }
}

void install_signal_handlers(Context& ctx) {
  if (ctx.handlers_installed) {
    return;
  }
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &g_previous_sigint);
  sigaction(SIGTERM, &action, &g_previous_sigterm);
  ctx.handlers_installed = true;
}

void uninstall_signal_handlers(Context& ctx) {
  if (!ctx.handlers_installed) {
    return;
  }
  sigaction(SIGINT, &g_previous_sigint, nullptr);
  sigaction(SIGTERM, &g_previous_sigterm, nullptr);
  ctx.handlers_installed = false;
}

// rcl still applies a remap rule written outside --ros-args, as ROS 1 had them, with a warning.
void add_deprecated_remap(const std::string& argument, std::vector<RemapRule>& remaps) {
  try {
    remaps.push_back(parse_remap_rule(argument));
  } catch (const rclcpp::exceptions::RCLInvalidROSArgsError&) {
    return;  // an ordinary argument of the program
  }
  const std::string warning = "Found remap rule '" + argument +
                              "'. This syntax is deprecated. Use '--ros-args --remap " + argument +
                              "' instead.";
  log_line("WARN", "rcl", warning.c_str());
}

}  // namespace

RosArguments parse_ros_arguments(const std::vector<std::string>& arguments) {
  RosArguments parsed;
  std::vector<std::string> unknown;
  bool in_ros_args = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--ros-args") {
      in_ros_args = true;
    } else if (!in_ros_args) {
      add_deprecated_remap(argument, parsed.remaps);
    } else if (argument == "--") {
      in_ros_args = false;
    } else if (argument == "-r" || argument == "--remap") {
      if (i + 1 == arguments.size()) {
        throw_invalid_ros_args("Couldn't parse trailing " + argument + " flag. No remap rule found.");
      }
      parsed.remaps.push_back(parse_remap_rule(arguments[++i]));
    } else if (argument == "--params-file") {
      if (i + 1 == arguments.size()) {
        throw_invalid_ros_args("Couldn't parse trailing " + argument +
                               " flag. No file path provided.");
      }
      // Read where it stands: of two values for one parameter, the later one counts.
      const std::string& path = arguments[++i];
      const std::string problem = read_parameter_file(path, parsed.parameters);
      if (!problem.empty()) {
        throw_invalid_ros_args("Couldn't parse params file: '" + argument + " " + path +
                               "'. Error: " + problem);
      }
    } else if (argument == "-p" || argument == "--param") {
      if (i + 1 == arguments.size()) {
        throw_invalid_ros_args("Couldn't parse trailing " + argument +
                               " flag. No parameter override rule found.");
      }
      ParameterRule rule;
      if (!parse_parameter_rule(arguments[i + 1], rule)) {
        throw_invalid_ros_args("Couldn't parse parameter override rule: '" + argument + " " +
                               arguments[i + 1] + "'");
      }
      parsed.parameters.push_back(std::move(rule));
      ++i;
    } else if (is_one_of(argument, std::begin(kIgnoredOptions), std::end(kIgnoredOptions))) {
      if (i + 1 == arguments.size()) {
        throw_invalid_ros_args("Couldn't parse trailing " + argument + " flag. No value found.");
      }
      ++i;
    } else if (!is_one_of(argument, std::begin(kIgnoredFlags), std::end(kIgnoredFlags))) {
      unknown.push_back(argument);
    }
  }
  if (!unknown.empty()) {
    throw rclcpp::exceptions::UnknownROSArgsError(std::move(unknown));
  }
  return parsed;
}

bool context_ok() { return g_ok.load(); }

bool context_initialized() {
  Context& ctx = context();
  std::lock_guard<std::mutex> lock(ctx.mutex);
  return ctx.initialized;
}

std::vector<RemapRule> global_remaps() {
  Context& ctx = context();
  std::lock_guard<std::mutex> lock(ctx.mutex);
  return ctx.remaps;
}

std::vector<ParameterRule> global_parameter_rules() {
  Context& ctx = context();
  std::lock_guard<std::mutex> lock(ctx.mutex);
  return ctx.parameters;
}

}  // namespace ros2_standin

namespace rclcpp {

void init(int argc, char const* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  auto& ctx = ros2_standin::context();
  std::lock_guard<std::mutex> lock(ctx.mutex);
  if (ros2_standin::g_ok.load()) {
    throw ContextAlreadyInitialized();
  }
  ctx.initialized = false;
  auto parsed = ros2_standin::parse_ros_arguments(arguments);
  ctx.initialized = true;
  ctx.remaps = std::move(parsed.remaps);
  ctx.parameters = std::move(parsed.parameters);
  ros2_standin::install_signal_handlers(ctx);
  ros2_standin::g_ok.store(true);
}

bool ok() { return ros2_standin::context_ok(); }

bool shutdown(const std::string& /*reason*/) {
  auto& ctx = ros2_standin::context();
  std::lock_guard<std::mutex> lock(ctx.mutex);
  const bool was_ok = ros2_standin::g_ok.exchange(false);
  ros2_standin::uninstall_signal_handlers(ctx);
  return was_ok;
}

}  // namespace rclcpp
