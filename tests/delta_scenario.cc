#include "tests/delta_scenario.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

constexpr char kDate[] = "Wed Jun 30 21:49:08 1993";

// What becomes of a message: kept, gone from the store after the first
// pass, new after it, or kept on the target with its folder gone.
enum class Fate { kKept, kGone, kNew, kFolderGone };

struct Entry {
  const char* folder;
  const char* tag;
  const char* letters;  // the flag letters the store has at last
  Fate fate;
};

// Every message the scenario's account holds at one time or another.
constexpr Entry kEntries[] = {
    {"INBOX", "in.1", "FA", Fate::kKept},    {"INBOX", "in.2", "F", Fate::kKept},
    {"INBOX", "in.3", "", Fate::kKept},      {"INBOX", "in.4", "SA", Fate::kKept},
    {"INBOX", "in.5", "A", Fate::kKept},     {"INBOX", "in.6", "S", Fate::kNew},
    {"INBOX", "in.7", "", Fate::kNew},       {"Lists", "li.1", "S", Fate::kGone},
    {"Lists", "li.2", "SA", Fate::kKept},    {"Lists", "li.3", "F", Fate::kGone},
    {"Lists", "li.4", "S", Fate::kKept},     {"Notes", "no.1", "SA", Fate::kKept},
    {"Notes", "no.2", "", Fate::kGone},      {"Notes", "no.3", "F", Fate::kKept},
    {"Notes", "no.4", "S", Fate::kNew},      {"Notes", "li.3", "F", Fate::kNew},
    {"Archive", "ar.1", "S", Fate::kKept},   {"Archive", "ar.2", "SA", Fate::kKept},
    {"Old", "ol.1", "S", Fate::kFolderGone}, {"Later", "la.1", "F", Fate::kNew},
};

std::string content(const std::string& tag) {
  return "Message-ID: <" + tag + "@store.example>\r\nSubject: " + tag + "\r\n\r\nbody of " + tag +
         "\r\n";
}

MailboxMessage inMailbox(const std::string& tag, const std::string& letters,
                         const std::string& uid) {
  return {letters, uid, kDate, content(tag)};
}

std::string imapFlags(const std::string& letters) {
  std::string words;
  for (char letter : letters) {
    words += letter == 'S'   ? "\\Seen "
             : letter == 'A' ? "\\Answered "
             : letter == 'F' ? "\\Flagged "
             : letter == 'D' ? "\\Draft "
                             : "";
  }
  return sortedFlags(words);
}

std::vector<Placed> placed(std::initializer_list<Fate> fates, bool withFlags) {
  std::vector<Placed> list;
  for (const Entry& entry : kEntries) {
    if (std::find(fates.begin(), fates.end(), entry.fate) != fates.end()) {
      list.push_back({entry.folder, "<" + std::string(entry.tag) + "@store.example>",
                      withFlags ? imapFlags(entry.letters) : std::string()});
    }
  }
  std::sort(list.begin(), list.end());
  return list;
}

// Writes `to` over `from` where the file holds it, in place: the file keeps
// its size and every other byte, as a server setting a flag letter does.
void overwriteInPlace(const std::string& path, const std::string& from, const std::string& to) {
  if (from.size() != to.size()) {
    throw std::logic_error("an in-place change keeps the size");
  }
  const std::size_t at = readFile(path).find(from);
  if (at == std::string::npos) {
    throw std::logic_error(path + " does not hold " + from);
  }
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(at));
  file.write(to.data(), static_cast<std::streamsize>(to.size()));
  if (!file.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

// Rewrites the file's bytes in the same file (same inode), shorter.
void rewriteInPlace(const std::string& path, const std::string& text) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!file.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
  file.close();
  std::filesystem::resize_file(path, text.size());
}

