#include "platform/posix/systemd_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "log.h"
#include "platform/command_line.h"
#include "platform/posix/posix.h"
#include "requests.h"

namespace ostrim::platform::posix {
namespace {

std::string InstallRoot() {
  const char* root = std::getenv("OSTRIM_INSTALL_ROOT");
  std::string path = root != nullptr && *root != '\0' ? root : "/";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string UnitDirectory(const std::string& root) {
  return (root == "/" ? std::string() : root) + "/etc/systemd/system";
}

bool SystemdRunning() {
  struct stat st {};
  return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// A value for a unit file, escaped as systemd unescapes the directive it
// goes in (checked with systemd-analyze verify and condition):
// - every directive here expands "%" specifiers: "%" is written "%%";
// - no "$" is expanded in them (not in a condition, not in ExecStart='s
//   program path): "$" is written as it is ("$$" would name another file);
// - ExecStart= splits at blanks: a path with a blank, quote or backslash is
//   written in double quotes, with '"' and '\' escaped; a condition takes
//   the rest of the line as it is, blanks included.
std::string UnitWord(std::string_view text, bool quote_if_blank) {
  std::string out;
  bool quote = quote_if_blank && text.find_first_of(" \t\"\\'") != std::string_view::npos;
  if (quote) out.push_back('"');
  for (char c : text) {
    if (c == '%')
      out.append("%%");
    else if (quote && (c == '"' || c == '\\'))
      out.append({'\\', c});
    else
      out.push_back(c);
  }
  if (quote) out.push_back('"');
  return out;
}

// Where the Debian package puts its unit: there, the package owns the
// service.
std::string PackageUnit(const std::string& root, const std::string& name) {
  for (const char* directory : {"/usr/lib/systemd/system/", "/lib/systemd/system/"}) {
    const std::string unit = (root == "/" ? std::string() : root) + directory + name + ".service";
    struct stat st {};
    if (::lstat(unit.c_str(), &st) == 0) return unit;
  }
  return {};
}

// The first line of a unit that -INSTALL wrote.
std::string InstallComment(const std::string& name) {
  return "# Written by \"" + name + " -INSTALL\"; \"" + name + " -UNINSTALL\" removes it.";
}

}  // namespace

std::string UnitText(const ServiceSettings& s, const std::string& executable, UnitOrigin origin) {
  std::string unit;
  if (origin == UnitOrigin::kInstall) {
    unit += InstallComment(s.name) + "\n";
  } else {
    unit += "# Installed by the Debian package " + s.name + "; \"apt remove " + s.name +
            "\" removes it\n# (\"" + s.name + " -INSTALL\" and \"-UNINSTALL\" leave it alone).\n";
  }
  unit += "[Unit]\n";
  unit += "Description=" + UnitWord(s.display_name, false) + "\n";
  unit += "Documentation=man:" + s.name + "(8)\n";
  unit += "Wants=network-online.target\n";
  unit += "After=network-online.target remote-fs.target\n";
  // Nothing to start until the site has its profile.
  const std::string directory = executable.substr(0, executable.rfind('/'));
  unit += "ConditionPathExists=" +
          UnitWord((directory.empty() ? "" : directory) + "/Ombrel.ini", false) + "\n\n";
  unit += "[Service]\n";
  unit += "Type=notify\n";
  unit += "NotifyAccess=main\n";
  unit += "ExecStart=" + UnitWord(executable, true) + "\n";
  unit += "# The engines it starts are stopped by their stop commands, never killed by systemd.\n";
  unit += "KillMode=process\n";
  unit += "# Brought back when it dies of a signal (a crash, kill -9, the OOM killer), never\n";
  unit += "# after a start that failed; it adopts the engines its state file names.\n";
  unit += "Restart=on-abnormal\n";
  unit += "RestartSec=2s\n";
  // The verbs and signals as the request table has them.
  std::string verbs, signals;
  for (const RequestKind& kind : Requests()) {
    if (!kind.pause_continue) continue;
    verbs += (verbs.empty() ? "-" : " / -") + std::string(kind.verb);
    signals += (signals.empty() ? "" : " / ") + std::string(kind.signals[0]);
  }
  unit += "# Pause and continue: " + s.name + " " + verbs + " (or systemctl kill\n";
  unit += "# --kill-whom=main -s " + signals + " " + s.name +
          ": never without --kill-whom=main,\n# which would signal the engines too).\n\n";
  unit += "[Install]\n";
  // Start-mode 2 is automatic: started at boot.
  unit += s.start_mode == kStartAutomatic ? "WantedBy=multi-user.target\n" : "";
  return unit;
}

namespace {

void MakeDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      throw Error("cannot create " + prefix + ": " + ErrnoText());
    }
  }
}

// Writes `path` whole or not at all: into a temporary file of a unique name
// beside it, created exclusively (mkostemp: O_CREAT | O_EXCL, so a link
// planted at that name is never followed, and two writers never share one),
// then renamed over it.
void WriteFileAtomically(const std::string& path, const std::string& text) {
  std::string temporary = path + ".XXXXXX";
  Fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) throw Error("cannot write a temporary file beside " + path + ": " + ErrnoText());
  auto fail = [&temporary](const std::string& what) {
    int error = errno;
    ::unlink(temporary.c_str());
    return Error(what + ": " + ErrnoText(error));
  };
  if (::fchmod(fd.get(), 0644) != 0) throw fail("cannot write " + temporary);
  std::string_view rest = text;
  while (!rest.empty()) {
    ssize_t n = ::write(fd.get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw fail("cannot write " + temporary);
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    throw fail("cannot write " + path);
  }
}

// A path the unit file can name safely: a line end in it would end the
// ExecStart= line and let the rest of the path be read as directives; and
// systemd refuses a program path holding a quote or a backslash ("Executable
// name contains special characters"), however it is escaped.
// (`program`: the path is the program's, named in ExecStart=.)
void RefuseUnnameable(const std::string& what, const std::string& path, bool program) {
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      throw Error(what + " " + log::Quoted(path) +
                  " holds a control character (a line end, a tab...), which a unit file cannot "
                  "name safely; move the program to a directory whose name has none");
    }
    if (program && (c == '"' || c == '\'' || c == '\\')) {
      throw Error(what + " " + log::Quoted(path) + " holds " +
                  (c == '\\' ? std::string("a backslash") : std::string("a quote")) +
                  ", which systemd refuses in a program's path; move the program to a directory "
                  "whose name has none");
    }
  }
}

