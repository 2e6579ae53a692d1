// The one question every native route asks before it runs: are the library
// pieces it reproduces, as they are now, the libraries' own code of a
// verified release?
//
// The routes are listed in routes.inc, the pieces of each in pieces.inc, the
// digests of the verified releases, per Python minor version, in
// verified_digests.inc, and the supported minor versions in pythons.inc.
// Releases never decide anything by their version string: a patch release
// whose pieces have the digests of a verified one runs natively.
//
// At each call the pieces are looked up where the libraries hold them (a
// module's namespace, a class's method resolution order) and compared by
// identity with the objects last verified, which costs a few dictionary
// lookups. When any differs (replaced, wrapped, rebound, a class swapped for
// a subclass), the pieces are verified again from scratch: location and
// digest; so a replacement turns the route off, and putting the original
// back (or reloading the module) turns it on again. The names each verified
// function reads from its module (helpers, constants, imported classes) are
// pinned at the first verification that finds every function among them
// compiled from the libraries' files, and must keep their objects for the
// process: a later change to one turns the route off until it is restored.
#pragma once

#include <Python.h>

namespace xt::library_check {

// The routes of routes.inc, in its order.
enum class Route {
#define NEEDS(route, needed)
#define ROUTE(name) name,
#include "routes.inc"
#undef ROUTE
#undef NEEDS
};

// True when every piece `route` relies on (its own and those of the routes
// it needs, routes.inc) is the libraries' own code of a verified release
// now. Anything unknown is a plain "no", never an error; only an interrupt
// (an exception not derived from Exception) is passed on, as PyErrorSet.
bool may_run(Route route);

// True when the code of `function` (a plain function) reads or stores the
// attribute or global `name`: how a route tells apart verified variants of
// one piece by what their code does.
bool code_uses_name(PyObject* function, const char* name);

// True when `piece` (a function, property or method a library's class
// holds) is the libraries' own code as installed, of whatever release: what
// tells a library's own step from a program's replacement or wrapper where
// no route reproduces the step. Remembered per object for the process.
// Ordinary errors count as "no"; an interrupt is passed on as PyErrorSet.
// The caller holds `piece` (looking at it may run Python code).
bool is_library_code(PyObject* piece);

}  // namespace xt::library_check
