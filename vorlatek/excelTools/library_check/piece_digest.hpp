// The content digest of a library piece, and the proof that it is the
// library's own code as installed.
//
// A function counts only when its code object was compiled from a file
// inside one of the libraries' folders (the resolved folder of the imported
// package; copied __module__, __qualname__ or __wrapped__ prove nothing).
// The digest covers what decides the behaviour: the bytecode, the
// exception table, argument counts and flags, the names read, the local and
// closure names, the constants (nested code objects too) and the defaults;
// not line numbers nor file names, so releases that only moved code share
// a digest. Properties, static and class methods, lru_cache wrappers and
// @contextmanager wrappers are digested through the functions they hold;
// classes through their name, bases and the names of their own methods
// (a subclass put in a class's place differs in its bases; the methods a
// route relies on are pieces of their own); values (compiled patterns,
// constants, tuples of types, dates) through their content.
//
// scripts/library-digests.py computes the same digests in Python.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace xt::library_check {

// The resolved folders (ending in '/') of the libraries whose code the
// routes reproduce, as imported now.
std::vector<std::string> library_folders();

// The resolved folders (ending in '/') of the standard library and the
// installed packages (sysconfig's stdlib, platstdlib, purelib, platlib):
// where the helpers the libraries' code calls come from, and a program's
// own code does not.
std::vector<std::string> installed_folders();

// The digest (16 hex digits) of `piece`; false when it is not the
// libraries' own code or of a kind no route relies on. Ordinary errors
// count as false; an interrupt is passed on as PyErrorSet.
bool piece_digest(PyObject* piece, const std::vector<std::string>& folders, std::string& digest);

}  // namespace xt::library_check
