// Calendars and contacts end to end: the example store and a generated one
// migrated into a private dovecot and a private Radicale at once, read back
// from Radicale by a client of its own (python3, nothing of lodemig's), from
// its storage directory, and from dovecot with doveadm.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dav_store.h"
#include "tests/dovecot.h"
#include "tests/migration_fixture.h"
#include "tests/process.h"
#include "tests/radicale.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

constexpr char kAdmin[] = "admin";
constexpr char kMasterPassword[] = "masterpw";
constexpr char kJohn[] = "john@example.com";
constexpr char kJohnPassword[] = "Sunrise-42";
constexpr char kPython[] = "/usr/bin/python3";

const std::string kExamples = std::string(LODEMIG_SOURCE_DIR) + "/examples";
// The message without calendar data, by its place in the folder's listing.
const std::string kBrokenLine =
    " of folder \"Calendar\" of <ann@example.com>: no text/calendar part\n";
const std::string kProbe = std::string(LODEMIG_SOURCE_DIR) + "/tests/dav_probe.py";

// An item as the DAV server gives it in a REPORT.
struct ServerItem {
  std::string href;  // decoded
  std::string etag;
  std::string uid;                 // its first UID
  std::vector<std::string> lines;  // normalLines()
};

// A collection of the login's homes.
struct ServerCollection {
  std::string href;  // decoded
  std::string kind;  // "calendar", "addressbook"
  std::string displayName;
  std::vector<ServerItem> items;             // the REPORT's
  std::map<std::string, std::string> etags;  // the PROPFIND's: href, ETag
};

std::vector<std::string> tabFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (std::size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
    fields.push_back(line.substr(at, tab - at));
  }
  fields.push_back(line.substr(at));
  return fields;
}

std::vector<ServerCollection> parseDump(const std::string& dump) {
  std::vector<ServerCollection> collections;
  std::vector<std::string> texts;  // of the last collection's items
  auto finish = [&] {
    for (std::size_t i = 0; !collections.empty() && i < texts.size(); ++i) {
      collections.back().items[i].lines = normalLines(texts[i]);
    }
    texts.clear();
  };
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> f = tabFields(line);
    if (f[0] == "COLLECTION" && f.size() == 4) {
      finish();
      collections.push_back({f[1], f[2], f[3], {}, {}});
    } else if (f[0] == "ITEM" && f.size() == 4 && !collections.empty()) {
      collections.back().items.push_back({f[1], f[2], f[3], {}});
      texts.emplace_back();
    } else if (f[0] == "LINE" && f.size() >= 2 && !texts.empty()) {
      texts.back() += line.substr(5) + "\n";
    } else if (f[0] == "NAME" && f.size() == 3 && !collections.empty()) {
      collections.back().etags[f[1]] = f[2];
    } else {
      ADD_FAILURE() << "unexpected probe line: " << line;
    }
  }
  finish();
  return collections;
}

const ServerCollection* collectionNamed(const std::vector<ServerCollection>& collections,
                                        const std::string& name) {
  for (const ServerCollection& collection : collections) {
    if (collection.displayName == name) {
      return &collection;
    }
  }
  return nullptr;
}

std::string lastLevel(const std::string& href) {
  return href.substr(href.rfind('/') + 1);
}

bool plainUid(const std::string& uid) {
  return uid != "." && uid != ".." && std::all_of(uid.begin(), uid.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                  std::string("-_.@").find(c) != std::string::npos;
         });
}

std::vector<std::string> withoutUid(std::vector<std::string> lines) {
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.rfind("UID:", 0) == 0; }),
              lines.end());
  return lines;
}

