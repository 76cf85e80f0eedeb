#include "platform/posix/trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ostrim::platform::posix {
namespace {

bool Root() {
  return ::geteuid() == 0;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + (cwd[1] == '\0' ? "" : "/") + path;
}

std::string RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string text = real;
  std::free(real);
  return text;
}

std::string Writers(mode_t mode) {
  return (mode & S_IWOTH) ? "anyone" : "its group";
}

std::string Owned(const std::string& path, uid_t uid, const char* kind,
                  const std::string& consequence) {
  return path + " is " + kind + "owned by uid " + std::to_string(uid) + " (fix: chown -h root " +
         path + "): whoever can change it can " + consequence;
}

std::string Writable(const std::string& path, mode_t mode, const std::string& consequence) {
  return path + " can be written by " + Writers(mode) + " (fix: chmod go-w " + path +
         "): whoever can change it can " + consequence;
}

// What is wrong with one place on the way to a path, said without what
// another user could do with it (the caller's words): so that a directory
// judged once serves every file below it, whatever each file is for.
struct Finding {
  enum Kind { kNone, kOwned, kOwnedLink, kWritable } kind = kNone;
  std::string path;
  uid_t uid = 0;
  mode_t mode = 0;

  std::string Text(const std::string& consequence) const {
    switch (kind) {
      case kOwned:
        return Owned(path, uid, "", consequence);
      case kOwnedLink:
        return Owned(path, uid, "a link ", consequence);
      case kWritable:
        return Writable(path, mode, consequence);
      case kNone:
        break;
    }
    return {};
  }
};

// What a request has judged of the places on the way to its programs,
// profiles and libraries: each (place, strictness) once, while a judgement
// is open (see BeginJudgements). A place judged safe can be changed only by
// root; one judged unsafe stays refused for the rest of the request.
struct Judged {
  std::unordered_map<std::string, Finding> chains[2];  // [strict]
};
int judgements_open = 0;
std::unique_ptr<Judged> judged;

std::string WhyUnsafeFile(const std::string& file, const std::string& consequence, int links);

// `path` and every directory above it, each looked at as it is (a link as a
// link, and then where it leads). `strict`: the first one there is a place
// where a name may be created, which a sticky directory does not protect.
// Each place walked is remembered with what was found at or above it.
Finding UnsafeChain(std::string path, bool strict, int links) {
  std::vector<std::pair<std::string, bool>> walked;
  Finding found;
  for (;;) {
    if (judged != nullptr) {
      auto& known = judged->chains[strict ? 1 : 0];
      if (auto it = known.find(path); it != known.end()) {
        found = it->second;
        break;
      }
      walked.emplace_back(path, strict);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      // Missing: whoever may create it may create what is in it.
    } else if (S_ISLNK(st.st_mode)) {
      if (st.st_uid != 0) {
        found = {Finding::kOwnedLink, path, st.st_uid, 0};
        break;
      }
      const std::string real = RealPath(path);
      if (!real.empty() && links < 40) {
        found = UnsafeChain(real, strict, links + 1);
        if (found.kind != Finding::kNone) break;
      }
      strict = false;  // the link itself is root's, in the directory above
    } else {
      if (st.st_uid != 0) {
        found = {Finding::kOwned, path, st.st_uid, 0};
        break;
      }
      const bool sticky_directory = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
      if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (strict || !sticky_directory)) {
        found = {Finding::kWritable, path, 0, st.st_mode};
        break;
      }
      strict = false;
    }
    if (path == "/") break;
    path = Parent(path);
  }
  for (auto& [place, how] : walked) judged->chains[how ? 1 : 0].emplace(std::move(place), found);
  return found;
}

std::string WhyUnsafeChain(const std::string& path, bool strict, const std::string& consequence,
                           int links) {
  return UnsafeChain(path, strict, links).Text(consequence);
}

// The file itself (and, when it is a link, the file it leads to), then the
// directories above each.
std::string WhyUnsafeFile(const std::string& file, const std::string& consequence, int links) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return {};  // missing: said otherwise
  const std::string replace = "replace " + file + ", which " + consequence;
  if (S_ISLNK(st.st_mode)) {
    if (st.st_uid != 0) return Owned(file, st.st_uid, "a link ", replace);
    const std::string real = RealPath(file);
    if (!real.empty() && links < 40) {
      if (std::string why = WhyUnsafeFile(real, consequence, links + 1); !why.empty()) return why;
    }
  } else {
    if (st.st_uid != 0) return Owned(file, st.st_uid, "", "run commands as root");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      return Writable(file, st.st_mode, "run commands as root");
    }
  }
  return WhyUnsafeChain(Parent(file), false, replace, links);
}

}  // namespace

std::string WhyUntrustedFile(const std::string& path, const std::string& consequence) {
  if (!Root()) return {};
  return WhyUnsafeFile(Absolute(path), consequence, 0);
}

std::string WhyUntrustedPlace(const std::string& directory, const std::string& consequence) {
  if (!Root()) return {};
  return WhyUnsafeChain(Absolute(directory), true, consequence, 0);
}

void BeginJudgements() {
  if (judgements_open++ == 0) judged = std::make_unique<Judged>();
}

void EndJudgements() {
  if (--judgements_open != 0) return;
  judged.reset();
}

std::string RunsInstead(const std::string& directory, const std::string& name) {
  const std::string place = Absolute(directory);
  return "create " + (place == "/" ? std::string() : place) + "/" + name +
         ", which would run as root in place of the program meant";
}

}  // namespace ostrim::platform::posix
