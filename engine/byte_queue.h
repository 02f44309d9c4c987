// A bounded byte queue between a producer thread (the network) and a consumer
// thread (the decoder). Both block while it is full or empty; Abort wakes both
// for good. The cap is what keeps a fast server from growing memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string_view>

namespace tw::engine {

class ByteQueue {
 public:
  explicit ByteQueue(std::size_t capacity) : capacity_(capacity) {}

  // Producer: appends all bytes, waiting for room. False once aborted.
  bool Push(std::string_view bytes);
  // Producer: no more bytes will come.
  void Finish();
  // Consumer: copies up to size bytes, waiting for at least one. 0 at the end
  // (finished and drained) or when aborted.
  std::size_t Pop(char* out, std::size_t size);
  // Either side: wakes every waiter; Push and Pop fail from now on.
  void Abort();

  bool aborted() const;
  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<char> bytes_;  // guarded by mutex_
  bool finished_ = false;   // guarded by mutex_
  bool aborted_ = false;    // guarded by mutex_
};

}  // namespace tw::engine