void appendTo(const std::string& path, const std::vector<MailboxMessage>& messages) {
  std::ofstream file(path, std::ios::app | std::ios::binary);
  file << "\r\n" << StoreBuilder::mailboxText(messages);
  if (!file.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace

void PrintTo(const Placed& placed, std::ostream* out) {
  *out << "{" << placed.folder << " " << placed.id << " " << placed.flags << "}";
}

std::string messageIdOf(const std::string& text) {
  const std::size_t header = text.find("Message-ID: <");
  const std::size_t end = header == std::string::npos ? header : text.find('>', header);
  return end == std::string::npos ? std::string() : text.substr(header + 12, end - header - 11);
}

std::string sortedFlags(const std::string& words) {
  std::istringstream in(words);
  std::vector<std::string> list;
  for (std::string word; in >> word;) {
    if (word != "\\Recent") {
      list.push_back(word);
    }
  }
  std::sort(list.begin(), list.end());
  std::string text;
  for (const std::string& word : list) {
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

void DeltaScenario::build() {
  infoPath_ = builder_.account("", "ann", AccountDirectory)
                  .settings("{ Password = x; }")
                  .info(
                      "{ INBOX = { Messages = #5; }; Lists = { Messages = #4; }; Notes = { "
                      "Messages = #3; }; "
                      "Archive = { Messages = #2; }; Old = { Messages = #1; }; }")
                  .infoPath();
  builder_.mailboxFile(
      "", "ann", "INBOX",
      {inMailbox("in.1", "SA", "1"), inMailbox("in.2", "F", "2"), inMailbox("in.3", "", "3"),
       inMailbox("in.4", "SA", "4"), inMailbox("in.5", "S", "5")});
  builder_.mailboxFile("", "ann", "Lists",
                       {inMailbox("li.1", "S", "1"), inMailbox("li.2", "SA", "2"),
                        inMailbox("li.3", "F", "3"), inMailbox("li.4", "S", "4")});
  builder_.messageFile("", "ann", "Notes", "1-S-20070823103000-h", content("no.1"));
  builder_.messageFile("", "ann", "Notes", "2--20070823103001-h", content("no.2"));
  builder_.messageFile("", "ann", "Notes", "3-F-20070823103002-h", content("no.3"));
  builder_.mailboxFile("", "ann", "Archive",
                       {inMailbox("ar.1", "S", "1"), inMailbox("ar.2", "SA", "2")});
  builder_.mailboxFile("", "ann", "Old", {inMailbox("ol.1", "S", "1")});
}

void DeltaScenario::change() {
  const std::string inbox = builder_.mailboxPath("", "ann", "INBOX");
  overwriteInPlace(inbox, "(SA-1)", "(FA-1)");
  overwriteInPlace(inbox, "(S-5)", "(A-5)");
  appendTo(inbox, {inMailbox("in.6", "S", "6"), inMailbox("in.7", "", "7")});

  rewriteInPlace(
      builder_.mailboxPath("", "ann", "Lists"),
      StoreBuilder::mailboxText({inMailbox("li.2", "SA", "2"), inMailbox("li.4", "S", "4")}));
  const std::string notes = builder_.messageDirectoryPath("", "ann", "Notes");
  std::filesystem::rename(notes + "/1-S-20070823103000-h", notes + "/1-SA-20070823103000-h");
  std::filesystem::remove(notes + "/2--20070823103001-h");
  builder_.messageFile("", "ann", "Notes", "4-S-20070823103003-h", content("no.4"));
  builder_.messageFile("", "ann", "Notes", "5-F-20070823103004-h", content("li.3"));

  std::filesystem::remove(builder_.mailboxPath("", "ann", "Old"));
  builder_.mailboxFile("", "ann", "Later", {inMailbox("la.1", "F", "1")});
  writeFile(infoPath_,
            "{ INBOX = { Messages = #7; }; Lists = { Messages = #2; }; Notes = { Messages = #4; }; "
            "Archive = { Messages = #2; }; Later = { Messages = #1; }; }");
}

std::vector<Placed> DeltaScenario::placedBefore() {
  return placed({Fate::kKept, Fate::kGone, Fate::kFolderGone}, false);
}
std::vector<Placed> DeltaScenario::placedAfterDelta() {
  return placed({Fate::kKept, Fate::kGone, Fate::kNew, Fate::kFolderGone}, false);
}
std::vector<Placed> DeltaScenario::placedAfterExpunge() {
  return placed({Fate::kKept, Fate::kNew, Fate::kFolderGone}, false);
}
std::vector<Placed> DeltaScenario::flaggedAfterDelta() {
  return placed({Fate::kKept, Fate::kGone, Fate::kNew, Fate::kFolderGone}, true);
}
std::vector<Placed> DeltaScenario::flaggedAfterExpunge() {
  return placed({Fate::kKept, Fate::kNew, Fate::kFolderGone}, true);
}

}  // namespace lodemig::testing
