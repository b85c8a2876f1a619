// http_get_host URL OUTPUT: one HttpGet, its error text (empty on success) written to OUTPUT.
// Exit code 0 when HttpGet succeeded, 1 when it failed, 2 on a wrong command line.
#include <filesystem>
#include <fstream>
#include <string>

#include "common/text.h"
#include "net/http.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  std::string body;
  std::string error;
  bool responded = false;
  const bool ok = HttpGet(WideToUtf8(argv[1]), body, error, responded, 0, {});
  std::ofstream(std::filesystem::path(argv[2]), std::ios::binary) << error;
  return ok ? 0 : 1;
}
