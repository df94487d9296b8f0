#include "target/mail_store.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

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

void makeDirectories(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) {
    throw QLException("cannot create directory " + path + ": " + error.message());
  }
}

}  // namespace

MailStore::MailStore(std::string directory) : directory_(std::move(directory)) {
  if (!directory_.empty()) {
    const std::string accounts = directory_ + "/accounts";
    std::error_code error;
    if (std::filesystem::is_directory(accounts, error) &&
        !std::filesystem::is_empty(accounts, error)) {
      throw QLException("store directory already holds accounts: " + accounts);
    }
    makeDirectories(accounts);
  }
  newAccount("admin", "", "");
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

MailStore::Outcome MailStore::storeMessage(AccountId id, std::string_view folderName,
                                           std::string_view flags, std::string_view date,
                                           std::string_view command, std::uint64_t digest,
                                           std::uint64_t size, std::string_view bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  Account& account = *accounts_.at(id);
  Folder* folder = findFolder(account, folderName);
  if (folder == nullptr) {
    return Outcome::kMissing;
  }
  if (!directory_.empty()) {
    writeAccount(account);
    char number[32];
    std::snprintf(number, sizeof number, "%06llu",
                  static_cast<unsigned long long>(account.nextMessage));
    name_ = accountDirectory(account) + "/messages/" + number;
    const std::string eml = name_ + ".eml";
    writeFile(eml, bytes, false);
    std::string meta;
    meta.append("folder: ").append(folder->name);
    meta.append("\nflags: ").append(flags);
    meta.append("\ndate: ").append(date);
    meta.append("\ncommand: ").append(command).append("\n");
    try {
      writeFile(name_ + ".meta", meta, false);
    } catch (const QLException&) {
      std::error_code ignored;
      std::filesystem::remove(eml, ignored);
      throw;
    }
  }
  ++account.nextMessage;
  folder->messages.push_back(MessageRecord{size, std::string(date), std::string(flags)});
  ++counts_.messages;
  counts_.bytes += size;
  digest_.add(digest, size);
  account.digest.add(digest, size);
  account.holdsMessages = true;
  return Outcome::kDone;
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
