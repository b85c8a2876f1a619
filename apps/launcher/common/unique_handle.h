#pragma once

#include <utility>

// Owner of one Windows handle. Traits give the type, the invalid value and the close call:
//   struct FileTraits { using Type = HANDLE; static Type Invalid() { return INVALID_HANDLE_VALUE; }
//                       static void Close(Type h) { CloseHandle(h); } };
// Non-copyable so one handle is never closed twice.
template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, Traits::Invalid())) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.handle_, Traits::Invalid()));
    }
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  Type Get() const { return handle_; }
  bool Valid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return Valid(); }

  // For out-parameters of calls that open a handle.
  Type* Put() {
    Reset();
    return &handle_;
  }

  // Gives up ownership, for a call that takes the handle over.
  Type Release() { return std::exchange(handle_, Traits::Invalid()); }

  void Reset(Type handle = Traits::Invalid()) {
    if (handle_ != Traits::Invalid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Type handle_ = Traits::Invalid();
};
