#include "migration/migration_target.h"

#include <algorithm>

#include "imap/capabilities.h"
#include "migration/folder_roles.h"
#include "migration/target_names.h"
#include "migration/target_result.h"
#include "utils/ascii.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

constexpr int kGeneratedPasswordLength = 6;

// The private target: the administrator logs in with X-MASTERAUTH, creates
// each account with X-CREATEUSER and acts as it with X-SETUSER; folders are
// created with their kind, and from 6.3 on messages go with X-APPEND.
class TorvaneTarget : public MigrationTarget {
 public:
  TorvaneTarget(const MigrationSettings& settings, const ConnectionSettings& connection,
                ImapGateway& gateway, Reporter& reporter, PasswordRecord& passwords)
      : MigrationTarget(settings, connection, gateway, reporter), passwords_(passwords) {}

  void useJournal(Journal* journal) override {
    journal_ = journal != nullptr ? journal : &noJournal_;
  }
  bool openAccount(const Mailbox& mailbox, bool resuming) override;
  void prepareAppends() override;
  bool actAs(const Mailbox& mailbox) override;
  std::string describeAppends() override;
  bool canPlace() const override { return true; }
  FolderPlace place(const std::string& storeName) const override;
  std::int64_t createFolder(const FolderPlace& place, FolderType type,
                            FolderUidState* uids) override;
  const char* skippedKind(const Folder&) const override { return ""; }
  std::string kindWord(const Folder& folder) const override {
    return folderKindWord(folderKindBits(folder.type()));
  }
  const char* name() const override { return "Torvane"; }
  AccountCheck checkAccount(const std::string& account, bool exists) const override;

 private:
  // Opens the administrator's connection.
  void connect();
  // Makes the account exist (choosing and recording its password) and
  // switches the connection to it; openAccount()'s results.
  bool provision(const Mailbox& mailbox, bool resuming);
  std::string choosePassword(const Mailbox& mailbox, bool& generated) const;
  // With the journal's unconfirmed creation of `qualified`: sets the password
  // it was given and returns true.
  bool takeUnconfirmedCreation(const std::string& qualified, std::string& password,
                               bool& generated);

  PasswordRecord& passwords_;
  // Never null: noJournal_ when the run keeps none.
  Journal noJournal_{Journal::Mode::Off};
  Journal* journal_ = &noJournal_;
  // The target's version once asked, saving round trips: -1 not yet, 0
  // before 6.3, 1 from 6.3 on.
  int knownVersion_ = -1;
};

// A standard IMAP server: the administrator logs in for each account (which
// must exist there), folders go where FolderPlacement puts them and are
// created with a plain CREATE, folders without mail are left out unless
// asked for, and messages go with APPEND as the server announced it takes
// them.
class ImapServerTarget : public MigrationTarget {
 public:
  ImapServerTarget(const MigrationSettings& settings, const ConnectionSettings& connection,
                   ImapGateway& gateway, Reporter& reporter)
      : MigrationTarget(settings, connection, gateway, reporter) {}

  void useJournal(Journal*) override {}
  bool openAccount(const Mailbox& mailbox, bool resuming) override;
  void prepareAppends() override {}
  bool actAs(const Mailbox& mailbox) override;
  std::string describeAppends() override;
  bool canPlace() const override { return loggedIn_; }
  FolderPlace place(const std::string& storeName) const override;
  std::int64_t createFolder(const FolderPlace& place, FolderType type,
                            FolderUidState* uids) override;
  bool subscribed(const FolderPlace& place) override;
  const char* skippedKind(const Folder& folder) const override;
  std::string kindWord(const Folder&) const override { return "mail"; }
  const char* name() const override { return "the target"; }
  AccountCheck checkAccount(const std::string& account, bool exists) const override;

 private:
  // Logs in for the account and learns where its folders go; the login's
  // refusal is returned, other failures throw.
  GatewayResult logIn(const std::string& account);
  // After a refused login for `account`: when the refusal is the
  // administrator's own, says so and throws QLNetworkException, since no
  // account can then be migrated; otherwise returns why the account alone
  // was refused, for a line of its own.
  std::string settleRefusal(const std::string& account);

