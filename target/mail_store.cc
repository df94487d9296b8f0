#include "target/mail_store.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "target/message_header.h"
#include "utils/ascii.h"
#include "utils/ql_exception.h"

namespace lodemig::target {

namespace {

constexpr std::string_view kInbox = "INBOX";

using ostrel::utils::equalsIgnoreCase;

// Texts that become one line of a store file.
bool fitsOnLine(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The address names a directory: one "@" between a non-empty user and
// domain, and nothing that could step out of DIR/accounts.
bool validAddress(std::string_view address) {
  const std::size_t at = address.find('@');
  return at != std::string_view::npos && at > 0 && at + 1 < address.size() &&
         address.find('@', at + 1) == std::string_view::npos &&
         address.find('/') == std::string_view::npos && fitsOnLine(address);
}

void writeFile(const std::string& path, std::string_view data, bool append) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) {
    throw QLException("cannot write " + path);
  }
}

// The whole file; throws QLException when it cannot be read.
std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  if (!in) {
    throw QLException("cannot read " + path);
  }
  return out.str();
}

// The value of the "<key>: " line of a store file; empty without one.
std::string fileField(const std::string& text, std::string_view key) {
  const std::string prefix = std::string(key) + ": ";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    if (text.compare(at, prefix.size(), prefix) == 0) {
      return text.substr(at + prefix.size(), end - at - prefix.size());
    }
    at = end + 1;
  }
  return {};
}

std::string fileNumber(std::uint64_t number) {
  char text[32];
  std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(number));
  return text;
}

void makeDirectories(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) {
    throw QLException("cannot create directory " + path + ": " + error.message());
  }
}

}  // namespace

MailStore::MailStore(std::string directory, bool reopen) : directory_(std::move(directory)) {
  bool held = false;
  if (!directory_.empty()) {
    const std::string accounts = directory_ + "/accounts";
    std::error_code error;
    held = std::filesystem::is_directory(accounts, error) &&
           !std::filesystem::is_empty(accounts, error);
    if (held && !reopen) {
      throw QLException("store directory already holds accounts: " + accounts);
    }
    makeDirectories(accounts);
  }
  if (!held || !std::filesystem::exists(directory_ + "/accounts/admin")) {
    newAccount("admin", "", "");
  }
  if (held) {
    loadAccounts();
  }
}

MailStore::Account& MailStore::newAccount(const std::string& address, const std::string& password,
                                          const std::string& fullName) {
  auto account = std::make_unique<Account>();
  account->address = address;
  account->password = password;
  account->fullName = fullName;
  account->folders.push_back(Folder{"X-MAIL", std::string(kInbox), {}});
  account->folderIndex.emplace(kInbox, 0);
  accountIndex_.emplace(ostrel::utils::lowerAsciiCopy(address), accounts_.size());
  accounts_.push_back(std::move(account));
  return *accounts_.back();
}

std::string MailStore::accountDirectory(const Account& account) const {
  return directory_ + "/accounts/" + account.address;
}

void MailStore::writeAccount(Account& account) {
  if (directory_.empty() || account.written) {
    return;
  }
  const std::string base = accountDirectory(account);
  makeDirectories(base + "/messages");
  writeFile(base + "/account",
            "password: " + account.password + "\nfullname: " + account.fullName + "\n", false);
  std::string folders;
  for (const Folder& folder : account.folders) {
    folders += folder.kind + " " + folder.name + "\n";
  }
  writeFile(base + "/folders", folders, false);
  account.written = true;
}

