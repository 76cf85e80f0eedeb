// The process launcher: runs one command line as a hidden child and waits
// for it.
//
// The command line is one text, as Windows' CreateProcessA takes it: the
// program is taken from its start (a quoted name, or the text up to a blank),
// the rest are the program's arguments. The child gets no console or window,
// runs at normal priority, inherits the service's environment (with the
// variables the start sequence set) and current directory, and inherits no
// other handle or descriptor.
//
// A launch that fails is logged with the program and the reason, and the
// launcher returns normally: the calling sequence goes on with its next
// database. Every launch is logged with its pid, and every end with the exit
// status (or the signal) and how long the child ran.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/children.h"

namespace ostrim::modSubProceso {

// Both launch through `hijos`, the service's watch of its children: while
// they wait, requests that arrive are queued and children that end are
// reaped, and the watch tells the service record what became of the launch.
// `etiqueta` names the child in every log line about it and in the record
// (the database and the pass: "ventas, 4GL").

// What became of one launch.
enum class Resultado {
  kNoLanzado,   // no process was created (logged with the reason)
  kTermino,     // it ended with exit status 0 within the wait
  kTerminoMal,  // it ended with another status, or by a signal, within the wait
  kSigue,       // still running when the wait ended: left running, watched
};

// Launches `comando` and waits up to 2500 ms for it to end. A child still
// running then (a database engine) is left running; it is reaped and its end
// logged whenever it ends.
Resultado EjecutaProceso(const std::string& comando, platform::ChildWatch& hijos,
                         const platform::LaunchTag& etiqueta = {});

// Called about every few seconds while EjecutaProcesoEspera waits, with the
// time waited so far: the caller tells its service manager that it is alive.
using AlEsperar = std::function<void(std::chrono::milliseconds)>;

// Launches `comando` and waits until it ends, however long that takes; while
// it waits it calls `al_esperar`, and logs "still waiting" (naming the
// database) at growing intervals.
Resultado EjecutaProcesoEspera(const std::string& comando, platform::ChildWatch& hijos,
                               const platform::LaunchTag& etiqueta = {},
                               const AlEsperar& al_esperar = {});

}  // namespace ostrim::modSubProceso
