#include "migration/journal_text.h"

#include <charconv>
#include <filesystem>
#include <vector>

#include "utils/directory.h"
#include "utils/input_file.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

constexpr char kMagic[] = "lodemig-journal 1";
// Far beyond any record (a store password may be tens of kilobytes): a
// longer line is no record of ours.
constexpr std::size_t kMaxLine = 16 * 1024 * 1024;

const char* escapeOf(char c) {
  switch (c) {
    case '%':
      return "%25";
    case '\t':
      return "%09";
    case '\r':
      return "%0D";
    case '\n':
      return "%0A";
    default:
      return nullptr;
  }
}

void appendEscaped(std::string& out, std::string_view field) {
  // Names rarely hold any of the four: copy the runs between them whole.
  std::size_t start = 0;
  for (std::size_t i = 0; i < field.size(); ++i) {
    // Every one of the four is below '&'; most bytes are not.
    if (static_cast<unsigned char>(field[i]) > '%') {
      continue;
    }
    const char* code = escapeOf(field[i]);
    if (code != nullptr) {
      out.append(field.data() + start, i - start);
      out.append(code, 3);
      start = i + 1;
    }
  }
  out.append(field.data() + start, field.size() - start);
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) {
      return fields;
    }
    start = tab + 1;
  }
}

template <typename Number>
bool isNumber(std::string_view text, Number& value) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && stop == end;
}

std::string unescaped(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '%' && i + 2 < field.size()) {
      const std::string_view code = field.substr(i + 1, 2);
      const char c = code == "25"   ? '%'
                     : code == "09" ? '\t'
                     : code == "0D" ? '\r'
                     : code == "0A" ? '\n'
                                    : '\0';
      if (c != '\0') {
        text += c;
        i += 2;
        continue;
      }
    }
    text += field[i];
  }
  return text;
}

std::string accountId(const std::string& account) {
  std::string id;
  appendEscaped(id, account);
  return id;
}

std::string folderId(const std::string& account, const std::string& folder) {
  std::string id;
  appendEscaped(id, account);
  id += '\t';
  appendEscaped(id, folder);
  return id;
}

// The store and target a journal's first line names; empty fields when
// `line` is not such a line.
struct JournalOrigin {
  std::string store;
  std::string target;
};

bool readOrigin(std::string_view line, JournalOrigin& origin) {
  const std::vector<std::string_view> f = splitFields(line);
  if (f.size() != 3 || f[0] != kMagic) {
    return false;
  }
  origin = {unescaped(f[1]), unescaped(f[2])};
  return true;
}

}  // namespace

std::string journalHeader(const std::string& storePath, const std::string& host, int port) {
  std::string header = kMagic;
  header += '\t';
  appendEscaped(header, storePath);
  header += '\t';
  appendEscaped(header, host + ":" + std::to_string(port));
  return header;
}

void formatJournalKey(const MessageKey& key, std::string& text) {
  text.clear();
  appendEscaped(text, key.file);
  char number[48];
  auto [end, error] = std::to_chars(number, number + sizeof(number), key.headerOffset);
  text += '\t';
  text.append(number, end);
  auto [sizeEnd, sizeError] = std::to_chars(number, number + sizeof(number), key.storedSize);
  text += '\t';
  text.append(number, sizeEnd);
}

std::string journalKey(const MessageKey& key) {
  std::string text;
  formatJournalKey(key, text);
  return text;
}

bool parseJournalKey(std::string_view text, MessageKey& key) {
  const std::vector<std::string_view> f = splitFields(text);
  if (f.size() != 3 || !isNumber(f[1], key.headerOffset) || !isNumber(f[2], key.storedSize)) {
    return false;
  }
  key.file = unescaped(f[0]);
  return true;
}

