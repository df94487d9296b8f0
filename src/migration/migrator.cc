#include "migration/migrator.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "store/message.h"
#include "utils/ql_exception.h"
#include "utils/secure_random.h"

namespace lodemig {
namespace {

constexpr const char kForbiddenChars[] = "<>:*?\"|\\";
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

// Secure random bytes, drawn in blocks; a byte at or above `limit` is
// thrown away so that `byte % range` is uniform (limit is a multiple of range).
class RandomBytes {
 public:
  unsigned below(unsigned range, unsigned limit) {
    // Each byte is rejected with probability below 2%, so 1000 draws are
    // plenty; the bound only guards against a broken generator.
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (next_ == sizeof(block_)) {
        if (!ostrel::utils::secureRandomBytes(block_, sizeof(block_))) {
          throw QLException("cannot generate password");
        }
        next_ = 0;
      }
      unsigned byte = block_[next_++];
      if (byte < limit) {
        return byte % range;
      }
    }
    throw QLException("cannot generate password");
  }

 private:
  unsigned char block_[64];
  std::size_t next_ = sizeof(block_);
};

}  // namespace

std::string formatSize(std::int64_t count) {
  char text[64];
  if (count / 1024 == 0) {
    std::snprintf(text, sizeof(text), "%lldB", static_cast<long long>(count));
  } else if (count / 1048576 == 0) {
    std::snprintf(text, sizeof(text), "%.1fKB", static_cast<double>(count) * (1.0 / 1024));
  } else if (count / 1073741824 == 0) {
    std::snprintf(text, sizeof(text), "%.1fMB", static_cast<double>(count) * (1.0 / 1048576));
  } else {
    std::snprintf(text, sizeof(text), "%.1fGB", static_cast<double>(count) * (1.0 / 1073741824));
  }
  return text;
}

std::string generatePassword(int length) {
  RandomBytes random;
  std::string password;
  for (int i = 0; i < length; ++i) {
    switch (random.below(3, 255)) {
      case 0:
        password += static_cast<char>('a' + random.below(25, 250));
        break;
      case 1:
        password += static_cast<char>('A' + random.below(25, 250));
        break;
      default:
        password += static_cast<char>('0' + random.below(9, 252));
        break;
    }
  }
  return password;
}

void replaceForbiddenChars(std::string& text, char replacement) {
  for (char& c : text) {
    for (const char* forbidden = kForbiddenChars; *forbidden != '\0'; ++forbidden) {
      if (c == *forbidden) {
        c = replacement;
        break;
      }
    }
  }
}

