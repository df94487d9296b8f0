#include "migration/append_window.h"

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
  // Waiting for more than the oldest's answer before refilling would leave
  // the server idle once it has answered the others.
  return records_.size() - 1;
}

}  // namespace lodemig
