// The process-wide list of live dispatchers. A dispatcher's index in it is
// its handle, which travels with every notice so that the main thread finds
// the dispatcher again (or learns that it is gone).
//
// Any thread; each call takes the list's own lock and calls nothing out.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace tarvix {

class TSioBaseDispatcher;

class TSioDispatcherList {
 public:
  static TSioDispatcherList& Instance();

  // Takes the first empty slot (else appends) and returns its index.
  std::size_t Add(TSioBaseDispatcher* dispatcher);
  // Empties the slot and drops empty slots from the end.
  void Remove(std::size_t handle);
  // The dispatcher in the slot when its serial number matches, else null.
  // The caller must know the dispatcher cannot be freed meanwhile (only the
  // main thread frees dispatchers).
  TSioBaseDispatcher* Find(std::size_t handle, std::uint64_t serial) const;
  std::size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::vector<TSioBaseDispatcher*> slots_;  // guarded by mutex_
};

}  // namespace tarvix
