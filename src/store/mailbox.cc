#include "store/mailbox.h"

#include <algorithm>
#include <cstdlib>

#include "dictionary/parser.h"
#include "dictionary/tree_node.h"
#include "store/message.h"
#include "store/message_stamps.h"
#include "utils/directory.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using ostrel::utils::DirectoryEntry;

// The name without `suffix`; "" when it does not end in it or nothing is left.
std::string stem(const std::string& name, const std::string& suffix) {
  if (name.size() <= suffix.size() ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::string();
  }
  return name.substr(0, name.size() - suffix.size());
}

// Adds the folders of `directory` (`prefix` before their names, `relative`
// before their files) to `found`, and those of its ".folder" directories.
// Mailbox files count only in an account directory.
void scanFolders(const std::string& directory, const std::string& prefix,
                 const std::string& relative, bool mailboxFiles, int depth,
                 std::vector<DiskFolder>& found) {
  ostrel::utils::DirectoryListing listing;
  if (depth > Mailbox::kMaxFolderDepth || !listing.open(directory)) {
    return;
  }
  std::vector<DirectoryEntry> subfolders;
  while (const DirectoryEntry* entry = listing.read()) {
    const bool isDirectory = entry->type == DirectoryEntry::kDirectory;
    std::string name;
    if (isDirectory && !(name = stem(entry->name, ".mdir")).empty()) {
      found.push_back({prefix + name, relative + entry->name});
    } else if (!isDirectory && mailboxFiles && !(name = stem(entry->name, ".mbox")).empty()) {
      found.push_back({prefix + name, relative + entry->name});
    } else if (isDirectory && !stem(entry->name, ".folder").empty()) {
      subfolders.push_back(*entry);
    }
  }
  listing.close();
  for (const DirectoryEntry& entry : subfolders) {
    scanFolders(directory + "/" + entry.name, prefix + stem(entry.name, ".folder") + "/",
                relative + entry.name + "/", mailboxFiles, depth + 1, found);
  }
}

// Whether a message directory holds a file: the messages of its INBOX.
bool holdsFile(const std::string& directory) {
  ostrel::utils::DirectoryListing listing;
  if (!listing.open(directory)) {
    return false;
  }
  while (const DirectoryEntry* entry = listing.read()) {
    if (entry->type != DirectoryEntry::kDirectory) {
      return true;
    }
  }
  return false;
}

}  // namespace

void Mailbox::load(const std::string& name, const std::string& domainName,
                   const std::string& domainPath, const std::string& baseName, StorageKind kind) {
  name_ = name;
  domainName_ = domainName;
  kind_ = kind;
  // A failed load must not leave the previous account's details behind.
  fullName_.clear();
  password_.clear();
  if (kind == AccountDirectory) {
    path_ = domainPath + "/" + baseName + ".macnt";
    infoPath_ = path_ + "/account.info";
    settingsPath_ = path_ + "/account.settings";
  } else {
    path_ = kind == MessageDirectory ? domainPath + "/" + baseName + ".mdir" : domainPath;
    infoPath_ = domainPath + "/" + baseName + ".info";
    settingsPath_ = domainPath + "/" + baseName + ".settings";
  }

  try {
    TreeNode info;
    readDictionaryFile(infoPath_, info);
    storageUsed_ = info.child("#StorageUsed").value();
  } catch (const QLParseException& error) {
    *log_ << "Warning: cannot parse info file: " << error.what() << "\n";
    storageUsed_ = "unknown";
  }

  TreeNode settings;
  try {
    readDictionaryFile(settingsPath_, settings);
  } catch (const QLParseException& error) {
    std::string text = std::string("cannot parse settings file: ") + error.what();
    *log_ << "Error: " << text << "\n";
    log_->flush();
    throw QLStoreException(text);
  }
  fullName_ = settings.child("RealName").value();
  const std::string& encryption = settings.child("PasswordEncryption").value();
  password_ = encryption == "clear" || encryption.empty() ? settings.child("Password").value()
                                                          : std::string();
}

void Mailbox::readFolders(std::vector<Folder>& folders, InfoFailure onFailure) const {
  TreeNode info;
  try {
    readDictionaryFile(infoPath_, info);
  } catch (const QLParseException& error) {
    if (onFailure == InfoFailure::Empty) {
      return;
    }
    std::string text = std::string("cannot parse info file: ") + error.what();
    *log_ << "Error: " << text << "\n";
    log_->flush();
    throw QLStoreException(text);
  }
  for (const auto& [key, node] : info.children()) {
    if (key.empty() || key[0] == '#') {
      continue;
    }
    Folder folder(log_);
    folder.assign(key, path_, kind_);
    std::string folderClass = node->child("Class").value();
    std::string messages = node->child("Messages").value();
    folder.setFolderClass(folderClass.empty() ? "IPF.Default" : folderClass);
    // Read as atoi reads: blanks, a sign, the digits up to anything else.
    folder.setMessageCount(std::strtoll(messages.c_str(), nullptr, 10));
    folder.setSize(node->child("Size").value());
    *log_ << "   Info: read folder \"" << name_ << "/" << key << "\""
          << " size: " << folder.size() << " messages: " << (messages.empty() ? "0" : messages)
          << " type: " << folder.folderClass() << "\n";
    log_->flush();
    folders.push_back(folder);
  }
}

std::vector<DiskFolder> Mailbox::diskFolders() const {
  std::vector<DiskFolder> found;
  if (kind_ == MailboxFile) {
    found.push_back({"INBOX", name_ + ".mbox"});
  } else if (kind_ == AccountDirectory || kind_ == MessageDirectory) {
    if (kind_ == MessageDirectory && holdsFile(path_)) {
      found.push_back({"INBOX", std::string()});
    }
    scanFolders(path_, std::string(), std::string(), kind_ == AccountDirectory, 0, found);
  }
  std::sort(found.begin(), found.end(), [](const DiskFolder& a, const DiskFolder& b) {
    return a.name != b.name ? a.name < b.name : a.file > b.file;
  });
  // A folder with both a file and a directory is one folder, read from the
  // directory (".mdir" sorts first) as Folder::open decides.
  found.erase(
      std::unique(found.begin(), found.end(),
                  [](const DiskFolder& a, const DiskFolder& b) { return a.name == b.name; }),
      found.end());
  return found;
}

Folder Mailbox::mailFolder(const DiskFolder& found) const {
  Folder folder(log_);
  folder.assign(found.name, path_, kind_);
  folder.setFolderClass("IPF.Note");
  folder.setSize(std::string());
  std::ostream silent(nullptr);
  Folder walk(folder);
  walk.setLog(&silent);
  Message message(&walk);
  std::int64_t count = 0;
  try {
    FolderReading reading(walk);
    walk.open(name_);
    for (bool more = walk.firstMessage(message); more; more = walk.nextMessage(message)) {
      ++count;
    }
  } catch (const QLStoreException&) {
    // A folder is read only up to its count: one more makes the run read it
    // to the failure and report that where it lies.
    ++count;
  }
  folder.setMessageCount(count);
  return folder;
}

}  // namespace lodemig
