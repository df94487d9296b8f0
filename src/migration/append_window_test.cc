#include "migration/append_window.h"

#include <gtest/gtest.h>

namespace lodemig {
namespace {

// Pushes messages numbered from `from` on.
void pushNumbers(AppendWindow& window, long from, int count) {
  for (int i = 0; i < count; ++i) {
    window.push().number = from + i;
  }
}

TEST(AppendWindowTest, KeepsStoreOrderAcrossTheRingsEnd) {
  AppendWindow window(3);
  pushNumbers(window, 1, 3);
  EXPECT_TRUE(window.full());
  window.pop();
  window.pop();
  pushNumbers(window, 4, 2);  // wraps around the storage
  ASSERT_EQ(window.size(), 3u);
  EXPECT_EQ(window.oldest().number, 3);
  EXPECT_EQ(window.at(1).number, 4);
  EXPECT_EQ(window.at(2).number, 5);
  window.clear();
  EXPECT_TRUE(window.empty());
  pushNumbers(window, 9, 1);
  EXPECT_EQ(window.oldest().number, 9);
}

TEST(AppendWindowTest, AFullWindowIsRefilledOneForOne) {
  // One at a time: every append is answered before the next is written.
  EXPECT_EQ(AppendWindow(1).keptWhenFull(), 0u);
  EXPECT_EQ(AppendWindow(0).capacity(), 1u);
  EXPECT_EQ(AppendWindow(2).keptWhenFull(), 1u);
  EXPECT_EQ(AppendWindow(3).keptWhenFull(), 2u);
  EXPECT_EQ(AppendWindow(64).keptWhenFull(), 63u);
}

}  // namespace
}  // namespace lodemig