JournalState::Load JournalState::load(const std::string& path, const std::string& header,
                                      std::int64_t& validLength) {
  validLength = 0;
  ostrel::utils::InputFile file;
  if (!file.open(path)) {
    return ostrel::utils::pathExists(path) ? Load::Unreadable : Load::Missing;
  }
  JournalOrigin wanted;
  readOrigin(header, wanted);
  std::string line;
  for (int number = 1;; ++number) {
    const std::int64_t before = file.tell();
    if (!file.readLine(line, kMaxLine + 1)) {
      break;
    }
    // A line that the file's end cut short was being written when the run
    // died: it never counted, and the next record is written in its place.
    // One too long to keep is no such line, whatever follows it: taking it
    // for one would cut every record after it from the journal.
    if (file.tell() - before != static_cast<std::int64_t>(line.size()) + 1) {
      if (line.size() > kMaxLine) {
        damagedLine_ = number;
        return Load::Damaged;
      }
      break;
    }
    validLength = file.tell();
    if (number == 1) {
      JournalOrigin origin;
      if (!readOrigin(line, origin)) {
        damagedLine_ = 1;
        return line.compare(0, sizeof(kMagic) - 1, kMagic) == 0 ? Load::OtherRun : Load::Damaged;
      }
      journalStore_ = origin.store;
      journalTarget_ = origin.target;
      if (journalStore_ != wanted.store) {
        return Load::OtherRun;
      }
    } else if (line.size() > kMaxLine || !apply(line)) {
      damagedLine_ = number;
      return Load::Damaged;
    }
  }
  if (file.failed()) {
    return Load::Unreadable;
  }
  // The target is known only at the end: a run that moved it wrote a
  // "target" record.
  return validLength > 0 && journalTarget_ != wanted.target ? Load::OtherTarget : Load::Ok;
}

bool JournalState::apply(const std::string& line) {
  const std::vector<std::string_view> f = splitFields(line);
  const std::string_view kind = f[0];
  std::int64_t number = 0;
  if (kind == "account") {
    return applyAccount(f);
  }
  if (kind == "count" && f.size() == 4 && isNumber(f[3], number)) {
    FolderProgress& folder = folders_[std::string(f[1]) + "\t" + std::string(f[2])];
    if (folder.countBefore < 0) {
      folder.countBefore = number;
    }
    return true;
  }
  if ((kind == "stored" || kind == "refused") && f.size() == 6) {
    // The key is the rest of the line, kept as written: the lookups of a
    // resumed folder make the same text with formatJournalKey().
    const std::string_view keyText(f[3].data(), line.data() + line.size() - f[3].data());
    MessageKey key;
    if (!parseJournalKey(keyText, key)) {
      return false;
    }
    FolderProgress& folder = folders_[std::string(f[1]) + "\t" + std::string(f[2])];
    if (kind == "refused") {
      folder.refused.emplace(keyText);
    } else if (folder.stored.emplace(keyText).second) {
      folder.refused.erase(std::string(keyText));
      ++folder.storedCount;
    }
    return true;
  }
  if (kind == "folder-done" && f.size() == 3) {
    std::string id = std::string(f[1]) + "\t" + std::string(f[2]);
    folders_.erase(id);
    doneFolders_.insert(std::move(id));
    return true;
  }
  if (kind == "target" && f.size() == 2) {
    journalTarget_ = unescaped(f[1]);
    return true;
  }
  if (kind == "account-done" && f.size() == 2) {
    doneAccounts_.insert(std::string(f[1]));
    return true;
  }
  return false;
}

bool JournalState::applyAccount(const std::vector<std::string_view>& f) {
  if (f.size() == 6 && f[2] == "creating" && (f[5] == "0" || f[5] == "1")) {
    ownAccounts_[std::string(f[1])] = unescaped(f[3]);
    unconfirmed_[std::string(f[1])] = std::string(f[5]) + unescaped(f[4]);
    return true;
  }
  if (f.size() != 4) {
    return false;
  }
  unconfirmed_.erase(std::string(f[1]));
  if (f[2] == "declined") {
    ownAccounts_.erase(std::string(f[1]));
    return true;
  }
  if (f[2] == "created" || f[2] == "switched") {
    ownAccounts_[std::string(f[1])] = unescaped(f[3]);
    return true;
  }
  return false;
}

bool JournalState::accountDone(const std::string& account) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return doneAccounts_.count(accountId(account)) != 0;
}

std::string JournalState::passwordFileOf(const std::string& account) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  auto found = ownAccounts_.find(accountId(account));
  return found == ownAccounts_.end() ? std::string() : found->second;
}

bool JournalState::creationUnconfirmed(const std::string& account, std::string& password,
                                       bool& generated) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  auto found = unconfirmed_.find(accountId(account));
  if (found == unconfirmed_.end()) {
    return false;
  }
  generated = found->second[0] == '1';
  password = found->second.substr(1);
  return true;
}

bool JournalState::folderDone(const std::string& account, const std::string& folder) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return doneFolders_.count(folderId(account, folder)) != 0;
}

FolderProgress& JournalState::progress(const std::string& account, const std::string& folder) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return folders_[folderId(account, folder)];
}

void JournalState::endFolder(const std::string& account, const std::string& folder) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string id = folderId(account, folder);
  folders_.erase(id);
  doneFolders_.insert(std::move(id));
}

void JournalState::endAccount(const std::string& account) {
  const std::lock_guard<std::mutex> lock(mutex_);
  doneAccounts_.insert(accountId(account));
}

