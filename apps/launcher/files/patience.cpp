#include "files/patience.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "files/disk.h"

namespace {

// A plain pointer: a thread_local with a destructor is unsafe at thread exit under mingw, whose
// emulated thread storage may be freed before such destructors run.
thread_local const PatienceScope* tScope = nullptr;

}  // namespace

PatienceScope::PatienceScope(std::chrono::milliseconds limit, std::function<void()> notice)
    : limit_(limit), notice_(std::move(notice)), previous_(tScope) {
  tScope = this;
}

PatienceScope::~PatienceScope() { tScope = previous_; }

std::chrono::milliseconds PatienceScope::CurrentLimit() {
  return tScope != nullptr ? tScope->limit_ : kPatienceLimit;
}

std::chrono::milliseconds RetryDelay(int failures) {
  std::chrono::milliseconds delay{25};
  for (int i = 1; i < failures && delay < std::chrono::milliseconds(1000); ++i) delay *= 2;
  return std::min(delay, std::chrono::milliseconds(1000));
}

int Patiently(const std::function<int()>& attempt) {
  const auto start = std::chrono::steady_clock::now();
  const std::chrono::milliseconds limit = PatienceScope::CurrentLimit();
  for (int failures = 1;; ++failures) {
    const int error = attempt();
    if (error == 0 || !IsBusyError(error)) return error;
    const std::chrono::milliseconds delay = RetryDelay(failures);
    if (std::chrono::steady_clock::now() - start + delay > limit) return error;
    if (failures == 1 && tScope != nullptr && tScope->notice_) tScope->notice_();
    std::this_thread::sleep_for(delay);
  }
}
