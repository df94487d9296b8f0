#include <algorithm>

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

std::optional<std::vector<MessageRecord>> ImapSession::selectedRecords(Flow& flow) {
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
  }
  return records;
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
  const std::optional<std::vector<MessageRecord>> records = selectedRecords(flow);
  if (!records) {
    return flow;
  }
  std::vector<std::size_t> indices;
  if (!selectUidSet(argument(0).text, uidsOf(*records), indices)) {
    return reply("BAD", "Invalid UID set");
  }
  for (const std::size_t index : indices) {
    untagged(fetchLine(index + 1, (*records)[index], true));
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
  const std::optional<std::vector<MessageRecord>> records = selectedRecords(flow);
  if (!records) {
    return flow;
  }
  const std::vector<std::uint64_t> uids = uidsOf(*records);
  std::vector<std::size_t> indices;
  if (all) {
    for (std::size_t i = 0; i < uids.size(); ++i) {
      indices.push_back(i);
    }
  } else if (!selectUidSet(argument(1).text, uids, indices)) {
    return reply("BAD", "Invalid UID set");
  }
  std::string line = "SEARCH";
  for (const std::size_t index : indices) {
    line.append(" ").append(std::to_string(uids[index]));
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
  const bool silent = equalsIgnoreCase(item, "+FLAGS.SILENT");
  if (!silent && !equalsIgnoreCase(item, "+FLAGS")) {
    return reply("BAD", "UID STORE only adds flags");
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
  const std::optional<std::vector<MessageRecord>> records = selectedRecords(flow);
  if (!records) {
    return flow;
  }
  std::vector<std::size_t> indices;
  if (!selectUidSet(argument(0).text, uidsOf(*records), indices)) {
    return reply("BAD", "Invalid UID set");
  }
  std::vector<std::uint64_t> chosen;
  for (const std::size_t index : indices) {
    chosen.push_back((*records)[index].uid);
  }
  for (std::string& flag : flags) {
    // Stored in one spelling, so that EXPUNGE finds \Deleted however it was sent.
    if (equalsIgnoreCase(flag, "\\Deleted")) {
      flag = "\\Deleted";
    }
    store_.addFlag(*acting_, *selected_, chosen, flag);
  }
  if (!silent) {
    const std::optional<std::vector<MessageRecord>> after =
        store_.folderRecords(*acting_, *selected_);
    fetchItems_ = {"FLAGS"};
    for (const std::size_t index : indices) {
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
  const std::optional<std::vector<MessageRecord>> records = selectedRecords(flow);
  if (!records) {
    return flow;
  }
  std::vector<std::uint64_t> uids;
  if (byUid) {
    std::vector<std::size_t> indices;
    if (!selectUidSet(argument(0).text, uidsOf(*records), indices)) {
      return reply("BAD", "Invalid UID set");
    }
    for (const std::size_t index : indices) {
      uids.push_back((*records)[index].uid);
    }
  }
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