// Runs systemctl with `args` and waits for it; throws when it fails.
void Systemctl(const std::vector<std::string>& args, ChildWatch& children) {
  std::string line = "systemctl";
  for (const std::string& arg : args) line += " " + QuoteArgument(arg);
  log::Debug("running ", line);
  std::optional<ProcessEnd> end;
  try {
    end = Launch(line, children).Wait(std::nullopt);
  } catch (const Error& e) {
    throw Error(std::string("cannot run systemctl: ") + e.what());
  }
  if (!end || end->by_signal || end->value != 0) {
    throw Error(line + " failed: " + (end ? DescribeEnd(*end) : std::string("no status")));
  }
}

}  // namespace

std::string InstallUnit(const ServiceSettings& settings, ChildWatch& children) {
  const std::string root = InstallRoot();
  if (const std::string packaged = PackageUnit(root, settings.name); !packaged.empty()) {
    throw Error("the Debian package installed the service " + settings.name + " already (" +
                packaged +
                "): it starts at boot as it is. To install it again, use the "
                "package (\"apt reinstall " +
                settings.name + "\"); to run this program " +
                "instead, remove the package first (\"apt remove " + settings.name + "\")");
  }
  const std::string directory = UnitDirectory(root);
  const std::string unit = directory + "/" + settings.name + ".service";
  std::string executable = ExecutablePath();
  RefuseUnnameable("the program's path", executable, true);
  RefuseUnnameable("the install root", root, false);
  // In an image root, the unit names the program as the image's own system
  // will see it: inside the root, its path there; outside it, as it is, and
  // the confirmation says so.
  std::string note;
  if (root != "/") {
    if (executable.rfind(root + "/", 0) == 0) {
      executable.erase(0, root.size());
    } else {
      note = "; note: the program lies outside " + root + ", so the unit names it as " + executable;
    }
  }
  struct stat st {};
  bool existed = ::stat(unit.c_str(), &st) == 0;
  MakeDirectories(directory);
  WriteFileAtomically(unit, UnitText(settings, executable));
  if (root != "/") {
    Systemctl({"--root=" + root, "enable", settings.name + ".service"}, children);
  } else {
    if (SystemdRunning()) Systemctl({"daemon-reload"}, children);
    Systemctl({"enable", settings.name + ".service"}, children);
  }
  return settings.name + ": service " + (existed ? "updated" : "installed") + " as " + unit + " (" +
         executable + ") and enabled: it starts at boot, once " +
         executable.substr(0, executable.rfind('/')) + "/Ombrel.ini exists" + note;
}

std::string UninstallUnit(const ServiceSettings& settings, ChildWatch& children) {
  const std::string root = InstallRoot();
  const std::string unit = UnitDirectory(root) + "/" + settings.name + ".service";
  if (const std::string packaged = PackageUnit(root, settings.name); !packaged.empty()) {
    // Only a unit -INSTALL wrote beside the package's (it would override
    // it) is removed; the package's unit and its enabling stay.
    std::string first;
    if (std::FILE* f = std::fopen(unit.c_str(), "r")) {
      char line[256] = {};
      if (std::fgets(line, sizeof line, f) != nullptr) first = line;
      std::fclose(f);
    }
    std::string removed;
    if (first.rfind(InstallComment(settings.name), 0) == 0) {
      if (::unlink(unit.c_str()) != 0) throw Error("cannot remove " + unit + ": " + ErrnoText());
      if (root == "/" && SystemdRunning()) Systemctl({"daemon-reload"}, children);
      removed = unit + ", which -INSTALL wrote over it, was removed; ";
    }
    throw Error(removed + "the Debian package owns the service " + settings.name + " (" + packaged +
                "): remove it with \"apt remove " + settings.name + "\"");
  }
  struct stat st {};
  if (::lstat(unit.c_str(), &st) != 0) {
    throw Error("service " + settings.name + " is not installed: there is no " + unit);
  }
  if (root != "/") {
    Systemctl({"--root=" + root, "disable", settings.name + ".service"}, children);
  } else {
    Systemctl({"disable", settings.name + ".service"}, children);
  }
  if (::unlink(unit.c_str()) != 0) {
    throw Error("cannot remove " + unit + ": " + ErrnoText());
  }
  if (root == "/" && SystemdRunning()) Systemctl({"daemon-reload"}, children);
  return settings.name + ": service uninstalled; " + unit + " removed";
}

}  // namespace ostrim::platform::posix
