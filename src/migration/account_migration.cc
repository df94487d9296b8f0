#include "migration/account_migration.h"

#include "migration/target_names.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

constexpr int kGeneratedPasswordLength = 6;

// Closes the folder's reading however the transfer of its messages ends.
class FolderReading {
 public:
  explicit FolderReading(Folder& folder) : folder_(folder) {}
  ~FolderReading() { folder_.close(); }
  FolderReading(const FolderReading&) = delete;
  FolderReading& operator=(const FolderReading&) = delete;

 private:
  Folder& folder_;
};

void noteFirstError(FolderTally& tally, const std::string& text) {
  if (tally.firstError.empty()) {
    tally.firstError = text;
  }
}

}  // namespace

bool AccountTally::failed() const {
  for (const FolderTally& folder : folders) {
    if (folder.failed || folder.refused > 0) {
      return true;
    }
  }
  return false;
}

AccountMigration::AccountMigration(const MigrationSettings& settings,
                                   const ConnectionSettings& connection, ImapGateway& gateway,
                                   Reporter& reporter, PasswordRecord& passwords)
    : settings_(settings),
      connection_(connection),
      gateway_(gateway),
      reporter_(reporter),
      passwords_(passwords) {}

AccountTally AccountMigration::run(Mailbox& mailbox) {
  AccountTally tally;
  try {
    connect();
    if (!provision(mailbox)) {
      tally.declined = true;
      gateway_.disconnect(true);
      return tally;
    }
    fastAppend_ = gateway_.checkVersion();
    if (fastAppend_) {
      reporter_.log(
          "Info: Ostrel MailServer 6.3.0 or newer detected, search indexing disabled (improve "
          "migration speed).");
      reporter_.log("\n");
    }
    migrateFolders(mailbox, tally);
    gateway_.disconnect(true);
  } catch (const QLNetworkException&) {
    reporter_.console("\n");
    gateway_.disconnect(true);
    throw;
  } catch (const QLException&) {
    gateway_.disconnect(true);
    throw;
  }
  return tally;
}

void AccountMigration::connect() {
  checkResult(reporter_, TargetStep::Connect, gateway_.connectMaster(connection_));
}

std::string AccountMigration::choosePassword(const Mailbox& mailbox, bool& generated) const {
  generated = false;
  if (!settings_.forceSetPassword.empty()) {
    return settings_.forceSetPassword;
  }
  if (!mailbox.password().empty()) {
    return mailbox.password();
  }
  if (!settings_.setPassword.empty()) {
    return settings_.setPassword;
  }
  generated = true;
  return generatePassword(kGeneratedPasswordLength);
}

bool AccountMigration::provision(const Mailbox& mailbox, bool resuming) {
  if (passwords_.broken() && !resuming) {
    // A new account's password would have nowhere to go but the terminal.
    reporter_.log("Error: no further accounts are created\n");
    throw QLNetworkException(
        "no further accounts are created, the password file cannot be written");
  }
  bool generated = false;
  const std::string password = choosePassword(mailbox, generated);
  const std::string qualified = mailbox.name() + "@" + mailbox.domainName();
  GatewayResult result =
      gateway_.createUser(mailbox.name(), mailbox.domainName(), password, mailbox.fullName());
  const bool created = checkResult(reporter_, TargetStep::CreateUser, result) == StepOutcome::Done;
  if (created) {
    reporter_.log("   Info: created user <" + qualified + ">, password: \"" + password + "\"\n");
    passwords_.add("<" + qualified + ">, password: \"" + password +
                   (generated ? "\" (generated)\n" : "\"\n"));
  } else {
    passwords_.add("<" + qualified + "> already exist, hold current password\n");
  }
  // An account this run has started to fill exists by now; declining it
  // would lose the rest of its folders.
  if (!settings_.force && !created && !resuming) {
    reporter_.print("   Info: cannot migrate, user already exist: use \"-force\" argument\n");
    return false;
  }
  checkResult(reporter_, TargetStep::SetUser,
              gateway_.setUser(mailbox.name(), mailbox.domainName()));
  return true;
}

