#include "migration/events_series.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace lodemig {
namespace {

using Fields = std::map<std::string, std::string>;

// Hostile input cannot run the recursion deep.
constexpr int kMaxDepth = 16;

void skipSpace(std::string_view text, std::size_t& at) {
  while (at < text.size() &&
         (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) {
    ++at;
  }
}

void appendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool parseString(std::string_view text, std::size_t& at, std::string& out) {
  if (at >= text.size() || text[at] != '"') {
    return false;
  }
  for (++at; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '"') {
      ++at;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++at >= text.size()) {
      return false;
    }
    const char escaped = text[at];
    static constexpr std::string_view kFrom = "\"\\/bfnrt";
    static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
    if (const std::size_t which = kFrom.find(escaped); which != std::string_view::npos) {
      out += kTo[which];
    } else if (escaped == 'u' && at + 4 < text.size()) {
      const std::string digits(text.substr(at + 1, 4));
      char* end = nullptr;
      const unsigned long code = std::strtoul(digits.c_str(), &end, 16);
      if (end != digits.c_str() + 4) {
        return false;
      }
      appendUtf8(out, static_cast<unsigned>(code));
      at += 4;
    } else {
      return false;
    }
  }
  return false;
}

bool parseValue(std::string_view text, std::size_t& at, const std::string& name, Fields& fields,
                int depth);

// An object or array after its opening character; members of an object go
// into `fields` under `prefix`, an array's are passed over.
bool parseMembers(std::string_view text, std::size_t& at, const std::string& prefix, Fields& fields,
                  int depth, bool object) {
  const char close = object ? '}' : ']';
  skipSpace(text, at);
  if (at < text.size() && text[at] == close) {
    ++at;
    return true;
  }
  Fields ignored;
  while (at < text.size()) {
    std::string name;
    skipSpace(text, at);
    if (object) {
      if (!parseString(text, at, name)) {
        return false;
      }
      skipSpace(text, at);
      if (at >= text.size() || text[at++] != ':') {
        return false;
      }
    }
    if (!parseValue(text, at, prefix + name, object ? fields : ignored, depth + 1)) {
      return false;
    }
    skipSpace(text, at);
    if (at < text.size() && text[at] == ',') {
      ++at;
    } else {
      return at < text.size() && text[at++] == close;
    }
  }
  return false;
}

bool parseValue(std::string_view text, std::size_t& at, const std::string& name, Fields& fields,
                int depth) {
  skipSpace(text, at);
  if (at >= text.size() || depth > kMaxDepth) {
    return false;
  }
  const char first = text[at];
  if (first == '{' || first == '[') {
    ++at;
    return parseMembers(text, at, name + ".", fields, depth, first == '{');
  }
  if (first == '"') {
    std::string value;
    if (!parseString(text, at, value)) {
      return false;
    }
    fields[name] = value;
    return true;
  }
  const std::size_t start = at;
  while (at < text.size() &&
         std::string_view("+-.0123456789eEtruefalsn").find(text[at]) != std::string_view::npos) {
    ++at;
  }
  if (at == start) {
    return false;
  }
  fields[name] = std::string(text.substr(start, at - start));
  return true;
}

std::int64_t fieldNumber(const Fields& fields, const char* name) {
  const auto found = fields.find(name);
  return found == fields.end() ? -1 : std::strtoll(found->second.c_str(), nullptr, 10);
}

}  // namespace

bool readJsonFields(std::string_view text, std::map<std::string, std::string>& fields) {
  std::size_t at = 0;
  skipSpace(text, at);
  if (at >= text.size() || text[at] != '{') {
    return false;
  }
  ++at;
  if (!parseMembers(text, at, "", fields, 0, true)) {
    return false;
  }
  skipSpace(text, at);
  return at == text.size();
}

double eventTime(const std::string& text) {
  std::tm utc{};
  int millis = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &utc.tm_year, &utc.tm_mon,
                  &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &millis, &used) != 7 ||
      used != static_cast<int>(text.size())) {
    return -1;
  }
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  return static_cast<double>(::timegm(&utc)) + millis / 1000.0;
}

std::string readEventsSeries(std::string_view text,
                             std::vector<std::vector<MessageSample>>& series) {
  // The series of each shard's run in progress, by shard ("" unsharded).
  std::map<std::string, std::size_t> open;
  long line = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string_view::npos ? text.size() : end;
    const std::string_view event = text.substr(at, end - at);
    at = end + 1;
    ++line;
    Fields fields;
    const double time = readJsonFields(event, fields) ? eventTime(fields["time"]) : -1;
    if (time < 0) {
      return "line " + std::to_string(line) + " is not an event";
    }
    const std::string& type = fields["type"];
    const std::string& shard = fields["shard"];
    if (type == "run_start") {
      open[shard] = series.size();
      series.push_back({{time, 0}});
      continue;
    }
    const auto run = open.find(shard);
    if (run == open.end()) {
      continue;  // a run whose start the file lacks gives no series
    }
    if (type == "progress") {
      series[run->second].push_back({time, fieldNumber(fields, "messages")});
    } else if (type == "run_end") {
      series[run->second].push_back({time, fieldNumber(fields, "totals.sent")});
      open.erase(run);
    }
  }
  return std::string();
}

std::vector<MessageSample> sumSeries(const std::vector<std::vector<MessageSample>>& series) {
  std::vector<double> times;
  for (const std::vector<MessageSample>& one : series) {
    for (const MessageSample& sample : one) {
      times.push_back(sample.time);
    }
  }
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  std::vector<MessageSample> sum;
  std::vector<std::size_t> next(series.size(), 0);
  for (double time : times) {
    std::int64_t messages = 0;
    for (std::size_t i = 0; i < series.size(); ++i) {
      // Each series is walked once, in step with the times.
      while (next[i] < series[i].size() && series[i][next[i]].time <= time) {
        ++next[i];
      }
      messages += next[i] == 0 ? 0 : std::max<std::int64_t>(0, series[i][next[i] - 1].messages);
    }
    sum.push_back({time, messages});
  }
  return sum;
}

}  // namespace lodemig
