#pragma once

// Whole-file and piecewise I/O over the disk seam (files/disk.h).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

// Whether the path leads to another computer (\\server\share, \\?\UNC\..., a WebDAV folder):
// nothing there is the player's own, so nothing is installed there.
bool IsNetworkPath(const std::filesystem::path& path);

// Every helper below reaches the file system through FileSystemPath (so a path longer than
// Windows' 260-character limit works), and renames, removals and opens for writing that another
// program refuses for a while are tried again patiently (files/patience.h) before they fail.

// Replaces bytes with the file's content. False (bytes untouched) when the file cannot be opened.
// When whole is given it says whether every byte was read (a read error part way leaves it false).
bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes, bool* whole = nullptr);

// Creates the file's parent folders (ignoring failures), then opens the file for writing from
// its start, creating or truncating it. Null when it cannot be opened. Every file a run writes
// is opened here; close it with CloseWrittenFile.
std::FILE* OpenForWriting(const std::filesystem::path& path);

// OpenForWriting without truncating: an existing file keeps its bytes, to be read and written at
// any offset (a download continued, parts of one file written at once).
std::FILE* OpenForUpdating(const std::filesystem::path& path);

// Flushes a file from OpenForWriting through to the disk and closes it; true only when every
// byte written reached the disk and the file closed without error.
bool CloseWrittenFile(std::FILE* file);

// The same for a file that counts only once FlushStagedFiles has answered true: on Linux its
// bytes reach the disk there, with every other file's, rather than one file at a time.
bool CloseStagedFile(std::FILE* file);

// Writes the bytes at offset in an open file (past its end too); false when it cannot.
bool WriteAt(std::FILE* file, uint64_t offset, const char* data, size_t size);
bool FlushStagedFiles(const std::filesystem::path& folder);

// The size of the pieces files are read, copied and hashed in.
inline constexpr size_t kFilePieceBytes = size_t{256} * 1024;

// A piece of a file's bytes, in order; answering false stops the reading.
using FilePieceSink = std::function<bool(const char* data, size_t size)>;

// Hands the first limit bytes of the file (all of it when shorter) to sink in pieces of at most
// kFilePieceBytes. False when the file cannot be opened, a read fails or sink answers false.
bool ReadFileInPieces(const std::filesystem::path& path, const FilePieceSink& sink,
                      uint64_t limit = std::numeric_limits<uint64_t>::max());

// Up to length bytes of the file from offset; fewer, or none, past its end or when it cannot be
// read.
std::string ReadFilePart(const std::filesystem::path& path, uint64_t offset, size_t length);

// The file's last count bytes (all of them when it is shorter) and its size. False when the file
// cannot be opened or read.
bool ReadFileTail(const std::filesystem::path& path, size_t count, std::string& tail,
                  uint64_t& size);

// Whether the file exists and holds exactly these bytes (read no further than one byte past them).
bool FileHolds(const std::filesystem::path& path, std::string_view bytes);

// Creates the parent folders, then writes the file; true only when every byte reached the file
// and the file was closed without error.
bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);

// Creates the folder and its missing ancestors; false when it does not exist afterwards.
bool CreateFolders(const std::filesystem::path& folder, std::error_code& ec);

// Whether a removal waits for other programs. Clean-up of old versions does not: what a running
// player keeps stays until a later run, and the player is not kept waiting.
enum class Waiting { Patient, None };

// Removes a file or a folder with everything in it. A missing path is not an error. A link or
// any other reparse point (a junction) is removed itself and never entered, so what it leads to
// is left alone.
std::error_code RemovePathTree(const std::filesystem::path& path,
                               Waiting waiting = Waiting::Patient);

// Renames a file or folder; a file of the target name is replaced (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING on Windows). False, with the system's error in ec, on failure;
// SystemErrorText(ec.value()) describes it.
bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& ec);

// The temporary file beside path that ReplaceFileAtomically writes: its name followed by ".new".
std::filesystem::path ReplacementPath(const std::filesystem::path& path);

// The second half of ReplaceFileAtomically, for a replacement already written and closed at
// ReplacementPath(path): renames it over path the same way. On false it has been removed.
bool CommitReplacement(const std::filesystem::path& path,
                       const std::filesystem::path& asideIfBusy = {});

// Writes the bytes to a temporary file beside path (its name followed by ".new"), flushes and
// closes it, then renames it over path (and on Linux flushes the folder's entries), so a reader or
// an interrupted run finds the whole old content or the whole new content and never a part of
// either. Windows refuses to replace a running executable but lets it be renamed: when asideIfBusy
// is given and the first rename fails while path exists, path is moved there at once (a running
// program would not let go in time) and the rename is tried again, and if that also fails the old
// file is moved back. True when path holds the bytes; on false the temporary file has been removed.
bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           const std::filesystem::path& asideIfBusy = {});

// The path as UTF-8 for a sentence shown to the user. Never throws: when the path is not valid
// Unicode (possible only in a name the system gave), every character outside ASCII shows as
// U+FFFD.
std::string PathForMessage(const std::filesystem::path& path);
