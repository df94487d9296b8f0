#include "migration/html_report.h"

#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "migration/reporter.h"

namespace lodemig {
namespace {

// Kept in the page itself: the page is opened where no network may be.
constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:2em;color:#222;max-width:75em}"
    "h1{font-size:1.6em}h2{font-size:1.25em;margin-top:2em}"
    "table{border-collapse:collapse;margin:.5em 0}"
    "th,td{border:1px solid #ccc;padding:.25em .6em;text-align:left;vertical-align:top}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "thead th{background:#eee}"
    ".result{font-size:1.3em;font-weight:bold;padding:.4em .8em;display:inline-block}"
    ".ok{background:#dff0d8;color:#1e4620}.bad{background:#f2dede;color:#7a1f1f}"
    ".verdict-failed,.verdict-missing,.verdict-extra{color:#a00;font-weight:bold}"
    ".verdict-pending{color:#a60}"
    "svg text{font-size:12px;fill:#444}";

std::string number(std::int64_t value) {
  return std::to_string(value);
}

std::string utcText(double seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (seconds <= 0 || ::gmtime_r(&when, &utc) == nullptr) {
    return "unknown";
  }
  char text[40];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d UTC", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

// A count the target did not give is an empty cell, as in the CSV report.
std::string countCell(std::int64_t value) {
  return "<td class=\"n\">" + (value >= 0 ? number(value) : std::string()) + "</td>";
}

std::string cell(std::string_view text) {
  return "<td>" + htmlEscape(text) + "</td>";
}

// A totals line, with an id so that a reader of the page can find the figure.
std::string totalRow(const char* label, const char* id, std::int64_t value) {
  return std::string("<tr><th>") + label + "</th><td class=\"n\" id=\"" + id + "\">" +
         number(value) + "</td></tr>\n";
}

std::string headRow(std::initializer_list<const char*> names) {
  std::string row = "<thead><tr>";
  for (const char* name : names) {
    row += std::string("<th>") + name + "</th>";
  }
  return row + "</tr></thead>\n";
}

std::string resultSection(const HtmlReportContent& content) {
  const RunTotals& totals = content.totals;
  const bool ok = totals.accountsFailed == 0 && totals.foldersNotOk == 0 &&
                  content.result.find("fail") == std::string::npos;
  std::string html = "<p class=\"result " + std::string(ok ? "ok" : "bad") + "\" id=\"result\">" +
                     htmlEscape(content.result) + "</p>\n";
  const double seconds = content.end > content.start ? content.end - content.start : 0;
  html += "<p>Started " + utcText(content.start) + ", ended " + utcText(content.end) + " (" +
          number(static_cast<std::int64_t>(seconds)) + " s).</p>\n";
  html += "<table class=\"totals\"><tbody>\n";
  html += totalRow("Accounts migrated", "accounts-migrated", totals.accountsMigrated);
  html += totalRow("Accounts skipped", "accounts-skipped", totals.accountsSkipped);
  html += totalRow("Accounts failed", "accounts-failed", totals.accountsFailed);
  html += totalRow("Folders", "folders", totals.folders);
  html += totalRow("Folders not ok", "folders-not-ok", totals.foldersNotOk);
  html += totalRow("Messages in the store", "store-messages", totals.storeMessages);
  html += totalRow("Messages sent", "sent", totals.sent);
  html += totalRow("Messages refused", "refused", totals.refused);
  html += totalRow("Messages already there", "skipped", totals.skipped);
  html += totalRow("Folders pending", "pending", totals.pending);
  html += totalRow("Bytes sent", "bytes", static_cast<std::int64_t>(totals.bytes));
  html += "<tr><th>Size sent</th><td class=\"n\">" +
          htmlEscape(formatSize(static_cast<std::int64_t>(totals.bytes))) + "</td></tr>\n";
  return html + "</tbody></table>\n";
}

std::string notOkSection(const HtmlReportContent& content) {
  std::string html = "<h2 id=\"not-ok\">Failed and differing accounts and folders (" +
                     number(static_cast<std::int64_t>(content.notOk.size())) + ")</h2>\n";
  if (content.notOk.empty()) {
    return html + "<p>None: every folder is ok or skipped.</p>\n";
  }
  html += "<table>\n";
  html += headRow({"Account", "Folder", "Verdict", "Store messages", "Sent", "Refused",
                   "Target before", "Target after", "Reason"});
  html += "<tbody>\n";
  for (const ReportRow& row : content.notOk) {
    const char* verdict = verdictWord(row.verdict);
    html += "<tr>" + cell(row.account) +
            (row.folder.empty() ? std::string("<td><i>(the account)</i></td>") : cell(row.folder)) +
            "<td class=\"verdict-" + verdict + "\">" + verdict + "</td>" +
            countCell(row.storeMessages) + countCell(row.sent) + countCell(row.refused) +
            countCell(row.targetBefore) + countCell(row.targetAfter) + cell(row.error) + "</tr>\n";
  }
  return html + "</tbody></table>\n";
}

std::string domainSection(const HtmlReportContent& content) {
  std::string html = "<h2 id=\"domains\">Domains (" +
                     number(static_cast<std::int64_t>(content.domains.size())) + ")</h2>\n";
  html += "<table>\n";
  html += headRow({"Domain", "Accounts", "Accounts not ok", "Folders", "Folders not ok",
                   "Store messages", "Sent", "Refused", "Bytes sent"});
  html += "<tbody>\n";
  for (const auto& [name, domain] : content.domains) {
    html += "<tr>" + cell(name) + countCell(static_cast<std::int64_t>(domain.accounts.size())) +
            countCell(static_cast<std::int64_t>(domain.accountsNotOk.size())) +
            countCell(domain.folders) + countCell(domain.foldersNotOk) +
            countCell(domain.storeMessages) + countCell(domain.sent) + countCell(domain.refused) +
            countCell(static_cast<std::int64_t>(domain.bytes)) + "</tr>\n";
  }
  return html + "</tbody></table>\n";
}

}  // namespace

bool rowIsNotOk(const ReportRow& row) {
  return row.verdict != Verdict::Ok && row.verdict != Verdict::Skipped;
}

void HtmlReportContent::add(const ReportRow& row) {
  DomainSummary& domain = domains[row.domain];
  domain.accounts.insert(row.account);
  if (rowIsNotOk(row)) {
    domain.accountsNotOk.insert(row.account);
    notOk.push_back(row);
  }
  // As the run's totals count them: a row without a folder is an account's.
  if (!row.folder.empty()) {
    ++domain.folders;
    domain.foldersNotOk += rowIsNotOk(row) ? 1 : 0;
  }
  domain.storeMessages += row.storeMessages;
  domain.sent += row.sent;
  domain.refused += row.refused;
  domain.bytes += row.storeBytes;
}

std::string htmlEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string htmlReportPage(const HtmlReportContent& content) {
  // A chart of a few hundred points reads as well as one of every sample,
  // and keeps the page small whatever the run's length.
  constexpr std::size_t kChartPoints = 300;
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  html += "<title>" + htmlEscape(content.title) + "</title>\n";
  html += "<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n";
  html += "<h1>" + htmlEscape(content.title) + "</h1>\n";
  html += resultSection(content);
  html += notOkSection(content);
  html += domainSection(content);
  html += "<h2 id=\"rate\">Messages per second</h2>\n";
  html += rateChartSvg(ratePoints(content.samples, kChartPoints));
  html += "</body>\n</html>\n";
  return html;
}

}  // namespace lodemig
