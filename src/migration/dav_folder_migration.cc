#include "migration/dav_folder_migration.h"

#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {

DavLogin davLoginOf(const MigrationSettings& settings, const std::string& account,
                    const std::string& storePassword) {
  DavLogin login;
  login.user = account;
  if (!settings.dav.loginForm.empty()) {
    login.password = settings.dav.adminPassword;
  } else if (!settings.forceSetPassword.empty()) {
    login.password = settings.forceSetPassword;
  } else if (!storePassword.empty()) {
    login.password = storePassword;
  } else {
    login.password = settings.setPassword;
  }
  if (login.password.empty()) {
    login.error = "no password is known for <" + account +
                  "> on the DAV server: give -setPass, -forceSetPass or -davLoginForm";
  }
  return login;
}

DavStep davStepOf(const std::string& recorded, const std::string& digest, bool listed) {
  if (!recorded.empty()) {
    return recorded == digest ? DavStep::Skip : DavStep::Replace;
  }
  return listed ? DavStep::Match : DavStep::Send;
}

std::vector<std::string> davComponentsOf(FolderType type) {
  switch (type) {
    case kFolderTypeTasks:
      return {"VTODO"};
    case kFolderTypeJournal:
      return {"VJOURNAL"};
    default:
      return {"VEVENT", "VTODO"};
  }
}

const char* davKindWord(DavKind kind, bool toServer) {
  if (kind == DavKind::Calendar) {
    return toServer ? "caldav" : "ics";
  }
  return toServer ? "carddav" : "vcf";
}

// One folder's walk: where its items go and what became of them.
struct DavFolderMigration::Pass {
  Pass(Folder& walked, DavKind itemKind, FolderTally& figures, Journal& records,
       RunWatcher& watching)
      : folder(walked), kind(itemKind), tally(figures), journal(records), watcher(watching) {}
  Folder& folder;
  DavKind kind;
  FolderTally& tally;
  Journal& journal;
  RunWatcher& watcher;
  bool toServer = false;
  DavCollection collection;
  std::set<std::string> listed;  // the collection's resource names before
  std::int64_t before = -1;
  std::int64_t after = -1;
  std::int64_t created = 0;  // items that are new resources
  bool exporting = false;    // its export file is begun and not yet written
  std::string exportPath;
};

DavFolderMigration::DavFolderMigration(const MigrationSettings& settings, Reporter& reporter)
    : settings_(settings), reporter_(reporter) {}

DavFolderMigration::~DavFolderMigration() = default;

void DavFolderMigration::beginAccount(const Mailbox& mailbox) {
  const std::string account = mailbox.name() + "@" + mailbox.domainName();
  if (account == account_) {
    return;  // a new try of the same account keeps what the last one did
  }
  account_ = account;
  client_.reset();
  clientFailure_.clear();
  done_.clear();
}

DavClient& DavFolderMigration::client(const Mailbox& mailbox) {
  if (client_ != nullptr) {
    return *client_;
  }
  if (!clientFailure_.empty()) {
    throw QLStoreException(clientFailure_);
  }
  const DavLogin login = davLoginOf(settings_, account_, mailbox.password());
  if (!login.error.empty()) {
    clientFailure_ = login.error;
    throw QLStoreException(clientFailure_);
  }
  auto made = std::make_unique<DavClient>(settings_.dav, login.user, login.password);
  try {
    made->discover();
  } catch (const DavException& error) {
    // A refused login stays refused for the account's other folders; a
    // server that did not answer is asked again at the next one.
    if (error.status() != 0) {
      clientFailure_ = error.what();
    }
    throw;
  }
  client_ = std::move(made);
  return *client_;
}

void DavFolderMigration::migrate(Folder& folder, const Mailbox& mailbox, DavKind kind,
                                 FolderTally& tally, Journal& journal, RunReport& report,
                                 RunWatcher& watcher) {
  tally.name = folder.name();
  tally.storeMessages = folder.messageCount();
  if (const auto done = done_.find(folder.name()); done != done_.end()) {
    tally = done->second;
    return;
  }
  Pass pass(folder, kind, tally, journal, watcher);
  pass.toServer = !settings_.dav.url.empty();
  reporter_.print("   - \"" + folder.name() +
                  "\", messages: " + std::to_string(folder.messageCount()) + "\n");
  try {
    if (pass.toServer) {
      DavClient& session = client(mailbox);
      pass.collection =
          session.ensureCollection(folder.name(), kind, davComponentsOf(folder.type()));
      for (const DavResource& resource : session.list(pass.collection)) {
        pass.listed.insert(resource.name);
      }
      pass.before = static_cast<std::int64_t>(pass.listed.size());
    }
    if (!settings_.davExportPath.empty()) {
      if (export_ == nullptr) {
        export_ = std::make_unique<DavExport>(settings_.davExportPath);
      }
      export_->beginFolder(mailbox.domainName(), mailbox.name(), folder.name(), kind);
      pass.exporting = true;
    }
    walk(folder, mailbox, pass);
    if (pass.exporting) {
      pass.exporting = false;
      pass.exportPath = export_->endFolder();
    }
    if (pass.toServer) {
      pass.after = static_cast<std::int64_t>(client(mailbox).list(pass.collection).size());
    }
  } catch (const DavException& error) {
    noteFailure(error.what(), pass);
  } catch (const QLStoreException& error) {
    noteFailure(error.cause().empty() ? std::string(error.what())
                                      : std::string(error.what()) + ": " + error.cause(),
                pass);
  }
  if (pass.exporting) {
    export_.reset();  // the unfinished file goes; an earlier run's stays
  }
  reportFolder(mailbox, pass, report);
  done_[folder.name()] = tally;
}