void JournalState::noteAccount(const std::string& account, const std::string& passwordFile) {
  const std::lock_guard<std::mutex> lock(mutex_);
  unconfirmed_.erase(accountId(account));
  if (passwordFile.empty()) {
    ownAccounts_.erase(accountId(account));
  } else {
    ownAccounts_[accountId(account)] = passwordFile;
  }
}

bool JournalWriter::open(const std::string& path, std::int64_t validLength,
                         const std::string& header) {
  if (!file_.open(path)) {
    return false;
  }
  // Two runs appending to one journal would each take the other's records
  // for their own; the lock is taken before anything is cut or written.
  heldBy_ = file_.lockExclusive();
  if (heldBy_ != 0) {
    file_.close();
    return false;
  }
  // What follows the last whole line was torn by a crash; the next record
  // takes its place rather than being glued to it.
  if (validLength >= 0 && !ostrel::utils::truncateFile(path, validLength)) {
    file_.close();
    return false;
  }
  if (validLength <= 0) {
    file_ << header << '\n';
    sync();
  }
  return file_.good();
}

void JournalWriter::line(std::initializer_list<std::string_view> fields) {
  if (!file_.isOpen()) {
    return;
  }
  line_.clear();
  bool first = true;
  for (std::string_view field : fields) {
    if (!first) {
      line_ += '\t';
    }
    first = false;
    appendEscaped(line_, field);
  }
  line_ += '\n';
  file_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
}

void JournalWriter::account(const std::string& account, const char* state,
                            const std::string& passwordFile) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Password files by where they are: a resumed run may start elsewhere.
  line({"account", account, state, ostrel::utils::absolutePath(passwordFile)});
  // A declined account must not pass for one whose creation was cut short.
  // The others may wait in the buffer: lost, they leave the "creating"
  // record, from which a later run finds the account its own again.
  if (std::string_view(state) == "declined") {
    file_.flush();
  }
}

void JournalWriter::creating(const std::string& account, const std::string& passwordFile,
                             const std::string& password, bool generated) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Written before the account is asked for, so that no death of the
  // process loses it; the disk has it with the folder count that follows
  // before the first append.
  line({"account", account, "creating", ostrel::utils::absolutePath(passwordFile), password,
        generated ? "1" : "0"});
  file_.flush();
}

void JournalWriter::target(const std::string& target) {
  const std::lock_guard<std::mutex> lock(mutex_);
  line({"target", target});
  syncLocked();
}

void JournalWriter::count(const std::string& account, const std::string& folder,
                          std::int64_t count) {
  const std::lock_guard<std::mutex> lock(mutex_);
  line({"count", account, folder, std::to_string(count)});
  // The count must be on the disk before the first append: it is what tells
  // a later run how many messages arrived that no record names.
  syncLocked();
}

void JournalWriter::message(bool stored, const std::string& account, const std::string& folder,
                            const std::string& key) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!file_.isOpen()) {
    return;
  }
  // A folder's messages come one after another: its names are escaped once.
  if (account != account_ || folder != folder_) {
    account_ = account;
    folder_ = folder;
    names_.clear();
    appendEscaped(names_, account);
    names_ += '\t';
    appendEscaped(names_, folder);
    names_ += '\t';
  }
  // The key is escaped already; its tabs separate its own fields.
  line_.clear();
  line_ += stored ? "stored\t" : "refused\t";
  line_ += names_;
  line_ += key;
  line_ += '\n';
  file_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
  if (!stored) {
    // A refusal is no arrival: the count check needs it on the disk.
    syncLocked();
  }
}

// Lost to a crash, these two only make the next run look at the folder or
// account again: they wait in the buffer.
void JournalWriter::folderDone(const std::string& account, const std::string& folder) {
  const std::lock_guard<std::mutex> lock(mutex_);
  line({"folder-done", account, folder});
}

void JournalWriter::accountDone(const std::string& account) {
  const std::lock_guard<std::mutex> lock(mutex_);
  line({"account-done", account});
}

void JournalWriter::sync() {
  const std::lock_guard<std::mutex> lock(mutex_);
  syncLocked();
}

void JournalWriter::syncLocked() {
  if (file_.isOpen()) {
    file_.syncToDisk();
  }
}

bool JournalWriter::failed() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return file_.isOpen() && !file_.good();
}

std::string JournalWriter::failureText() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return file_.failureText();
}

std::string JournalWriter::failureReason() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return file_.failureReason();
}

void JournalWriter::close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  syncLocked();
  file_.close();
}

}  // namespace lodemig
