#pragma once

// Forced into update_interrupt_tool's own copy of the platform's disk file, this gives each seam
// call that changes the disk (and the free-space check) another name, so that
// interrupting_disk.cpp can define the seam's names, count a step and call the real one. The
// calls that only read keep their names and are taken as they are. A call added to disk.h that
// changes the disk belongs here too, or interruptions before it are never tried.

#define RemoveEntry RealRemoveEntry
#define RenameEntry RealRenameEntry
#define CreateFolderChain RealCreateFolderChain
#define OpenFileForWriting RealOpenFileForWriting
#define OpenFileForUpdating RealOpenFileForUpdating
#define FlushFileToDisk RealFlushFileToDisk
#define FlushStagedFileToDisk RealFlushStagedFileToDisk
#define FlushStagedFilesToDisk RealFlushStagedFilesToDisk
#define FlushFolderToDisk RealFlushFolderToDisk
#define FreeDiskBytes RealFreeDiskBytes
#define TruncateOpenFile RealTruncateOpenFile
#define ShareFile RealShareFile
