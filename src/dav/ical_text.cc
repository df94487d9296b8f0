#include "dav/ical_text.h"

#include <algorithm>

namespace lodemig {
namespace {

// Deeper nesting than any calendar needs (VCALENDAR > VTIMEZONE > STANDARD,
// VEVENT > VALARM); the bound keeps a hostile text from growing the stack.
constexpr std::size_t kMaxDepth = 16;

std::string upperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return upper;
}

// Sets the name and the value's start of a line whose text is complete.
void parseName(ContentLine& line) {
  const std::string& text = line.unfolded;
  const std::size_t nameEnd = std::min(text.find(';'), text.find(':'));
  std::string name = upperAscii(text.substr(0, std::min(nameEnd, text.size())));
  const std::size_t dot = name.rfind('.');
  line.name = dot == std::string::npos ? name : name.substr(dot + 1);
  // A quoted parameter value may hold ':' (a mailto: of ALTREP or MEMBER).
  bool quoted = false;
  for (std::size_t i = nameEnd; i < text.size(); ++i) {
    if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == ':' && !quoted) {
      line.valueStart = i + 1;
      return;
    }
  }
}

// Splits `text` at CR LF, LF or a lone CR.
std::vector<std::string_view> physicalLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
      ++start;
    }
  }
  return lines;
}

std::string lineText(const ContentLine& line) {
  return "line " + std::to_string(line.number);
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  return text;
}

std::string_view ContentLine::value() const {
  if (!hasValue()) {
    return std::string_view();
  }
  return std::string_view(unfolded).substr(valueStart);
}

std::string ContentLine::parameter(std::string_view upperName) const {
  const std::size_t end = hasValue() ? valueStart - 1 : unfolded.size();
  std::size_t start = unfolded.find(';');
  while (start < end) {
    // The parameter runs to the next ';' outside quotes.
    std::size_t stop = start + 1;
    bool quoted = false;
    for (; stop < end && (quoted || unfolded[stop] != ';'); ++stop) {
      quoted = unfolded[stop] == '"' ? !quoted : quoted;
    }
    const std::string_view parameter =
        std::string_view(unfolded).substr(start + 1, stop - start - 1);
    const std::size_t equals = parameter.find('=');
    if (equals != std::string_view::npos && upperAscii(parameter.substr(0, equals)) == upperName) {
      std::string_view value = parameter.substr(equals + 1);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
    start = stop;
  }
  return std::string();
}

std::vector<ContentLine> contentLines(std::string_view text) {
  std::vector<ContentLine> lines;
  std::size_t number = 0;
  for (const std::string_view physical : physicalLines(text)) {
    ++number;
    if (physical.empty()) {
      continue;
    }
    const bool continued = physical.front() == ' ' || physical.front() == '\t';
    if (continued && !lines.empty()) {
      lines.back().written.append(physical).append("\r\n");
      lines.back().unfolded.append(physical.substr(1));
      continue;
    }
    ContentLine line;
    line.written.assign(physical).append("\r\n");
    line.unfolded.assign(physical);
    line.number = number;
    lines.push_back(std::move(line));
  }
  for (ContentLine& line : lines) {
    parseName(line);
  }
  return lines;
}

namespace {

// The state of one scan: the object being read and the components open in it.
struct Scan {
  std::vector<TextObject>& objects;
  std::string upperType;
  std::vector<std::string> open;  // the types from the object down

  // A property line at the current depth.
  void property(const std::vector<ContentLine>& lines, std::size_t index) {
    const ContentLine& line = lines[index];
    TextObject& object = objects.back();
    if (open.size() == 1) {
      object.properties.push_back(index);
      if (line.name == "UID" && object.uidLine == std::string::npos) {
        object.uidLine = index;
      } else if (line.name == "VERSION" && object.versionLine == std::string::npos) {
        object.versionLine = index;
      }
      return;
    }
    SubComponent& component = object.components.back();
    if (open.size() == 2 && line.name == "UID" && component.uidLine == std::string::npos) {
      component.uidLine = index;
    } else if (open.size() == 2 && line.name == "TZID") {
      component.tzid = std::string(trimBlanks(line.value()));
    }
    std::string tzid = line.parameter("TZID");
    if (!tzid.empty()) {
      component.tzidsUsed.insert(std::move(tzid));
    }
  }

  std::string begin(const ContentLine& line, std::size_t index, const std::string& type) {
    if (open.empty()) {
      if (type != upperType) {
        return lineText(line) + " is outside BEGIN:" + upperType;
      }
      objects.emplace_back();
      objects.back().begin = index;
    } else if (open.size() >= kMaxDepth) {
      return lineText(line) + ": components nested deeper than " + std::to_string(kMaxDepth);
    } else if (open.size() == 1) {
      objects.back().components.emplace_back();
      objects.back().components.back().type = type;
      objects.back().components.back().begin = index;
    }
    open.push_back(type);
    return std::string();
  }

  std::string end(const ContentLine& line, std::size_t index, const std::string& type) {
    if (open.empty()) {
      return lineText(line) + " is outside BEGIN:" + upperType;
    }
    if (type != open.back()) {
      return lineText(line) + ": END:" + type + " where END:" + open.back() + " belongs";
    }
    open.pop_back();
    if (open.empty()) {
      objects.back().end = index;
    } else if (open.size() == 1) {
      objects.back().components.back().end = index;
    }
    return std::string();
  }
};

}  // namespace

std::string scanObjects(const std::vector<ContentLine>& lines, std::string_view upperType,
                        std::vector<TextObject>& objects) {
  objects.clear();
  Scan scan{objects, std::string(upperType), {}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ContentLine& line = lines[i];
    if (!line.hasValue()) {
      return lineText(line) + " has no ':'";
    }
    std::string error;
    if (line.name == "BEGIN") {
      error = scan.begin(line, i, upperAscii(trimBlanks(line.value())));
    } else if (line.name == "END") {
      error = scan.end(line, i, upperAscii(trimBlanks(line.value())));
    } else if (scan.open.empty()) {
      error = lineText(line) + " is outside BEGIN:" + scan.upperType;
    } else {
      scan.property(lines, i);
    }
    if (!error.empty()) {
      return error;
    }
  }
  if (!scan.open.empty()) {
    return scan.open.back() + " without END";
  }
  if (objects.empty()) {
    return "no BEGIN:" + scan.upperType;
  }
  return std::string();
}

}  // namespace lodemig
