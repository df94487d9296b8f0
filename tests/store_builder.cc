#include "tests/store_builder.h"

#include <cstdio>
#include <stdexcept>

#include "tests/temp_dir.h"

namespace lodemig::testing {

namespace {

std::string relativeName(const std::string& folder) {
  std::string result;
  for (char c : folder) {
    result += c == '/' ? std::string(".folder/") : std::string(1, c);
  }
  return result;
}

}  // namespace

StoreBuilder::Account& StoreBuilder::Account::settings(const std::string& text) {
  writeFile(settingsPath_, text);
  return *this;
}

StoreBuilder::Account& StoreBuilder::Account::info(const std::string& text) {
  writeFile(infoPath_, text);
  return *this;
}

std::string StoreBuilder::domainPath(const std::string& domain) const {
  return domain.empty() ? storePath_ + "/Accounts" : storePath_ + "/Domains/" + domain;
}

std::string StoreBuilder::domain(const std::string& domain) {
  std::string path = domainPath(domain);
  makeDirectories(path);
  return path;
}

StoreBuilder::Account StoreBuilder::account(const std::string& domain, const std::string& name,
                                            StorageKind kind) {
  std::string base = this->domain(domain) + "/" + name;
  kinds_[{domain, name}] = kind;
  switch (kind) {
    case AccountDirectory:
      makeDirectories(base + ".macnt");
      return Account(base + ".macnt", base + ".macnt/account.settings",
                     base + ".macnt/account.info");
    case MailboxFile:
      writeFile(base + ".mbox", "");
      return Account(domainPath(domain), base + ".settings", base + ".info");
    case MessageDirectory:
      makeDirectories(base + ".mdir");
      return Account(base + ".mdir", base + ".settings", base + ".info");
    default:
      throw std::logic_error("no such account kind");
  }
}

StorageKind StoreBuilder::kindOf(const std::string& domain, const std::string& name) const {
  auto found = kinds_.find({domain, name});
  if (found == kinds_.end()) {
    throw std::logic_error("account " + name + " was not made with account()");
  }
  return found->second;
}

std::string StoreBuilder::accountPath(const std::string& domain, const std::string& name) const {
  switch (kindOf(domain, name)) {
    case AccountDirectory:
      return domainPath(domain) + "/" + name + ".macnt";
    case MessageDirectory:
      return domainPath(domain) + "/" + name + ".mdir";
    default:
      return domainPath(domain);
  }
}

std::string StoreBuilder::mailboxPath(const std::string& domain, const std::string& name,
                                      const std::string& folder) const {
  StorageKind kind = kindOf(domain, name);
  if (kind == MessageDirectory) {
    throw std::logic_error("folders of a message-directory account are directories");
  }
  if (kind == MailboxFile && folder == "INBOX") {
    return domainPath(domain) + "/" + name + ".mbox";
  }
  return accountPath(domain, name) + "/" + relativeName(folder) + ".mbox";
}

std::string StoreBuilder::messageDirectoryPath(const std::string& domain, const std::string& name,
                                               const std::string& folder) const {
  StorageKind kind = kindOf(domain, name);
  if (kind == MailboxFile) {
    throw std::logic_error("folders of a mailbox-file account are mailbox files");
  }
  if (kind == MessageDirectory && folder == "INBOX") {
    return accountPath(domain, name);
  }
  return accountPath(domain, name) + "/" + relativeName(folder) + ".mdir";
}

std::string StoreBuilder::mailboxFile(const std::string& domain, const std::string& name,
                                      const std::string& folder,
                                      const std::vector<MailboxMessage>& messages) {
  std::string path = mailboxPath(domain, name, folder);
  writeFile(path, mailboxText(messages));
  return path;
}

std::string StoreBuilder::messageFile(const std::string& domain, const std::string& name,
                                      const std::string& folder, const std::string& fileName,
                                      const std::string& content) {
  std::string path = messageDirectoryPath(domain, name, folder) + "/" + fileName;
  writeFile(path, content);
  return path;
}

std::string StoreBuilder::mailboxText(const std::vector<MailboxMessage>& messages) {
  std::string text;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (i > 0) {
      text += "\r\n";
    }
    const MailboxMessage& message = messages[i];
    text += "From <sender@example.com>(" + message.flags + "-" + message.uid + ") " + message.date +
            "\r\n" + message.content;
  }
  return text;
}

std::vector<MailboxMessage> StoreBuilder::variedMessages(const std::string& tag, int count,
                                                         bool withIds) {
  static const char* const kFlags[] = {"S", "SA", "F", "", "SD"};
  std::vector<MailboxMessage> list;
  for (int number = 1; number <= count; ++number) {
    char date[40];
    std::snprintf(date, sizeof date, "Wed Jun 30 %02d:%02d:08 1993", number / 60 % 24, number % 60);
    const std::string name = tag + " " + std::to_string(number);
    const std::string id =
        withIds ? "Message-ID: <" + tag + "." + std::to_string(number) + "@store.example>\r\n" : "";
    list.push_back({kFlags[number % 5], std::to_string(number), date,
                    id + "Subject: " + name + "\r\n\r\n" +
                        std::string(static_cast<std::size_t>(number), 'x') + "\r\n"});
  }
  return list;
}

}  // namespace lodemig::testing