  // Asks what placing `storeName` needs and the connection does not know
  // yet, all in one round trip; then settles names_.placement.
  void learnFor(const std::string& storeName) const;
  // Checks the SUBSCRIBE of `place`'s folder; a refusal is warned of.
  void settleSubscription(const FolderPlace& place, GatewayResult result);

  // The account the connection acts as (user@domain).
  std::string account_;
  // The account's subscribed folders (wire names), once asked; `known`
  // false when the server would not list them.
  struct Subscriptions {
    bool asked = false;
    bool known = false;
    std::vector<std::string> names;
  } subscriptions_;

  // Set by the first login the server accepted: the administrator's
  // credentials are good from then on.
  bool adminAccepted_ = false;
  // The current account's login was accepted: its names can be placed.
  bool loggedIn_ = false;

  // What the server told of its names. place() asks only what the folder it
  // places needs, on its first call for such a folder, so that an account
  // with nothing but its INBOX asks nothing; the callers take place() as a
  // question, hence mutable. Everything but the separator is the current
  // account's connection's; the separator, the same for every account of
  // one server, is asked once per target object.
  struct Names {
    ServerTraits traits;
    bool asked = false;   // the connection has placed a name: ENABLE is past
    bool listed = false;  // the account's folders are in `folders`
    bool separatorKnown = false;
    std::string separator;
    std::vector<std::string> folders;  // the answers to LIST "" "*"
    std::unique_ptr<FolderPlacement> placement;
  };
  mutable Names names_;
};

std::string qualifiedName(const Mailbox& mailbox) {
  return mailbox.name() + "@" + mailbox.domainName();
}

}  // namespace

MigrationTarget::MigrationTarget(const MigrationSettings& settings,
                                 const ConnectionSettings& connection, ImapGateway& gateway,
                                 Reporter& reporter)
    : settings_(settings), connection_(connection), gateway_(gateway), reporter_(reporter) {}

std::string MigrationTarget::whySkipped(const Folder& folder) const {
  const char* kind = skippedKind(folder);
  if (*kind == '\0') {
    return std::string();
  }
  // By design: such a server keeps mail only, and the run can still succeed.
  return std::string("a ") + kind + " folder, the target keeps mail only (-nonMailFolders create)";
}

GatewayResult MigrationTarget::submitAppend(const std::string& folder, IMessage& message,
                                            std::uint64_t token) {
  return gateway_.submitAppend(folder, message, xAppend_, token);
}

std::unique_ptr<MigrationTarget> makeMigrationTarget(const MigrationSettings& settings,
                                                     const ConnectionSettings& connection,
                                                     ImapGateway& gateway, Reporter& reporter,
                                                     PasswordRecord& passwords) {
  if (settings.standardTarget) {
    return std::make_unique<ImapServerTarget>(settings, connection, gateway, reporter);
  }
  return std::make_unique<TorvaneTarget>(settings, connection, gateway, reporter, passwords);
}

void TorvaneTarget::connect() {
  checkConnect(reporter_, connectMaster(reporter_, gateway_, connection_), connection_);
}

bool TorvaneTarget::openAccount(const Mailbox& mailbox, bool resuming) {
  connect();
  return provision(mailbox, resuming);
}

void TorvaneTarget::prepareAppends() {
  // The target's version does not change while a run lasts: asked once, a
  // round trip per account is saved.
  if (!saveRoundTrips_ || knownVersion_ < 0) {
    knownVersion_ = gateway_.checkVersion() ? 1 : 0;
  }
  xAppend_ = knownVersion_ == 1;
  // Asked only when several messages per command are wanted, so that a run
  // without it keeps its round trips.
  if (connection_.multiAppend > 1) {
    gateway_.learnMultiAppend();
  }
  if (xAppend_) {
    reporter_.log(
        "Info: Ostrel MailServer 6.3.0 or newer detected, search indexing disabled (improve "
        "migration speed).");
    reporter_.log("\n");
  }
}

bool TorvaneTarget::actAs(const Mailbox& mailbox) {
  connect();
  const GatewayResult result = gateway_.setUser(mailbox.name(), mailbox.domainName());
  if (result == kGatewaySetUserFailed) {
    gateway_.disconnect(true);
    return false;
  }
  checkResult(reporter_, TargetStep::SetUser, result);
  return true;
}

