#include "utils/deflate_layer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <deque>
#include <string>

namespace ostrel::utils {
namespace {

// The layer below: keeps what is sent, hands out scripted pieces, then the
// peer's end (0) or a failure.
class MemoryLayer final : public ConnectionLayer {
 public:
  long send(const char* bytes, std::size_t count) override {
    if (failSends) {
      return -1;
    }
    sends.emplace_back(bytes, count);
    return static_cast<long>(count);
  }
  long receive(char* bytes, std::size_t count) override {
    if (pieces.empty()) {
      return endResult;
    }
    std::string& piece = pieces.front();
    const std::size_t n = std::min(count, piece.size());
    piece.copy(bytes, n);
    piece.erase(0, n);
    if (piece.empty()) {
      pieces.pop_front();
    }
    return static_cast<long>(n);
  }
  bool hasPendingInput() const override { return false; }
  bool passesThrough() const override { return true; }
  bool close() override { return true; }

  std::deque<std::string> sends;
  std::deque<std::string> pieces;
  long endResult = 0;
  bool failSends = false;
};

// The peer's side, straight from zlib.
class Peer {
 public:
  Peer() {
    deflateInit2(&deflater_, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    inflateInit2(&inflater_, -15);
  }
  ~Peer() {
    deflateEnd(&deflater_);
    inflateEnd(&inflater_);
  }
  std::string compress(const std::string& text, int flush = Z_SYNC_FLUSH) {
    std::string out;
    deflater_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    deflater_.avail_in = static_cast<uInt>(text.size());
    char area[4096];
    do {
      deflater_.next_out = reinterpret_cast<Bytef*>(area);
      deflater_.avail_out = sizeof area;
      deflate(&deflater_, flush);
      out.append(area, sizeof area - deflater_.avail_out);
    } while (deflater_.avail_out == 0);
    return out;
  }
  std::string inflateAll(const std::string& data) {
    std::string out;
    inflater_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    inflater_.avail_in = static_cast<uInt>(data.size());
    char area[4096];
    do {
      inflater_.next_out = reinterpret_cast<Bytef*>(area);
      inflater_.avail_out = sizeof area;
      EXPECT_NE(inflate(&inflater_, Z_SYNC_FLUSH), Z_DATA_ERROR);
      out.append(area, sizeof area - inflater_.avail_out);
    } while (inflater_.avail_out == 0);
    return out;
  }

 private:
  z_stream deflater_{};
  z_stream inflater_{};
};

class DeflateLayerTest : public ::testing::Test {
 protected:
  // Receives until the end or a failure, at most `room` bytes a call;
  // bounded by `calls`.
  std::string receiveAll(DeflateLayer& layer, std::size_t room, long* last, int calls = 100000) {
    std::string got;
    std::string area(room, '\0');
    for (int i = 0; i < calls; ++i) {
      *last = layer.receive(area.data(), room);
      if (*last <= 0) {
        break;
      }
      EXPECT_LE(static_cast<std::size_t>(*last), room);
      got.append(area.data(), static_cast<std::size_t>(*last));
    }
    return got;
  }

  std::string text(std::size_t lines) {
    std::string made;
    for (std::size_t i = 0; i < lines; ++i) {
      made += "Subject: line " + std::to_string(i * 7919 % 1000) + " of the message text\r\n";
    }
    return made;
  }

