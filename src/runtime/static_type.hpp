// Storage for a type that the interpreter accepts only as a static type.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

// The interpreter takes its built-in function and method types as the base
// of a static type only (a heap type needs a base that allows subclasses).
// The storage is not allocated and outlives every runtime: each runtime that
// makes the type fills it in afresh, since what an earlier runtime put in it
// went with that runtime, and it stays valid while objects of that runtime
// may still use it.
// Releases what readying a static type made: its dictionary, bases and
// method resolution order, which the interpreter releases for its own
// static types only. The type then serves objects still alive as far as
// deallocating them, until it is made afresh.
void release_static_type(PyTypeObject* type) noexcept;

class StaticType {
public:
    // A blank type object named "<module>.<name>", for the caller to fill
    // in and ready; null with an exception set if the name is too long.
    PyTypeObject* reset(PyObject* module_name, const char* name) noexcept;

private:
    PyTypeObject type_;
    char name_[128];
};

}  // namespace zelkor