// The collection's items against `expected`: each there once with its
// content as stored, under the name its UID gives; an item the store had
// without UID with exactly one derived UID, returned by its lines.
std::map<std::vector<std::string>, std::string> expectItems(
    const ServerCollection& collection, const std::vector<DavExpectedItem>& expected) {
  std::map<std::vector<std::string>, std::string> derived;
  const std::string extension = collection.kind == "calendar" ? ".ics" : ".vcf";
  EXPECT_EQ(collection.items.size(), expected.size()) << collection.href;
  EXPECT_EQ(collection.etags.size(), collection.items.size()) << collection.href;
  for (const DavExpectedItem& item : expected) {
    const auto found =
        std::find_if(collection.items.begin(), collection.items.end(), [&](const ServerItem& held) {
          return item.uid.empty() ? withoutUid(held.lines) == item.lines : held.uid == item.uid;
        });
    if (found == collection.items.end()) {
      ADD_FAILURE() << "not in " << collection.href << ": "
                    << (item.uid.empty() ? ::testing::PrintToString(item.lines) : item.uid);
      continue;
    }
    EXPECT_EQ(collection.etags.count(found->href), 1u) << found->href;
    const std::string name = lastLevel(found->href);
    if (item.uid.empty()) {
      EXPECT_FALSE(found->uid.empty()) << found->href;
      EXPECT_EQ(found->lines.size(), item.lines.size() + 1) << "one UID line in " << found->href;
      EXPECT_TRUE(derived.emplace(item.lines, found->uid).second);
    } else {
      EXPECT_EQ(found->lines, item.lines) << item.uid;
    }
    if (plainUid(found->uid)) {
      EXPECT_EQ(name, found->uid + extension);
    } else {
      EXPECT_EQ(name.find(':'), std::string::npos) << name;
      EXPECT_EQ(name.substr(name.size() - extension.size()), extension) << name;
    }
  }
  return derived;
}

// One row of a -report file, by column name.
using Row = std::map<std::string, std::string>;

std::vector<std::string> csvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += c;
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else if (c != '\r' || quoted) {
      fields.back() += c;
    }
  }
  return fields;
}

// The report's row of `account`'s `folder`; an empty row (and a failure)
// when there is not exactly one.
Row reportRow(const std::string& csv, const std::string& account, const std::string& folder) {
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  const std::vector<std::string> names = csvFields(line);
  std::vector<Row> found;
  while (std::getline(lines, line)) {
    const std::vector<std::string> fields = csvFields(line);
    Row row;
    for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i) {
      row[names[i]] = fields[i];
    }
    if (row["account"] == account && row["folder"] == folder) {
      found.push_back(row);
    }
  }
  EXPECT_EQ(found.size(), 1u) << account << " " << folder << "\n" << csv;
  return found.size() == 1 ? found[0] : Row();
}

// "kind sent refused skipped matched before after verdict" of a row.
std::string counts(const Row& row) {
  std::string text;
  for (const char* name : {"kind", "store_messages", "sent", "refused", "skipped", "matched",
                           "target_before", "target_after", "verdict"}) {
    const auto field = row.find(name);
    text += (text.empty() ? "" : " ") + (field == row.end() ? "?" : field->second);
  }
  return text;
}

std::string percentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The items of one of john's folders in the example store: each message's
// body, with the UID it carries ("" when none).
std::vector<DavExpectedItem> exampleItems(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(kExamples + "/Accounts/john.macnt/" +
                                                               folder + ".mdir")) {
    files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  std::vector<DavExpectedItem> items;
  for (const std::string& file : files) {
    const std::string text = readFile(file);
    const std::vector<std::string> lines = normalLines(text.substr(text.find("\r\n\r\n") + 4));
    std::string uid;
    for (const std::string& line : lines) {
      uid = line.rfind("UID:", 0) == 0 ? line.substr(4) : uid;
    }
    items.push_back({folder, uid, lines});
  }
  return items;
}

