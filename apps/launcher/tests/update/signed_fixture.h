#pragma once

// A website published once by "kelvadon-publish keygen" and "kelvadon-publish publish", kept so
// that both builds check the tool's signature form against their own back-end (CNG under Wine,
// OpenSSL on Linux). The private key was thrown away after signing.

#include <string_view>

// client/manifest.json, byte for byte.
inline constexpr std::string_view kSignedManifest =
    "{\n"
    "  \"version\": \"1.0\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"kelvadon_player.exe\", \"sha256\": "
    "\"cdb59355f3ba293977fc0945fb85f11822d412c45c7520c7121bd2234f6c1f48\", \"size\": 6},\n"
    "    {\"path\": \"kelvadon_studio.exe\", \"sha256\": "
    "\"da0daaba4b156961c049ab4b85b6d0bcba2872200b7dedb4aa77f9208c601444\", \"size\": 6}\n"
    "  ],\n"
    "  \"launcher\": {\"path\": \"KelvadonLauncher.exe\", \"sha256\": "
    "\"9b8db510ef42b8ed54a3712636fda55a4f8cfcd5493e20b74ab00cd4f3979f2d\", \"size\": 2}\n"
    "}\n";

// client/manifest.sig, r then s.
inline constexpr std::string_view kSignedManifestSignatureHex =
    "cfd9bf63da3a24791cc0c48669be411c0415bc8ef3e115a415c88f01c74db415"
    "6650c4fd35e198e17050686def1aa7c1ed0aa2bde1ea9ae8b8c436db05c0fdf2";

// The release key file, X then Y.
inline constexpr std::string_view kSignedManifestKeyHex =
    "0eb96840cb3111ceb83334e3614a05f944bf3612524068c0d7559dfa54ab5f8a"
    "e6be574f4009d8442c5d168fbb8cd942f4fc06a56d77c198da44e3bae893ffb1";