std::string TorvaneTarget::describeAppends() {
  return gateway_.checkVersion()
             ? "Info: Torvane is version 6.3 or later: messages go with X-APPEND\n"
             : "Info: Torvane is older than 6.3: messages go with APPEND\n";
}

FolderPlace TorvaneTarget::place(const std::string& storeName) const {
  FolderPlace place;
  place.wireName = targetFolderName(storeName);
  place.shownName = place.wireName;
  if (place.wireName != storeName) {
    place.note = "Warning: folder-name \"" + storeName + "\" contain forbidden chars. Name \"" +
                 place.wireName + "\" will be usead instead it.\n";
  }
  return place;
}

std::int64_t TorvaneTarget::createFolder(const FolderPlace& place, FolderType type,
                                         FolderUidState* uids) {
  std::string path;
  bool firstLevel = true;
  std::int64_t count = -1;
  for (const std::string& level : splitPath(place.wireName, "/")) {
    if (!firstLevel) {
      path += '/';
    }
    firstLevel = false;
    path += level;
    if (checkResult(reporter_, TargetStep::Select, gateway_.select(path, &count, uids), path) ==
        StepOutcome::Done) {
      continue;
    }
    checkResult(reporter_, TargetStep::CreateFolder, gateway_.createFolder(path, type), path);
    count = 0;
    if (uids != nullptr) {
      *uids = FolderUidState{0, 0, 0};
    }
  }
  return count;
}

MigrationTarget::AccountCheck TorvaneTarget::checkAccount(const std::string& account,
                                                          bool exists) const {
  AccountCheck check;
  if (!exists) {
    return check;
  }
  if (!settings_.force) {
    check.line =
        "Warning: <" + account + "> exists on Torvane: a migration skips it without -force\n";
    check.fine = false;
  } else {
    check.line = "Info: <" + account + "> exists on Torvane: -force migrates into it\n";
  }
  return check;
}

