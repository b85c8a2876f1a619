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

// How long a step may wait in all, unless a scope says otherwise.
inline constexpr std::chrono::milliseconds kPatienceLimit{15000};

// While one lives, every wait on this thread lasts at most limit in all and begins by calling
// notice (an update sets one that shows kWaitingForFilesStatus; notice may be empty). Scopes
// nest; the outer one comes back when an inner one ends. Outside any scope the limit is
// kPatienceLimit and no notice is given.
class PatienceScope {
 public:
  PatienceScope(std::chrono::milliseconds limit, std::function<void()> notice);
  ~PatienceScope();
  PatienceScope(const PatienceScope&) = delete;
  PatienceScope& operator=(const PatienceScope&) = delete;

  // The limit of the innermost scope on this thread.
  static std::chrono::milliseconds CurrentLimit();

 private:
  friend int Patiently(const std::function<int()>& attempt);
  std::chrono::milliseconds limit_;
  std::function<void()> notice_;
  const PatienceScope* previous_;
};

// The delay before the retry after `failures` refusals (1 for the first): 25 ms, doubling up to
// one second.
std::chrono::milliseconds RetryDelay(int failures);

// Runs attempt, which returns 0 or the system's error number, until it succeeds, fails with an
// error IsBusyError does not count, or the next delay would pass the limit. Returns the last
// result.
int Patiently(const std::function<int()>& attempt);
