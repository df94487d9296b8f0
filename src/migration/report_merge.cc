#include "migration/report_merge.h"

#include <algorithm>
#include <map>
#include <string>
#include <tuple>

namespace lodemig {
namespace {

using Group = std::vector<ReportRecord>;

bool isSkipped(const ReportRecord& record) {
  return record.row.verdict == Verdict::Skipped;
}

bool allSkipped(const Group& group) {
  return std::all_of(group.begin(), group.end(), isSkipped);
}

// A later row of the same folder replaces the earlier one, unless it only
// says the folder was skipped where the earlier one says more.
void addToGroup(Group& group, const ReportRecord& record) {
  for (ReportRecord& earlier : group) {
    if (earlier.row.folder == record.row.folder) {
      if (!isSkipped(record) || isSkipped(earlier)) {
        earlier = record;
      }
      return;
    }
  }
  group.push_back(record);
}

}  // namespace

std::vector<ReportRecord> mergeReports(const std::vector<std::vector<ReportRecord>>& inputs) {
  std::map<std::string, Group> kept;
  for (const std::vector<ReportRecord>& input : inputs) {
    std::map<std::string, Group> groups;
    for (const ReportRecord& record : input) {
      addToGroup(groups[record.row.account], record);
    }
    for (auto& [account, group] : groups) {
      Group& earlier = kept[account];
      if (!allSkipped(group) || earlier.empty() || allSkipped(earlier)) {
        earlier = std::move(group);
      }
    }
  }
  std::vector<ReportRecord> merged;
  for (auto& [account, group] : kept) {
    merged.insert(merged.end(), group.begin(), group.end());
  }
  std::stable_sort(merged.begin(), merged.end(), [](const ReportRecord& a, const ReportRecord& b) {
    return std::tie(a.row.domain, a.row.account, a.row.folder) <
           std::tie(b.row.domain, b.row.account, b.row.folder);
  });
  return merged;
}

RunTotals totalsOfRecords(const std::vector<ReportRecord>& records) {
  // Counted by the run's own report, so that the figures cannot drift from
  // a run's summary.
  RunReport report;
  std::map<std::string, std::pair<bool, bool>> accounts;  // migrated, failed
  for (const ReportRecord& record : records) {
    report.add(record.row);
    auto& [migrated, failed] = accounts[record.row.account];
    migrated = migrated || !isSkipped(record);
    failed = failed || record.row.verdict == Verdict::Failed;
  }
  for (const auto& [account, state] : accounts) {
    report.endAccount(state.first, state.second);
  }
  return report.totals();
}

}  // namespace lodemig
