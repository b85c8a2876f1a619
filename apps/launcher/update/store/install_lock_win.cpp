#include <windows.h>

#include <string>
#include <system_error>

#include "common/windows_handles.h"
#include "update/store/install_lock.h"
#include "update/trust/crypto.h"

namespace {

// One name per InstallRoot however it is spelled: Windows compares paths without regard to case
// and treats '/' like '\'. A digest keeps the name short and free of backslashes, which a mutex
// name may not hold after its namespace.
std::wstring MutexName(const std::filesystem::path& root) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(root, ec);
  if (ec) full = root;
  std::wstring key = full.lexically_normal().native();
  for (wchar_t& c : key) {
    if (c == L'/') c = L'\\';
  }
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  const std::string digest = Sha256Hex(
      std::string_view(reinterpret_cast<const char*>(key.data()), key.size() * sizeof(wchar_t)));
  std::wstring name = L"Local\\KelvadonInstallRoot-";
  for (const char c : digest) name += static_cast<wchar_t>(c);
  return name;
}

}  // namespace

// A named mutex: Windows releases it when its owner ends, and the next waiter then gets
// WAIT_ABANDONED, which counts as acquired (the owner's half-done work is what the staging
// folder and the completion marker are there to survive).
InstallRootLock::InstallRootLock(const std::filesystem::path& root,
                                 const std::function<void()>& whileWaiting) {
  const std::wstring name = MutexName(root);
  UniqueKernelObject mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
  if (!mutex) return;
  DWORD wait = WaitForSingleObject(mutex.Get(), 0);
  if (wait == WAIT_TIMEOUT) {
    if (whileWaiting) whileWaiting();
    wait = WaitForSingleObject(mutex.Get(), INFINITE);
  }
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
  handle_ = reinterpret_cast<std::intptr_t>(mutex.Release());
}

InstallRootLock::~InstallRootLock() {
  if (handle_ == -1) return;
  const UniqueKernelObject mutex(reinterpret_cast<HANDLE>(handle_));
  ReleaseMutex(mutex.Get());
}
