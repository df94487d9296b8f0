#include "imap/response_reader.h"

#include <algorithm>

#include "imap/imap_command.h"

namespace lodemig {

ResponseReader::ResponseReader() {
  line_.reserve(1024);
  response_.reserve(1024);
}

bool ResponseReader::readLine(std::istream& in, std::string& out) {
  for (;;) {
    in.getline(lineBlock_.data(), static_cast<std::streamsize>(lineBlock_.size()));
    const auto count = static_cast<std::size_t>(in.gcount());
    const std::ios::iostate state = in.rdstate();
    if (state == std::ios::goodbit) {
      // The LF was found and counted, but not stored.
      out.append(lineBlock_.data(), count - 1);
      out += '\n';
      return out.size() <= kMaxLineLength;
    }
    out.append(lineBlock_.data(), count);
    if (out.size() > kMaxLineLength) {
      return false;
    }
    if ((state & (std::ios::eofbit | std::ios::badbit)) != 0 || count == 0) {
      return true;
    }
    // Only the block filled up: the line goes on.
    in.clear();
  }
}

ResponseReader::Outcome ResponseReader::read(std::istream& in) {
  response_.clear();
  // Every pass takes at least one byte from the budget, which bounds the loop.
  for (;;) {
    line_.clear();
    // A line cut short by the time-out or the end of the stream is not a
    // response: its status word or literal announcement may be incomplete.
    if (!readLine(in, line_) || in.bad() || (!line_.empty() && line_.back() != '\n')) {
      return Outcome::Broken;
    }
    if (line_.compare(0, 2, "* ") == 0 && isStatusWord(line_, 2, "BYE")) {
      return Outcome::Bye;
    }
    if (line_.empty()) {
      return Outcome::Silence;
    }
    if (!spend(line_.size())) {
      return Outcome::Broken;
    }
    response_ += line_;
    if (!announcesLiteral(line_)) {
      return Outcome::Response;
    }
    const std::uint64_t size = announcedLiteralSize(line_, kMaxResponseLength - received_);
    if (!spend(size) || !readLiteral(in, size)) {
      return Outcome::Broken;
    }
  }
}

bool ResponseReader::spend(std::uint64_t bytes) {
  received_ += bytes;
  return received_ <= kMaxResponseLength;
}

bool ResponseReader::readLiteral(std::istream& in, std::uint64_t count) {
  // Memory grows only with the bytes that actually arrive, never with the
  // size a server announces.
  while (count > 0) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, kLiteralPiece));
    const std::size_t old = response_.size();
    response_.resize(old + piece);
    in.read(&response_[old], static_cast<std::streamsize>(piece));
    const auto got = static_cast<std::size_t>(in.gcount());
    response_.resize(old + got);
    count -= got;
    if (got < piece) {
      return false;
    }
  }
  return true;
}

}  // namespace lodemig
