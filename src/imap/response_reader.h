#ifndef LODEMIG_IMAP_RESPONSE_READER_H_
#define LODEMIG_IMAP_RESPONSE_READER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

namespace lodemig {

// Reads the server's responses from a stream one whole response at a time:
// its line and the literals it announces, with the lines that follow them.
// Everything is bounded: a line by kMaxLineLength, and the bytes read between
// two calls of resetBudget() by kMaxResponseLength, so that a hostile server
// cannot make the client grow without limit. Never throws for what the
// stream brings; the caller decides what an outcome means. Keeps its buffers
// from one response to the next. Used by one thread.
class ResponseReader {
 public:
  static constexpr std::size_t kLiteralPiece = 10240;
  static constexpr std::size_t kMaxLineLength = std::size_t{1} << 20;
  static constexpr std::uint64_t kMaxResponseLength = std::uint64_t{64} << 20;

  enum class Outcome {
    Response,  // response() holds it, line ends and literals included
    Bye,       // a line began with "* BYE": the server is ending the connection
    Silence,   // nothing came before the time-out or the end of the stream
    Broken,    // a line cut short or too long, a short literal, a bad stream or
               // more than the budget
  };

  ResponseReader();

  // Appends one line to `out`, up to and including its LF (CR kept); as far
  // as it came when the time-out or the end of the stream cut it. False when
  // `out` grew beyond kMaxLineLength.
  bool readLine(std::istream& in, std::string& out);
  // Reads one whole response into response().
  Outcome read(std::istream& in);
  // The response of the last read that returned Response; valid until the
  // next read.
  const std::string& response() const { return response_; }
  // The last line read, also when the read ended in Bye or Broken.
  const std::string& line() const { return line_; }
  // Starts a new budget: when a command completes and on a new connection.
  void resetBudget() { received_ = 0; }

 private:
  // Takes `bytes` from the budget; false when it does not have them.
  bool spend(std::uint64_t bytes);
  // Appends exactly `count` literal bytes to response_; false when the
  // stream ends first.
  bool readLiteral(std::istream& in, std::uint64_t count);

  std::array<char, 4096> lineBlock_;
  std::string line_;
  std::string response_;
  std::uint64_t received_ = 0;
};

}  // namespace lodemig

#endif  // LODEMIG_IMAP_RESPONSE_READER_H_
