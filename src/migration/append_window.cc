#include "migration/append_window.h"

#include <algorithm>

namespace lodemig {

SentMessage& AppendWindow::push() {
  SentMessage& record = records_[(head_ + count_) % records_.size()];
  ++count_;
  return record;
}

void AppendWindow::pop() {
  head_ = (head_ + 1) % records_.size();
  --count_;
}

std::size_t AppendWindow::keptWhenFull() const {
  // Half is answered before more go out; the client waits for the answers
  // of as many at once.
  return records_.size() - std::max<std::size_t>(1, records_.size() / 2);
}

}  // namespace lodemig
