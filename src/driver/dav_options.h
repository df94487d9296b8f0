#ifndef LODEMIG_DRIVER_DAV_OPTIONS_H_
#define LODEMIG_DRIVER_DAV_OPTIONS_H_

#include <ostream>
#include <string>

#include "migration/migration_settings.h"

namespace lodemig {

struct RunOptions;

// The options that carry calendars and contacts beside the mail of a
// standard IMAP target, kept together so that the command line's parser,
// checks, usage text and settings each take them with one call.
//
// -davServer URL: the CalDAV/CardDAV server (http:// or https://) the
// calendar, task, journal and contact folders go to. -davLoginForm FORM: the
// DAV login name built as -loginForm builds it, with the run's -password.
// -davExport DIR: the same items written as .ics and .vcf files.

// Takes -davServer, -davLoginForm or -davExport (any letter case) with
// `value`. False for any other option.
bool takeDavValue(RunOptions& options, const char* name, const char* value);
// An https -davServer: -caFile and -insecure then apply to it.
bool davOverTls(const RunOptions& options);
// "Argument error: ..." when the options cannot go together, else "".
std::string davError(const RunOptions& options);
// The options' usage lines.
void printDavUsage(std::ostream& out);
// Puts the DAV server, its login and TLS, and the export directory into
// `settings`.
void applyDavOptions(const RunOptions& options, MigrationSettings& settings);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_DAV_OPTIONS_H_
