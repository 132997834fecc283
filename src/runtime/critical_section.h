// The server's one lock type: re-entrant for the thread that holds it.
// Hold it through CriticalSection::Guard only.
#pragma once

#include <mutex>

namespace quillon::runtime {

class CriticalSection {
 public:
  CriticalSection() = default;
  virtual ~CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

  // Holds a CriticalSection for the lifetime of the guard.
  class Guard {
   public:
    explicit Guard(CriticalSection& section) : section_(section) { section_.Enter(); }
    ~Guard() { section_.Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    CriticalSection& section_;
  };

 private:
  std::recursive_mutex mutex_;
};

}  // namespace quillon::runtime