void AccountMigration::migrateFolders(Mailbox& mailbox, AccountTally& tally) {
  std::vector<Folder> folders;
  try {
    mailbox.readFolders(folders);
  } catch (const QLStoreException&) {
    reporter_.log("Error: cannot read folder list");
    reporter_.log("\n");
    throw;
  }
  tally.folders.reserve(folders.size());
  for (Folder& folder : folders) {
    folder.setFixCrLf(settings_.fixCrLf);
    tally.folders.emplace_back();
    transferFolder(folder, mailbox, tally.folders.back());
  }
}

void AccountMigration::transferFolder(Folder& folder, const Mailbox& mailbox, FolderTally& tally) {
  tally.name = folder.name();
  bool identityLost = false;
  std::int64_t count = 0;
  try {
    createFolder(folder);
    reporter_.print("   - \"");
    reporter_.print(folder.name());
    reporter_.print("\", messages: ");
    count = folder.messageCount();
    tally.storeMessages = count;
    reporter_.log(count);
    reporter_.log("\n");
    if (count > 0) {
      try {
        transferMessages(folder, mailbox, tally);
      } catch (const QLStoreException&) {
        // A read error may have left the connection in any state.
        identityLost = !renewConnection(mailbox);
        throw;
      }
    }
  } catch (const QLStoreException& error) {
    reporter_.console("\n");
    reporter_.print("Error: cannot migrate folder \"");
    reporter_.print(folder.name());
    reporter_.print("\"\n");
    tally.failed = true;
    noteFirstError(tally, error.what());
  }
  reporter_.console(count);
  reporter_.console("\n");
  if (identityLost) {
    // Going on would put the next folders into the administrator's own mailbox.
    throw QLStoreException("problem with identity switching");
  }
}

void AccountMigration::transferMessages(Folder& folder, const Mailbox& mailbox,
                                        FolderTally& tally) {
  const long count = static_cast<long>(tally.storeMessages);
  Message message(&folder);
  reporter_.startCounter(count);
  FolderReading reading(folder);
  folder.open(mailbox.name());
  long number = 1;
  // The count only decides whether reading starts and is the counter's
  // total; the folder may hold more messages than it says.
  bool more = folder.firstMessage(message);
  while (more) {
    reporter_.showCounter(number, count);
    ++tally.read;
    try {
      appendMessage(message);
      ++tally.sent;
      tally.bytesSent += message.contentSize();  // known since the append
    } catch (const QLStoreException& error) {
      reporter_.console("\n");
      reporter_.print("Error: cannot migrate message nr.: ");
      reporter_.print(static_cast<std::int64_t>(number));
      reporter_.print("\n");
      ++tally.refused;
      noteFirstError(tally, "message " + std::to_string(number) + ": " + error.what());
    }
    ++number;
    more = folder.nextMessage(message);
  }
  reporter_.eraseCounter();
}

bool AccountMigration::renewConnection(const Mailbox& mailbox) {
  gateway_.disconnect(false);
  connect();
  try {
    provision(mailbox, true);
  } catch (const QLStoreException&) {
    return false;
  }
  return true;
}

void AccountMigration::createFolder(const Folder& folder) {
  const std::string& source = folder.name();
  std::string replaced = source;
  replaceForbiddenChars(replaced, '_');
  if (replaced != source) {
    reporter_.print("Warning: folder-name \"");
    reporter_.print(source);
    reporter_.print("\" contain forbidden chars. ");
    reporter_.print("Name \"");
    reporter_.print(replaced);
    reporter_.print("\" will be usead instead it.\n");
  }
  std::string path;
  bool firstLevel = true;
  for (const std::string& level : splitPath(replaced, "/")) {
    if (!firstLevel) {
      path += '/';
    }
    firstLevel = false;
    path += level;
    if (checkResult(reporter_, TargetStep::Select, gateway_.select(path), path) ==
        StepOutcome::Done) {
      continue;
    }
    checkResult(reporter_, TargetStep::CreateFolder, gateway_.createFolder(path, folder.type()),
                path);
  }
  targetName_ = replaced;
}

void AccountMigration::appendMessage(IMessage& message) {
  checkResult(reporter_, TargetStep::Append, gateway_.append(targetName_, message, fastAppend_));
}

}  // namespace lodemig
