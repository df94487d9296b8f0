#ifndef LODEMIG_STORE_READER_H_
#define LODEMIG_STORE_READER_H_

#include <ostream>
#include <string>

#include "store/mailbox.h"
#include "utils/directory.h"

namespace lodemig {

// Case-insensitive (when asked) shell-style wildcard match of the whole name:
// '*', '?', '[...]' with ranges and '!'/'^' negation; a ']' right after '['
// (or "[!"/"[^") closes the set at once; backslash is an ordinary character.
bool matchMask(const std::string& mask, const std::string& name, bool caseInsensitive);

// One domain of the store. Refilled in place by Reader; walks its accounts.
// `log` must outlive the object.
class Domain {
 public:
  explicit Domain(std::ostream* log) : log_(log) {}
  virtual ~Domain() = default;
  // Where the lines about the domain's accounts go from now on.
  void setLog(std::ostream* log) { log_ = log; }

  void assign(const std::string& name, const std::string& path);
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }

  // (Re)opens the listing of the domain directory and yields the first
  // matching account, loaded completely. Throws QLStoreException when the
  // directory cannot be listed or the account's settings fail.
  bool firstMailbox(Mailbox& mailbox, const std::string& mask);
  // The next matching account; false at the end. A load failure throws after
  // the entry was consumed, so the walk can go on with the next call.
  bool nextMailbox(Mailbox& mailbox, const std::string& mask);

 private:
  std::string name_;
  std::string path_;
  std::ostream* log_;
  ostrel::utils::DirectoryListing listing_;
};

// The walk over the store's domains: the default domain ("<store>/Accounts",
// named after the primary domain) first, then "<store>/Domains/*".
class Reader {
 public:
  explicit Reader(std::ostream* log) : log_(log) {}
  virtual ~Reader() = default;

  void setStore(const std::string& storePath, const std::string& primaryDomainName);
  // Starts a walk; throws QLStoreException when the default domain is selected
  // but "<store>/Accounts" is missing.
  bool firstDomain(Domain& domain, const std::string& mask);
  bool nextDomain(Domain& domain, const std::string& mask);

 private:
  std::string storePath_;
  std::string primaryDomainName_;
  std::ostream* log_;
  ostrel::utils::DirectoryListing listing_;
};

}  // namespace lodemig

#endif  // LODEMIG_STORE_READER_H_
