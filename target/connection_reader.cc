#include "target/connection_reader.h"

#include <algorithm>
#include <cstring>

namespace lodemig::target {

ConnectionReader::ConnectionReader(ostrel::utils::ServerConnection& connection,
                                   std::size_t bufferSize, std::ostream* transcript)
    : connection_(connection), transcript_(transcript), buffer_(bufferSize) {}

bool ConnectionReader::refill() {
  if (begin_ == end_) {
    begin_ = end_ = 0;
  }
  char* into = buffer_.data() + end_;
  const std::size_t room = buffer_.size() - end_;
  const long count =
      layer_ != nullptr ? layer_->receive(into, room) : connection_.receive(into, room);
  if (count <= 0) {
    return false;
  }
  if (transcript_ != nullptr) {
    transcript_->write(buffer_.data() + end_, count);
    transcript_->flush();
  }
  end_ += static_cast<std::size_t>(count);
  return true;
}

std::string ConnectionReader::takeUnread() {
  std::string held(buffer_.data() + begin_, end_ - begin_);
  begin_ = end_ = 0;
  return held;
}

ConnectionReader::Status ConnectionReader::readLine(std::string& line, std::size_t limit) {
  line.clear();
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
    if (lf != nullptr) {
      const std::size_t length = static_cast<std::size_t>(lf - start);
      if (line.size() + length > limit + 1) {
        return Status::kTooLong;
      }
      line.append(start, length);
      begin_ += length + 1;
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line.size() > limit ? Status::kTooLong : Status::kOk;
    }
    // A line that does not end in what is buffered is kept in `line`, so the
    // whole buffer is free for the next receive.
    line.append(start, available);
    begin_ = end_ = 0;
    if (line.size() > limit + 1) {
      return Status::kTooLong;
    }
    if (!refill()) {
      return Status::kClosed;
    }
  }
}

ConnectionReader::Status ConnectionReader::readBytes(std::uint64_t count, std::string* out,
                                                     ContentDigest* digest) {
  while (count > 0) {
    if (begin_ == end_ && !refill()) {
      return Status::kClosed;
    }
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - begin_));
    if (out != nullptr) {
      out->append(buffer_.data() + begin_, take);
    }
    if (digest != nullptr) {
      digest->update(buffer_.data() + begin_, take);
    }
    begin_ += take;
    count -= take;
  }
  return Status::kOk;
}

}  // namespace lodemig::target
