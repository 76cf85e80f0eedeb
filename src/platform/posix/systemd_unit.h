// Registration with systemd: the unit file that -INSTALL writes and
// -UNINSTALL removes, and the systemctl calls that enable and disable it.
// Linux: systemd.
//
// | Service control                | Here                                                         |
// |--------------------------------|--------------------------------------------------------------|
// | register (-INSTALL)            | write ostrim.service under $OSTRIM_INSTALL_ROOT/etc/systemd/ |
// |                                | system and enable it (start-mode 2: WantedBy=multi-user)     |
// | unregister (-UNINSTALL)        | disable it and remove the unit                               |
#pragma once

#include <string>

#include "platform/children.h"
#include "platform/platform.h"

namespace ostrim::platform::posix {

// Who writes a unit, as its first comment says.
enum class UnitOrigin { kInstall, kPackage };

// The unit's text for the service running `executable`: the one -INSTALL
// writes, or the one the Debian package ships (the same but for its first
// comment).
std::string UnitText(const ServiceSettings& settings, const std::string& executable,
                     UnitOrigin origin = UnitOrigin::kInstall);

// Writes and enables the unit; returns the one-line confirmation. `children`
// runs systemctl. Throws Error on failure, and when the package's unit is
// installed (the package owns the service).
std::string InstallUnit(const ServiceSettings& settings, ChildWatch& children);

// Disables and removes the unit; throws Error when it is not installed or on
// failure. With the package's unit installed it changes nothing the package
// owns, and says so.
std::string UninstallUnit(const ServiceSettings& settings, ChildWatch& children);

}  // namespace ostrim::platform::posix
