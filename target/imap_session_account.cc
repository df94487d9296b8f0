#include <optional>
#include <string>
#include <string_view>

#include "imap/digest.h"
#include "target/imap_session.h"
#include "utils/ascii.h"

namespace lodemig::target {

namespace {

using ostrel::utils::equalsIgnoreCase;

// The items of an X-CREATEUSER list; the pointers are into the parser's tokens.
struct AccountItems {
  const std::string* name = nullptr;
  const std::string* domain = nullptr;
  const std::string* password = nullptr;
  const std::string* fullName = nullptr;
  bool groups = false;
};

constexpr std::string_view kMalformedAccountList = "Malformed X-CREATEUSER list";

// Checks the GROUPS value at `index`: a list of names.
bool validGroups(const CommandParser& parser, std::size_t index) {
  const Token& value = parser[index];
  if (value.kind != Token::Kind::kList) {
    return false;
  }
  for (std::size_t g = index + 1; g < value.end; g = parser[g].end) {
    if (parser[g].kind != Token::Kind::kString && parser[g].kind != Token::Kind::kAtom) {
      return false;
    }
  }
  return true;
}

// Reads the key-value pairs of the list at token `index` into `items`; the
// BAD answer's text when the list is not one X-CREATEUSER takes, else empty.
std::string_view readAccountItems(const CommandParser& parser, std::size_t index,
                                  AccountItems& items) {
  const Token& list = parser[index];
  for (std::size_t i = index + 1; i < list.end;) {
    const Token& key = parser[i];
    const std::size_t valueIndex = key.end;
    if (key.kind != Token::Kind::kAtom || valueIndex >= list.end) {
      return kMalformedAccountList;
    }
    const Token& value = parser[valueIndex];
    const std::string** slot = nullptr;
    if (equalsIgnoreCase(key.text, "NAME")) {
      slot = &items.name;
    } else if (equalsIgnoreCase(key.text, "DOMAIN")) {
      slot = &items.domain;
    } else if (equalsIgnoreCase(key.text, "PASSWORD")) {
      slot = &items.password;
    } else if (equalsIgnoreCase(key.text, "FULLNAME")) {
      slot = &items.fullName;
    } else if (equalsIgnoreCase(key.text, "GROUPS")) {
      if (items.groups || !validGroups(parser, valueIndex)) {
        return kMalformedAccountList;
      }
      items.groups = true;
    } else {
      return "Unknown X-CREATEUSER item";
    }
    if (slot != nullptr) {
      const bool isText = value.kind == Token::Kind::kAtom || value.kind == Token::Kind::kString;
      if (*slot != nullptr || !isText) {
        return kMalformedAccountList;
      }
      *slot = &value.text;
    }
    i = value.end;
  }
  return {};
}

}  // namespace

ImapSession::Flow ImapSession::login() {
  if (argumentCount() != 2 || !isAString(0) || !isAString(1)) {
    return reply("BAD", "LOGIN needs a user name and a password");
  }
  if (acting_) {
    return reply("BAD", "Already authenticated");
  }
  const std::optional<MailStore::AccountId> account = store_.findAccount(argument(0).text);
  if (!account || *account == MailStore::kAdministrator ||
      store_.password(*account) != argument(1).text) {
    return reply("NO", "[AUTHENTICATIONFAILED] Authentication failed");
  }
  acting_ = account;
  master_ = false;
  return reply("OK", "LOGIN completed");
}

ImapSession::Flow ImapSession::authenticate() {
  if (argumentCount() != 1 || !isAString(0)) {
    return reply("BAD", "AUTHENTICATE needs a mechanism");
  }
  if (acting_) {
    return reply("BAD", "Already authenticated");
  }
  if (!equalsIgnoreCase(argument(0).text, "CRAM-MD5")) {
    return reply("NO", "Unsupported authentication mechanism");
  }
  const std::string challenge = state_.newChallenge();
  if (!exchange("+ " + ostrel::crypto::base64Encode(challenge))) {
    return Flow::kClose;
  }
  if (line_ == "*") {
    return reply("BAD", "Authentication cancelled");
  }
  bool valid = true;
  const std::string response = ostrel::crypto::base64Decode(line_, &valid);
  const std::size_t space = response.rfind(' ');
  if (!valid || space == std::string::npos) {
    return reply("BAD", "Malformed CRAM-MD5 response");
  }
  const std::optional<MailStore::AccountId> account =
      store_.findAccount(std::string_view(response).substr(0, space));
  if (!account || *account == MailStore::kAdministrator ||
      ostrel::crypto::hmacMd5(store_.password(*account), challenge) !=
          std::string_view(response).substr(space + 1)) {
    return reply("NO", "[AUTHENTICATIONFAILED] Authentication failed");
  }
  acting_ = account;
  master_ = false;
  return reply("OK", "AUTHENTICATE completed");
}

ImapSession::Flow ImapSession::masterAuth() {
  if (argumentCount() != 0) {
    return reply("BAD", "X-MASTERAUTH takes no arguments");
  }
  if (acting_) {
    return reply("BAD", "Already authenticated");
  }
  const std::string challenge = state_.newChallenge();
  if (!exchange("+ " + challenge)) {
    return Flow::kClose;
  }
  if (line_ == "*") {
    return reply("BAD", "Authentication cancelled");
  }
  // Only the lower-case form is accepted: a client that sends anything else
  // is wrong, and accepting it would hide that.
  if (line_ != ostrel::crypto::md5Hex(challenge + options_.masterPassword)) {
    return reply("NO", "[AUTHENTICATIONFAILED] Master authentication failed");
  }
  acting_ = MailStore::kAdministrator;
  master_ = true;
  return reply("OK", "X-MASTERAUTH completed");
}

ImapSession::Flow ImapSession::createUser() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (!master_) {
    return reply("NO", "X-CREATEUSER needs the master login");
  }
  if (argumentCount() != 1 || argument(0).kind != Token::Kind::kList) {
    return reply("BAD", "X-CREATEUSER needs a parenthesized list");
  }
  AccountItems items;
  const std::string_view malformed = readAccountItems(parser_, args_[0], items);
  if (!malformed.empty()) {
    return reply("BAD", malformed);
  }
  if (items.name == nullptr || items.domain == nullptr) {
    return reply("BAD", "X-CREATEUSER needs NAME and DOMAIN");
  }
  const std::string empty;
  switch (store_.createAccount(*items.name + "@" + *items.domain,
                               items.password != nullptr ? *items.password : empty,
                               items.fullName != nullptr ? *items.fullName : empty)) {
    case MailStore::Outcome::kDone:
      return reply("OK", "X-CREATEUSER completed");
    case MailStore::Outcome::kExists:
      return reply("NO", "[ALREADYEXISTS] Account exists");
    default:
      return reply("NO", "Invalid account");
  }
}

ImapSession::Flow ImapSession::setUser() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (!master_) {
    return reply("NO", "X-SETUSER needs the master login");
  }
  if (argumentCount() != 1 || !isAString(0)) {
    return reply("BAD", "X-SETUSER needs an account");
  }
  const std::string& address = argument(0).text;
  if (state_.refusesSetUser(address)) {
    return reply("NO", "X-SETUSER refused");
  }
  const std::optional<MailStore::AccountId> account = store_.findAccount(address);
  if (!account) {
    return reply("NO", "No such account");
  }
  acting_ = account;
  selected_.reset();
  return reply("OK", "X-SETUSER completed");
}

}  // namespace lodemig::target
