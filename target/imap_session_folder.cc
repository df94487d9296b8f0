#include <optional>
#include <string>
#include <string_view>

#include "target/imap_session.h"
#include "target/imap_text.h"
#include "utils/ascii.h"

namespace lodemig::target {

namespace {

using ostrel::utils::equalsIgnoreCase;

// The folder kinds CREATE takes, in the spelling the folders file keeps.
constexpr std::string_view kKindWords[] = {"X-CONTACT", "X-CALENDAR", "X-TODO",
                                           "X-JOURNAL", "X-MAIL",     "X-MAPI",
                                           "X-NOTE",    "X-SEARCH",   "X-ALL"};

std::string_view kindWord(std::string_view word) {
  for (const std::string_view kind : kKindWords) {
    if (equalsIgnoreCase(word, kind)) {
      return kind;
    }
  }
  return {};
}

}  // namespace

ImapSession::Flow ImapSession::createFolder() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  const std::size_t count = argumentCount();
  if (count < 1 || count > 2 || !isAString(count - 1) ||
      (count == 2 && argument(0).kind != Token::Kind::kList)) {
    return reply("BAD", "CREATE needs a folder name, after an optional kind list");
  }
  std::string_view kind = MailStore::kNoKind;
  if (count == 2) {
    bool kindSeen = false;
    const Token& list = argument(0);
    for (std::size_t i = args_[0] + 1; i < list.end; i = parser_[i].end) {
      const Token& item = parser_[i];
      if (item.kind != Token::Kind::kAtom) {
        return reply("BAD", "Malformed kind list");
      }
      if (equalsIgnoreCase(item.text, "GUID")) {
        const std::size_t guid = item.end;
        if (guid >= list.end || (parser_[guid].kind != Token::Kind::kString &&
                                 parser_[guid].kind != Token::Kind::kAtom)) {
          return reply("BAD", "Malformed kind list");
        }
        i = guid;
        continue;
      }
      const std::string_view word = kindWord(item.text);
      if (word.empty() || kindSeen) {
        return reply("BAD", "Unknown folder kind");
      }
      kind = word;
      kindSeen = true;
    }
  }
  switch (store_.createFolder(*acting_, kind, argument(count - 1).text)) {
    case MailStore::Outcome::kDone:
      return reply("OK", "CREATE completed");
    case MailStore::Outcome::kExists:
      return reply("NO", "[ALREADYEXISTS] Folder exists");
    default:
      return reply("NO", "Invalid folder name");
  }
}

ImapSession::Flow ImapSession::select() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (argumentCount() != 1 || !isAString(0)) {
    return reply("BAD", "SELECT needs a folder name");
  }
  // A SELECT that fails leaves no folder selected, as after a fresh login.
  selected_.reset();
  const std::optional<FolderUids> uids = store_.folderUids(*acting_, argument(0).text);
  if (!uids) {
    return reply("NO", "[NONEXISTENT] No such folder");
  }
  selected_ = argument(0).text;
  untagged("FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)");
  untagged(std::to_string(uids->messages) + " EXISTS");
  untagged("0 RECENT");
  untagged("OK [UIDVALIDITY " + std::to_string(uids->validity) + "] UIDs valid");
  untagged("OK [UIDNEXT " + std::to_string(uids->next) + "] Predicted next UID");
  return reply("OK", "[READ-WRITE] SELECT completed");
}

ImapSession::Flow ImapSession::status() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (argumentCount() != 2 || !isAString(0) || argument(1).kind != Token::Kind::kList) {
    return reply("BAD", "STATUS needs a folder name and a list of items");
  }
  const Token& list = argument(1);
  for (std::size_t i = args_[1] + 1; i < list.end; i = parser_[i].end) {
    if (parser_[i].kind != Token::Kind::kAtom ||
        !(equalsIgnoreCase(parser_[i].text, "MESSAGES") ||
          equalsIgnoreCase(parser_[i].text, "UIDNEXT") ||
          equalsIgnoreCase(parser_[i].text, "UIDVALIDITY"))) {
      return reply("BAD", "Unknown STATUS item");
    }
  }
  const std::optional<FolderUids> uids = store_.folderUids(*acting_, argument(0).text);
  if (!uids) {
    return reply("NO", "[NONEXISTENT] No such folder");
  }
  std::string items;
  for (std::size_t i = args_[1] + 1; i < list.end; i = parser_[i].end) {
    const std::string& item = parser_[i].text;
    std::uint64_t value = uids->messages;
    if (equalsIgnoreCase(item, "UIDNEXT")) {
      value = uids->next;
    } else if (equalsIgnoreCase(item, "UIDVALIDITY")) {
      value = uids->validity;
    }
    items.append(items.empty() ? "" : " ").append(upperCopy(item));
    items.append(" ").append(std::to_string(value));
  }
  untagged("STATUS " + mailboxText(argument(0).text) + " (" + items + ")");
  return reply("OK", "STATUS completed");
}

}  // namespace lodemig::target
