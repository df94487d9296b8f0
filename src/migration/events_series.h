#ifndef LODEMIG_MIGRATION_EVENTS_SERIES_H_
#define LODEMIG_MIGRATION_EVENTS_SERIES_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "migration/html_report.h"

namespace lodemig {

// The top-level fields of one JSON object, by name; the fields of an object
// inside it as "outer.inner". Strings unescaped, numbers and true, false and
// null as written; arrays are passed over. False when `text` is not one
// JSON object (nesting deeper than 16 counts as not one).
bool readJsonFields(std::string_view text, std::map<std::string, std::string>& fields);

// "2026-12-08T15:04:05.123Z" as seconds since the epoch; -1 when `text` is
// not such a time.
double eventTime(const std::string& text);

// Reads the messages stored over time from the text of an events file: one
// series per run and shard, from its run_start (0 messages), through every
// progress event (its cumulative messages) to its run_end (totals.sent).
// Appends them to `series`; returns "" or, for a line that is not a JSON
// object with a time, "line N is not an event".
std::string readEventsSeries(std::string_view text,
                             std::vector<std::vector<MessageSample>>& series);

// One series of the sum of `series` at every time any of them has a sample:
// each counts 0 before its first sample, and its last figure after its end
// (what a finished shard stored stays stored).
std::vector<MessageSample> sumSeries(const std::vector<std::vector<MessageSample>>& series);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_EVENTS_SERIES_H_
