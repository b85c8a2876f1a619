#pragma once

// Settings that only tests change, so that a stalled server costs seconds instead of a minute
// and a test certificate authority can be trusted without touching the computer's trust store.
// Set them before the first HttpGet; the launcher itself never calls this.

#include <cstdint>
#include <string>

struct HttpTestSettings {
  // Replaces all four time-outs (resolve, connect, send, receive) when not 0.
  uint32_t timeoutMs = 0;
  // Linux only: a PEM file of the one certificate authority to trust. Windows trusts a test
  // authority through the current user's Root store instead.
  std::string caFile;
  // A body that would grow beyond this many bytes ends as if memory had run out.
  uint64_t maxBodyBytes = UINT64_MAX;
};

void SetHttpTestSettings(const HttpTestSettings& settings);

// What the HTTP client works with: the defaults unless a test set others.
const HttpTestSettings& CurrentHttpTestSettings();
