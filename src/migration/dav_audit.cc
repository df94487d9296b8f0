#include "migration/dav_audit.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "migration/dav_folder_migration.h"
#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

std::string quoted(const std::string& name) {
  return "\"" + name + "\"";
}

// A listing of names for a line: "a", "b" and at most a few more.
std::string someOf(const std::vector<std::string>& names) {
  constexpr std::size_t kShown = 5;
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  if (names.size() > kShown) {
    text += " and " + std::to_string(names.size() - kShown) + " more";
  }
  return text;
}

// The UIDs of a folder's items, and why a message holds none.
struct StoreItems {
  std::set<std::string> uids;
  std::int64_t messages = 0;
  std::string broken;  // the first message without valid data
};

StoreItems storeItemsOf(Folder& folder, const Mailbox& mailbox, DavKind kind) {
  StoreItems items;
  if (folder.messageCount() <= 0) {
    return items;
  }
  Message message(&folder);
  FolderReading reading(folder);
  long number = 1;
  std::string content, piece;
  try {
    folder.open(mailbox.name());
    for (bool more = folder.firstMessage(message); more;
         more = folder.nextMessage(message), ++number) {
      ++items.messages;
      content.clear();
      for (bool chunk = message.firstChunk(piece); chunk; chunk = message.nextChunk(piece)) {
        content += piece;
      }
      const DavItems found = davItemsOf(content, kind, message.identity());
      if (!found.error.empty() && items.broken.empty()) {
        items.broken = "message " + std::to_string(number) + ": " + found.error;
      }
      for (const DavItem& item : found.items) {
        items.uids.insert(item.uid);
      }
    }
  } catch (const std::runtime_error& error) {
    throw QLStoreException("message " + std::to_string(number) + ": " + error.what());
  }
  return items;
}

}  // namespace

void testDavServer(const DavSettings& settings) {
  try {
    DavClient probe(settings, std::string(), std::string());
    probe.discover();
  } catch (const DavException& error) {
    if (error.status() != 0) {
      return;  // it answered: whether an account may log in is each one's own
    }
    QLNetworkException unreachable("cannot reach the DAV server " + settings.url);
    unreachable.setCause(error.what());
    const std::string cause = error.what();
    unreachable.setMayPass(cause.find("certificate") == std::string::npos &&
                           cause.find("SSL") == std::string::npos &&
                           cause.find("TLS") == std::string::npos);
    throw unreachable;
  }
}

DavComparison compareDavUids(const std::set<std::string>& store,
                             const std::vector<DavResource>& collection) {
  std::set<std::string> held;
  for (const DavResource& resource : collection) {
    held.insert(resource.uid);
  }
  DavComparison comparison;
  std::set_difference(store.begin(), store.end(), held.begin(), held.end(),
                      std::back_inserter(comparison.missing));
  std::set_difference(held.begin(), held.end(), store.begin(), store.end(),
                      std::back_inserter(comparison.extra));
  return comparison;
}

bool DavAudit::check(const std::vector<Folder>& folders, const Mailbox& mailbox) {
  // An account without calendars or contacts has nothing on the DAV server
  // to log in for: its login (or a password nobody knows) is none of the
  // check's business.
  const bool any = std::any_of(folders.begin(), folders.end(), [](const Folder& folder) {
    DavKind kind;
    return davKindOf(folder.type(), kind);
  });
  if (!any) {
    return true;
  }
  account_ = mailbox.name() + "@" + mailbox.domainName();
  const DavLogin login = davLoginOf(settings_, account_, mailbox.password());
  if (!login.error.empty()) {
    reporter_.print("Warning: " + login.error + "\n");
    return false;
  }
  std::vector<DavCollection> collections;
  try {
    DavClient client(settings_.dav, login.user, login.password);
    collections = client.collections();
  } catch (const DavException& error) {
    reporter_.print("Warning: <" + account_ + "> cannot log in to the DAV server: " + error.what() +
                    "\n");
    return false;
  }
  if (collections.empty()) {
    reporter_.print("Info: <" + account_ +
                    "> has no calendar or address book on the DAV server: a migration creates "
                    "them\n");
    return true;
  }
  std::string names;
  for (const DavCollection& collection : collections) {
    const std::string& shown =
        collection.displayName.empty() ? collection.href : collection.displayName;
    names += (names.empty() ? "" : ", ") + quoted(shown) +
             (collection.kind == DavKind::Calendar ? " (calendar)" : " (address book)");
  }
  reporter_.print("Info: <" + account_ + "> has on the DAV server: " + names + "\n");
  return true;
}

