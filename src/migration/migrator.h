#ifndef LODEMIG_MIGRATION_MIGRATOR_H_
#define LODEMIG_MIGRATION_MIGRATOR_H_

#include <cstdint>
#include <ctime>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "imap/imap_gateway.h"
#include "store/folder.h"
#include "store/mailbox.h"
#include "store/reader.h"
#include "utils/imessage.h"
#include "utils/output_file.h"

namespace lodemig {

// A byte count as text: "1023B", "1.5KB", "1.0MB", "2.5GB" (one decimal from
// 1024 bytes on, divisions truncated, no blank before the unit).
std::string formatSize(std::int64_t count);

// A password of `length` characters from a cryptographically secure source,
// each one a letter a-y, a letter A-Y or a digit 0-8 (class first, then the
// character, every choice uniform). Throws QLException when the system cannot
// supply random bytes.
std::string generatePassword(int length);

// Replaces, in place, each of < > : * ? " | \ by `replacement`. The slash
// stays: it separates folder levels.
void replaceForbiddenChars(std::string& text, char replacement);

// The pieces of `text` between any of the `separators`, in order, empty
// pieces included ("a//b" gives "a", "", "b"); an empty text gives none.
std::vector<std::string> splitPath(const std::string& text, std::string_view separators);

// `when` in the C library's ctime form, local time, with its closing
// newline: "Wed Jun 30 21:49:08 1993\n".
std::string ctimeText(std::time_t when);

// Writes the live counter "current/total" to `console` and flushes it;
// returns its length in characters. When quiet, writes nothing and returns 0.
int showProgress(long current, long total, bool quiet, std::ostream& console = std::cout);

// The migration engine. It walks the store domain by domain and account by
// account; in print mode it reports every account with its size, in migrate
// mode it also creates the account on the target, switches to it and copies
// every folder and message. It decides what a failure skips: a store error
// skips a message, a folder, an account or a domain and marks the run failed;
// a target-server error (QLNetworkException) ends the whole run.
//
// All reporting goes through the print operations (console unless quiet, then
// the log, each piece flushed) or to the log or console alone. A log that
// cannot be written is said once on `errors` and fails the run. `log`,
// `console` and `errors` are not owned and must outlive the Migrator. Not
// copyable.
class Migrator {
 public:
  explicit Migrator(std::ostream& log, std::ostream& console = std::cout,
                    std::ostream& errors = std::cerr);
  virtual ~Migrator();
  Migrator(const Migrator&) = delete;
  Migrator& operator=(const Migrator&) = delete;

  void configure(const std::string& storePath, const std::string& server, int port,
                 const std::string& masterPassword, bool migrate, bool force,
                 const std::string& setPassword, const std::string& forceSetPassword, bool quiet,
                 bool fixCrLf);

  // Processes every domain matching `domainMask`, and in each every account
  // matching `userMask`; the store's default domain is named `primaryDomain`.
  // Throws QLNetworkException when the target fails (the run ends).
  void migrateAll(const std::string& domainMask, const std::string& userMask,
                  const std::string& primaryDomain);
  // One domain: in migrate mode a test connection first, then every account.
  // Throws QLNetworkException.
  void migrateDomain(Domain& domain, const std::string& userMask);
  // One account: its report line; in migrate mode its own connection,
  // provisioning and every folder. Throws QLStoreException (the account
  // failed) or QLNetworkException.
  void migrateMailbox(Mailbox& mailbox);

  // Names the log file behind the log stream in the report of a failed write;
  // `file` must outlive the Migrator.
  void watchLogFile(const ostrel::utils::OutputFile& file) { logFile_ = &file; }
  // Writes every password line to the file at `path` as it is recorded,
  // creating the file (0600) with the first one. Without it the lines are
  // only kept in memory (passwordRecord()).
  void writePasswordsTo(const std::string& path) { passwordPath_ = path; }
  // Closes the password file at the end of the run; a delayed write error
  // found then is reported like any other and fails the run.
  void closePasswordFile();

  // Opens the master-authenticated connection; `test` closes it again at once.
  // Throws QLNetworkException.
  void connectTarget(bool test);
  // Makes the account exist (choosing and recording its password) and
  // switches the connection to it. False when it already existed and force is
  // off, unless `resuming`: the account was already being migrated on a
  // connection that had to be renewed. Throws QLStoreException when the switch
  // is refused, else QLNetworkException (also, before creating anything, once
  // the password file could not take a line).
  bool provisionAccount(const Mailbox& mailbox, bool resuming = false);
  // Creates the folder on the target and copies its messages. A store error
  // is reported as a failed folder and swallowed; the connection is then
  // renewed and switched to the account again. Throws QLNetworkException, or
  // QLStoreException (after the folder's report) when the renewed connection
  // cannot switch to the account.
  void transferFolder(Folder& folder, const Mailbox& mailbox, bool fastAppend);
  // Makes the folder's target path exist, level by level, each missing level
  // with the folder's kind. Throws QLNetworkException.
  void createFolder(const Folder& folder);
  // Uploads one message into the folder's target name. Throws
  // QLStoreException when the server refuses it or its content fails, else
  // QLNetworkException.
  void appendMessage(const Folder& folder, IMessage& message, bool fastAppend);

  // To the console (unless quiet), flushed, then to the log, flushed.
  void print(std::string_view text);
  void print(const char* text) { print(std::string_view(text)); }
  void print(const std::string& text) { print(std::string_view(text)); }
  void print(std::int64_t number);

  // True until the engine (or the driver) reports a failure.
  bool succeeded() const { return succeeded_; }
  void markFailed() { succeeded_ = false; }
  // One line per provisioned account, for the password file.
  std::string passwordRecord() const { return passwordRecord_; }
  // Tests shorten the gateway's read time-out through it.
  ImapGateway& gateway() { return gateway_; }

 private:
  void writeLog(std::string_view text);
  void writeLog(std::int64_t number);
  void writeConsole(std::string_view text);
  void writeConsole(std::int64_t number);
  // Adds an account's line to the password record and file; when the file
  // cannot take it, the line goes to the error stream, so that the password
  // is not lost, and the run is failed.
  void recordPassword(const std::string& line);
  // Erases the counter of `length` characters; `flush` unless the next
  // counter follows at once (its flush sends both).
  void eraseProgress(int length, bool flush);
  // Logs the text "Error: unspecified Imap error N.\n" and throws it.
  [[noreturn]] void unspecifiedResult(GatewayResult result);
  [[noreturn]] void networkFailure(std::string_view logText, const char* exceptionText);

  std::ostream& log_;
  std::ostream& console_;
  std::ostream& errors_;
  const ostrel::utils::OutputFile* logFile_ = nullptr;
  bool logFailureReported_ = false;
  std::string passwordPath_;
  ostrel::utils::OutputFile passwordFile_;
  bool passwordFileFailed_ = false;
  bool migrate_ = false;
  bool force_ = false;
  bool fixCrLf_ = true;
  std::string setPassword_;
  std::string forceSetPassword_;
  std::string storePath_;
  std::string server_;
  std::string masterPassword_;
  int port_ = 143;
  bool quiet_ = false;
  bool succeeded_ = true;
  std::string passwordRecord_;
  ImapGateway gateway_;
  // The current folder's target name, reused for every message.
  std::string targetName_;
  // The counter's erasure, reused for every message.
  std::string eraseText_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_MIGRATOR_H_
