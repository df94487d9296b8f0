#ifndef LODEMIG_IMAP_IMAP_COMMAND_H_
#define LODEMIG_IMAP_IMAP_COMMAND_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/imessage.h"

namespace lodemig {

class ImapClient;

// Completion status of a command: the status word of its tagged line.
// A word other than OK, NO or BAD counts as Bad.
enum class CommandStatus : int { Ok = 0, No = 1, Bad = 2 };

// One IMAP command: its tagged line, built with the add* builders, and, once
// executed, the server's untagged responses and tagged completion line.
// The command takes the client's next tag ("V0", "V1", ...) when it is
// constructed. `client` must outlive the command; a command serves one
// exchange and is then discarded.
class ImapCommand {
 public:
  // Starts the line as the tag followed by `name`. The line's storage is
  // borrowed from the client and given back by the destructor.
  ImapCommand(ImapClient& client, const std::string& name);
  ~ImapCommand();
  ImapCommand(const ImapCommand&) = delete;
  ImapCommand& operator=(const ImapCommand&) = delete;

  // Each builder appends one space unless `line` is empty, then its argument.
  // `text` unchanged.
  static void appendAtom(std::string& line, const std::string& text);
  // Double-quoted, with a backslash before each double quote and backslash.
  static void appendQuoted(std::string& line, const std::string& text);
  // "(" text ")".
  static void appendParenthesized(std::string& line, const std::string& text);
  // "(", the items quoted (one space after "(", two between items), ")".
  static void appendQuotedList(std::string& line, const std::vector<std::string>& items);
  // The non-synchronizing literal "{n+}" CR LF and the n bytes.
  static void appendLiteral(std::string& line, const std::string& bytes);

  void addAtom(const std::string& text) { appendAtom(line_, text); }
  void addQuoted(const std::string& text) { appendQuoted(line_, text); }
  void addParenthesized(const std::string& text) { appendParenthesized(line_, text); }
  void addQuotedList(const std::vector<std::string>& items) { appendQuotedList(line_, items); }
  void addLiteral(const std::string& bytes) { appendLiteral(line_, bytes); }
  // Ends the line with the announcement "{size+}" CR LF of content that
  // execute() sends from an IMessage.
  void announceContent(std::uint32_t size);

  // Sends the line (and `content`, whose pieces must add up to the announced
  // size) without waiting for a continuation, then reads responses until the
  // tagged line. Throws the ImapException family: ImapServerBrokeConnection
  // on "* BYE", ImapTimeoutException on an empty read, ImapConnectionFailed
  // when the connection breaks, IMessageLoadFailedException when the content
  // cannot be produced, is not of the announced size or cannot be sent.
  // Each leaves the client disconnected, so that the next command
  // reconnects; the command itself is never sent twice once sent whole.
  CommandStatus execute(IMessage* content = nullptr);

  // Login exchanges: sends the line (plus CR LF) on the current connection,
  // without reconnecting.
  void sendDirect();
  // Reads one whole response (literals included) into the client's working
  // buffer and returns it with its line end; valid until the next read.
  const std::string& readResponse();
  // Reads responses until the tagged line; untagged ones are collected.
  CommandStatus readUntilTagged();

  const std::string& line() const { return line_; }
  const std::string& tag() const { return tag_; }
  const std::string& name() const { return name_; }
  // One entry per untagged response, in arrival order, without CR LF.
  const std::vector<std::string>& untaggedLines() const { return untaggedLines_; }
  // The tagged completion line without CR LF.
  const std::string& finalLine() const { return finalLine_; }

 private:
  void countReceived(std::uint64_t bytes);
  bool isTagged(const std::string& response) const;

  ImapClient& client_;
  std::string tag_;
  std::string name_;
  std::string line_;
  std::vector<std::string> untaggedLines_;
  std::string finalLine_;
  std::uint32_t announcedSize_ = 0;
  // Bytes of response read for this command, bounded so that a hostile server
  // cannot make the client grow without limit.
  std::uint64_t received_ = 0;
};

// True when `response` (with or without its line end) ends with a literal
// announcement: "{" digits "}" or "{" digits "+}".
bool announcesLiteral(const std::string& response);
// The byte count announced by a line that ends with "{n}" or "{n+}": the
// number after the last "{" (or at the start when there is none), digits up
// to the first non-digit. Values above `limit` are returned as limit + 1.
std::uint64_t announcedLiteralSize(const std::string& line, std::uint64_t limit);
// True when `word` stands at `position` of `line` as a whole word: followed by
// a blank, the line end or nothing.
bool isStatusWord(const std::string& line, std::size_t position, std::string_view word);
// The status word that follows `tag` and spaces at the start of `line`; a word
// that is not exactly OK or NO reads as Bad.
CommandStatus statusOf(const std::string& line, const std::string& tag);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_COMMAND_H_
