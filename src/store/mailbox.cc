#include "store/mailbox.h"

#include <cstdlib>

#include "dictionary/parser.h"
#include "dictionary/tree_node.h"
#include "utils/ql_exception.h"

namespace lodemig {

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

void Mailbox::readFolders(std::vector<Folder>& folders) const {
  TreeNode info;
  try {
    readDictionaryFile(infoPath_, info);
  } catch (const QLParseException& error) {
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

}  // namespace lodemig
