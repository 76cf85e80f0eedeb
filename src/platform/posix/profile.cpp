// The profile call on POSIX systems: Windows' reading rules (profile_text.h)
// over files found the way a site copied from Windows expects.
//
// A request reads one value per database per pass, so a site with thousands
// of databases makes thousands of lookups in one file. Inside a ProfileView
// (a request) a file is read and parsed once, at its first lookup, and every
// later lookup uses that copy without a stat: one consistent view per
// request. Between views, and outside any, a parsed copy is kept with the
// file's identity (device, inode), size and change times, and every lookup
// checks those with one stat before it uses the copy; a copy larger than
// 1 MiB is dropped when the last view closes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "log.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "platform/posix/profile_text.h"

namespace ostrim::platform {
namespace {

using posix::ProfileText;

// Larger files are not read: no site's profile comes near it, and reading a
// runaway file whole at every lookup would starve the service.
constexpr off_t kLargestProfile = off_t{64} << 20;
// Larger parsed copies are dropped when the request that read them ends.
constexpr std::size_t kLargestKept = std::size_t{1} << 20;

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime {};
  struct timespec ctime {};

  static Identity Of(const struct stat& st) {
    return Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  }
  bool operator==(const Identity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

struct CachedFile {
  unsigned view = 0;       // the ProfileView this copy was last read in (0: none)
  std::string found_path;  // the path last read: the requested one or its case variant
  Identity identity;
  std::unique_ptr<ProfileText> text;
  std::string problem;          // why the file could not be read last time; logged once
  bool problem_warned = false;  // that reason was a warning, not a plain absence
};

std::unordered_map<std::string, CachedFile>& Cache() {
  static std::unordered_map<std::string, CachedFile> cache;
  return cache;
}

// The ProfileView in force: how many live, and which one (0: none).
int views_open = 0;
unsigned view_now = 0;
unsigned views_taken = 0;

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && posix::FoldCase(a) == posix::FoldCase(b);
}

// `path` with the components that do not exist replaced by an existing entry
// whose name differs only in letter case (OMBREL.INI for Ombrel.ini, Bases/
// for bases/), or empty when there is none. Where several match, the first
// in byte order is taken, so the choice does not depend on directory order.
std::string FindCaseVariant(const std::string& path) {
  if (path.empty() || path.front() != '/') return {};
  std::string resolved;
  std::size_t pos = 1;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string component = path.substr(pos, next - pos);
    pos = next + 1;
    if (component.empty()) continue;
    std::string exact = resolved + "/" + component;
    struct stat st {};
    if (::lstat(exact.c_str(), &st) == 0) {
      resolved = std::move(exact);
      continue;
    }
    DIR* dir = ::opendir(resolved.empty() ? "/" : resolved.c_str());
    if (dir == nullptr) return {};
    std::string best;
    while (struct dirent* entry = ::readdir(dir)) {
      std::string_view name = entry->d_name;
      if (SameLetters(name, component) && (best.empty() || name < best)) best = name;
    }
    ::closedir(dir);
    if (best.empty()) return {};
    resolved += "/" + best;
  }
  return resolved;
}

void ReportProblem(CachedFile& cached, const std::string& path, std::string problem, bool missing) {
  if (cached.problem == problem) return;
  cached.problem = std::move(problem);
  cached.problem_warned = !missing;
  if (missing) {
    log::Debug("profile ", path, ": ", cached.problem, "; read as empty");
  } else {
    log::Warning("profile ", path, " cannot be read: ", cached.problem, "; read as empty");
  }
}

// The parsed file at `path` as it is now, or null when it cannot be read.
const ProfileText* LoadNow(CachedFile& cached, const std::string& path) {
  // Every way of not reading the file ends here: the copy is dropped and the
  // reason logged once. `missing`: a plain absence, no warning.
  auto unreadable = [&cached](const std::string& file, std::string why, bool missing = false) {
    cached.text.reset();
    ReportProblem(cached, file, std::move(why), missing);
    return nullptr;
  };
  struct stat st {};
  std::string found = path;
  if (::stat(found.c_str(), &st) != 0) {
    int error = errno;
    if (error != ENOENT && error != ENOTDIR) return unreadable(path, posix::ErrnoText(error));
    // The case variant found last time, if it is still there; else look anew.
    if (cached.found_path.empty() || cached.found_path == path ||
        ::stat(cached.found_path.c_str(), &st) != 0) {
      found = FindCaseVariant(path);
      if (found.empty() || ::stat(found.c_str(), &st) != 0) {
        cached.found_path.clear();
        return unreadable(path, "no such file", true);
      }
    } else {
      found = cached.found_path;
    }
  }
  // Only a regular file is read: a FIFO would block the service for good,
  // and a device could be endless.
  if (!S_ISREG(st.st_mode)) {
    return unreadable(found, S_ISDIR(st.st_mode) ? "it is a directory" : "not a regular file");
  }
  if (st.st_size > kLargestProfile) {
    return unreadable(
        found, "it is " + std::to_string(st.st_size) + " bytes, more than a profile file can be");
  }
  if (cached.text && cached.found_path == found && cached.identity == Identity::Of(st)) {
    return cached.text.get();
  }

  // O_NONBLOCK: should the file be swapped for a FIFO after the stat above,
  // the open must not hang; fstat then shows what was opened.
  posix::Fd fd(::open(found.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd || ::fstat(fd.get(), &st) != 0) return unreadable(found, posix::ErrnoText());
  if (!S_ISREG(st.st_mode)) return unreadable(found, "not a regular file");
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)));
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return unreadable(found, posix::ErrnoText());
    }
    bytes.append(chunk, static_cast<std::size_t>(n));
    if (bytes.size() > static_cast<std::size_t>(kLargestProfile)) {
      return unreadable(found, "it grew past the largest profile file while being read");
    }
  }
  if (found != path) {
    log::Debug("profile ", path, ": using ", found, " (same name, other letter case)");
  }
  try {
    cached.text = std::make_unique<ProfileText>(std::move(bytes));
  } catch (const posix::ProfileTooLarge& e) {
    return unreadable(found, e.what());
  }
  cached.identity = Identity::Of(st);
  cached.found_path = found;
  if (cached.problem_warned) log::Info("profile ", found, " can be read again");
  cached.problem.clear();
  cached.problem_warned = false;
  return cached.text.get();
}

