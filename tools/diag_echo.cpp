// diag_echo: prints the DiagnosticEvents or DiagnosticArrays of one topic the way
// `ros2 topic echo` does, for machines without ROS 2.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using diagnostic_msgs::msg::KeyValue;
using valtrix_protocol::msg::DiagnosticEvent;

constexpr int kExitOk = 0;
constexpr int kExitTimedOut = 1;
constexpr int kExitUsage = 2;
constexpr char kUsage[] =
    "usage: diag_echo [--once] [--count N] [--timeout SECONDS] [--type TYPE] TOPIC\n"
    "                 [--ros-args ...]\n"
    "  Prints each message published on TOPIC as YAML, followed by '---'.\n"
    "  --once             exit after the first message\n"
    "  --count N          exit after N messages\n"
    "  --timeout SECONDS  give up after SECONDS; exit 1 if fewer messages than asked for\n"
    "                     (at least one without --count) arrived\n"
    "  --type TYPE        valtrix_protocol/msg/DiagnosticEvent or\n"
    "                     diagnostic_msgs/msg/DiagnosticArray; without it, DiagnosticArray\n"
    "                     for /diagnostics and DiagnosticEvent for any other topic\n";
// `ros2 topic echo` shortens longer strings and sequences unless given --full-length.
constexpr size_t kTruncateLength = 128;

enum class MessageType { DiagnosticEvent, DiagnosticArray };

struct KnownType {
  const char* name;
  // The form without "msg/", which `ros2 topic echo` accepts as well.
  const char* short_name;
  MessageType type;
};
constexpr KnownType kKnownTypes[] = {
    {"valtrix_protocol/msg/DiagnosticEvent", "valtrix_protocol/DiagnosticEvent",
     MessageType::DiagnosticEvent},
    {"diagnostic_msgs/msg/DiagnosticArray", "diagnostic_msgs/DiagnosticArray",
     MessageType::DiagnosticArray},
};

struct Options {
  std::string topic;
  std::optional<MessageType> type;
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

MessageType parse_type(const std::string& text) {
  for (const auto& known : kKnownTypes) {
    if (text == known.name || text == known.short_name) {
      return known.type;
    }
  }
  throw UsageError("unknown message type '" + text + "'");
}

// The type of the topic's messages: the one asked for, else what ROS 2 publishes there.
MessageType message_type(const Options& options) {
  if (options.type) {
    return *options.type;
  }
  const bool diagnostics = options.topic == "/diagnostics" || options.topic == "diagnostics";
  return diagnostics ? MessageType::DiagnosticArray : MessageType::DiagnosticEvent;
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
    } else if (argument == "--count" || argument == "--timeout" || argument == "--type") {
      if (i + 1 == argc) {
        throw UsageError(argument + " needs a value");
      }
      if (argument == "--count") {
        options.count = parse_count(argv[++i]);
      } else if (argument == "--timeout") {
        options.timeout_seconds = parse_seconds(argv[++i]);
      } else {
        options.type = parse_type(argv[++i]);
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

// PyYAML's escapes inside double quotes; other control characters become \xHH.
std::string double_quoted(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\0': out += "\\0"; break;
      case '\a': out += "\\a"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\v': out += "\\v"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '\x1b': out += "\\e"; break;
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

// rclpy hands a `byte` field over as a one-character string, which PyYAML writes like any
// other: "\0" for DiagnosticStatus::OK, "\x01" for WARN. Above 0x7F the character is U+0080 to
// U+00FF, written as UTF-8 where printable.
std::string yaml_byte(uint8_t value) {
  if (value < 0x80) {
    return yaml_string(std::string(1, static_cast<char>(value)));
  }
  if (value < 0xa0) {
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\"\\x%02X\"", value);
    return escaped;
  }
  const char utf8[] = {static_cast<char>(0xc0 | (value >> 6)),
                       static_cast<char>(0x80 | (value & 0x3f))};
  return yaml_string(std::string(utf8, sizeof(utf8)));
}

// PyYAML's block layout: nested mappings indented by two, list items as "- " at the indentation
// of their key, an empty list as "[]". Each item is printed by `print_item(out, first, rest,
// item)`, whose first line starts with `first` and every other with `rest`.
template <typename Item, typename PrintItem>
void print_list(std::ostream& out, const std::string& indent, const char* key,
                const std::vector<Item>& items, PrintItem print_item) {
  if (items.empty()) {
    out << indent << key << ": []\n";
    return;
  }
  out << indent << key << ":\n";
  const size_t shown = std::min(items.size(), kTruncateLength);
  for (size_t i = 0; i < shown; ++i) {
    print_item(out, indent + "- ", indent + "  ", items[i]);
  }
  if (items.size() > shown) {
    out << indent << "- '...'\n";
  }
}

void print_key_value(std::ostream& out, const std::string& first, const std::string& rest,
                     const KeyValue& value) {
  out << first << "key: " << yaml_string(value.key) << "\n"
      << rest << "value: " << yaml_string(value.value) << "\n";
}

void print_status(std::ostream& out, const std::string& first, const std::string& rest,
                  const DiagnosticStatus& status) {
  out << first << "level: " << yaml_byte(status.level) << "\n"
      << rest << "name: " << yaml_string(status.name) << "\n"
      << rest << "message: " << yaml_string(status.message) << "\n"
      << rest << "hardware_id: " << yaml_string(status.hardware_id) << "\n";
  print_list(out, rest, "values", status.values, print_key_value);
}

void print_message(const DiagnosticEvent& event) {
  std::cout << "stamp:\n"
            << "  sec: " << event.stamp.sec << "\n"
            << "  nanosec: " << event.stamp.nanosec << "\n"
            << "source_id: " << yaml_string(event.source_id) << "\n"
            << "event_code: " << event.event_code << "\n"
            << "outcome: " << event.outcome << "\n"
            << "detail: " << yaml_string(event.detail) << "\n"
            << "---" << std::endl;
}

void print_message(const DiagnosticArray& array) {
  std::cout << "header:\n"
            << "  stamp:\n"
            << "    sec: " << array.header.stamp.sec << "\n"
            << "    nanosec: " << array.header.stamp.nanosec << "\n"
            << "  frame_id: " << yaml_string(array.header.frame_id) << "\n";
  print_list(std::cout, "", "status", array.status, print_status);
  std::cout << "---" << std::endl;
}

template <typename MessageT>
int echo(const Options& options) {
  auto node = std::make_shared<rclcpp::Node>("diag_echo");
  size_t received = 0;
  auto subscription = node->create_subscription<MessageT>(
      options.topic, rclcpp::QoS(10), [&received](const MessageT& message) {
        print_message(message);
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
    status = message_type(options) == MessageType::DiagnosticArray
                 ? echo<DiagnosticArray>(options)
                 : echo<DiagnosticEvent>(options);
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
