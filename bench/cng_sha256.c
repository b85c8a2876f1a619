/* SHA-256 throughput of CNG (BCrypt), the hashing the Windows launcher does, on 64 MiB: under
   Wine this is the hashing limit of the Windows figures. Prints bytes per second. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <bcrypt.h>

int main(void) {
  const ULONG size = 64u << 20;
  unsigned char* data = malloc(size);
  if (data == NULL) return 1;
  for (ULONG i = 0; i < size; ++i) data[i] = (unsigned char)(i * 2654435761u >> 24);
  BCRYPT_ALG_HANDLE algorithm;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0) != 0) return 1;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  unsigned char digest[32];
  if (BCryptHash(algorithm, NULL, 0, data, size, digest, sizeof digest) != 0) return 1;
  QueryPerformanceCounter(&end);
  const double seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
  printf("%.0f\n", size / seconds);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  free(data);
  return 0;
}