// The line of `text` that begins with `prefix` ("" when none).
std::string lineStarting(const std::string& text, const std::string& prefix) {
  const std::size_t at = text.find(prefix);
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

// What a parser finds in the files of a -davExport: the UIDs of each file
// (relative to the directory) and its time zones, one entry a VTIMEZONE.
struct Exported {
  std::map<std::string, std::set<std::string>> uids;
  std::map<std::string, std::vector<std::string>> zones;
};

class DavMigrationTest : public MigrationTest {
 protected:
  void SetUp() override {
    std::string why;
    if (!Radicale::available(&why)) {
      GTEST_SKIP() << why;
    }
    if (::access("/usr/bin/htpasswd", X_OK) != 0) {
      GTEST_SKIP() << "htpasswd is not installed (apt-get install apache2-utils)";
    }
    if (!Dovecot::installed()) {
      GTEST_SKIP() << "dovecot is not installed (apt-get install dovecot-imapd)";
    }
    if (::access(kPython, X_OK) != 0) {
      GTEST_SKIP() << "python3 is not installed";
    }
    DovecotOptions imap;
    imap.users = {{kJohn, "x"},
                  {"mary@example.com", "x"},
                  {"bob@example.org", "x"},
                  {DavStore::kAccount, "x"}};
    imap.masterUser = kAdmin;
    imap.masterPassword = kMasterPassword;
    dovecot_ = std::make_unique<Dovecot>(imapHome_, imap);
    ASSERT_EQ(dovecot_->problem(), "");
    RadicaleOptions dav;
    dav.users = {{kJohn, kJohnPassword},
                 {"bob@example.org", "Rack-7-Bob"},
                 {DavStore::kAccount, DavStore::kPassword},
                 {std::string(kJohn) + "*" + kAdmin, kMasterPassword}};
    radicale_ = std::make_unique<Radicale>(davHome_, dav);
    ASSERT_EQ(radicale_->problem(), "");
  }

  // `mode` (-migrate, -check, -verify) of `store` into dovecot.
  ProcessResult run(const std::string& mode, const std::string& store,
                    std::vector<std::string> arguments) {
    std::vector<std::string> all = {
        "-path", store,      mode,        "-server",        "127.0.0.1",
        "-port", imapPort(), "-password", kMasterPassword,  "-targetType",
        "imap",  "-admin",   kAdmin,      "-primaryDomain", "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    makeDirectories(work_);
    ProcessOptions options;
    options.workingDirectory = work_;
    options.timeoutSeconds = 60;
    return runProcess(LODEMIG_BINARY, all, options);
  }
  std::string imapPort() const { return std::to_string(dovecot_->port()); }
  std::string davUrl() const { return radicale_->url() + "/"; }
  std::vector<std::string> withDav(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"-davServer", davUrl()});
    return arguments;
  }

  // What `login`'s homes hold, as a calendar client reads them.
  std::vector<ServerCollection> onServer(const std::string& login, const std::string& password) {
    const ProcessResult dump = runProcess(kPython, {kProbe, "dump", davUrl(), login, password});
    EXPECT_EQ(dump.exitStatus, 0) << dump.err;
    return parseDump(dump.out);
  }

  void removeFromServer(const std::string& login, const std::string& password,
                        const std::string& href) {
    const ProcessResult gone =
        runProcess(kPython, {kProbe, "delete", davUrl(), login, password, href});
    ASSERT_EQ(gone.exitStatus, 0) << gone.err;
  }

  // Every file of Radicale's storage but its caches, with what a rewrite
  // changes: inode, modification time to the nanosecond, size.
  std::map<std::string, std::string> storageFiles() const {
    std::map<std::string, std::string> files;
    const std::string root = davHome_ / "storage/collection-root";
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      const std::string path = it->path().string();
      struct stat status {};
      if (path.find("/.Radicale.cache") != std::string::npos || !it->is_regular_file() ||
          ::stat(path.c_str(), &status) != 0) {
        continue;
      }
      files[path.substr(root.size())] =
          std::to_string(status.st_ino) + " " + std::to_string(status.st_mtim.tv_sec) + "." +
          std::to_string(status.st_mtim.tv_nsec) + " " + std::to_string(status.st_size);
    }
    return files;
  }

  // The folders of `user` subscribed in dovecot.
  std::set<std::string> subscribed(const std::string& user) const {
    int status = 0;
    const std::string list = dovecot_->doveadm({"mailbox", "list", "-s", "-u", user}, &status);
    EXPECT_EQ(status, 0) << list;
    std::set<std::string> names;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
      names.insert(line);
    }
    return names;
  }

  // What the parsers find in the export directory `directory`.
  Exported exported(const std::string& directory) {
    const ProcessResult parsed = runProcess(kPython, {kProbe, "export", directory});
    EXPECT_EQ(parsed.exitStatus, 0) << parsed.err;
    Exported files;
    std::istringstream lines(parsed.out);
    for (std::string line; std::getline(lines, line);) {
      const std::vector<std::string> f = tabFields(line);
      if (f[0] == "FILE" && f.size() == 2) {
        files.uids[f[1]];
      } else if (f[0] == "UID" && f.size() == 4) {
        files.uids[f[1]].insert(f[3]);
      } else if (f[0] == "ZONE" && f.size() == 3) {
        files.zones[f[1]].push_back(f[2]);
      } else {
        ADD_FAILURE() << "unexpected parser line: " << line;
      }
    }
    return files;
  }

  // Every collection of the generated store's account against the store;
  // the UIDs the run derived, by the item's lines.
  std::map<std::vector<std::string>, std::string> expectGeneratedOnServer(bool changed) {
    const std::vector<ServerCollection> held = onServer(DavStore::kAccount, DavStore::kPassword);
    EXPECT_EQ(held.size(), DavStore::davFolders().size());
    std::map<std::vector<std::string>, std::string> derived;
    std::set<std::string> derivedUids;
    for (const std::string& folder : DavStore::davFolders()) {
      const ServerCollection* collection = collectionNamed(held, folder);
      if (collection == nullptr) {
        ADD_FAILURE() << "no collection named " << folder;
        continue;
      }
      EXPECT_EQ(collection->kind, folder == "Contacts" ? "addressbook" : "calendar") << folder;
      for (const auto& [lines, uid] :
           expectItems(*collection, DavStore::itemsOf(folder, changed))) {
        derived[lines] = uid;
        derivedUids.insert(uid);
      }
    }
    EXPECT_EQ(derived.size(), 3u);
    EXPECT_EQ(derivedUids.size(), derived.size());
    return derived;
  }

  // The generated store's DAV rows of one pass against `rows`: `pass` 'f'
  // first (all sent), 'j' with the journal (all skipped), 'm' without (all
  // matched), 'd' the delta after change() (the two changes sent).
  void expectGeneratedRows(const std::string& csv, char pass) {
    for (const std::string& folder : DavStore::davFolders()) {
      const bool changed = pass == 'd';
      const int n = static_cast<int>(DavStore::itemsOf(folder, changed).size());
      const int refused = folder == "Calendar" ? 1 : 0;
      const int sent = pass == 'f' ? n : pass == 'd' && folder == "Calendar" ? 2 : 0;
      const int before = pass == 'f' ? 0 : pass == 'd' && folder == "Calendar" ? n - 1 : n;
      const int skipped = pass == 'j' || pass == 'd' ? n - sent : 0;
      const int matched = pass == 'm' ? n : 0;
      const std::string expected = std::string(folder == "Contacts" ? "carddav " : "caldav ") +
                                   std::to_string(DavStore::messagesOf(folder, changed)) + " " +
                                   std::to_string(sent) + " " + std::to_string(refused) + " " +
                                   std::to_string(skipped) + " " + std::to_string(matched) + " " +
                                   std::to_string(before) + " " + std::to_string(n) +
                                   (refused > 0 ? " failed" : " ok");
      EXPECT_EQ(counts(reportRow(csv, DavStore::kAccount, folder)), expected)
          << "pass " << pass << "\n"
          << csv;
    }
  }

  ScopedTempDir imapHome_;
  ScopedTempDir davHome_;
  std::unique_ptr<Dovecot> dovecot_;
  std::unique_ptr<Radicale> radicale_;
};

