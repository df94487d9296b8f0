#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "target/imap_session.h"
#include "target/imap_text.h"
#include "target/sequence_set.h"
#include "utils/ascii.h"

namespace lodemig::target {

namespace {

using ostrel::utils::equalsIgnoreCase;

// The INTERNALDATE of a message appended without a date: fixed, so that
// answers can be compared across runs.
constexpr std::string_view kNoDate = "01-Jan-2000 00:00:00 +0000";
// The one header section FETCH serves, as its answer names it.
constexpr std::string_view kMessageIdItem = "BODY[HEADER.FIELDS (MESSAGE-ID)]";

}  // namespace

bool ImapSession::fetchItems(const Token& items, std::size_t index) {
  fetchItems_.clear();
  if (items.kind == Token::Kind::kAtom) {
    fetchItems_.push_back(items.text);
  } else if (items.kind == Token::Kind::kList) {
    for (std::size_t i = index + 1; i < items.end; i = parser_[i].end) {
      if (parser_[i].kind != Token::Kind::kAtom) {
        return false;
      }
      // The section's list splits BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)] into
      // three tokens; the one header a client may ask for is taken whole.
      const std::size_t list = parser_[i].end;
      const std::size_t close = list < items.end ? parser_[list].end : items.end;
      if ((equalsIgnoreCase(parser_[i].text, "BODY.PEEK[HEADER.FIELDS") ||
           equalsIgnoreCase(parser_[i].text, "BODY[HEADER.FIELDS")) &&
          close < items.end && parser_[list].kind == Token::Kind::kList &&
          equalsIgnoreCase(parser_[list].text, "MESSAGE-ID") && parser_[close].text == "]") {
        fetchItems_.push_back(kMessageIdItem);
        i = close;
        continue;
      }
      fetchItems_.push_back(parser_[i].text);
    }
  }
  return std::all_of(fetchItems_.begin(), fetchItems_.end(), [](std::string_view item) {
    return equalsIgnoreCase(item, "RFC822.SIZE") || equalsIgnoreCase(item, "INTERNALDATE") ||
           equalsIgnoreCase(item, "FLAGS") || equalsIgnoreCase(item, "UID") ||
           item == kMessageIdItem;
  });
}

std::string ImapSession::fetchLine(std::uint64_t number, const MessageRecord& record,
                                   bool withUid) const {
  std::string line = std::to_string(number) + " FETCH (";
  const bool uidAsked =
      std::any_of(fetchItems_.begin(), fetchItems_.end(),
                  [](std::string_view item) { return equalsIgnoreCase(item, "UID"); });
  if (withUid && !uidAsked) {
    line.append("UID ").append(std::to_string(record.uid)).append(" ");
  }
  for (std::size_t i = 0; i < fetchItems_.size(); ++i) {
    const std::string_view item = fetchItems_[i];
    line.append(i == 0 ? "" : " ");
    if (equalsIgnoreCase(item, "RFC822.SIZE")) {
      line.append("RFC822.SIZE ").append(std::to_string(record.size));
    } else if (equalsIgnoreCase(item, "INTERNALDATE")) {
      line.append("INTERNALDATE ")
          .append(quoted(record.date.empty() ? kNoDate : std::string_view(record.date)));
    } else if (equalsIgnoreCase(item, "UID")) {
      line.append("UID ").append(std::to_string(record.uid));
    } else if (item == kMessageIdItem) {
      // The field and the empty line that ends a header section.
      line.append(kMessageIdItem).append(" {");
      line.append(std::to_string(record.messageIdField.size() + 2)).append("}\r\n");
      line.append(record.messageIdField).append("\r\n");
    } else {
      line.append("FLAGS (").append(joinWords(flagWords(record.flags))).append(")");
    }
  }
  return line + ")";
}

ImapSession::Flow ImapSession::fetch() {
  if (!acting_) {
    return reply("BAD", "Not authenticated");
  }
  if (!selected_) {
    return reply("BAD", "No folder selected");
  }
  if (argumentCount() != 2 || argument(0).kind != Token::Kind::kAtom) {
    return reply("BAD", "FETCH needs a sequence set and items");
  }
  if (!fetchItems(argument(1), args_[1]) || fetchItems_.empty()) {
    return reply("BAD", "Unknown FETCH item");
  }
  const std::optional<std::vector<MessageRecord>> records =
      store_.folderRecords(*acting_, *selected_);
  if (!records) {
    return reply("NO", "[NONEXISTENT] No such folder");
  }
  std::vector<std::uint64_t> numbers;
  switch (expandSequenceSet(argument(0).text, records->size(), numbers)) {
    case SequenceOutcome::kInvalid:
      return reply("BAD", "Invalid sequence set");
    case SequenceOutcome::kOutOfRange:
      return reply("BAD", "No such message");
    case SequenceOutcome::kDone:
      break;
  }
  for (const std::uint64_t number : numbers) {
    untagged(fetchLine(number, (*records)[number - 1]));
  }
  return reply("OK", "FETCH completed");
}

}  // namespace lodemig::target
