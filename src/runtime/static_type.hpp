// Storage for a type that the interpreter accepts only as a static type.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

// The interpreter takes its built-in function and method types as the base
// of a static type only (a heap type needs a base that allows subclasses).
// A static type is never freed, so each one made here lives as long as the
// process: every runtime makes its own (what an earlier runtime made went
// with it, but objects of that runtime may still use the type), and so does
// every attempt after one that failed (a type that failed to be readied may
// be registered with its base already, and readying it again is not safe).
class StaticType {
public:
    // A blank type object named "<module>.<name>", for the caller to fill
    // in and ready; null with an exception set if it cannot be made.
    PyTypeObject* make(PyObject* module_name, const char* name) noexcept;

private:
    struct Storage;
    Storage* latest_ = nullptr;  // every one made, linked, so that all stay reachable
};

// Releases what readying a static type made: its dictionary, bases and
// method resolution order, which the interpreter releases for its own
// static types only. No object of the type may be left: without them, the
// type serves none.
void release_static_type(PyTypeObject* type) noexcept;

}  // namespace zelkor