// The example store: john's calendar and contacts arrive as stored (the
// contacts with a UID each), mail folders subscribed; a re-run sends
// nothing and leaves Radicale's files as they were; -check and -verify see
// the collections, and -verify misses an item removed by hand.
TEST_F(DavMigrationTest, ExampleStoreArrivesOnceAndVerifyMissesARemovedItem) {
  const ProcessResult first = run("-migrate", kExamples, withDav({"-report", work_ + "/1.csv"}));
  ASSERT_EQ(first.exitStatus, 0) << first.out;
  const std::vector<ServerCollection> held = onServer(kJohn, kJohnPassword);
  ASSERT_EQ(held.size(), 2u);
  const ServerCollection* calendar = collectionNamed(held, "Calendar");
  const ServerCollection* contacts = collectionNamed(held, "Contacts");
  ASSERT_TRUE(calendar != nullptr && contacts != nullptr);
  EXPECT_EQ(calendar->kind, "calendar");
  EXPECT_EQ(contacts->kind, "addressbook");
  EXPECT_TRUE(expectItems(*calendar, exampleItems("Calendar")).empty());
  const auto derived = expectItems(*contacts, exampleItems("Contacts"));
  EXPECT_EQ(derived.size(), 2u);
  const std::string csv = readFile(work_ + "/1.csv");
  const Row calendarRow = reportRow(csv, kJohn, "Calendar");
  EXPECT_EQ(counts(calendarRow), "caldav 2 2 0 0 0 0 2 ok");
  EXPECT_EQ(percentDecoded(calendarRow.at("target_folder")), calendar->href);
  EXPECT_EQ(counts(reportRow(csv, kJohn, "Contacts")), "carddav 2 2 0 0 0 0 2 ok");
  EXPECT_EQ(subscribed(kJohn),
            (std::set<std::string>{"INBOX", "Sent Items", "Drafts", "Archive", "Archive.2007"}));
  EXPECT_EQ(subscribed("bob@example.org"), (std::set<std::string>{"INBOX", "Projects"}));
  EXPECT_TRUE(onServer("bob@example.org", "Rack-7-Bob").empty());

  const auto files = storageFiles();
  const ProcessResult again = run("-migrate", kExamples, withDav({"-report", work_ + "/2.csv"}));
  EXPECT_EQ(again.exitStatus, 0) << again.out;
  EXPECT_EQ(counts(reportRow(readFile(work_ + "/2.csv"), kJohn, "Calendar")),
            "caldav 2 0 0 0 2 2 2 ok");
  EXPECT_EQ(counts(reportRow(readFile(work_ + "/2.csv"), kJohn, "Contacts")),
            "carddav 2 0 0 0 2 2 2 ok");
  EXPECT_EQ(storageFiles(), files);
  const std::vector<ServerCollection> after = onServer(kJohn, kJohnPassword);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(collectionNamed(after, "Calendar")->etags, calendar->etags);
  EXPECT_EQ(expectItems(*collectionNamed(after, "Contacts"), exampleItems("Contacts")), derived);

  const ProcessResult check = run("-check", kExamples, withDav({}));
  // mary has no calendar or contacts folder: the DAV server is none of her business.
  EXPECT_FALSE(contains(check.out, "<mary@example.com> on the DAV server")) << check.out;
  const std::string has =
      lineStarting(check.out, "Info: <john@example.com> has on the DAV server: ");
  EXPECT_TRUE(contains(has, "\"Calendar\" (calendar)") &&
              contains(has, "\"Contacts\" (address book)"))
      << check.out;
  const ProcessResult verify = run("-verify", kExamples, withDav({}));
  EXPECT_EQ(verify.exitStatus, 0) << verify.out;
  EXPECT_TRUE(contains(verify.out, "Result: verification successful\n")) << verify.out;
  removeFromServer(kJohn, kJohnPassword, calendar->href + "dentist-20070903@example.com.ics");
  const ProcessResult missing = run("-verify", kExamples, withDav({}));
  EXPECT_EQ(missing.exitStatus, 1) << missing.out;
  EXPECT_TRUE(
      contains(lineStarting(missing.out, "Error: folder \"Calendar\" of <john@example.com>"),
               "dentist-20070903@example.com"))
      << missing.out;
  EXPECT_TRUE(contains(missing.out, "Result: verification failed\n")) << missing.out;
}