// The parsed file at `path`, or null when it cannot be read: as it is now,
// or, inside a ProfileView, as it was at its first lookup in the view.
const ProfileText* Load(const std::string& path) {
  CachedFile& cached = Cache()[path];
  if (view_now != 0 && cached.view == view_now) return cached.text.get();
  const ProfileText* text = LoadNow(cached, path);
  cached.view = view_now;
  return text;
}

// Copies `text` into buffer as the Windows call does: at most size - 1
// characters and a NUL; returns the characters copied.
std::size_t CopyOut(std::string_view text, char* buffer, std::size_t size) {
  std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

std::string_view DefaultValue(const char* defecto) {
  std::string_view text = defecto == nullptr ? std::string_view() : defecto;
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);  // as Windows does
  return text;
}

}  // namespace

std::string ProfileProblem(const std::string& file) {
  if (Load(file) != nullptr) return {};
  const std::string& problem = Cache()[file].problem;
  return problem.empty() ? "it cannot be read" : problem;
}

ProfileView::ProfileView() {
  if (views_open++ == 0) view_now = ++views_taken;
}

ProfileView::~ProfileView() {
  if (--views_open != 0) return;
  view_now = 0;
  // A huge file is not kept between requests: it is read again at the next
  // one, and does not hold its size in the service while it waits. A
  // site's profile (a few kilobytes) is kept: a stop finds it unchanged
  // with one stat, and needs no descriptor to read it (a service out of
  // descriptors still stops its databases).
  for (auto& [path, cached] : Cache()) {
    if (cached.text && cached.text->Footprint() > kLargestKept) cached.text.reset();
  }
}

std::size_t GetPrivateProfileString(const char* section, const char* key, const char* defecto,
                                    char* buffer, std::size_t size, const std::string& file) {
  if (buffer == nullptr || size == 0) return 0;
  if (section == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  const ProfileText* text = Load(file);

  if (key != nullptr) {
    std::optional<std::string_view> value;
    if (text != nullptr && *key != '\0') value = text->FindValue(section, key);
    return CopyOut(value ? posix::WithoutQuotes(*value) : DefaultValue(defecto), buffer, size);
  }

  // Key listing: each name and a NUL, then a final NUL.
  std::vector<std::string_view> names;
  if (text != nullptr) names = text->KeyNames(section);
  if (names.empty()) {
    if (size >= 2) buffer[1] = '\0';
    return CopyOut(DefaultValue(defecto), buffer, size);
  }
  if (size < 3) {
    buffer[0] = '\0';
    if (size == 2) buffer[1] = '\0';
    return 0;
  }
  std::size_t used = 0;
  for (std::string_view name : names) {
    std::size_t room = size - 2 - used;  // keep two places for the closing NULs
    if (name.size() >= room) {
      // The last name that fits only partly is cut and followed by two NULs.
      std::memcpy(buffer + used, name.data(), room);
      buffer[size - 2] = '\0';
      buffer[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(buffer + used, name.data(), name.size());
    used += name.size();
    buffer[used++] = '\0';
  }
  buffer[used] = '\0';
  return used;
}

}  // namespace ostrim::platform
