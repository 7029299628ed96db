// Message files in TEXT/ below the working directory, which replace the
// services' built-in texts.  A file is read up to its first kMaxTextFile
// bytes, so a huge file cannot flood a caller or the process.
//
// Re-entrancy: main thread only (remembers which files it reported).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace harvox {

class TLog;

constexpr size_t kMaxTextFile = 64 * 1024;

// The lines of TEXT/<name> (found in any case), each ended with line_end;
// a CR before an LF (files from Windows) is dropped.  None when the file is
// missing or cannot be read: the caller sends its built-in text.  A file
// longer than kMaxTextFile is reported once at level 1 under `tag`.
std::optional<std::string> ReadMessageFile(const std::string& name, std::string_view line_end,
                                           TLog* log, const char* tag);

}  // namespace harvox
