// Adds a certificate (DER file) to the current user's Root store of the Wine prefix it runs in,
// so that WinHTTP trusts the test website's certificate. Run once per test run by
// website_harness.py; nothing outside the prefix is touched.

// clang-format off
#include <windows.h>

#include <wincrypt.h>
// clang-format on

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: trust_test_ca certificate.der\n", stderr);
    return 2;
  }
  std::ifstream in(std::filesystem::path(argv[1]), std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fputs("trust_test_ca: could not read the certificate\n", stderr);
    return 1;
  }
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  if (store == nullptr) {
    std::fprintf(stderr, "trust_test_ca: CertOpenStore failed (%lu)\n", GetLastError());
    return 1;
  }
  const BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD code = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "trust_test_ca: CertAddEncodedCertificateToStore failed (%lu)\n", code);
    return 1;
  }
  std::puts("trust_test_ca: the test authority is trusted in this prefix");
  return 0;
}
