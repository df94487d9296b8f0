#include "store/message_identity.h"

#include <algorithm>

#include "imap/digest.h"

namespace lodemig {

namespace {

constexpr std::size_t kMaxNumberDigits = 19;  // every such number fits in 64 bits

// A uid that is a plain decimal number ("7", not "07" or "+7"), so that
// equal numbers are exactly equal texts.
bool plainNumber(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > kMaxNumberDigits || (text[0] == '0' && text.size() > 1)) {
    return false;
  }
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

}  // namespace

void UidRegister::clear() {
  // The capacity goes too: a folder list walks many folders, and a large one
  // should not pin its memory for the rest of the account.
  std::vector<std::uint64_t>().swap(ascending_);
  others_.clear();
  texts_.clear();
}

bool UidRegister::firstSighting(std::string_view uid) {
  if (uid.empty()) {
    return false;
  }
  std::uint64_t number = 0;
  if (!plainNumber(uid, number)) {
    return texts_.emplace(uid).second;
  }
  // The store hands out uids in increasing order, so nearly every number is
  // above all before it and is appended without a search; the numbers kept
  // aside were all below the last appended one when they came.
  if (ascending_.empty() || number > ascending_.back()) {
    ascending_.push_back(number);
    return true;
  }
  if (std::binary_search(ascending_.begin(), ascending_.end(), number)) {
    return false;
  }
  return others_.insert(number).second;
}

std::string localUidIdentity(std::string_view uid, std::uint64_t storedSize) {
  std::string identity("u:");
  identity.append(uid.data(), uid.size());
  identity += ':';
  identity += std::to_string(storedSize);
  return identity;
}

std::string fileNameIdentity(std::string_view fileName) {
  // The same split as the reader's (splitMessageFileName): the flag letters
  // are what the source server renames a file for when a message is marked,
  // so they are the one part of the name that is not the message's own.
  const std::size_t first = fileName.find('-');
  const std::size_t second =
      first == std::string_view::npos ? first : fileName.find('-', first + 1);
  const std::size_t third =
      second == std::string_view::npos ? second : fileName.find('-', second + 1);
  std::string identity("f:");
  if (third == std::string_view::npos) {
    identity.append(fileName.data(), fileName.size());
  } else {
    identity.append(fileName.data(), first + 1);
    identity.append(fileName.data() + second, fileName.size() - second);
  }
  return identity;
}

std::string contentIdentity(IMessage& message) {
  // MD5 names content the store already holds; nobody picks these bytes to
  // collide with a message in the same folder, and the size is a guard.
  ostrel::crypto::StreamDigestMD5 digest;
  std::uint64_t size = 0;
  std::string piece;
  for (bool more = message.firstChunk(piece); more; more = message.nextChunk(piece)) {
    digest.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    size += piece.size();
  }
  return "d:" + std::to_string(size) + ":" + digest.hexDigest(true);
}

}  // namespace lodemig
