// Room for output files: the free space of the file system that will hold
// them and the process's file-size limit (ulimit -f), checked before a long
// computation starts, and the cause of a write that failed all the same.
#pragma once

#include <string>

namespace megfwd::io {

// Bytes that the directory of `path` can still take (statvfs, the blocks
// available to this user), and the largest file the process may write
// (RLIMIT_FSIZE); a negative value when unknown or unlimited.
double freeBytesFor(const std::string& path);
double fileSizeLimit();

// Why an output of `bytes` at `path` does not fit, "no space left on
// device: needs 104 GB, 79 GB free" or "file too large: needs 2 GB, the
// file-size limit (ulimit -f) is 1 GB"; empty when it fits (or nothing is
// known). After a failed write it tells the cause, when it was the room.
std::string roomShortage(const std::string& path, double bytes);

// Refuses (InputError) an output that does not fit, before anything is
// computed; `what` names the output in the message.
void checkRoomFor(const std::string& path, double bytes, const std::string& what);

}  // namespace megfwd::io
