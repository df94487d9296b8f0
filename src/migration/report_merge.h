#ifndef LODEMIG_MIGRATION_REPORT_MERGE_H_
#define LODEMIG_MIGRATION_REPORT_MERGE_H_

#include <vector>

#include "migration/report_reader.h"
#include "migration/run_report.h"

namespace lodemig {

// The rows of several reports (of shards and of runs, oldest first) as one
// report, sorted by domain, account and folder (bytewise; rows with the same
// three keep their order). An account's rows in a later input replace all
// its rows of earlier ones, since a re-run's report is the newer truth;
// only rows that all say the account was skipped (the journal had it done,
// it exists on the target) leave earlier rows that say more in place. Within
// one input, to which a resumed run appends, a later row of the same folder
// replaces the earlier one on the same terms.
std::vector<ReportRecord> mergeReports(const std::vector<std::vector<ReportRecord>>& inputs);

// The totals of report rows as the run that wrote them counts them: folders
// and messages row by row; an account failed when a row of it failed,
// skipped when all its rows are skipped, otherwise migrated.
RunTotals totalsOfRecords(const std::vector<ReportRecord>& records);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_REPORT_MERGE_H_
