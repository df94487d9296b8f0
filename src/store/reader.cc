#include "store/reader.h"

#include "utils/ql_exception.h"

namespace lodemig {

namespace {

using ostrel::utils::DirectoryEntry;

unsigned char fold(char c, bool caseInsensitive) {
  unsigned char byte = static_cast<unsigned char>(c);
  return caseInsensitive && byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte;
}

// Matches `c` against the set that opens at mask[open] == '['. Returns false
// when the set is never closed: the '[' is then an ordinary character.
// Otherwise sets `next` to the position after the set and `matched`.
bool matchSet(const std::string& mask, std::size_t open, unsigned char c, bool caseInsensitive,
              std::size_t& next, bool& matched) {
  std::size_t i = open + 1;
  bool negate = i < mask.size() && (mask[i] == '!' || mask[i] == '^');
  if (negate) {
    ++i;
  }
  // A ']' right at the start closes the set: "[]" matches nothing, "[!]" any
  // one character.
  bool hit = false;
  if (i >= mask.size() || mask[i] != ']') {
    while (i < mask.size() && mask[i] != ']') {
      unsigned char low = fold(mask[i], caseInsensitive);
      if (i + 2 < mask.size() && mask[i + 1] == '-' && mask[i + 2] != ']') {
        unsigned char high = fold(mask[i + 2], caseInsensitive);
        hit = hit || (low <= c && c <= high);
        i += 3;
      } else {
        hit = hit || low == c;
        ++i;
      }
    }
    if (i >= mask.size()) {
      return false;
    }
  }
  next = i + 1;
  matched = hit != negate;
  return true;
}

// Splits a domain directory entry into account name and kind; false when the
// entry is no account. Suffixes are case-sensitive and the name not empty.
bool classifyAccount(const DirectoryEntry& entry, std::string& name, StorageKind& kind) {
  static const struct {
    const char* suffix;
    int type;
    StorageKind kind;
  } kSuffixes[] = {{".mbox", DirectoryEntry::kOther, MailboxFile},
                   {".macnt", DirectoryEntry::kDirectory, AccountDirectory},
                   {".mdir", DirectoryEntry::kDirectory, MessageDirectory}};
  for (const auto& rule : kSuffixes) {
    std::string suffix = rule.suffix;
    if (entry.type == rule.type && entry.name.size() > suffix.size() &&
        entry.name.compare(entry.name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      name = entry.name.substr(0, entry.name.size() - suffix.size());
      kind = rule.kind;
      return true;
    }
  }
  return false;
}

}  // namespace

bool matchMask(const std::string& mask, const std::string& name, bool caseInsensitive) {
  std::size_t m = 0;
  std::size_t n = 0;
  // Where to resume after the last '*' when a later element fails.
  std::size_t starMask = std::string::npos;
  std::size_t starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = ++m;
      starName = n;
      continue;
    }
    if (m < mask.size()) {
      unsigned char c = fold(name[n], caseInsensitive);
      std::size_t next = m + 1;
      bool matched = false;
      if (mask[m] == '?') {
        matched = true;
      } else if (mask[m] != '[' || !matchSet(mask, m, c, caseInsensitive, next, matched)) {
        matched = fold(mask[m], caseInsensitive) == c;
      }
      if (matched) {
        m = next;
        ++n;
        continue;
      }
    }
    if (starMask == std::string::npos) {
      return false;
    }
    m = starMask;
    n = ++starName;
  }
  while (m < mask.size() && mask[m] == '*') {
    ++m;
  }
  return m == mask.size();
}

void Domain::assign(const std::string& name, const std::string& path) {
  name_ = name;
  path_ = path;
}

bool Domain::firstMailbox(Mailbox& mailbox, const std::string& mask) {
  listing_.close();
  if (!listing_.open(path_)) {
    std::string text = "cannot open directory " + path_;
    *log_ << "Error: " << text << "\n";
    throw QLStoreException(text);
  }
  return nextMailbox(mailbox, mask);
}

bool Domain::nextMailbox(Mailbox& mailbox, const std::string& mask) {
  for (const DirectoryEntry* entry = listing_.read(); entry != nullptr; entry = listing_.read()) {
    std::string account;
    StorageKind kind = NoStorage;
    if (entry->name == "." || entry->name == ".." || !classifyAccount(*entry, account, kind) ||
        !matchMask(mask, account, true)) {
      continue;
    }
    mailbox.load(account, name_, path_, account, kind);
    *log_ << " Info: read mailbox <" << mailbox.name() << ">"
          << " full name: \"" << mailbox.fullName()
          << "\""
          // Passwords belong in the password file alone, never in the log.
          << " password: " << (mailbox.password().empty() ? "not found" : "found")
          << " size: " << mailbox.storageUsed() << " path: \"" << mailbox.path() << "\"\n";
    log_->flush();
    return true;
  }
  return false;
}

void Reader::setStore(const std::string& storePath, const std::string& primaryDomainName) {
  storePath_ = storePath;
  primaryDomainName_ = primaryDomainName;
}

bool Reader::firstDomain(Domain& domain, const std::string& mask) {
  listing_.close();
  if (!matchMask(mask, primaryDomainName_, true)) {
    // Without a Domains directory the walk simply has no further domains.
    static_cast<void>(listing_.open(storePath_ + "/Domains"));
    return nextDomain(domain, mask);
  }
  std::string path = storePath_ + "/Accounts";
  ostrel::utils::DirectoryListing probe;
  if (!probe.open(path)) {
    *log_ << "Error: default domain not found, wrong path\n";
    log_->flush();
    throw QLStoreException("default domain not found, wrong path");
  }
  domain.assign(primaryDomainName_, path);
  *log_ << "Info: read default domain (" << domain.name() << ")"
        << " path: \"" << domain.path() << "\"\n";
  log_->flush();
  static_cast<void>(listing_.open(storePath_ + "/Domains"));
  return true;
}

bool Reader::nextDomain(Domain& domain, const std::string& mask) {
  for (const DirectoryEntry* entry = listing_.read(); entry != nullptr; entry = listing_.read()) {
    if (entry->type != DirectoryEntry::kDirectory || entry->name == "." || entry->name == ".." ||
        !matchMask(mask, entry->name, true)) {
      continue;
    }
    domain.assign(entry->name, storePath_ + "/Domains/" + entry->name);
    *log_ << "Info: read domain (" << domain.name() << ") path: \"" << domain.path() << "\"\n";
    log_->flush();
    return true;
  }
  return false;
}

}  // namespace lodemig
