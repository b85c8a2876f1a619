#include "update/patience.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "update/disk.h"

namespace {

constexpr std::chrono::milliseconds kProductLimit{15000};

// A plain pointer: a thread_local with a destructor is unsafe at thread exit under mingw, whose
// emulated thread storage may be freed before such destructors run.
thread_local const std::function<void()>* tNotice = nullptr;
std::atomic<std::chrono::milliseconds::rep> gLimitMs{kProductLimit.count()};

}  // namespace

WaitNotice::WaitNotice(std::function<void()> notice)
    : notice_(std::move(notice)), previous_(tNotice) {
  tNotice = &notice_;
}

WaitNotice::~WaitNotice() { tNotice = previous_; }

std::chrono::milliseconds PatienceLimit() { return std::chrono::milliseconds(gLimitMs.load()); }

void SetPatienceLimitForTests(std::chrono::milliseconds limit) { gLimitMs = limit.count(); }

std::chrono::milliseconds RetryDelay(int failures) {
  std::chrono::milliseconds delay{25};
  for (int i = 1; i < failures && delay < std::chrono::milliseconds(1000); ++i) delay *= 2;
  return std::min(delay, std::chrono::milliseconds(1000));
}

int Patiently(const std::function<int()>& attempt) {
  const auto start = std::chrono::steady_clock::now();
  const std::chrono::milliseconds limit = PatienceLimit();
  for (int failures = 1;; ++failures) {
    const int error = attempt();
    if (error == 0 || !IsBusyError(error)) return error;
    const std::chrono::milliseconds delay = RetryDelay(failures);
    if (std::chrono::steady_clock::now() - start + delay > limit) return error;
    if (failures == 1 && tNotice != nullptr && *tNotice) (*tNotice)();
    std::this_thread::sleep_for(delay);
  }
}
