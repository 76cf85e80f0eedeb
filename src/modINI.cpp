#include "modINI.h"

#include "log.h"
#include "platform/platform.h"

namespace ostrim::modINI {
namespace {

// The buffer size every read starts with, as the profile files were always
// read; a larger one is used only when an answer fills it.
constexpr std::size_t kTamanoBuffer = 2048;
// Past this a profile file is not a profile file: stop growing and keep what
// was read, so that a corrupt file cannot exhaust memory.
constexpr std::size_t kTamanoMaximo = std::size_t{256} << 20;

// Calls the profile call with a growing buffer until the answer fits:
// `reserva` is how many characters short of the buffer's size a complete
// answer ends (1 for a value, its NUL; 2 for a key list, its two NULs).
std::string LeeCompleto(const char* seccion, const char* clave, const char* defecto,
                        const std::string& fichero, std::size_t reserva) {
  // The first try in a buffer of the stack, left unfilled: almost every
  // value fits, and a walk of a long list makes one lookup per database.
  char primero[kTamanoBuffer];
  const std::size_t corto =
      platform::GetPrivateProfileString(seccion, clave, defecto, primero, sizeof primero, fichero);
  if (corto + reserva < sizeof primero) return std::string(primero, corto);
  std::string buffer(2 * kTamanoBuffer, ' ');
  for (;;) {
    std::size_t n = platform::GetPrivateProfileString(seccion, clave, defecto, buffer.data(),
                                                      buffer.size(), fichero);
    if (n + reserva < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    if (buffer.size() >= kTamanoMaximo) {
      log::Warning("profile ", fichero, ": [", seccion, "] ", clave ? clave : "(key names)",
                   " is larger than ", buffer.size(), " characters; only that much was read");
      buffer.resize(n);
      return buffer;
    }
    // The smaller buffer is let go first: a huge value never holds two.
    const std::size_t mayor = buffer.size() * 2;
    std::string().swap(buffer);
    buffer.assign(mayor, ' ');
  }
}

}  // namespace

std::string LeeValorINI(const std::string& seccion, const std::string& clave,
                        const std::string& defecto, const std::string& fichero) {
  return LeeCompleto(seccion.c_str(), clave.c_str(), defecto.c_str(), fichero, 1);
}

std::int32_t LeeSeccionINI(ListBox& lista, const std::string& seccion, const std::string& fichero) {
  const std::string nombres = LeeCompleto(seccion.c_str(), nullptr, "", fichero, 2);
  std::string_view buffer = nombres;
  while (!buffer.empty()) {
    if (buffer.find('\0') == std::string::npos) {
      // A last name with no NUL after it (an answer cut short): take it whole
      // and stop, so the loop always ends.
      lista.AddItem(std::string(buffer));
      break;
    }
    lista.AddItem(SacaElemento(buffer));
  }
  return lista.ListCount();
}

std::string SacaElemento(std::string_view& buffer) {
  std::size_t p = buffer.find('\0');
  if (p == std::string_view::npos) return {};
  std::string elemento(buffer.substr(0, p));
  buffer.remove_prefix(p + 1);
  return elemento;
}

}  // namespace ostrim::modINI