// The generated store: every kind of item arrives as stored, split by UID,
// the moved instance with its series, a UID derived where the store has
// none; the message without calendar data is reported and fails its folder.
// A pass with the journal skips everything, one without finds everything
// there, and a delta pass sends just the changed and the new event.
TEST_F(DavMigrationTest, GeneratedStoreArrivesAsStoredAndLaterPassesSendOnlyChanges) {
  DavStore store(builder_);
  store.build();
  const std::string journal = dir_ / "run.journal";
  const ProcessResult first =
      run("-migrate", store_, withDav({"-journal", journal, "-report", work_ + "/1.csv"}));
  EXPECT_EQ(first.exitStatus, 1) << first.out;
  EXPECT_EQ(countOf(first.out, kBrokenLine), 1) << first.out;
  EXPECT_TRUE(contains(first.out, "Result: migration failed\n")) << first.out;
  const auto derived = expectGeneratedOnServer(false);
  expectGeneratedRows(readFile(work_ + "/1.csv"), 'f');
  for (const std::string& folder : DavStore::mailFolders()) {
    Row mail = reportRow(readFile(work_ + "/1.csv"), DavStore::kAccount, folder);
    EXPECT_EQ(mail["sent"] + " " + mail["verdict"], "1 ok") << folder;
  }
  EXPECT_EQ(subscribed(DavStore::kAccount), (std::set<std::string>{"INBOX", "Archive"}));

  const auto files = storageFiles();
  const ProcessResult skipping =
      run("-migrate", store_, withDav({"-journal", journal, "-report", work_ + "/2.csv"}));
  EXPECT_EQ(skipping.exitStatus, 1) << skipping.out;
  expectGeneratedRows(readFile(work_ + "/2.csv"), 'j');
  const ProcessResult matching = run("-migrate", store_, withDav({"-report", work_ + "/3.csv"}));
  EXPECT_EQ(matching.exitStatus, 1) << matching.out;
  expectGeneratedRows(readFile(work_ + "/3.csv"), 'm');
  EXPECT_EQ(storageFiles(), files);
  EXPECT_EQ(expectGeneratedOnServer(false), derived);

  store.change();
  const ProcessResult delta = run(
      "-migrate", store_, withDav({"-journal", journal, "-delta", "-report", work_ + "/4.csv"}));
  EXPECT_EQ(delta.exitStatus, 1) << delta.out;
  expectGeneratedRows(readFile(work_ + "/4.csv"), 'd');
  EXPECT_EQ(expectGeneratedOnServer(true), derived);
  std::set<std::string> rewritten;
  for (const auto& [path, stamp] : storageFiles()) {
    if (files.count(path) == 0 || files.at(path) != stamp) {
      rewritten.insert(lastLevel(path));
    }
  }
  EXPECT_EQ(rewritten, (std::set<std::string>{std::string(DavStore::kChangedUid) + ".ics",
                                              std::string(DavStore::kNewUid) + ".ics"}));
}