  MemoryLayer below_;
  Peer peer_;
};

TEST_F(DeflateLayerTest, EverySendEndsOnAFlushPointThePeerInflatesWhole) {
  DeflateLayer layer(below_);
  ASSERT_TRUE(layer.ready());
  const std::string first = "V1 COMPRESS DEFLATE\r\n";
  const std::string second = text(2000);
  ASSERT_EQ(layer.send(first.data(), first.size()), static_cast<long>(first.size()));
  std::string wire;
  for (const std::string& piece : below_.sends) {
    wire += piece;
  }
  // Each send is readable by itself: the peer answers before the next.
  ASSERT_GE(wire.size(), 4u);
  EXPECT_EQ(wire.substr(wire.size() - 4), std::string("\0\0\xff\xff", 4));
  EXPECT_EQ(peer_.inflateAll(wire), first);
  below_.sends.clear();
  ASSERT_EQ(layer.send(second.data(), second.size()), static_cast<long>(second.size()));
  wire.clear();
  for (const std::string& piece : below_.sends) {
    wire += piece;
  }
  EXPECT_LT(wire.size(), second.size() / 4);
  EXPECT_EQ(peer_.inflateAll(wire), second);
}

TEST_F(DeflateLayerTest, ReceivesAcrossAnyPieceBoundaryAndKeepsBytesReadBeforeTheSwitch) {
  const std::string sent = text(500);
  const std::string wire = peer_.compress(sent);
  // The first 5 bytes came with the answer that switched compression on.
  for (std::size_t at = 5; at < wire.size(); at += 7) {
    below_.pieces.push_back(wire.substr(at, 7));
  }
  DeflateLayer layer(below_, wire.substr(0, 5));
  EXPECT_TRUE(layer.hasPendingInput());
  long last = 0;
  EXPECT_EQ(receiveAll(layer, 100, &last), sent);
  EXPECT_EQ(last, 0);  // the peer's end, below
  EXPECT_EQ(layer.failure(), "");
}

TEST_F(DeflateLayerTest, BombIsInflatedNoMoreThanAskedAtATime) {
  const std::string huge(64u << 20, 'A');
  const std::string wire = peer_.compress(huge);
  ASSERT_LT(wire.size(), 200u * 1024);
  below_.pieces.push_back(wire);
  DeflateLayer layer(below_);
  char area[4096];
  const long first = layer.receive(area, sizeof area);
  EXPECT_EQ(first, static_cast<long>(sizeof area));
  // The rest is still held, compressed, for later calls.
  EXPECT_TRUE(layer.hasPendingInput());
  long last = 0;
  const std::string rest = receiveAll(layer, sizeof area, &last);
  EXPECT_EQ(rest.size() + sizeof area, huge.size());
  EXPECT_EQ(last, 0);
}

TEST_F(DeflateLayerTest, GarbageFailsWithTheCauseAndStaysFailed) {
  // A block type deflate does not have, then plain text.
  below_.pieces.push_back(std::string(4, '\xff') + "* OK not compressed at all\r\n");
  DeflateLayer layer(below_);
  char area[256];
  EXPECT_EQ(layer.receive(area, sizeof area), -1);
  EXPECT_EQ(layer.failure().rfind("compressed data that cannot be inflated (", 0), 0u)
      << layer.failure();
  EXPECT_FALSE(layer.hasPendingInput());
  below_.pieces.push_back(peer_.compress("* OK\r\n"));
  EXPECT_EQ(layer.receive(area, sizeof area), -1);
  EXPECT_EQ(layer.send("x", 1), -1);
}

TEST_F(DeflateLayerTest, PeerEndingItsStreamGivesWhatCameThenFails) {
  below_.pieces.push_back(peer_.compress("* BYE\r\n", Z_FINISH));
  DeflateLayer layer(below_);
  long last = 0;
  EXPECT_EQ(receiveAll(layer, 64, &last), "* BYE\r\n");
  EXPECT_EQ(last, -1);
  EXPECT_EQ(layer.failure(), "the end of its compressed stream");
}

TEST_F(DeflateLayerTest, FailuresBelowPassUp) {
  DeflateLayer layer(below_);
  below_.failSends = true;
  EXPECT_EQ(layer.send("abc", 3), -1);
  below_.endResult = -1;
  char area[16];
  EXPECT_EQ(DeflateLayer(below_).receive(area, sizeof area), -1);
  // The layer's own failure text stays empty: the cause is below.
  EXPECT_EQ(layer.failure(), "");
}

}  // namespace
}  // namespace ostrel::utils
