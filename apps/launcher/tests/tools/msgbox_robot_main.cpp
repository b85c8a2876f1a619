// msgbox_robot <process id> <ok|yes|no|none> [timeout ms]
// Waits for that process's "Kelvadon" message box, prints what it shows and presses the button.
#include <cstdio>
#include <cwchar>
#include <string>

#include "common/text.h"
#include "robot.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: msgbox_robot <process id> <ok|yes|no|none> [timeout ms]\n");
    return 2;
  }
  const DWORD processId = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
  const std::wstring press = argv[2];
  const DWORD timeout = argc > 3 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) : 30000;
  DialogSeen seen;
  if (!WaitForDialog(processId, timeout, seen)) {
    std::fprintf(stderr, "no Kelvadon message box appeared\n");
    return 1;
  }
  const char* icon = seen.icon == DialogIcon::Warning ? "warning"
                     : seen.icon == DialogIcon::Blue  ? "blue"
                                                      : "none";
  std::printf("icon: %s\n", icon);
  for (const DialogButton& button : seen.buttons) {
    std::printf("button: %d %s\n", button.id, WideToUtf8(button.text).c_str());
  }
  std::printf("text: %s\n", WideToUtf8(seen.text).c_str());
  int id = 0;
  if (press == L"ok") id = IDOK;
  if (press == L"yes") id = IDYES;
  if (press == L"no") id = IDNO;
  if (id != 0 && !PressButton(seen, id)) return 1;
  return 0;
}
