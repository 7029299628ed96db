// File lookup for files copied from Windows: a name that does not exist as
// written is looked up folder by folder without regard to case.  Every file
// the program reads (HARVOX.INI, USERS.INI, TEXT/ files) goes through here.
//
// Re-entrancy: stateless; touches only the file system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace harvox {

// The working directory with a trailing '/'.
std::string WorkingDir();
// path as written when it exists; else the first case-insensitive match,
// component by component; else path unchanged.  Relative paths are taken
// from the working directory.
std::string FindFile(const std::string& path);
// A regular file (or a link to one): the only kind Harvox reads.
bool FileExists(const std::string& path);
// Anything under that name: a folder, a FIFO, a device as well.
bool PathExists(const std::string& path);
// The first `limit` bytes of a regular file; none when it is no regular
// file or cannot be opened or read.
// *longer tells whether the file holds more than that.
std::optional<std::string> ReadFileHead(const std::string& path, size_t limit,
                                        bool* longer = nullptr);

}  // namespace harvox