void DavFolderMigration::walk(Folder& folder, const Mailbox& mailbox, Pass& pass) {
  if (folder.messageCount() <= 0) {
    return;  // as for mail: the count decides whether reading starts
  }
  Message message(&folder);
  FolderReading reading(folder);
  folder.open(mailbox.name());
  long number = 1;
  std::string content, piece;
  for (bool more = folder.firstMessage(message); more;
       more = folder.nextMessage(message), ++number) {
    stopIfAsked();
    ++pass.tally.read;
    std::string seed;
    try {
      // Calendar and contact messages are small: read whole, as parsing needs.
      content.clear();
      for (bool chunk = message.firstChunk(piece); chunk; chunk = message.nextChunk(piece)) {
        content += piece;
      }
      seed = message.identity();
    } catch (const std::runtime_error& error) {
      throw QLStoreException("message " + std::to_string(number) + ": " + error.what());
    }
    const DavItems items = davItemsOf(content, pass.kind, seed);
    if (!items.error.empty()) {
      noteRefused(number, items.error, pass);
      continue;
    }
    for (const DavItem& item : items.items) {
      storeItem(item, number, pass);
    }
  }
}

void DavFolderMigration::storeItem(const DavItem& item, long number, Pass& pass) {
  FolderTally& tally = pass.tally;
  if (pass.exporting) {
    export_->add(item);
  }
  if (!pass.toServer) {
    ++tally.sent;
    return;
  }
  const std::string& folder = pass.folder.name();
  const std::string digest = davItemDigest(item);
  const std::string recorded = pass.journal.davDigest(account_, folder, item.uid);
  const DavStep step = davStepOf(recorded, digest, pass.listed.count(item.name) > 0);
  if (step == DavStep::Skip) {
    ++tally.skipped;
    return;
  }
  if (step == DavStep::Match) {
    ++tally.matched;
  } else {
    DavPutResult result = DavPutResult::Exists;
    try {
      result = client_->put(pass.collection, item, step == DavStep::Replace);
    } catch (const DavException& error) {
      if (error.status() == 0) {
        throw;  // no answer: the server is gone, not the item refused
      }
      noteRefused(number, "UID <" + item.uid + ">: " + error.what(), pass);
      return;
    }
    if (result == DavPutResult::Exists) {
      ++tally.matched;
    } else {
      ++tally.sent;
      tally.bytesSent += item.text.size();
      pass.created += result == DavPutResult::Created && pass.listed.count(item.name) == 0 ? 1 : 0;
      pass.listed.insert(item.name);
    }
  }
  pass.journal.davItem(reporter_, account_, folder, item.uid, item.name, digest);
}

void DavFolderMigration::noteRefused(long number, const std::string& why, Pass& pass) {
  const std::string& folder = pass.folder.name();
  reporter_.print("Error: message " + std::to_string(number) + " of folder \"" + folder +
                  "\" of <" + account_ + ">: " + why + "\n");
  ++pass.tally.refused;
  pass.tally.noteError("message " + std::to_string(number) + ": " + why);
  pass.watcher.messageFailed(MessageFailureEvent{account_, folder, number, false, why});
}

void DavFolderMigration::noteFailure(const std::string& cause, Pass& pass) {
  reporter_.print("Error: cannot migrate folder \"" + pass.folder.name() + "\"\n");
  reporter_.print(causeLine(causeText(cause, account_, pass.folder.name())) + "\n");
  pass.tally.failed = true;
  pass.tally.failure = cause;
  pass.tally.noteError(cause);
}

void DavFolderMigration::reportFolder(const Mailbox& mailbox, Pass& pass, RunReport& report) {
  const FolderTally& tally = pass.tally;
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.folder = pass.folder.name();
  row.targetFolder = pass.toServer ? pass.collection.href : pass.exportPath;
  row.kind = davKindWord(pass.kind, pass.toServer);
  row.storeMessages = tally.failed ? tally.storeMessages : tally.read;
  row.storeBytes = tally.bytesSent;
  row.sent = tally.sent;
  row.refused = tally.refused;
  row.skipped = tally.skipped;
  row.matched = tally.matched;
  row.targetBefore = pass.before;
  row.targetAfter = pass.after;
  row.verdict =
      migrationVerdict(tally.failed, tally.refused, pass.created, pass.before, pass.after);
  row.error = tally.firstError;
  if (!tally.failed) {
    reporter_.print("     items: " + std::to_string(tally.sent) + " sent, " +
                    std::to_string(tally.matched) + " matched, " + std::to_string(tally.skipped) +
                    " skipped, " + std::to_string(tally.refused) + " refused\n");
  }
  if (row.verdict == Verdict::Missing || row.verdict == Verdict::Extra) {
    pass.tally.mismatch = true;
    row.error = "the collection holds " + std::to_string(pass.after) + " items, " +
                std::to_string(pass.before + pass.created) + " expected";
    reporter_.print("Error: collection \"" + pass.collection.href + "\" of <" + account_ +
                    "> holds " + std::to_string(pass.after) + " items, " +
                    std::to_string(pass.before + pass.created) + " expected\n");
  }
  report.add(row);
}

}  // namespace lodemig
