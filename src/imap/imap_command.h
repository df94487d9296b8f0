#ifndef LODEMIG_IMAP_IMAP_COMMAND_H_
#define LODEMIG_IMAP_IMAP_COMMAND_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/imessage.h"

namespace lodemig {

// Completion status of a command: the status word of its tagged line.
// A word other than OK, NO or BAD counts as Bad.
enum class CommandStatus : int { Ok = 0, No = 1, Bad = 2 };

// One IMAP command, independent of any connection: its tagged line, built
// with the add* builders into the command's own buffer, the content it
// announces, and, once answered, the server's untagged responses and tagged
// completion line. ImapClient writes it and hands it its answer.
//
// A command may be started again for the next exchange: start() keeps the
// storage of the line, the completion line and the list of untagged
// responses, so that a command reused for every append allocates nothing
// once a few have run.
class ImapCommand {
 public:
  ImapCommand() = default;
  // start(tag, name).
  ImapCommand(std::string_view tag, std::string_view name) { start(tag, name); }
  ImapCommand(const ImapCommand&) = delete;
  ImapCommand& operator=(const ImapCommand&) = delete;

  // Forgets the previous exchange and starts the line as `tag` (the client's
  // nextTag()) followed by `name`.
  void start(std::string_view tag, std::string_view name);

  // Each builder appends one space unless `line` is empty, then its argument.
  // `text` unchanged.
  static void appendAtom(std::string& line, std::string_view text);
  // Double-quoted, with a backslash before each double quote and backslash.
  static void appendQuoted(std::string& line, std::string_view text);
  // "(" text ")".
  static void appendParenthesized(std::string& line, std::string_view text);
  // "(", the items quoted (one space after "(", two between items), ")".
  static void appendQuotedList(std::string& line, const std::vector<std::string>& items);
  // The non-synchronizing literal "{n+}" CR LF and the n bytes.
  static void appendLiteral(std::string& line, std::string_view bytes);

  void addAtom(std::string_view text) { appendAtom(line_, text); }
  void addQuoted(std::string_view text) { appendQuoted(line_, text); }
  void addParenthesized(std::string_view text) { appendParenthesized(line_, text); }
  void addQuotedList(const std::vector<std::string>& items) { appendQuotedList(line_, items); }
  void addLiteral(std::string_view bytes) { appendLiteral(line_, bytes); }
  // Ends the line with the announcement " {size+}" CR LF of `content`, which
  // the client sends as a non-synchronizing literal after the line. `content`
  // must stay alive until the command is answered; its pieces must add up to
  // `size` bytes.
  // With `synchronizing`, the announcement is " {size}" CR LF instead, and
  // the client waits for the server's continuation before the content.
  void announceContent(IMessage& content, std::uint32_t size, bool synchronizing = false);
  // Ends the line with CR LF unless content was announced (the client ends
  // the content with CR LF). Called by the client before the first write;
  // later calls change nothing, so that a resent command stays the same.
  void finishLine();
  // Starts the next message of a command that carries several (one APPEND
  // with a message after another): no tag, the line is `arguments` after a
  // blank, and announceContent() then adds the message. The client writes it
  // with continueCommand() after the command's previous content.
  void startContinuation(std::string_view arguments);
  // With `open`, the command's content is not followed by its final CR LF:
  // more of the command follows (continueCommand()) until the client's
  // closeCommand() ends it. Kept until the next start().
  void keepOpen(bool open) { open_ = open; }
  bool open() const { return open_; }

  // Called by the client's reader: one untagged (or continuation) response,
  // stored without its final CR LF.
  void addUntagged(const std::string& response);
  // Called by the client's reader: the tagged line, which completes the
  // command and decides its status.
  void complete(const std::string& response);

  const std::string& tag() const { return tag_; }
  // The bytes written before the content: the whole command once finished.
  const std::string& line() const { return line_; }
  IMessage* content() const { return content_; }
  std::uint32_t announcedSize() const { return announcedSize_; }
  bool synchronizing() const { return synchronizing_; }

  bool completed() const { return completed_; }
  // The status of the tagged line; Bad until completed.
  CommandStatus status() const { return status_; }
  // One entry per untagged response, in arrival order, without CR LF.
  const std::vector<std::string>& untaggedLines() const { return untaggedLines_; }
  // The tagged completion line without CR LF.
  const std::string& finalLine() const { return finalLine_; }

 private:
  std::string tag_;
  std::string line_;
  IMessage* content_ = nullptr;
  std::uint32_t announcedSize_ = 0;
  bool lineFinished_ = false;
  bool synchronizing_ = false;
  bool open_ = false;
  bool completed_ = false;
  CommandStatus status_ = CommandStatus::Bad;
  std::vector<std::string> untaggedLines_;
  std::string finalLine_;
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
// The message count of an untagged "* n EXISTS" response (without its line
// end; the word in any letter case), n at most 4294967295; -1 for any other
// response.
std::int64_t existsCount(const std::string& untagged);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_IMAP_COMMAND_H_
