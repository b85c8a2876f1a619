#pragma once

// Windows only: the one owner of each kind of Windows handle the launcher opens, so that no
// handle is ever closed by hand. Included by _win.cpp files.
#include <windows.h>

#include <utility>

#include "common/unique_handle.h"

// Files and folders from CreateFileW, which gives INVALID_HANDLE_VALUE on failure.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { CloseHandle(handle); }
};
using UniqueFile = UniqueHandle<FileHandleTraits>;

// Kernel objects (mutexes, events, processes, threads), which are null on failure.
struct KernelObjectTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { CloseHandle(handle); }
};
using UniqueKernelObject = UniqueHandle<KernelObjectTraits>;

struct FindTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type find) { FindClose(find); }
};
using UniqueFind = UniqueHandle<FindTraits>;

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type key) { RegCloseKey(key); }
};
using UniqueRegistryKey = UniqueHandle<RegistryKeyTraits>;

// The two handles CreateProcessW fills in; Put() is handed to the call.
class UniqueProcessInformation {
 public:
  UniqueProcessInformation() = default;
  UniqueProcessInformation(const UniqueProcessInformation&) = delete;
  UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;
  ~UniqueProcessInformation() { Reset(); }

  PROCESS_INFORMATION* Put() {
    Reset();
    return &info_;
  }
  HANDLE Process() const { return info_.hProcess; }
  HANDLE Thread() const { return info_.hThread; }
  DWORD ProcessId() const { return info_.dwProcessId; }

  void Reset() {
    if (info_.hThread != nullptr) CloseHandle(info_.hThread);
    if (info_.hProcess != nullptr) CloseHandle(info_.hProcess);
    info_ = {};
  }

 private:
  PROCESS_INFORMATION info_ = {};
};
