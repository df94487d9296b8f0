#include "store/message.h"

#include <cstring>
#include <limits>
#include <mutex>

#include "store/folder.h"
#include "utils/input_file.h"
#include "utils/ql_exception.h"

namespace lodemig {

namespace {

const char kCannotRead[] = "message cannot be read";
constexpr std::uint64_t kMaxContentSize = std::numeric_limits<std::uint32_t>::max();

}  // namespace

void appendLineEnds(const char* piece, std::size_t size, std::string& out) {
  const char* end = piece + size;
  const char* copied = piece;
  // The first byte of a piece is never converted: each piece stands alone.
  for (const char* p = piece + (size > 0 ? 1 : 0); p < end;) {
    const char* lineFeed = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (lineFeed == nullptr) {
      break;
    }
    if (lineFeed[-1] != '\r') {
      out.append(copied, lineFeed - copied);
      out.push_back('\r');
      copied = lineFeed;
    }
    p = lineFeed + 1;
  }
  out.append(copied, end - copied);
}

std::string convertLineEnds(const char* piece, std::size_t size) {
  std::string out;
  out.reserve(size + size / 8);
  appendLineEnds(piece, size, out);
  return out;
}

std::size_t countLineEndsToFix(const char* piece, std::size_t size) {
  std::size_t count = 0;
  const char* end = piece + size;
  for (const char* p = piece + (size > 0 ? 1 : 0); p < end;) {
    const char* lineFeed = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (lineFeed == nullptr) {
      break;
    }
    if (lineFeed[-1] != '\r') {
      ++count;
    }
    p = lineFeed + 1;
  }
  return count;
}

void Message::setRange(std::uint64_t offset, std::uint64_t storedSize, bool fixCrLf) {
  offset_ = offset;
  storedSize_ = storedSize;
  fixCrLf_ = fixCrLf;
  contentSize_ = 0;
}

std::size_t Message::readPiece() {
  ostrel::utils::InputFile* file = folder_ != nullptr ? folder_->file() : nullptr;
  if (file == nullptr || readPosition_ > static_cast<std::uint64_t>(INT64_MAX) ||
      !file->seek(static_cast<std::int64_t>(readPosition_))) {
    throw QLStoreException(kCannotRead);
  }
  std::uint64_t end = offset_ + storedSize_;
  if (readPosition_ >= end) {
    return 0;
  }
  std::size_t count =
      static_cast<std::size_t>(std::min<std::uint64_t>(end - readPosition_, kPieceSize));
  if (!work_) {
    work_ = std::make_unique<char[]>(kPieceSize + 1);
  }
  // A file that ended or failed early must not turn into a short literal: the
  // announced size has already gone out.
  if (file->read(work_.get(), count) != static_cast<std::int64_t>(count)) {
    throw QLStoreException(kCannotRead);
  }
  readPosition_ += count;
  return count;
}

bool Message::firstChunk(std::string& buffer) {
  buffer.clear();
  if (storedSize_ > kMaxContentSize) {
    throw QLStoreException(kCannotRead);
  }
  readPosition_ = offset_;
  return nextChunk(buffer);
}

bool Message::nextChunk(std::string& buffer) {
  buffer.clear();
  std::size_t count = readPiece();
  if (count == 0) {
    return false;
  }
  if (fixCrLf_) {
    appendLineEnds(work_.get(), count, buffer);
  } else {
    buffer.assign(work_.get(), count);
  }
  return true;
}

std::uint32_t Message::contentSize() {
  std::lock_guard<ostrel::utils::VMutex> lock(mutex_);
  if (contentSize_ == 0) {
    if (storedSize_ > kMaxContentSize) {
      throw QLStoreException(kCannotRead);
    }
    if (!fixCrLf_) {
      contentSize_ = static_cast<std::uint32_t>(storedSize_);
    } else {
      // Count the CRs the pieces will gain instead of building them.
      std::uint64_t total = 0;
      readPosition_ = offset_;
      for (std::size_t count = readPiece(); count > 0; count = readPiece()) {
        total += count + countLineEndsToFix(work_.get(), count);
      }
      if (total > kMaxContentSize) {
        throw QLStoreException(kCannotRead);
      }
      contentSize_ = static_cast<std::uint32_t>(total);
    }
  }
  return contentSize_;
}

}  // namespace lodemig
