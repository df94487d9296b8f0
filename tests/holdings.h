#ifndef LODEMIG_TESTS_HOLDINGS_H_
#define LODEMIG_TESTS_HOLDINGS_H_

// What the stand-in target holds of an account, told apart into the
// migration's messages and mail others delivered, and the tally of what a
// faulty run lost or doubled against what the store holds. Shared by the
// end-to-end tests and the fault campaign.

#include <string>
#include <vector>

namespace lodemig::testing {

// One message as the stand-in keeps it under --store DIR.
struct HeldMessage {
  std::string folder;
  std::string flags;
  std::string date;
  std::string command;  // X-APPEND or APPEND for the migration's, DELIVER for others'
  std::string content;
};

// Every message the stand-in writing under `storeDirectory` holds now for
// `account` (user@domain), in arrival order; empty when it has none.
std::vector<HeldMessage> heldMessages(const std::string& storeDirectory,
                                      const std::string& account);

// The messages brought by the migration (every command but DELIVER), or by
// others (DELIVER).
std::vector<HeldMessage> migrated(const std::vector<HeldMessage>& held);
std::vector<HeldMessage> delivered(const std::vector<HeldMessage>& held);

// What `got` holds against `want`, both the migration's messages of one
// account. Messages are matched by folder and content as multisets:
// `lost` counts the wanted ones with no match, `doubled` the held ones left
// over. Of the matched pairs (taken in flag and date order, so that a
// swapped pair of stamps is seen), `wrongStamps` counts those whose flags or
// date differ. `detail` names the first few of each, for a failure message.
struct Tally {
  int lost = 0;
  int doubled = 0;
  int wrongStamps = 0;
  std::string detail;

  bool clean() const { return lost == 0 && doubled == 0 && wrongStamps == 0; }
};
Tally tally(const std::vector<HeldMessage>& want, const std::vector<HeldMessage>& got);

// One report row as column name and value pairs, in the header's order.
using ReportRow = std::vector<std::pair<std::string, std::string>>;

// The rows of a CSV report (the header row names the columns; quoted fields
// may hold commas, quotes and line ends); empty when it cannot be read.
std::vector<ReportRow> reportRows(const std::string& path);

// The value of `column` in `row`, or "<no COLUMN>" when the row lacks it.
std::string field(const ReportRow& row, const std::string& column);

// The last row of `account`'s `folder`; an empty row when there is none.
ReportRow lastRow(const std::vector<ReportRow>& rows, const std::string& account,
                  const std::string& folder);

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_HOLDINGS_H_
