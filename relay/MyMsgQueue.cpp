#include "relay/MyMsgQueue.h"

#include <algorithm>
#include <cstring>

#include "runtime/Exception.h"

namespace tarvix {

namespace {
std::int32_t CheckedSize(std::int32_t size) {
  if (size < 0) throw ERangeError();
  return size;
}
}  // namespace

TMyMsg::TMyMsg(std::int32_t size)
    : Len(CheckedSize(size)),
      Size(size),
      data_(size > 0 ? std::make_unique<char[]>(static_cast<std::size_t>(size)) : nullptr) {}

void TMyMsg::SetData(std::string_view s) noexcept {
  const std::size_t n = std::min(s.size(), static_cast<std::size_t>(Size));
  if (n > 0) std::memcpy(data_.get(), s.data(), n);
  Len = static_cast<std::int32_t>(n);
}

TSimpleMsgQueue::~TSimpleMsgQueue() {
  while (Pop()) {
  }
}

void TSimpleMsgQueue::Push(std::unique_ptr<TMyMsg> m) {
  if (!m) return;
  TMyMsg* const msg = m.release();
  // A message that was popped elsewhere may still carry stale links.
  msg->Next = nullptr;
  std::lock_guard guard(lock_);
  msg->Prev = tail_;
  if (tail_ != nullptr) {
    tail_->Next = msg;
  } else {
    head_ = msg;
  }
  tail_ = msg;
  count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (total_) total_->fetch_add(1, std::memory_order_relaxed);
}

std::unique_ptr<TMyMsg> TSimpleMsgQueue::Pop() {
  std::unique_ptr<TMyMsg> result;
  {
    std::lock_guard guard(lock_);
    if (head_ == nullptr) return nullptr;
    result.reset(head_);
    head_ = head_->Next;
    if (head_ != nullptr) {
      head_->Prev = nullptr;
    } else {
      tail_ = nullptr;
    }
    count_.store(count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    if (total_) total_->fetch_sub(1, std::memory_order_relaxed);
  }
  // The caller must not reach back into the queue through the old links.
  result->Next = nullptr;
  return result;
}

TMyMsg* TSimpleMsgQueue::Head() const {
  std::lock_guard guard(lock_);
  return head_;
}

TMyMsg* TSimpleMsgQueue::Tail() const {
  std::lock_guard guard(lock_);
  return tail_;
}

}  // namespace tarvix
