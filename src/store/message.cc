#include "store/message.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "store/folder.h"
#include "store/line_scan.h"
#include "utils/input_file.h"
#include "utils/ql_exception.h"

namespace lodemig {

namespace {

const char kCannotRead[] = "message cannot be read";
constexpr std::uint64_t kMaxContentSize = std::numeric_limits<std::uint32_t>::max();
static_assert(ostrel::utils::InputFile::kBufferSize >= Message::kPieceSize,
              "a piece must fit in the file's buffer");

}  // namespace

void appendLineEnds(const char* piece, std::size_t size, std::string& out) {
  const char* end = piece + size;
  const char* copied = piece;
  // The first byte of a piece is never converted: each piece stands alone.
  for (const char* p = piece + (size > 0 ? 1 : 0); p < end;) {
    const char* lineFeed = findNotableLineFeed(piece, p, end, -1);
    if (lineFeed == end) {
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
    const char* lineFeed = findNotableLineFeed(piece, p, end, -1);
    if (lineFeed == end) {
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
  nothingToFix_ = false;
  identityBasis_ = IdentityBasis::kLocalUid;
  contentIdentity_.clear();
}

void Message::setLineEndsToFix(std::uint64_t count) {
  // Sizes past the limit are left to contentSize(), which refuses them.
  if (fixCrLf_ && storedSize_ + count <= kMaxContentSize) {
    contentSize_ = static_cast<std::uint32_t>(storedSize_ + count);
    nothingToFix_ = count == 0;
  }
}

std::size_t Message::readPiece(const char*& data) {
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
  // The piece is looked at where the file buffered it; it is copied only
  // into the caller's buffer. A file that ended or failed early must not turn
  // into a short literal: the announced size has already gone out.
  std::size_t available = 0;
  data = file->peek(available, count);
  if (available < count) {
    if (folder_->live() && !file->failed()) {
      folder_->failChanged(*this);
    }
    throw QLStoreException(kCannotRead);
  }
  file->skip(count);
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
  const char* data = nullptr;
  std::size_t count = readPiece(data);
  if (count == 0) {
    // readPiece found the folder's file, so folder_ is set.
    if (folder_->live()) {
      folder_->confirmWhole(*this);
    }
    return false;
  }
  if (fixCrLf_ && !nothingToFix_) {
    appendLineEnds(data, count, buffer);
  } else {
    buffer.assign(data, count);
  }
  return true;
}

std::uint32_t Message::contentSize() {
  if (contentSize_ == 0) {
    if (storedSize_ > kMaxContentSize) {
      throw QLStoreException(kCannotRead);
    }
    if (!fixCrLf_) {
      contentSize_ = static_cast<std::uint32_t>(storedSize_);
    } else {
      // Count the CRs the pieces will gain instead of building them.
      std::uint64_t added = 0;
      readPosition_ = offset_;
      const char* data = nullptr;
      for (std::size_t count = readPiece(data); count > 0; count = readPiece(data)) {
        added += countLineEndsToFix(data, count);
      }
      if (storedSize_ + added > kMaxContentSize) {
        throw QLStoreException(kCannotRead);
      }
      contentSize_ = static_cast<std::uint32_t>(storedSize_ + added);
      // Content that already has CR LF everywhere is then sent as it is.
      nothingToFix_ = added == 0;
    }
  }
  return contentSize_;
}

void Message::setKey(std::int64_t headerOffset, std::string_view fileName) {
  headerOffset_ = headerOffset;
  fileName_.assign(fileName.data(), fileName.size());
}

MessageKey Message::key() const {
  MessageKey key;
  key.file = folder_ != nullptr ? folder_->keyFile(fileName_) : fileName_;
  key.headerOffset = headerOffset_;
  key.storedSize = storedSize_;
  return key;
}

std::string Message::identity() {
  switch (identityBasis_) {
    case IdentityBasis::kFileName:
      return fileNameIdentity(fileName_);
    case IdentityBasis::kContent:
      if (contentIdentity_.empty()) {
        contentIdentity_ = contentIdentity(*this);
      }
      return contentIdentity_;
    case IdentityBasis::kLocalUid:
      break;
  }
  return localUidIdentity(localUid_, storedSize_);
}

bool Message::storedRange(int& fd, std::uint64_t& offset) {
  ostrel::utils::InputFile* file = folder_ != nullptr ? folder_->file() : nullptr;
  const int descriptor = file != nullptr ? file->descriptor() : -1;
  const bool unchanged = !fixCrLf_ || (contentSize_ != 0 && nothingToFix_);
  if (descriptor < 0 || !unchanged || storedSize_ > kMaxContentSize || folder_->live()) {
    return false;
  }
  fd = descriptor;
  offset = offset_;
  return true;
}

}  // namespace lodemig
