#include "migration/report_reader.h"

#include <charconv>
#include <cstdint>

namespace lodemig {
namespace {

constexpr std::size_t kFields = 15;

// The next record of `text` from `at`, its fields in `fields`; `at` moves
// past its line end. False when the text ends inside a quoted field.
bool nextRecord(std::string_view text, std::size_t& at, std::vector<std::string>& fields) {
  fields.assign(1, std::string());
  bool quoted = false;
  while (at < text.size()) {
    const char c = text[at++];
    if (quoted) {
      if (c != '"') {
        fields.back() += c;
      } else if (at < text.size() && text[at] == '"') {
        fields.back() += '"';
        ++at;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c == '\n') {
      return true;
    } else if (c == '\r' && at < text.size() && text[at] == '\n') {
      ++at;
      return true;
    } else {
      fields.back() += c;
    }
  }
  return !quoted;
}

// A count; an empty field is one the target did not give (-1) where
// `emptyAllowed`.
bool parseCount(const std::string& field, bool emptyAllowed, std::int64_t& value) {
  if (field.empty()) {
    value = -1;
    return emptyAllowed;
  }
  const char* end = field.data() + field.size();
  auto [stop, error] = std::from_chars(field.data(), end, value);
  return error == std::errc() && stop == end && value >= 0;
}

bool parseVerdict(const std::string& word, Verdict& verdict) {
  for (Verdict candidate : {Verdict::Ok, Verdict::Missing, Verdict::Extra, Verdict::Failed,
                            Verdict::Skipped, Verdict::Pending}) {
    if (word == verdictWord(candidate)) {
      verdict = candidate;
      return true;
    }
  }
  return false;
}

// The row of a record's fields; "" or the name of the column that is wrong.
std::string rowOf(const std::vector<std::string>& fields, ReportRow& row) {
  row.domain = fields[0];
  row.account = fields[1];
  row.folder = fields[2];
  row.targetFolder = fields[3];
  row.kind = fields[4];
  std::int64_t bytes = 0;
  const struct {
    std::size_t column;
    const char* name;
    bool emptyAllowed;
    std::int64_t* value;
  } counts[] = {{5, "store_messages", false, &row.storeMessages},
                {6, "store_bytes", false, &bytes},
                {7, "sent", false, &row.sent},
                {8, "refused", false, &row.refused},
                {9, "skipped", false, &row.skipped},
                {10, "target_before", true, &row.targetBefore},
                {11, "target_after", true, &row.targetAfter},
                {14, "matched", false, &row.matched}};
  for (const auto& count : counts) {
    if (!parseCount(fields[count.column], count.emptyAllowed, *count.value)) {
      return std::string(count.name) + " is not a number";
    }
  }
  row.storeBytes = static_cast<std::uint64_t>(bytes);
  if (!parseVerdict(fields[12], row.verdict)) {
    return "verdict is not one of ok, missing, extra, failed, skipped, pending";
  }
  row.error = fields[13];
  return std::string();
}

}  // namespace

std::string readReportText(std::string_view text, std::vector<ReportRecord>& records) {
  const std::string_view header = RunReport::kHeader;
  if (text.substr(0, header.size()) != header ||
      text.substr(header.size(), 2).find_first_of("\r\n") != 0) {
    return "its first line is not the report's header";
  }
  const std::size_t headerEnd = text.find('\n');
  std::size_t at = headerEnd == std::string_view::npos ? text.size() : headerEnd + 1;
  std::vector<std::string> fields;
  // A row's line is counted from where it starts: a quoted field may span
  // lines.
  for (long line = 2; at < text.size(); ++line) {
    const std::size_t start = at;
    if (!nextRecord(text, at, fields)) {
      return "line " + std::to_string(line) + ": a quoted field does not end";
    }
    if (fields.size() != kFields) {
      return "line " + std::to_string(line) + ": " + std::to_string(fields.size()) +
             " fields, not " + std::to_string(kFields);
    }
    ReportRecord record;
    const std::string wrong = rowOf(fields, record.row);
    if (!wrong.empty()) {
      return "line " + std::to_string(line) + ": " + wrong;
    }
    record.fields = fields;
    records.push_back(std::move(record));
    for (std::size_t i = start; i + 1 < at; ++i) {
      line += text[i] == '\n' ? 1 : 0;
    }
  }
  return std::string();
}

std::string reportLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) {
      line += ',';
    }
    appendCsvField(line, fields[i]);
  }
  return line + "\r\n";
}

}  // namespace lodemig
