#pragma once

// Patience with other programs: a virus scanner opens a freshly written file for a few seconds,
// and a player still running keeps its files open. A step on the disk that such a program
// refuses is tried again with a growing delay, for about fifteen seconds in all, before the step
// counts as failed.

#include <chrono>
#include <functional>

// The status line while a step waits.
inline constexpr char kWaitingForFilesStatus[] =
    "Waiting for another program to let go of Kelvadon's files...";

// While one lives, every wait on this thread begins by calling notice (an update sets one that
// shows kWaitingForFilesStatus). Scopes nest; the outer notice comes back when an inner one ends.
class WaitNotice {
 public:
  explicit WaitNotice(std::function<void()> notice);
  ~WaitNotice();
  WaitNotice(const WaitNotice&) = delete;
  WaitNotice& operator=(const WaitNotice&) = delete;

 private:
  std::function<void()> notice_;
  const std::function<void()>* previous_;
};

// How long a step may wait in all. The default is the product's; tests shorten it.
std::chrono::milliseconds PatienceLimit();
void SetPatienceLimitForTests(std::chrono::milliseconds limit);

// The delay before the retry after `failures` refusals (1 for the first): 25 ms, doubling up to
// one second.
std::chrono::milliseconds RetryDelay(int failures);

// Runs attempt, which returns 0 or the system's error number, until it succeeds, fails with an
// error IsBusyError does not count, or the next delay would pass the limit. Returns the last
// result.
int Patiently(const std::function<int()>& attempt);
