// What the target holds of a folder before the run sends to it, and after a
// lost connection what it holds twice.

#include <algorithm>

#include "imap/message_summary.h"
#include "migration/account_migration.h"
#include "migration/journal_text.h"
#include "migration/target_result.h"
#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

// A header longer than this is no header a Message-ID would be looked for in.
constexpr std::size_t kMaxHeader = 256 * 1024;

// The Message-ID of the message's header as sent ("" without one).
std::string messageIdOf(Message& message) {
  std::string header;
  std::string piece;
  for (bool more = message.firstChunk(piece); more; more = message.nextChunk(piece)) {
    header += piece;
    // The header ends at its first empty line, however its lines end: a
    // Message-ID further on belongs to the body (a forwarded message's).
    const std::size_t end = std::min(header.find("\n\n"), header.find("\n\r\n"));
    if (end != std::string::npos) {
      header.resize(end + 1);
      break;
    }
    if (header.size() > kMaxHeader) {
      break;
    }
  }
  return messageIdOfHeader(header);
}

// Walks a copy of `folder` without a word to the log, calling `visit` with
// each message.
template <typename Visit>
void walkSilently(const Folder& folder, const Mailbox& mailbox, Visit visit) {
  std::ostream silent(nullptr);
  Folder walk(folder);
  walk.setLog(&silent);
  Message message(&walk);
  walk.open(mailbox.name());
  for (bool more = walk.firstMessage(message); more; more = walk.nextMessage(message)) {
    visit(message);
  }
  walk.close();
}

}  // namespace

void AccountMigration::reconcile(const Folder& folder, const Mailbox& mailbox,
                                 FolderUidState state) {
  const std::uint64_t from = resume_.plan(targetName_, state);
  if (from == 0) {
    return;
  }
  std::vector<MessageFingerprint> held;
  if (checkResult(reporter_, TargetStep::Fetch, gateway_.fetchFingerprints(from, held),
                  targetName_) == StepOutcome::Refused) {
    resume_.countInstead(state.messages, [&] { return countUnrecorded(folder, mailbox); });
    return;
  }
  if (held.empty()) {
    return;
  }
  std::vector<StoreFingerprint> store = storeFingerprints(folder, mailbox);
  resume_.match(store, std::move(held));
}

std::vector<StoreFingerprint> AccountMigration::storeFingerprints(const Folder& folder,
                                                                  const Mailbox& mailbox) {
  std::vector<StoreFingerprint> store;
  walkSilently(folder, mailbox, [&](Message& message) {
    StoreFingerprint print;
    try {
      print.identity = message.identity();
      print.legacyKey = journalKey(message.key());
      print.size = message.contentSize();
      print.messageId = messageIdOf(message);
    } catch (const QLStoreException&) {
      // A message that cannot be read matches nothing; the walk that sends
      // says why.
      print.messageId = "\n";
    }
    if (!parseImapDateTime(message.internalDate(), print.date)) {
      print.date = -1;
    }
    store.push_back(std::move(print));
  });
  return store;
}

std::int64_t AccountMigration::countUnrecorded(const Folder& folder, const Mailbox& mailbox) {
  std::int64_t count = 0;
  walkSilently(folder, mailbox, [&](Message& message) {
    std::string identity;
    try {
      identity = message.identity();
    } catch (const QLStoreException&) {
      // Unreadable: not recorded under any identity.
    }
    if (!resume_.recorded(identity, journalKey(message.key()))) {
      ++count;
    }
  });
  return count;
}

std::int64_t AccountMigration::foreignArrivals(const Folder& folder, const Mailbox& mailbox,
                                               std::int64_t before) {
  // Without the folder's UIDNEXT at its start, only a folder that was empty
  // then tells arrivals from what it held.
  const std::uint64_t from = resume_.startUid() > 0 ? resume_.startUid() : before == 0 ? 1 : 0;
  std::vector<MessageFingerprint> held;
  if (from == 0 || gateway_.fetchFingerprints(from, held) != kGatewayOk) {
    return 0;
  }
  return foreignCount(storeFingerprints(folder, mailbox), held, from);
}

void AccountMigration::removeDoubles(const Folder& folder, const Mailbox& mailbox,
                                     FolderTally& tally) {
  // Selected again: the listing must see what the server stored since.
  if (checkResult(reporter_, TargetStep::Select, gateway_.select(targetName_), targetName_) !=
      StepOutcome::Done) {
    return;
  }
  const std::string where = "folder \"" + folder.name() + "\" of <" + account_ + ">";
  std::vector<MessageFingerprint> held;
  if (checkResult(reporter_, TargetStep::Fetch, gateway_.fetchFingerprints(1, held), targetName_) ==
      StepOutcome::Refused) {
    reporter_.log("Warning: " + where +
                  ": the target cannot list its messages: copies a lost connection may have "
                  "stored twice are not looked for\n");
    return;
  }
  const std::vector<std::uint64_t> doubles =
      doublesOf(storeFingerprints(folder, mailbox), held, resume_.startUid(), resume_.ownUids());
  if (doubles.empty()) {
    return;
  }
  const std::string uids = uidSetText(doubles);
  // UID EXPUNGE removes exactly these; without UIDPLUS nothing is removed.
  const bool uidPlus = gateway_.uidPlus();
  const GatewayResult removed = uidPlus ? gateway_.expungeUids(doubles) : kGatewayExpungeFailed;
  if (removed == kGatewayOk) {
    tally.doublesRemoved = static_cast<std::int64_t>(doubles.size());
    reporter_.print("   Warning: " + where + ": " + std::to_string(doubles.size()) +
                    " messages that a lost connection had sent were stored twice: the copies "
                    "(UIDs " +
                    uids + ") were removed\n");
    return;
  }
  checkResult(reporter_, TargetStep::Fetch, removed, targetName_);
  reporter_.print("Error: " + where + " holds " + std::to_string(doubles.size()) +
                  " messages twice that a lost connection had sent (UIDs " + uids +
                  "): they could not be removed" +
                  (uidPlus ? std::string() : ": the server has no UIDPLUS") + "\n");
}

}  // namespace lodemig