bool DavAudit::verify(std::vector<Folder>& folders, const Mailbox& mailbox, RunReport& report) {
  account_ = mailbox.name() + "@" + mailbox.domainName();
  std::vector<Folder*> davFolders;
  std::vector<DavKind> kinds;
  for (Folder& folder : folders) {
    DavKind kind;
    if (davKindOf(folder.type(), kind)) {
      davFolders.push_back(&folder);
      kinds.push_back(kind);
    }
  }
  if (davFolders.empty()) {
    return true;
  }
  const DavLogin login = davLoginOf(settings_, account_, mailbox.password());
  std::unique_ptr<DavClient> client;
  std::vector<DavCollection> collections;
  std::string failure = login.error;
  if (failure.empty()) {
    try {
      client = std::make_unique<DavClient>(settings_.dav, login.user, login.password);
      collections = client->collections();
    } catch (const DavException& error) {
      failure = error.what();
    }
  }
  bool matched = true;
  for (std::size_t i = 0; i < davFolders.size(); ++i) {
    Folder& folder = *davFolders[i];
    folder.setFixCrLf(settings_.fixCrLf);
    ReportRow row;
    if (failure.empty()) {
      row = verifyFolder(folder, mailbox, kinds[i], collections, *client);
    } else {
      reporter_.print("   - " + quoted(folder.name()) +
                      ", messages: " + std::to_string(folder.messageCount()) + ", failed\n");
      reporter_.print("Error: folder " + quoted(folder.name()) + " of <" + account_ +
                      ">: " + failure + "\n");
      row.domain = mailbox.domainName();
      row.account = account_;
      row.folder = folder.name();
      row.kind = davKindWord(kinds[i], true);
      row.storeMessages = folder.messageCount();
      row.verdict = Verdict::Failed;
      row.error = failure;
    }
    matched = matched && row.verdict == Verdict::Ok;
    report.add(row);
  }
  return matched;
}

ReportRow DavAudit::verifyFolder(Folder& folder, const Mailbox& mailbox, DavKind kind,
                                 const std::vector<DavCollection>& collections, DavClient& client) {
  ReportRow row;
  row.domain = mailbox.domainName();
  row.account = account_;
  row.folder = folder.name();
  row.kind = davKindWord(kind, true);
  reporter_.print("   - " + quoted(folder.name()) + ", messages: ");
  const auto collection = std::find_if(
      collections.begin(), collections.end(),
      [&](const DavCollection& c) { return c.kind == kind && c.displayName == folder.name(); });
  try {
    const StoreItems items = storeItemsOf(folder, mailbox, kind);
    row.storeMessages = items.messages;
    if (collection == collections.end()) {
      row.verdict = Verdict::Missing;
      row.error = "the collection is not on the DAV server";
    } else {
      row.targetFolder = collection->href;
      const std::vector<DavResource> held = client.resources(*collection);
      row.targetBefore = row.targetAfter = static_cast<std::int64_t>(held.size());
      const DavComparison comparison = compareDavUids(items.uids, held);
      if (!comparison.missing.empty()) {
        row.verdict = Verdict::Missing;
        row.error = std::to_string(comparison.missing.size()) + " of " +
                    std::to_string(items.uids.size()) +
                    " items are not on the DAV server: " + someOf(comparison.missing);
      } else if (!items.broken.empty()) {
        row.verdict = Verdict::Failed;
        row.error = items.broken;
      } else if (!comparison.extra.empty()) {
        row.verdict = Verdict::Extra;
        row.error = std::to_string(comparison.extra.size()) +
                    " items on the DAV server are not in the store: " + someOf(comparison.extra);
      }
    }
  } catch (const QLStoreException& error) {
    row.storeMessages = folder.messageCount();
    row.verdict = Verdict::Failed;
    row.error = error.what();
  } catch (const DavException& error) {
    row.verdict = Verdict::Failed;
    row.error = error.what();
  }
  reporter_.print(std::to_string(row.storeMessages) + ", " + verdictWord(row.verdict) + "\n");
  if (row.verdict != Verdict::Ok) {
    reporter_.print("Error: folder " + quoted(folder.name()) + " of <" + account_ +
                    ">: " + row.error + "\n");
  }
  return row;
}

}  // namespace lodemig
