#ifndef LODEMIG_MIGRATION_REPORT_READER_H_
#define LODEMIG_MIGRATION_REPORT_READER_H_

#include <string>
#include <string_view>
#include <vector>

#include "migration/run_report.h"

namespace lodemig {

// One row of a -report file as read back: its fields as they stood, and the
// report row they make.
struct ReportRecord {
  std::vector<std::string> fields;
  ReportRow row;
};

// Reads the text of a -report file: the header row RunReport::kHeader, then
// rows of RFC 4180 fields (quoted fields may hold commas, quotes and line
// ends), each ending with CRLF (a bare LF is taken too). Appends the rows to
// `records` and returns "" when the text is a report; otherwise why not,
// naming the line: "its first line is not the report's header", "line 7: 14
// fields, not 15", "line 7: store_messages is not a number".
std::string readReportText(std::string_view text, std::vector<ReportRecord>& records);

// The fields as a report line, quoted as RunReport writes them, with CRLF.
std::string reportLine(const std::vector<std::string>& fields);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_REPORT_READER_H_