std::vector<std::string> splitPath(const std::string& text, std::string_view separators) {
  std::vector<std::string> pieces;
  if (text.empty()) {
    return pieces;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

int showProgress(long current, long total, bool quiet, std::ostream& console) {
  if (quiet) {
    return 0;
  }
  char text[48];
  int length = std::snprintf(text, sizeof(text), "%ld/%ld", current, total);
  console.write(text, length);
  console.flush();
  return length;
}

std::string ctimeText(std::time_t when) {
  std::tm local{};
  char text[64];
  if (::localtime_r(&when, &local) == nullptr ||
      std::strftime(text, sizeof(text), "%a %b %e %H:%M:%S %Y\n", &local) == 0) {
    return "unknown\n";
  }
  return text;
}

Migrator::Migrator(std::ostream& log, std::ostream& console, std::ostream& errors)
    : log_(log), console_(console), errors_(errors) {}

Migrator::~Migrator() = default;

void Migrator::configure(const std::string& storePath, const std::string& server, int port,
                         const std::string& masterPassword, bool migrate, bool force,
                         const std::string& setPassword, const std::string& forceSetPassword,
                         bool quiet, bool fixCrLf) {
  storePath_ = storePath;
  server_ = server;
  port_ = port;
  masterPassword_ = masterPassword;
  migrate_ = migrate;
  force_ = force;
  setPassword_ = setPassword;
  forceSetPassword_ = forceSetPassword;
  quiet_ = quiet;
  fixCrLf_ = fixCrLf;
}

void Migrator::print(std::string_view text) {
  writeConsole(text);
  writeLog(text);
}

void Migrator::print(std::int64_t number) {
  writeConsole(number);
  writeLog(number);
}

void Migrator::writeLog(std::string_view text) {
  log_.write(text.data(), static_cast<std::streamsize>(text.size()));
  log_.flush();
  if (!log_.good() && !logFailureReported_) {
    // The log is the run's full record: a run that could not keep it did not
    // succeed, whatever the target received.
    logFailureReported_ = true;
    succeeded_ = false;
    errors_ << "Error: "
            << (logFile_ != nullptr ? logFile_->failureText() : std::string("cannot write the log"))
            << "\n"
            << std::flush;
  }
}

void Migrator::recordPassword(const std::string& line) {
  passwordRecord_ += line;
  if (passwordPath_.empty()) {
    return;
  }
  if (!passwordFileFailed_) {
    if (!passwordFile_.isOpen() && !passwordFile_.open(passwordPath_, 0600)) {
      passwordFileFailed_ = true;
    } else {
      passwordFile_.write(line.data(), static_cast<std::streamsize>(line.size()));
      passwordFile_.flush();
      passwordFileFailed_ = !passwordFile_.good();
    }
    if (passwordFileFailed_) {
      succeeded_ = false;
      writeLog("Error: " + passwordFile_.failureText() + "\n");
      errors_ << "Error: " << passwordFile_.failureText() << ", its line follows:\n";
    }
  }
  if (passwordFileFailed_) {
    errors_ << line << std::flush;
  }
}

void Migrator::writeLog(std::int64_t number) {
  char text[24];
  auto [end, error] = std::to_chars(text, text + sizeof(text), number);
  writeLog(std::string_view(text, static_cast<std::size_t>(end - text)));
}

void Migrator::writeConsole(std::string_view text) {
  if (quiet_) {
    return;
  }
  console_.write(text.data(), static_cast<std::streamsize>(text.size()));
  console_.flush();
}

void Migrator::writeConsole(std::int64_t number) {
  if (quiet_) {
    return;
  }
  char text[24];
  auto [end, error] = std::to_chars(text, text + sizeof(text), number);
  writeConsole(std::string_view(text, static_cast<std::size_t>(end - text)));
}

void Migrator::eraseProgress(int length, bool flush) {
  if (quiet_) {
    return;
  }
  // The whole erasure is one write, and the next counter's flush takes it
  // along: the terminal shows the same, while a flush per character cost a
  // system call each (and a wake-up of whoever reads the console) per message.
  std::string& text = eraseText_;
  text.clear();
  for (int i = 0; i < length; ++i) {
    text += "\b \b";
  }
  console_.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (flush) {
    console_.flush();
  }
}

void Migrator::unspecifiedResult(GatewayResult result) {
  std::string text = "Error: unspecified Imap error " + std::to_string(result) + ".\n";
  writeLog(text);
  throw QLNetworkException(text);
}

void Migrator::networkFailure(std::string_view logText, const char* exceptionText) {
  writeLog(logText);
  throw QLNetworkException(exceptionText);
}

void Migrator::migrateAll(const std::string& domainMask, const std::string& userMask,
                          const std::string& primaryDomain) {
  Reader reader(&log_);
  reader.setStore(storePath_, primaryDomain);
  Domain domain(&log_);
  bool first = true;
  for (;;) {
    try {
      bool found =
          first ? reader.firstDomain(domain, domainMask) : reader.nextDomain(domain, domainMask);
      first = false;
      if (!found) {
        return;
      }
      migrateDomain(domain, userMask);
    } catch (const QLStoreException&) {
      // The reader has consumed the failing entry, so the loop moves on.
      first = false;
      print("Error: default domain not found, wrong path or corrupted Quillon store\n");
      succeeded_ = false;
    }
  }
}

void Migrator::migrateDomain(Domain& domain, const std::string& userMask) {
  if (migrate_) {
    connectTarget(true);
  }
  print("\ndomain (");
  print(domain.name());
  print(")\n");

  Mailbox mailbox(&log_);
  bool first = true;
  for (;;) {
    try {
      bool found =
          first ? domain.firstMailbox(mailbox, userMask) : domain.nextMailbox(mailbox, userMask);
      first = false;
      if (!found) {
        return;
      }
      migrateMailbox(mailbox);
    } catch (const QLStoreException&) {
      first = false;
      print(migrate_ ? "Error: cannot migrate mailbox <" : "Error: cannot print mailbox <");
      print(mailbox.name());
      print(">\n");
      succeeded_ = false;
    }
  }
}

void Migrator::migrateMailbox(Mailbox& mailbox) {
  std::time_t start = std::time(nullptr);
  // Storage figures above 2 GiB are common: read them as 64-bit numbers.
  std::int64_t used = std::strtoll(mailbox.storageUsed().c_str(), nullptr, 10);
  print(" + mailbox <");
  print(mailbox.name());
  print(">, size: ");
  print(formatSize(used));
  writeLog(", time: ");
  writeLog(ctimeText(start));
  writeConsole("\n");
  if (!migrate_) {
    return;
  }

  try {
    connectTarget(false);
    if (!provisionAccount(mailbox)) {
      gateway_.disconnect(true);
      return;
    }
    bool fastAppend = gateway_.checkVersion();
    if (fastAppend) {
      writeLog(
          "Info: Ostrel MailServer 6.3.0 or newer detected, search indexing disabled (improve "
          "migration speed).");
      writeLog("\n");
    }
    std::vector<Folder> folders;
    try {
      mailbox.readFolders(folders);
    } catch (const QLStoreException&) {
      writeLog("Error: cannot read folder list");
      writeLog("\n");
      throw;
    }
    for (Folder& folder : folders) {
      transferFolder(folder, mailbox, fastAppend);
    }
    gateway_.disconnect(true);
  } catch (const QLNetworkException&) {
    writeConsole("\n");
    gateway_.disconnect(true);
    throw;
  } catch (const QLException&) {
    gateway_.disconnect(true);
    throw;
  }
}

void Migrator::connectTarget(bool test) {
  GatewayResult result = gateway_.connectMaster(server_, port_, masterPassword_);
  switch (result) {
    case kGatewayOk:
      if (test) {
        gateway_.disconnect(true);
      }
      return;
    case kGatewayAlreadyConnected:
      writeLog("Warning: client already connected to Torvane\n");
      return;
    case kGatewayConnectionProblem:
      networkFailure("Network error: cannot connect to Torvane\n", "cannot connect to Torvane");
    case kGatewayAuthenticationFailed:
      networkFailure("Error: problem with authentication to Torvane\n",
                     "problem with authentication to Torvane");
    default:
      unspecifiedResult(result);
  }
}

void Migrator::closePasswordFile() {
  if (passwordFile_.isOpen() && !passwordFile_.close() && !passwordFileFailed_) {
    passwordFileFailed_ = true;
    succeeded_ = false;
    writeLog("Error: " + passwordFile_.failureText() + "\n");
    errors_ << "Error: " << passwordFile_.failureText() << "\n" << std::flush;
  }
}

bool Migrator::provisionAccount(const Mailbox& mailbox, bool resuming) {
  if (passwordFileFailed_ && !resuming) {
    // A new account's password would have nowhere to go but the terminal.
    networkFailure("Error: no further accounts are created\n",
                   "no further accounts are created, the password file cannot be written");
  }
  std::string password;
  bool generated = false;
  if (!forceSetPassword_.empty()) {
    password = forceSetPassword_;
  } else if (!mailbox.password().empty()) {
    password = mailbox.password();
  } else if (!setPassword_.empty()) {
    password = setPassword_;
  } else {
    password = generatePassword(kGeneratedPasswordLength);
    generated = true;
  }

  const std::string qualified = mailbox.name() + "@" + mailbox.domainName();
  GatewayResult result =
      gateway_.createUser(mailbox.name(), mailbox.domainName(), password, mailbox.fullName());
  // A refusal means the account exists; a lost connection must not pass for
  // that, or the account would be skipped and the run still called a success.
  if (result == kGatewayNotConnected) {
    networkFailure("Error: client isn't connected to Torvane\n",
                   "client isn't connected to Torvane");
  }
  if (result == kGatewayConnectionProblem) {
    networkFailure("Network error: cannot create user\n", "cannot create user");
  }
  const bool created = result == kGatewayOk;
  if (created) {
    writeLog("   Info: created user <" + qualified + ">, password: \"" + password + "\"\n");
    recordPassword("<" + qualified + ">, password: \"" + password +
                   (generated ? "\" (generated)\n" : "\"\n"));
  } else {
    recordPassword("<" + qualified + "> already exist, hold current password\n");
  }

  // An account this run has started to fill exists by now; declining it
  // would lose the rest of its folders.
  if (!force_ && !created && !resuming) {
    print("   Info: cannot migrate, user already exist: use \"-force\" argument\n");
    return false;
  }
  result = gateway_.setUser(mailbox.name(), mailbox.domainName());
  switch (result) {
    case kGatewayOk:
      return true;
    case kGatewayNotConnected:
      networkFailure("Error: client isn't connected to Torvane\n",
                     "client isn't connected to Torvane");
    case kGatewayConnectionProblem:
      networkFailure("Network error: cannot switch user\n", "cannot switch user");
    case kGatewaySetUserFailed:
      writeLog("Error: problem with identity switching\n");
      throw QLStoreException("problem with identity switching");
    default:
      unspecifiedResult(result);
  }
}

void Migrator::transferFolder(Folder& folder, const Mailbox& mailbox, bool fastAppend) {
  bool identityLost = false;
  int count = 0;
  try {
    createFolder(folder);
    print("   - \"");
    print(folder.name());
    print("\", messages: ");
    count = std::atoi(folder.messageCount().c_str());
    writeLog(count);
    writeLog("\n");
    if (count > 0) {
      Message message(&folder);
      int counterLength = showProgress(1, count, quiet_, console_);
      try {
        FolderReading reading(folder);
        folder.open(mailbox.name());
        long number = 1;
        // The count only decides whether reading starts and is the counter's
        // total; the folder may hold more messages than it says.
        bool more = folder.firstMessage(message, fixCrLf_);
        while (more) {
          eraseProgress(counterLength, false);
          counterLength = showProgress(number, count, quiet_, console_);
          try {
            appendMessage(folder, message, fastAppend);
          } catch (const QLStoreException&) {
            writeConsole("\n");
            print("Error: cannot migrate message nr.: ");
            print(static_cast<std::int64_t>(number));
            print("\n");
            succeeded_ = false;
          }
          ++number;
          more = folder.nextMessage(message, fixCrLf_);
        }
        eraseProgress(counterLength, true);
      } catch (const QLStoreException&) {
        // A read error may have left the connection in any state: start a
        // fresh one, acting as the account again, before the next folder.
        gateway_.disconnect(false);
        connectTarget(false);
        try {
          provisionAccount(mailbox, true);
        } catch (const QLStoreException&) {
          // The new connection cannot act as the account: going on would put
          // the next folders into the administrator's own mailbox.
          identityLost = true;
        }
        throw;
      }
    }
  } catch (const QLStoreException&) {
    writeConsole("\n");
    print("Error: cannot migrate folder \"");
    print(folder.name());
    print("\"\n");
    succeeded_ = false;
  }
  writeConsole(count);
  writeConsole("\n");
  if (identityLost) {
    throw QLStoreException("problem with identity switching");
  }
}

void Migrator::createFolder(const Folder& folder) {
  const std::string& source = folder.name();
  std::string replaced = source;
  replaceForbiddenChars(replaced, '_');
  if (replaced != source) {
    print("Warning: folder-name \"");
    print(source);
    print("\" contain forbidden chars. ");
    print("Name \"");
    print(replaced);
    print("\" will be usead instead it.\n");
  }

  std::string path;
  bool firstLevel = true;
  for (const std::string& level : splitPath(replaced, "/")) {
    if (!firstLevel) {
      path += '/';
    }
    firstLevel = false;
    path += level;

    GatewayResult selected = gateway_.select(path);
    if (selected == kGatewayOk) {
      continue;
    }
    if (selected != kGatewaySelectFailed) {
      std::string text = "cannot select folder " + path;
      writeLog("Error: " + text + "\n");
      throw QLNetworkException(text);
    }
    GatewayResult created = gateway_.createFolder(path, folder.type());
    switch (created) {
      case kGatewayOk:
        break;
      case kGatewayNotConnected:
        networkFailure("Network Error: client isn't connected to Torvane\n",
                       "client isn't connected to Torvane");
      case kGatewayConnectionProblem:
        networkFailure("Network error: cannot create folder\n", "cannot create folder");
      case kGatewayCreateFolderFailed: {
        std::string text = "cannot create folder " + path;
        writeLog("Error: " + text + "\n");
        throw QLNetworkException(text);
      }
      default:
        unspecifiedResult(created);
    }
  }
}

void Migrator::appendMessage(const Folder& folder, IMessage& message, bool fastAppend) {
  // Assigning into the kept string reuses its storage: no allocation per
  // message.
  targetName_.assign(folder.name());
  replaceForbiddenChars(targetName_, '_');
  GatewayResult result = gateway_.append(targetName_, message, fastAppend);
  switch (result) {
    case kGatewayOk:
      return;
    case kGatewayNotConnected:
      networkFailure("Network Error: client isn't connected to Torvane\n",
                     "client isn't connected to Torvane");
    case kGatewayConnectionProblem:
      networkFailure("Network error: cannot append message\n", "cannot append message");
    case kGatewayAppendFailed:
      writeLog("Error: append message error\n");
      throw QLStoreException("append message error");
    case kGatewayContentFailed:
      writeLog("Error: problem with load from IMessage object\n");
      throw QLStoreException("problem with load from IMessage object");
    default:
      unspecifiedResult(result);
  }
}

}  // namespace lodemig
