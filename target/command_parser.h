#ifndef LODEMIG_TARGET_COMMAND_PARSER_H_
#define LODEMIG_TARGET_COMMAND_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lodemig::target {

// A literal announcement ending a line: "{n}" (synchronizing: the client
// waits for a continuation) or "{n+}" (the bytes follow at once).
struct LiteralAnnouncement {
  bool present = false;
  bool synchronizing = false;
  // UINT64_MAX when the number does not fit.
  std::uint64_t size = 0;
  // Where the "{" stands in the line.
  std::size_t start = 0;
};

// Looks for an announcement at the very end of `line` (line ends removed).
LiteralAnnouncement findLiteralAnnouncement(std::string_view line);

// One argument of a command. The tokens of a command lie in one flat array;
// a list's items follow it, and `end` is the index just past its last item
// (for other tokens, the next index), so top-level arguments are reached by
// jumping from one `end` to the next.
struct Token {
  enum class Kind {
    kAtom,
    kString,   // quoted or literal; `text` holds the value
    kList,     // `text` holds the raw text between the parentheses
    kMessage,  // the message literal of an append; its bytes are kept by the caller
  };
  Kind kind = Kind::kAtom;
  std::string text;
  std::size_t end = 0;
};

// Builds the token array of one command from the pieces it arrives in: the
// text of each line up to its literal announcement, and each literal. The
// token storage is kept across commands so that a steady stream of commands
// allocates nothing.
class CommandParser {
 public:
  // Forgets the previous command.
  void reset();
  // Parses one piece of line text. False on a syntax error (error() says
  // which); the parser then takes no more pieces until reset().
  bool feed(std::string_view text);
  // The next argument is a literal with these bytes.
  void addLiteral(std::string_view bytes);
  // The next argument is the message literal of an append.
  void addMessage();
  // After the last piece; false when a list is still open.
  bool finish();

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  std::size_t size() const { return count_; }
  const Token& operator[](std::size_t index) const { return tokens_[index]; }
  // Lists opened and not yet closed.
  std::size_t depth() const { return open_.size(); }
  // Arguments outside any list so far (the tag and the command name included).
  std::size_t topLevelCount() const { return topLevel_; }
  bool hasMessage() const { return hasMessage_; }

 private:
  struct OpenList {
    std::size_t index;
    std::size_t piece;  // the piece in which "(" stood
    std::size_t start;  // offset after "(" in that piece
  };

  Token& push(Token::Kind kind);
  bool fail(const char* message);

  std::vector<Token> tokens_;
  std::size_t count_ = 0;
  std::vector<OpenList> open_;
  std::size_t topLevel_ = 0;
  std::size_t piece_ = 0;
  bool hasMessage_ = false;
  std::string error_;
};

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_COMMAND_PARSER_H_