std::string TorvaneTarget::choosePassword(const Mailbox& mailbox, bool& generated) const {
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

bool TorvaneTarget::provision(const Mailbox& mailbox, bool resuming) {
  if (passwords_.broken() && !resuming) {
    // A new account's password would have nowhere to go but the terminal.
    reporter_.log("Error: no further accounts are created\n");
    throw QLNetworkException(
        "no further accounts are created, the password file cannot be written");
  }
  bool generated = false;
  std::string password = choosePassword(mailbox, generated);
  const std::string qualified = mailbox.name() + "@" + mailbox.domainName();
  // An account an earlier run of the journal created or switched to is the
  // run's own: it is filled again without -force.
  const bool ours = !journal_->passwordFileOf(qualified).empty();
  const bool recording = !ours && !resuming;
  if (recording) {
    journal_->creating(reporter_, qualified, passwords_.path(), password, generated);
  }
  // The switch may go out with the creation, a round trip saved per
  // account; its answer is taken below, where it was asked.
  const bool together = saveRoundTrips_;
  GatewayResult switched = kGatewayOk;
  GatewayResult result =
      together
          ? gateway_.createThenSetUser(mailbox.name(), mailbox.domainName(), password,
                                       mailbox.fullName(), &switched)
          : gateway_.createUser(mailbox.name(), mailbox.domainName(), password, mailbox.fullName());
  bool created = checkResult(reporter_, TargetStep::CreateUser, result) == StepOutcome::Done;
  if (!created && !resuming && ours) {
    created = takeUnconfirmedCreation(qualified, password, generated);
  }
  if (created) {
    // The password itself is for the password file alone: logs travel.
    reporter_.log("   Info: created user <" + qualified + ">, password: in the password file\n");
    passwords_.add(
        "<" + qualified + ">, password: \"" + password + (generated ? "\" (generated)\n" : "\"\n"),
        reporter_);
  } else {
    passwords_.add("<" + qualified + "> already exist, hold current password\n", reporter_);
  }
  // An account this run has started to fill exists by now; declining it
  // would lose the rest of its folders.
  if (!settings_.force && !created && !resuming && !ours) {
    if (recording) {
      journal_->account(reporter_, qualified, Journal::Settled::Declined, passwords_.path());
    }
    reporter_.print("   Info: cannot migrate, user already exist: use \"-force\" argument\n");
    return false;
  }
  checkResult(reporter_, TargetStep::SetUser,
              together ? switched : gateway_.setUser(mailbox.name(), mailbox.domainName()));
  if (recording || (created && ours)) {
    journal_->account(reporter_, qualified,
                      created ? Journal::Settled::Created : Journal::Settled::Switched,
                      passwords_.path());
  }
  return true;
}

bool TorvaneTarget::takeUnconfirmedCreation(const std::string& qualified, std::string& password,
                                            bool& generated) {
  // An earlier run asked for the account and was cut off before the answer:
  // the account that exists now is the one it created, with its password.
  if (!journal_->creationUnconfirmed(qualified, password, generated)) {
    return false;
  }
  reporter_.log("   Info: the creation of <" + qualified +
                "> was cut short by an interruption; it is taken as created\n");
  return true;
}

GatewayResult ImapServerTarget::logIn(const std::string& account) {
  // What was learnt of the account before must not place this one's folders.
  loggedIn_ = false;
  account_ = account;
  subscriptions_ = Subscriptions();
  names_.asked = false;
  names_.listed = false;
  names_.folders.clear();
  names_.placement.reset();
  ServerTraits traits;
  const GatewayResult result = connectForAccount(reporter_, gateway_, connection_, account, traits);
  adminAccepted_ = adminAccepted_ || result == kGatewayOk;
  if (result == kGatewayOk) {
    names_.traits = traits;
    names_.traits.separator = names_.separator;
    loggedIn_ = true;
  }
  return result;
}

void ImapServerTarget::learnFor(const std::string& storeName) const {
  const bool mapped = findMapping(settings_.folderMap, storeName) != nullptr;
  const std::vector<std::string> levels = splitPath(storeName, "/");
  const bool inbox = levels.size() == 1 && ostrel::utils::equalsIgnoreCase(levels[0], "INBOX");
  // UTF-8 names are enabled before the first SELECT or never: the server
  // refuses it later.
  const bool enable = !names_.asked && names_.traits.utf8Offered;
  const bool separator = !mapped && !inbox && !names_.separatorKnown;
  const bool list = !mapped && !names_.listed && specialUseOfName(storeName) != SpecialUse::None;
  if (gateway_.connected() && (enable || separator || list)) {
    checkConnected(
        reporter_, gateway_,
        gateway_.learnNames(names_.traits, enable, separator, list ? &names_.folders : nullptr),
        connection_);
    if (separator) {
      names_.separatorKnown = true;
      names_.separator = names_.traits.separator;
    }
    names_.listed = names_.listed || list;
    names_.placement.reset();
  }
  names_.asked = true;
  if (names_.placement == nullptr) {
    names_.placement =
        std::make_unique<FolderPlacement>(names_.traits, names_.folders, settings_.folderMap);
  }
}

std::string ImapServerTarget::settleRefusal(const std::string& account) {
  const std::string& answer = gateway_.client().loginRefusal();
  const std::string code = responseCode(answer);
  // A server that ends the connection instead of answering does so for an
  // account it does not have; AUTHORIZATIONFAILED says the administrator was
  // accepted but may not act as the account.
  if (answer.empty()) {
    return "the server ended the connection at the login, as it does for an account it "
           "does not have";
  }
  if (code == "AUTHORIZATIONFAILED") {
    return "the server accepted the administrator but not as <" + account +
           "> (AUTHORIZATIONFAILED)";
  }
  if (adminAccepted_) {
    return "the administrator's login worked for an earlier account";
  }
  // Nothing has been let in yet and the server will not say more than that
  // the credentials failed: every account would be refused the same way, a
  // few seconds each, so the run ends here.
  const std::string why = "the target refused the administrator's login (-admin \"" +
                          connection_.admin + "\" with the master password" +
                          (code.empty() ? std::string() : ", " + code) + ")";
  reporter_.print("Error: " + why + " for <" + account +
                  ">, the first account tried: check -admin and the master password\n");
  throw QLNetworkException(why);
}

bool ImapServerTarget::openAccount(const Mailbox& mailbox, bool) {
  const std::string account = qualifiedName(mailbox);
  if (logIn(account) == kGatewayAuthenticationFailed) {
    const std::string cause = settleRefusal(account);
    // Such a server has its accounts already; one it refuses fails alone.
    reporter_.print("   Error: the target refused the login for <" + account +
                    ">: accounts are not created on an IMAP server, it may not exist there\n");
    reporter_.print("   Info: " + cause + "\n");
    throw QLStoreException("the target refused the login for <" + account + ">");
  }
  return true;
}

bool ImapServerTarget::actAs(const Mailbox& mailbox) {
  const std::string account = qualifiedName(mailbox);
  const GatewayResult result = logIn(account);
  if (result == kGatewayAuthenticationFailed) {
    reporter_.print("Info: <" + account + ">: " + settleRefusal(account) + "\n");
  }
  return result == kGatewayOk;
}

std::string ImapServerTarget::describeAppends() {
  return "Info: the target is a standard IMAP server: accounts must exist there, "
         "messages go with APPEND\n";
}

FolderPlace ImapServerTarget::place(const std::string& storeName) const {
  learnFor(storeName);
  return names_.placement->place(storeName);
}

std::int64_t ImapServerTarget::createFolder(const FolderPlace& place, FolderType,
                                            FolderUidState* uids) {
  std::int64_t count = -1;
  // The SUBSCRIBE goes with the SELECT, without a round trip of its own. For
  // a folder that does not exist yet, its answer is of no use: a refusal, or
  // a name subscribed just before its CREATE; it is asked again once the
  // folder exists.
  GatewayResult subscribed = kGatewayOk;
  if (checkResult(reporter_, TargetStep::Select,
                  gateway_.selectAndSubscribe(place.wireName, &count, uids, &subscribed),
                  place.shownName) != StepOutcome::Done) {
    checkResult(reporter_, TargetStep::CreateFolder, gateway_.createFolder(place.wireName, 0),
                place.shownName);
    // The count of the new folder, which servers give with the SELECT.
    checkResult(reporter_, TargetStep::Select,
                gateway_.selectAndSubscribe(place.wireName, &count, uids, &subscribed),
                place.shownName);
  }
  settleSubscription(place, subscribed);
  return count;
}

void ImapServerTarget::settleSubscription(const FolderPlace& place, GatewayResult result) {
  if (checkResult(reporter_, TargetStep::Subscribe, result, place.shownName) == StepOutcome::Done) {
    return;
  }
  // The messages are safe; the folder only stays out of sight in clients
  // that list subscribed folders alone.
  reporter_.print("   Warning: the target refused to subscribe folder \"" + place.shownName +
                  "\" of <" + account_ + "> (" + gateway_.client().failureCause() +
                  "): its messages go on, clients that show subscribed folders only do not "
                  "show it\n");
}

bool ImapServerTarget::subscribed(const FolderPlace& place) {
  if (!subscriptions_.asked) {
    subscriptions_.asked = true;
    subscriptions_.known =
        checkResult(reporter_, TargetStep::Subscriptions,
                    gateway_.listSubscribed(subscriptions_.names)) == StepOutcome::Done;
    if (!subscriptions_.known) {
      reporter_.print("Warning: the target would not list the subscribed folders of <" + account_ +
                      "> (" + gateway_.client().failureCause() + "): they are not compared\n");
    }
  }
  if (!subscriptions_.known) {
    return true;
  }
  const auto inbox = [](const std::string& name) {
    return ostrel::utils::equalsIgnoreCase(name, "INBOX");
  };
  return std::any_of(subscriptions_.names.begin(), subscriptions_.names.end(),
                     [&](const std::string& name) {
                       return name == place.wireName || (inbox(name) && inbox(place.wireName));
                     });
}

const char* ImapServerTarget::skippedKind(const Folder& folder) const {
  return settings_.createNonMailFolders ? "" : nonMailKindWord(folder.type());
}

MigrationTarget::AccountCheck ImapServerTarget::checkAccount(const std::string& account,
                                                             bool exists) const {
  AccountCheck check;
  if (exists) {
    check.line = "Info: <" + account + "> exists on the target\n";
  } else {
    check.line = "Warning: <" + account +
                 "> cannot be logged in to on the target: a migration fails it, accounts "
                 "are not created on an IMAP server\n";
    check.fine = false;
  }
  return check;
}

}  // namespace lodemig
