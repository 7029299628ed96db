// Case-insensitive file lookup.  Windows users copy HARVOX.INI, USERS.INI
// and TEXT/*.TNS as Harvox.ini, users.ini or text/welcome.tns; an exact
// name is always preferred, and only a miss walks the folders.
#include "util/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace harvox {
namespace fs = std::filesystem;

std::string WorkingDir() {
  std::error_code ec;
  std::string dir = fs::current_path(ec).string();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::optional<std::string> ReadFileHead(const std::string& path, size_t limit, bool* longer) {
  // Not blocking at the open: a FIFO or a device under a configuration
  // file's name would otherwise hang the reader.  Only regular files count.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string content;
  char chunk[65536];
  bool failed = false;
  // One byte beyond the limit tells whether the file goes on.
  while (content.size() <= limit) {
    const size_t want = std::min(sizeof chunk, limit + 1 - content.size());
    const ssize_t n = ::read(fd, chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    content.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  if (failed) return std::nullopt;
  const bool more = content.size() > limit;
  if (more) content.resize(limit);
  if (longer) *longer = more;
  return content;
}

namespace {

// The entry of dir whose name equals name without regard to case, if any.
std::string MatchInDir(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string candidate = it->path().filename().string();
    if (strcasecmp(candidate.c_str(), name.c_str()) == 0) return candidate;
  }
  return {};
}

}  // namespace

std::string FindFile(const std::string& path) {
  std::error_code ec;
  if (path.empty() || fs::exists(path, ec)) return path;
  const fs::path wanted(path);
  fs::path found = wanted.is_absolute() ? wanted.root_path() : fs::path();
  for (const fs::path& part : wanted.relative_path()) {
    const std::string name = part.string();
    if (name == "." || name == "..") {
      found /= part;
      continue;
    }
    if (fs::exists(found / part, ec)) {
      found /= part;
      continue;
    }
    const std::string match = MatchInDir(found, name);
    if (match.empty()) return path;
    found /= match;
  }
  return found.string();
}

}  // namespace harvox
