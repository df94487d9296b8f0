#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "target/imap_session.h"
#include "target/sequence_set.h"
#include "utils/ascii.h"

namespace lodemig::target {

namespace {

using ostrel::utils::equalsIgnoreCase;

std::vector<std::uint64_t> uidsOf(const std::vector<MessageRecord>& records) {
  std::vector<std::uint64_t> uids;
  uids.reserve(records.size());
  for (const MessageRecord& record : records) {
    uids.push_back(record.uid);
  }
  return uids;
}

}  // namespace

std::vector<std::uint64_t> ImapSession::UidSelection::chosenUids() const {
  std::vector<std::uint64_t> uids;
  uids.reserve(indices.size());
  for (const std::size_t index : indices) {
    uids.push_back(records[index].uid);
  }
  return uids;
}

std::optional<ImapSession::UidSelection> ImapSession::selectByUid(const std::string* uidSet,
                                                                  Flow& flow) {
  flow = Flow::kContinue;
  if (!acting_) {
    flow = reply("BAD", "Not authenticated");
    return std::nullopt;
  }
  if (!selected_) {
    flow = reply("BAD", "No folder selected");
    return std::nullopt;
  }
  std::optional<std::vector<MessageRecord>> records = store_.folderRecords(*acting_, *selected_);
  if (!records) {
    flow = reply("NO", "[NONEXISTENT] No such folder");
    return std::nullopt;
  }
  UidSelection selection{std::move(*records), {}};
  if (uidSet == nullptr) {
    for (std::size_t i = 0; i < selection.records.size(); ++i) {
      selection.indices.push_back(i);
    }
  } else if (!selectUidSet(*uidSet, uidsOf(selection.records), selection.indices)) {
    flow = reply("BAD", "Invalid UID set");
    return std::nullopt;
  }
  return selection;
}

ImapSession::Flow ImapSession::uid() {
  if (argumentCount() < 1 || argument(0).kind != Token::Kind::kAtom) {
    return reply("BAD", "UID needs a command");
  }
  const std::string& name = argument(0).text;
  // The arguments of the command that follows UID.
  args_.erase(args_.begin());
  if (equalsIgnoreCase(name, "FETCH")) {
    return uidFetch();
  }
  if (equalsIgnoreCase(name, "SEARCH")) {
    return uidSearch();
  }
  if (equalsIgnoreCase(name, "STORE")) {
    return uidStore();
  }
  // A server without UIDPLUS does not know UID EXPUNGE.
  if (equalsIgnoreCase(name, "EXPUNGE") && !options_.noUidplus) {
    return expunge(true);
  }
  return reply("BAD", "Unknown UID command");
}

ImapSession::Flow ImapSession::uidFetch() {
  if (argumentCount() != 2 || argument(0).kind != Token::Kind::kAtom) {
    return reply("BAD", "UID FETCH needs a UID set and items");
  }
  if (!fetchItems(argument(1), args_[1]) || fetchItems_.empty()) {
    return reply("BAD", "Unknown FETCH item");
  }
  Flow flow;
  const std::optional<UidSelection> selection = selectByUid(&argument(0).text, flow);
  if (!selection) {
    return flow;
  }
  for (const std::size_t index : selection->indices) {
    untagged(fetchLine(index + 1, selection->records[index], true));
  }
  return reply("OK", "UID FETCH completed");
}

ImapSession::Flow ImapSession::uidSearch() {
  // ALL, or UID followed by a UID set: what a client needs to learn the UIDs
  // a folder holds.
  const bool all = argumentCount() == 1 && equalsIgnoreCase(argument(0).text, "ALL");
  const bool byUid = argumentCount() == 2 && equalsIgnoreCase(argument(0).text, "UID") &&
                     argument(1).kind == Token::Kind::kAtom;
  if (!all && !byUid) {
    return reply("BAD", "UID SEARCH takes ALL or UID and a UID set");
  }
  Flow flow;
  const std::optional<UidSelection> selection =
      selectByUid(all ? nullptr : &argument(1).text, flow);
  if (!selection) {
    return flow;
  }
  std::string line = "SEARCH";
  for (const std::uint64_t uid : selection->chosenUids()) {
    line.append(" ").append(std::to_string(uid));
  }
  untagged(line);
  return reply("OK", "UID SEARCH completed");
}

ImapSession::Flow ImapSession::uidStore() {
  if (argumentCount() != 3 || argument(0).kind != Token::Kind::kAtom ||
      argument(1).kind != Token::Kind::kAtom) {
    return reply("BAD", "UID STORE needs a UID set, an item and flags");
  }
  const std::string& item = argument(1).text;
  const bool add = item.compare(0, 1, "+") == 0;
  const bool silent =
      equalsIgnoreCase(item, "+FLAGS.SILENT") || equalsIgnoreCase(item, "-FLAGS.SILENT");
  if (!silent && !equalsIgnoreCase(item, "+FLAGS") && !equalsIgnoreCase(item, "-FLAGS")) {
    return reply("BAD", "UID STORE only adds or removes flags");
  }
  std::vector<std::string> flags;
  const Token& list = argument(2);
  if (list.kind == Token::Kind::kAtom) {
    flags.push_back(list.text);
  } else if (list.kind == Token::Kind::kList) {
    for (std::size_t i = args_[2] + 1; i < list.end; i = parser_[i].end) {
      if (parser_[i].kind != Token::Kind::kAtom) {
        return reply("BAD", "Malformed flag list");
      }
      flags.push_back(parser_[i].text);
    }
  }
  Flow flow;
  const std::optional<UidSelection> selection = selectByUid(&argument(0).text, flow);
  if (!selection) {
    return flow;
  }
  const std::vector<std::uint64_t> chosen = selection->chosenUids();
  for (std::string& flag : flags) {
    // Stored in one spelling, so that EXPUNGE finds \Deleted however it was sent.
    if (equalsIgnoreCase(flag, "\\Deleted")) {
      flag = "\\Deleted";
    }
    store_.addFlag(*acting_, *selected_, chosen, flag, add);
  }
  if (!silent) {
    const std::optional<std::vector<MessageRecord>> after =
        store_.folderRecords(*acting_, *selected_);
    fetchItems_ = {"FLAGS"};
    for (const std::size_t index : selection->indices) {
      untagged(fetchLine(index + 1, (*after)[index], true));
    }
  }
  return reply("OK", "UID STORE completed");
}

ImapSession::Flow ImapSession::expunge(bool byUid) {
  if (argumentCount() != (byUid ? 1 : 0) || (byUid && argument(0).kind != Token::Kind::kAtom)) {
    return reply("BAD", byUid ? "UID EXPUNGE needs a UID set" : "EXPUNGE takes no arguments");
  }
  Flow flow;
  const std::optional<UidSelection> selection =
      selectByUid(byUid ? &argument(0).text : nullptr, flow);
  if (!selection) {
    return flow;
  }
  const std::vector<std::uint64_t> uids =
      byUid ? selection->chosenUids() : std::vector<std::uint64_t>();
  const std::optional<std::vector<std::uint64_t>> removed =
      store_.expunge(*acting_, *selected_, byUid ? &uids : nullptr);
  if (!removed) {
    return reply("NO", "[NONEXISTENT] No such folder");
  }
  for (const std::uint64_t number : *removed) {
    untagged(std::to_string(number) + " EXPUNGE");
  }
  return reply("OK", byUid ? "UID EXPUNGE completed" : "EXPUNGE completed");
}

}  // namespace lodemig::target
