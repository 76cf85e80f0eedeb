// What a root service trusts: nothing another user could have changed or
// planted may run as root, or be read as a profile.
//
// A path is trusted when it, every directory above it and every link on
// the way belong to root and nobody else can write them. A world-writable
// directory with the sticky bit (/tmp) protects what root owns in it, so a
// root-owned file or directory there is trusted; it never protects a name
// that is not there yet, which anyone may create. So a place where a
// program could appear before the one that runs (an earlier blank-split
// reading of an unquoted name, a directory searched before the one it was
// found in) must be a directory nobody but root can write at all.
//
// Each answer is empty when the path is trusted, or when the service does
// not run as root (it can then run only what its user can); else one
// sentence: what is wrong, the fix, and what another user could do with it.
#pragma once

#include <string>

namespace ostrim::platform::posix {

// The file at `path` (a program, a profile, a library), read or run as
// root: it, the directories above it, and every link on the way.
std::string WhyUntrustedFile(const std::string& path, const std::string& consequence);

// A directory where a name not there now could be created, and then be
// taken for a program or a profile (`consequence`: what its creator could
// then do): the directory (or, while it is missing, the nearest one above
// it that is there) nobody but root can write, sticky or not; and the
// directories above it as for a file.
std::string WhyUntrustedPlace(const std::string& directory, const std::string& consequence);

// Between the two, the places on the way to every path judged are each
// judged once, and their findings remembered; the two nest, and when the
// last one ends nothing judged is kept. The request's TrustView opens one.
void BeginJudgements();
void EndJudgements();

// What the creator of `name` in `directory` could do: have it run as root
// in place of the program meant.
std::string RunsInstead(const std::string& directory, const std::string& name);

}  // namespace ostrim::platform::posix
