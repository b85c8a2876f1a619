#pragma once

// Whether what an update still has to write fits on the InstallRoot's drive, asked before the
// first byte is fetched: a full disk would otherwise show only when a write fails, minutes into a
// download.

#include <cstdint>
#include <filesystem>
#include <string>

// Room kept beyond the files: the manifest copies, the marker, the state files and the file
// system's own bookkeeping, which grows with the number and size of the files.
uint64_t RoomMargin(uint64_t bytes);

// Whether bytes, and the margin, fit in the free space of the drive that holds the existing
// folder. When they do not, error gets the sentence that says how much is needed and how much is
// free. A drive whose free space cannot be read is not refused: the writes then tell.
bool HasRoomFor(const std::filesystem::path& folder, uint64_t bytes, std::string& error);

// The sentence for a drive with free bytes left that needs needed bytes (the margin included).
std::string NoRoomText(uint64_t needed, uint64_t free);

// A size the way Windows shows one: whole MB below 1 GB, GB with one decimal from there, in
// units of 1024. Rounded up when roundUp is set, down otherwise.
std::string SizeText(uint64_t bytes, bool roundUp);
