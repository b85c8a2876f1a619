#pragma once

// The few calls on files and folders that the layout helpers build on, one file per platform.
// Each takes an ordinary path and hands its FileSystemPath form to the system; none follows a
// link. Results are 0 or the system's error number (GetLastError on Windows, errno on Linux).

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

enum class EntryKind { Missing, File, Folder, Link };

// What the path names, without following a link: a symbolic link or any other reparse point
// (a junction, a mount point) is a Link whatever it leads to. Missing also when the status
// cannot be read.
EntryKind EntryKindOf(const std::filesystem::path& path);

// Removes one file, one empty folder or one link itself (never what it leads to).
int RemoveEntry(const std::filesystem::path& path);

// The names in a folder, without "." and "..". A listing error ends the listing and is
// returned; what was listed until then stays in names.
int ListFolder(const std::filesystem::path& folder, std::vector<std::filesystem::path>& names);

// Renames a file or a folder; a file of the target name is replaced (MOVEFILE_REPLACE_EXISTING,
// MOVEFILE_COPY_ALLOWED and MOVEFILE_WRITE_THROUGH on Windows).
int RenameEntry(const std::filesystem::path& from, const std::filesystem::path& to);

// Creates the folder and its missing ancestors. 0 when the folder exists afterwards.
int CreateFolderChain(const std::filesystem::path& folder);

// Opens a file to write from its start, creating or truncating it, shared for reading only.
// Null with the reason in error on failure. The caller closes the file with fclose.
std::FILE* OpenFileForWriting(const std::filesystem::path& path, int& error);

// Opens a file to read and write without truncating it, creating it when missing. Shared for
// reading and writing, so that several parts of one file can be written at once through
// handles of their own. Null with the reason in error on failure. Close with fclose.
std::FILE* OpenFileForUpdating(const std::filesystem::path& path, int& error);

// Opens an existing file (never a folder) to read, shared for reading and writing by others.
std::FILE* OpenFileForReading(const std::filesystem::path& path, int& error);

// How a volume lets a new file share the bytes of one of its files: a copy-on-write clone of the
// blocks where it makes them (Btrfs, XFS; on Windows, volumes that count shared blocks, where the
// system's copy clones them), otherwise a hard link to the same file.
enum class ShareWay { Link, Clone };

// The way of the volume holding the file; asked once per update, as it costs a query of the
// volume on Windows.
ShareWay ShareWayOf(const std::filesystem::path& file);

// Makes `to`, which must not exist, a second file with the bytes of the file `from` without
// writing them again, the way given (a clone the volume refuses becomes a link on Linux). Nothing
// is left at `to` on failure.
int ShareFile(const std::filesystem::path& from, const std::filesystem::path& to, ShareWay way);

// ShareFile, or a stand-in a test passes in.
using FileSharer = std::function<int(const std::filesystem::path& from,
                                     const std::filesystem::path& to, ShareWay way)>;

// Whether a ShareFile error says no file of this volume can be shared (no links on FAT, another
// volume, the call unknown), rather than something of this one file (its links at their limit,
// the name taken, the file busy or gone).
bool RefusesEveryShare(int error);

// Pushes what was written to an open file (after fflush) from the system's cache to the disk:
// FlushFileBuffers on Windows, fsync on Linux.
int FlushFileToDisk(std::FILE* file);

// A staged file's bytes are pushed to the disk together with every other staged file's, by
// FlushStagedFilesToDisk: one flush of the whole file system on Linux, far cheaper than one per
// file for thousands of small files. Windows has no such flush for a plain user, so there each
// file is flushed (FlushFileBuffers) here and FlushStagedFilesToDisk does nothing.
int FlushStagedFileToDisk(std::FILE* file);
int FlushStagedFilesToDisk(const std::filesystem::path& folder);

// Pushes a folder's entries, as a rename into it left them, to the disk. Linux only: Windows has
// no such flush for a plain user, and NTFS journals the rename itself, so there it does nothing.
int FlushFolderToDisk(const std::filesystem::path& folder);

// The bytes this user may still write on the drive that holds the existing folder (Windows'
// free-to-caller figure, statvfs's available blocks on Linux). 0 or the system's error.
int FreeDiskBytes(const std::filesystem::path& folder, uint64_t& bytes);

// The size of an open file; false when it cannot be read.
bool OpenFileSize(std::FILE* file, uint64_t& size);

// Moves an open file's position to offset from its start, beyond 2 GiB too.
bool SeekOpenFile(std::FILE* file, uint64_t offset);

// Cuts an open file to size bytes, after writing out what its stream still holds.
bool TruncateOpenFile(std::FILE* file, uint64_t size);

// Whether the error is one another program causes for a while by holding the file open (a
// scanner, a running program): a sharing or lock violation, or access denied, on Windows;
// EBUSY or ETXTBSY on Linux, which has no sharing modes.
bool IsBusyError(int error);

// Whether the error says the entry or a folder on its way is not there.
bool IsMissingError(int error);