// A master login form puts the items into the principal it names; the
// export files beside a DAV run and without one parse with common parsers
// and hold every item, the derived UIDs the same as on the server.
TEST_F(DavMigrationTest, LoginFormPrincipalAndExportFilesThatParse) {
  if (runProcess(kPython, {"-c", "import icalendar, vobject"}).exitStatus != 0) {
    GTEST_SKIP() << "python3-icalendar or python3-vobject is not installed";
  }
  const std::string beside = dir_ / "beside";
  const std::string master = std::string(kJohn) + "*" + kAdmin;
  const ProcessResult formed =
      run("-migrate", kExamples, withDav({"-davLoginForm", "USER*ADMIN", "-davExport", beside}));
  EXPECT_EQ(formed.exitStatus, 0) << formed.out;
  EXPECT_TRUE(onServer(kJohn, kJohnPassword).empty());
  const std::vector<ServerCollection> held = onServer(master, kMasterPassword);
  ASSERT_EQ(held.size(), 2u);
  ASSERT_NE(collectionNamed(held, "Calendar"), nullptr);
  ASSERT_NE(collectionNamed(held, "Contacts"), nullptr);
  EXPECT_TRUE(expectItems(*collectionNamed(held, "Calendar"), exampleItems("Calendar")).empty());
  std::set<std::string> contactUids;
  for (const auto& [lines, uid] :
       expectItems(*collectionNamed(held, "Contacts"), exampleItems("Contacts"))) {
    contactUids.insert(uid);
  }
  const Exported examples = exported(beside);
  EXPECT_EQ(examples.uids.size(), 2u);
  EXPECT_EQ(examples.uids.at("example.com/john/Calendar.ics"),
            (std::set<std::string>{"team-20070827@example.com", "dentist-20070903@example.com"}));
  EXPECT_EQ(examples.uids.at("example.com/john/Contacts.vcf"), contactUids);

  DavStore store(builder_);
  store.build();
  const std::string alone = dir_ / "alone";
  const ProcessResult exportOnly =
      run("-migrate", store_, {"-davExport", alone, "-report", work_ + "/export.csv"});
  EXPECT_EQ(exportOnly.exitStatus, 1) << exportOnly.out;
  EXPECT_TRUE(contains(exportOnly.out, kBrokenLine)) << exportOnly.out;
  EXPECT_TRUE(onServer(DavStore::kAccount, DavStore::kPassword).empty());
  Exported generated = exported(alone);
  EXPECT_EQ(generated.uids.size(), DavStore::davFolders().size());
  const std::string csv = readFile(work_ + "/export.csv");
  for (const std::string& folder : DavStore::davFolders()) {
    const std::string file = "example.com/ann/" + folder + (folder == "Contacts" ? ".vcf" : ".ics");
    const std::vector<DavExpectedItem> items = DavStore::itemsOf(folder, false);
    const std::set<std::string> uids =
        generated.uids.count(file) ? generated.uids.at(file) : std::set<std::string>();
    EXPECT_EQ(uids.size(), items.size()) << file;
    EXPECT_EQ(uids.count(""), 0u) << file;
    for (const DavExpectedItem& item : items) {
      EXPECT_TRUE(item.uid.empty() || uids.count(item.uid) == 1) << file << " " << item.uid;
    }
    const Row row = reportRow(csv, DavStore::kAccount, folder);
    EXPECT_EQ(row.count("target_folder") ? row.at("target_folder") : "", alone + "/" + file);
    EXPECT_EQ(counts(row).substr(0, 4), folder == "Contacts" ? "vcf " : "ics ") << counts(row);
  }
  std::vector<std::string> zones = generated.zones["example.com/ann/Calendar.ics"];
  std::sort(zones.begin(), zones.end());
  EXPECT_EQ(zones, (std::vector<std::string>{"America/New_York", "Europe/Berlin"}));
}

}  // namespace
}  // namespace lodemig::testing
