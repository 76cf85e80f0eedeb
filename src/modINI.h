// The profile reader: the service reaches its two profile files only through
// these functions. Outside a profile view they read each file as it is on
// disk at that moment; inside one (platform::ProfileView, which each request
// and -CHECK take when they begin) each file is read once, at its first
// lookup, and every later lookup sees that same text, so that a request's
// command lines all come from one version of each file. Nothing is kept
// between requests.
//
// The reading rules are those of Windows' profile call (see
// platform::GetPrivateProfileString): section and key names match whatever
// their letter case; values lose their leading and trailing blanks and one
// enclosing pair of single or double quotes; a missing file, section or key
// reads as the default.
//
// Values and key lists are never cut: the reader starts with a 2048-character
// buffer and reads again with a larger one while the answer fills it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ListBox.h"

namespace ostrim::modINI {

// The value of `clave` in `seccion` of `fichero`, or `defecto` when there is none.
std::string LeeValorINI(const std::string& seccion, const std::string& clave,
                        const std::string& defecto, const std::string& fichero);

// Appends the key names of `seccion` of `fichero` to `lista`, in file order,
// one entry each, without clearing it first; returns the list's count
// afterwards. A missing file or section appends nothing. Errors of the list
// (a full list) pass to the caller; names appended before stay.
std::int32_t LeeSeccionINI(ListBox& lista, const std::string& seccion, const std::string& fichero);

// Returns the text in front of the first NUL of `buffer` and removes that text
// and the NUL from `buffer`. With no NUL in `buffer`, returns an empty text and
// leaves `buffer` unchanged. `buffer` is a view, so that taking every name of a
// long key list costs time in proportion to its length, not its square.
std::string SacaElemento(std::string_view& buffer);

}  // namespace ostrim::modINI
