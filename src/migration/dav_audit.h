#ifndef LODEMIG_MIGRATION_DAV_AUDIT_H_
#define LODEMIG_MIGRATION_DAV_AUDIT_H_

#include <set>
#include <string>
#include <vector>

#include "dav/dav_client.h"
#include "migration/migration_settings.h"
#include "migration/reporter.h"
#include "migration/run_report.h"
#include "store/folder.h"
#include "store/mailbox.h"

namespace lodemig {

// Asks the DAV server of `settings` once, before any account: any HTTP
// answer, a refused login among them, shows it there. Throws
// QLNetworkException "cannot reach the DAV server URL" with the transport's
// cause when no answer comes; it may pass unless TLS failed.
void testDavServer(const DavSettings& settings);

// How the store's items of a folder compare with a collection's resources,
// by UID: those the collection lacks and those only it holds, each sorted.
struct DavComparison {
  std::vector<std::string> missing;
  std::vector<std::string> extra;
};
DavComparison compareDavUids(const std::set<std::string>& store,
                             const std::vector<DavResource>& collection);

// The -check and -verify of the calendar and contact folders of an account
// on the DAV server, on a session of their own that writes nothing. The
// references must outlive the object.
class DavAudit {
 public:
  DavAudit(const MigrationSettings& settings, Reporter& reporter)
      : settings_(settings), reporter_(reporter) {}

  // For an account with calendar, task, journal or contact folders among
  // `folders`: logs in as the account and says which calendars and address
  // books it has: an "Info: " line, or a "Warning: " when the login is
  // refused or no password is known (false then). Nothing for an account
  // without such folders.
  bool check(const std::vector<Folder>& folders, const Mailbox& mailbox);
  // Compares every calendar and contact folder of `folders` with the
  // collection of its name: counts and UIDs, a report row each. False when
  // anything differs or cannot be read.
  bool verify(std::vector<Folder>& folders, const Mailbox& mailbox, RunReport& report);

 private:
  // The row of one folder compared with `collections`' one of its name.
  ReportRow verifyFolder(Folder& folder, const Mailbox& mailbox, DavKind kind,
                         const std::vector<DavCollection>& collections, DavClient& client);

  const MigrationSettings& settings_;
  Reporter& reporter_;
  std::string account_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_DAV_AUDIT_H_
