#ifndef LODEMIG_MIGRATION_HTML_REPORT_H_
#define LODEMIG_MIGRATION_HTML_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "migration/run_report.h"

namespace lodemig {

// The messages a run had stored by `time` (seconds since the epoch, with a
// fraction), counted from its start.
struct MessageSample {
  double time = 0;
  std::int64_t messages = 0;
};

// What the page says of one domain: the sums of its report rows.
struct DomainSummary {
  std::set<std::string> accounts;
  std::set<std::string> accountsNotOk;  // with a row whose verdict is not ok or skipped
  std::int64_t folders = 0;
  std::int64_t foldersNotOk = 0;
  std::int64_t storeMessages = 0;
  std::int64_t sent = 0;
  std::int64_t refused = 0;
  std::uint64_t bytes = 0;
};

// Everything the HTML report shows. Rows are not kept: add() files each one
// under its domain, and keeps only those that are not ok (verdict other than
// ok and skipped), so that a run of many accounts holds little in memory.
struct HtmlReportContent {
  std::string title;   // the page's heading and title
  std::string result;  // the result line, as the console shows it
  double start = 0;    // seconds since the epoch; 0: not known
  double end = 0;
  RunTotals totals;
  std::map<std::string, DomainSummary> domains;
  std::vector<ReportRow> notOk;        // in the order added
  std::vector<MessageSample> samples;  // in time order, cumulative

  void add(const ReportRow& row);
};

// Whether a row goes into the page's list of failed and differing folders.
bool rowIsNotOk(const ReportRow& row);

// `text` with &, <, >, " and ' written as character references, so that any
// name from the store or the server stays text in an HTML page.
std::string htmlEscape(std::string_view text);

// The whole page: one self-contained HTML5 document (inline style, the chart
// as inline SVG, nothing fetched and no script), in this order: the result
// and the totals, the failed and differing accounts and folders with their
// reasons, a table per domain, and the chart of messages per second.
std::string htmlReportPage(const HtmlReportContent& content);

// One point of the chart: the messages per second stored in the stretch of
// the run that ends `seconds` after its first sample.
struct RatePoint {
  double seconds = 0;
  double rate = 0;
};

// The rates between cumulative `samples` over at most `maxPoints` equal
// stretches of their time span (fewer when it lasts fewer seconds); empty
// when the samples span no time.
std::vector<RatePoint> ratePoints(const std::vector<MessageSample>& samples, std::size_t maxPoints);

// The chart of `points` as an inline SVG element; a sentence instead when
// there are fewer than two.
std::string rateChartSvg(const std::vector<RatePoint>& points);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_HTML_REPORT_H_