MailStore::Outcome MailStore::createAccount(const std::string& address, const std::string& password,
                                            const std::string& fullName) {
  if (!validAddress(address) || !fitsOnLine(password) || !fitsOnLine(fullName)) {
    return Outcome::kInvalid;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (accountIndex_.count(ostrel::utils::lowerAsciiCopy(address)) != 0) {
    return Outcome::kExists;
  }
  Account& account = newAccount(address, password, fullName);
  try {
    writeAccount(account);
  } catch (const QLException&) {
    accountIndex_.erase(ostrel::utils::lowerAsciiCopy(address));
    accounts_.pop_back();
    throw;
  }
  ++counts_.accounts;
  ++counts_.folders;
  return Outcome::kDone;
}

std::optional<MailStore::AccountId> MailStore::findAccount(std::string_view address) const {
  const std::string key = ostrel::utils::lowerAsciiCopy(address);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = accountIndex_.find(key);
  if (found == accountIndex_.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::string MailStore::password(AccountId account) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accounts_.at(account)->password;
}

MailStore::Folder* MailStore::findFolder(Account& account, std::string_view name) {
  const auto found = account.folderIndex.find(equalsIgnoreCase(name, kInbox) ? kInbox : name);
  return found == account.folderIndex.end() ? nullptr : &account.folders[found->second];
}

const MailStore::Folder* MailStore::findFolder(const Account& account,
                                               std::string_view name) const {
  const auto found = account.folderIndex.find(equalsIgnoreCase(name, kInbox) ? kInbox : name);
  return found == account.folderIndex.end() ? nullptr : &account.folders[found->second];
}

MailStore::Outcome MailStore::createFolder(AccountId id, std::string_view kind,
                                           const std::string& name) {
  if (name.empty() || !fitsOnLine(name) || kind.empty() || !fitsOnLine(kind)) {
    return Outcome::kInvalid;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Account& account = *accounts_.at(id);
  if (findFolder(account, name) != nullptr) {
    return Outcome::kExists;
  }
  const std::string line = std::string(kind) + " " + name + "\n";
  if (!directory_.empty()) {
    writeAccount(account);
    writeFile(accountDirectory(account) + "/folders", line, true);
  }
  account.folderIndex.emplace(name, account.folders.size());
  account.folders.push_back(Folder{std::string(kind), name, {}});
  if (id != kAdministrator) {
    ++counts_.folders;
  }
  return Outcome::kDone;
}

std::optional<std::uint64_t> MailStore::folderMessages(AccountId id, std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Folder* folder = findFolder(*accounts_.at(id), name);
  if (folder == nullptr) {
    return std::nullopt;
  }
  return folder->messages.size();
}

std::optional<std::vector<MessageRecord>> MailStore::folderRecords(AccountId id,
                                                                   std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Folder* folder = findFolder(*accounts_.at(id), name);
  if (folder == nullptr) {
    return std::nullopt;
  }
  return folder->messages;
}

void MailStore::writeMessageFiles(Account& account, const Folder& folder,
                                  const IncomingMessage& message, std::uint64_t uid) {
  writeAccount(account);
  const std::string number = fileNumber(account.nextMessage);
  const std::string base = accountDirectory(account);
  name_ = base + "/messages/" + number;
  const std::string eml = name_ + ".eml";
  writeFile(eml, message.bytes, false);
  std::string meta;
  meta.append("folder: ").append(folder.name);
  meta.append("\nflags: ").append(message.flags);
  meta.append("\ndate: ").append(message.date);
  meta.append("\ncommand: ").append(message.command).append("\n");
  try {
    writeFile(name_ + ".meta", meta, false);
    // Last, so that a message whose files are incomplete has no UID to keep.
    writeFile(base + "/uids", number + " " + std::to_string(uid) + " " + folder.name + "\n", true);
  } catch (const QLException&) {
    std::error_code ignored;
    std::filesystem::remove(eml, ignored);
    std::filesystem::remove(name_ + ".meta", ignored);
    throw;
  }
}

MailStore::Outcome MailStore::storeMessage(AccountId id, std::string_view folderName,
                                           const IncomingMessage& message, std::uint64_t* uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  Account& account = *accounts_.at(id);
  Folder* folder = findFolder(account, folderName);
  if (folder == nullptr) {
    return Outcome::kMissing;
  }
  const std::uint64_t given = folder->uidNext;
  if (!directory_.empty()) {
    writeMessageFiles(account, *folder, message, given);
  }
  ++folder->uidNext;
  folder->messages.push_back(MessageRecord{
      message.size, std::string(message.date), std::string(message.flags), given,
      std::string(message.messageIdField), directory_.empty() ? 0 : account.nextMessage});
  ++account.nextMessage;
  ++counts_.messages;
  counts_.bytes += message.size;
  digest_.add(message.digest, message.size);
  account.digest.add(message.digest, message.size);
  account.holdsMessages = true;
  if (uid != nullptr) {
    *uid = given;
  }
  return Outcome::kDone;
}

std::optional<FolderUids> MailStore::folderUids(AccountId id, std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Folder* folder = findFolder(*accounts_.at(id), name);
  if (folder == nullptr) {
    return std::nullopt;
  }
  return FolderUids{1, folder->uidNext, folder->messages.size()};
}

MailStore::Outcome MailStore::addFlag(AccountId id, std::string_view folderName,
                                      const std::vector<std::uint64_t>& uids, std::string_view flag,
                                      bool add) {
  std::lock_guard<std::mutex> lock(mutex_);
  Folder* folder = findFolder(*accounts_.at(id), folderName);
  if (folder == nullptr) {
    return Outcome::kMissing;
  }
  for (MessageRecord& record : folder->messages) {
    if (std::find(uids.begin(), uids.end(), record.uid) == uids.end()) {
      continue;
    }
    std::string padded = " " + record.flags + " ";
    const std::string word = " " + std::string(flag) + " ";
    const std::size_t at = padded.find(word);
    if (add && at == std::string::npos) {
      record.flags.append(record.flags.empty() ? "" : " ").append(flag);
    } else if (!add && at != std::string::npos) {
      padded.erase(at, word.size() - 1);
      // Back to the spelling without the padding blanks.
      const std::size_t first = padded.find_first_not_of(' ');
      const std::size_t last = padded.find_last_not_of(' ');
      record.flags =
          first == std::string::npos ? std::string() : padded.substr(first, last - first + 1);
    }
  }
  return Outcome::kDone;
}

std::optional<std::vector<std::uint64_t>> MailStore::expunge(
    AccountId id, std::string_view folderName, const std::vector<std::uint64_t>* uids) {
  std::lock_guard<std::mutex> lock(mutex_);
  Account& account = *accounts_.at(id);
  Folder* folder = findFolder(account, folderName);
  if (folder == nullptr) {
    return std::nullopt;
  }
  std::vector<std::uint64_t> sequence;
  std::vector<MessageRecord> kept;
  for (MessageRecord& record : folder->messages) {
    const bool asked =
        uids == nullptr || std::find(uids->begin(), uids->end(), record.uid) != uids->end();
    if (!asked || (" " + record.flags + " ").find(" \\Deleted ") == std::string::npos) {
      kept.push_back(std::move(record));
      continue;
    }
    // Numbered after the removals before it, as the client applies them.
    sequence.push_back(kept.size() + 1);
    if (record.file != 0) {
      const std::string base = accountDirectory(account) + "/messages/" + fileNumber(record.file);
      std::error_code ignored;
      std::filesystem::remove(base + ".meta", ignored);
      std::filesystem::remove(base + ".eml", ignored);
    }
  }
  folder->messages = std::move(kept);
  return sequence;
}

void MailStore::loadAccounts() {
  std::vector<std::string> addresses;
  for (const auto& entry : std::filesystem::directory_iterator(directory_ + "/accounts")) {
    addresses.push_back(entry.path().filename().string());
  }
  // The administrator first, as a fresh store has it; the others in name order.
  std::sort(addresses.begin(), addresses.end(), [](const std::string& a, const std::string& b) {
    return (a == "admin") != (b == "admin") ? a == "admin" : a < b;
  });
  for (const std::string& address : addresses) {
    loadAccount(directory_ + "/accounts/" + address, address);
  }
}

void MailStore::loadAccount(const std::string& base, const std::string& address) {
  Account* account = nullptr;
  if (address == "admin") {
    account = accounts_.at(kAdministrator).get();
  } else {
    const std::string text = readWholeFile(base + "/account");
    account = &newAccount(address, fileField(text, "password"), fileField(text, "fullname"));
    ++counts_.accounts;
    ++counts_.folders;
  }
  account->written = true;
  std::istringstream folders(readWholeFile(base + "/folders"));
  for (std::string line; std::getline(folders, line);) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos) {
      throw QLException("cannot read " + base + "/folders");
    }
    const std::string name = line.substr(blank + 1);
    if (findFolder(*account, name) == nullptr) {
      account->folderIndex.emplace(name, account->folders.size());
      account->folders.push_back(Folder{line.substr(0, blank), name, {}});
      counts_.folders += address == "admin" ? 0 : 1;
    }
  }
  loadMessages(*account, base);
}

void MailStore::loadMessages(Account& account, const std::string& base) {
  // Every UID ever given, so that those of expunged messages stay used.
  std::map<std::uint64_t, std::uint64_t> uidOfFile;
  std::error_code error;
  if (std::filesystem::exists(base + "/uids", error)) {
    std::istringstream uids(readWholeFile(base + "/uids"));
    std::uint64_t number = 0;
    std::uint64_t uid = 0;
    std::string folderName;
    while (uids >> number >> uid && std::getline(uids, folderName)) {
      uidOfFile[number] = uid;
      account.nextMessage = std::max(account.nextMessage, number + 1);
      Folder* folder = findFolder(account, folderName.substr(folderName.empty() ? 0 : 1));
      if (folder != nullptr) {
        folder->uidNext = std::max(folder->uidNext, uid + 1);
      }
    }
  }
  std::vector<std::uint64_t> numbers;
  for (const auto& entry : std::filesystem::directory_iterator(base + "/messages", error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".meta") == 0) {
      numbers.push_back(std::stoull(name.substr(0, name.size() - 5)));
    }
  }
  std::sort(numbers.begin(), numbers.end());
  for (const std::uint64_t number : numbers) {
    const std::string path = base + "/messages/" + fileNumber(number);
    const std::string meta = readWholeFile(path + ".meta");
    const std::string bytes = readWholeFile(path + ".eml");
    Folder* folder = findFolder(account, fileField(meta, "folder"));
    if (folder == nullptr) {
      throw QLException("cannot read " + path + ".meta: no such folder");
    }
    const auto known = uidOfFile.find(number);
    const std::uint64_t uid = known != uidOfFile.end() ? known->second : folder->uidNext;
    folder->uidNext = std::max(folder->uidNext, uid + 1);
    ContentDigest digest;
    digest.update(bytes.data(), bytes.size());
    folder->messages.push_back(MessageRecord{bytes.size(), fileField(meta, "date"),
                                             fileField(meta, "flags"), uid, messageIdField(bytes),
                                             number});
    account.nextMessage = std::max(account.nextMessage, number + 1);
    ++counts_.messages;
    counts_.bytes += bytes.size();
    digest_.add(digest.value(), bytes.size());
    account.digest.add(digest.value(), bytes.size());
    account.holdsMessages = true;
  }
}

StoreCounts MailStore::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

std::string MailStore::finishDigest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return digest_.hex();
}

std::string MailStore::accountsDigest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  AccountsDigest digest;
  for (const auto& account : accounts_) {
    if (account->holdsMessages) {
      digest.add(account->digest);
    }
  }
  return digest.hex();
}

}  // namespace lodemig::target
