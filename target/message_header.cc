#include "target/message_header.h"

#include "utils/ascii.h"

namespace lodemig::target {

namespace {

constexpr std::string_view kName = "message-id:";

// The end of the line starting at `at`, past its LF; message.size() when it
// has none.
std::size_t lineEnd(std::string_view message, std::size_t at) {
  const std::size_t lf = message.find('\n', at);
  return lf == std::string_view::npos ? message.size() : lf + 1;
}

bool blankLine(std::string_view line) {
  return line == "\n" || line == "\r\n";
}

}  // namespace

std::string messageIdField(std::string_view message) {
  std::size_t at = 0;
  while (at < message.size()) {
    const std::size_t end = lineEnd(message, at);
    const std::string_view line = message.substr(at, end - at);
    if (blankLine(line)) {
      return {};
    }
    if (line.size() >= kName.size() &&
        ostrel::utils::equalsIgnoreCase(line.substr(0, kName.size()), kName)) {
      std::size_t fieldEnd = end;
      // Folded lines start with a blank and belong to the field.
      while (fieldEnd < message.size() && (message[fieldEnd] == ' ' || message[fieldEnd] == '\t')) {
        fieldEnd = lineEnd(message, fieldEnd);
      }
      std::string field(message.substr(at, fieldEnd - at));
      if (field.back() != '\n') {
        field += "\r\n";
      }
      return field;
    }
    at = end;
  }
  return {};
}

}  // namespace lodemig::target
