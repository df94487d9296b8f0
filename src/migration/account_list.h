#ifndef LODEMIG_MIGRATION_ACCOUNT_LIST_H_
#define LODEMIG_MIGRATION_ACCOUNT_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace lodemig {

// The accounts a users file names (-usersFile): one "user@domain" a line.
// Blank lines, lines whose first non-blank is '#' and anything from a blank
// followed by '#' on (a note after the name) are left out, as are blanks
// around a name; a CR before the LF is dropped. Names are compared without
// regard to ASCII letter case; a name listed twice counts once. A plain
// value, copyable.
class AccountList {
 public:
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

  // Reads the file at `path`. False, with the first fault's text in `error`:
  //   "cannot read users file F: REASON",
  //   "users file F is larger than 64 MiB",
  //   "users file F, line N: "TEXT" is not user@domain".
  bool read(const std::string& path, std::string& error);
  // The same for a file's content `text`, `path` only naming it in errors.
  bool parse(std::string_view text, const std::string& path, std::string& error);

  // Whether `account` (user@domain, any case) is listed.
  bool contains(std::string_view account) const;
  // The listed accounts in the file's order, each as first written.
  const std::vector<std::string>& accounts() const { return accounts_; }

 private:
  std::vector<std::string> accounts_;
  std::unordered_set<std::string> lowered_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_ACCOUNT_LIST_H_
