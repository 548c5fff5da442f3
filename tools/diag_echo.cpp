// diag_echo: prints the DiagnosticEvents of one topic the way `ros2 topic echo` does, for
// machines without ROS 2.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace {

using valtrix_protocol::msg::DiagnosticEvent;

constexpr int kExitOk = 0;
constexpr int kExitTimedOut = 1;
constexpr int kExitUsage = 2;
constexpr char kUsage[] =
    "usage: diag_echo [--once] [--count N] [--timeout SECONDS] TOPIC [--ros-args ...]\n"
    "  Prints each DiagnosticEvent published on TOPIC as YAML, followed by '---'.\n"
    "  --once             exit after the first event\n"
    "  --count N          exit after N events\n"
    "  --timeout SECONDS  give up after SECONDS; exit 1 if fewer events than asked for\n"
    "                     (at least one without --count) arrived\n";
// `ros2 topic echo` shortens longer strings unless given --full-length.
constexpr size_t kTruncateLength = 128;

struct Options {
  std::string topic;
  std::optional<size_t> count;
  std::optional<double> timeout_seconds;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

size_t parse_count(const std::string& text) {
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || value == 0 || text[0] == '-' || text[0] == '+') {
    throw UsageError("--count needs a positive whole number, got '" + text + "'");
  }
  return value;
}

double parse_seconds(const std::string& text) {
  size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || !(value > 0) || value > 1e9) {
    throw UsageError("--timeout needs a positive number of seconds, got '" + text + "'");
  }
  return value;
}

// Reads our own options; the ROS arguments (from --ros-args up to --) are left to rclcpp::init.
Options parse_options(int argc, char** argv) {
  Options options;
  bool in_ros_args = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--ros-args") {
      in_ros_args = true;
    } else if (in_ros_args) {
      in_ros_args = argument != "--";
    } else if (argument == "-h" || argument == "--help") {
      std::cout << kUsage;
      std::exit(kExitOk);
    } else if (argument == "--once") {
      options.count = 1;
    } else if (argument == "--count" || argument == "--timeout") {
      if (i + 1 == argc) {
        throw UsageError(argument + " needs a value");
      }
      if (argument == "--count") {
        options.count = parse_count(argv[++i]);
      } else {
        options.timeout_seconds = parse_seconds(argv[++i]);
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      throw UsageError("unknown option '" + argument + "'");
    } else if (options.topic.empty()) {
      options.topic = argument;
    } else {
      throw UsageError("only one topic may be given, got '" + options.topic + "' and '" +
                       argument + "'");
    }
  }
  if (options.topic.empty()) {
    throw UsageError("no topic given");
  }
  return options;
}

// Texts that a YAML 1.1 loader would read as something other than a string.
bool resolves_to_non_string(const std::string& text) {
  static const std::regex kImplicit(
      "yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF"
      "|~|null|Null|NULL|<<|="
      "|[-+]?0b[0-1_]+|[-+]?0[0-7_]+|[-+]?(0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+"
      "|[-+]?[1-9][0-9_]*(:[0-5]?[0-9])+"
      "|[-+]?([0-9][0-9_]*)\\.[0-9_]*([eE][-+][0-9]+)?|\\.[0-9_]+([eE][-+][0-9]+)?"
      "|[-+]?[0-9][0-9_]*(:[0-5]?[0-9])+\\.[0-9_]*|[-+]?\\.(inf|Inf|INF)|\\.(nan|NaN|NAN)"
      "|[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}([Tt]|[ \\t]+)?([0-9]{1,2}:[0-9]{2}:[0-9]{2}(\\.[0-9]*)?)?"
      "([ \\t]*(Z|[-+][0-9]{1,2}(:[0-9]{2})?))?");
  return std::regex_match(text, kImplicit);
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

std::string double_quoted(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (is_control(c)) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string single_quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    out += c == '\'' ? std::string("''") : std::string(1, c);
  }
  return out + "'";
}

// Whether PyYAML's emitter may write `text` as a plain block scalar.
bool plain_allowed(const std::string& text) {
  if (text.empty() || resolves_to_non_string(text)) {
    return false;
  }
  if (text.front() == ' ' || text.back() == ' ') {
    return false;
  }
  if (text.rfind("---", 0) == 0 || text.rfind("...", 0) == 0) {
    return false;
  }
  const auto followed_by_space = [&](size_t i) {
    return i + 1 == text.size() || text[i + 1] == ' ';
  };
  static const std::string kLeadingIndicators = "#,[]{}&*!|>'\"%@`";
  if (kLeadingIndicators.find(text[0]) != std::string::npos) {
    return false;
  }
  if ((text[0] == '?' || text[0] == ':' || text[0] == '-') && followed_by_space(0)) {
    return false;
  }
  for (size_t i = 1; i < text.size(); ++i) {
    if ((text[i] == ':' && followed_by_space(i)) || (text[i] == '#' && text[i - 1] == ' ')) {
      return false;
    }
  }
  return true;
}

std::string yaml_string(std::string text) {
  if (text.size() > kTruncateLength) {
    text = text.substr(0, kTruncateLength) + "...";
  }
  for (const char c : text) {
    if (is_control(static_cast<unsigned char>(c))) {
      return double_quoted(text);
    }
  }
  return plain_allowed(text) ? text : single_quoted(text);
}

void print_event(const DiagnosticEvent& event) {
  std::cout << "stamp:\n"
            << "  sec: " << event.stamp.sec << "\n"
            << "  nanosec: " << event.stamp.nanosec << "\n"
            << "source_id: " << yaml_string(event.source_id) << "\n"
            << "event_code: " << event.event_code << "\n"
            << "outcome: " << event.outcome << "\n"
            << "detail: " << yaml_string(event.detail) << "\n"
            << "---" << std::endl;
}

int echo(const Options& options) {
  auto node = std::make_shared<rclcpp::Node>("diag_echo");
  size_t received = 0;
  auto subscription = node->create_subscription<DiagnosticEvent>(
      options.topic, rclcpp::QoS(10), [&received](const DiagnosticEvent& event) {
        print_event(event);
        ++received;
      });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);

  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;
  if (options.timeout_seconds) {
    deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(*options.timeout_seconds));
  }
  const size_t wanted = options.count.value_or(1);
  while (rclcpp::ok() && (!options.count || received < *options.count)) {
    if (!deadline) {
      executor.spin_once();
      continue;
    }
    const auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      return received >= wanted ? kExitOk : kExitTimedOut;
    }
    executor.spin_once(left);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parse_options(argc, argv);
    rclcpp::init(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "diag_echo: " << error.what() << "\n" << kUsage;
    return kExitUsage;
  }
  int status = kExitOk;
  try {
    status = echo(options);
  } catch (const rclcpp::exceptions::NameValidationError& error) {
    std::cerr << "diag_echo: " << error.what();
    status = kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "diag_echo: " << error.what() << "\n";
    status = kExitTimedOut;
  }
  rclcpp::shutdown();
  return status;
}
