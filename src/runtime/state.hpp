// What an extension library keeps beyond a single call, and for how long.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

class CachedObject;

// The library's process-wide state: its module object, the type of its
// functions and the objects it caches (names, keyword tuples, constants).
// Each library (the runtime is linked into each) has exactly one.
//
// Its lifetime is that of the interpreter that first loads the library's
// module, the owner: the state is bound to the owner when the module is
// created and released when the owner is cleared (Py_FinalizeEx). An
// interpreter started afterwards in the same process (an application that
// embeds Python and initialises it again) then loads the module afresh.
//
// The fields are plain pointers, not Refs: a static destructor must never
// release an object after the interpreter is gone.
class RuntimeState {
public:
    // Binds the state to the running interpreter, unless it is bound to it
    // already. False with ImportError if another interpreter owns it.
    bool bind(const char* module_name) noexcept;

    // Keeps `cached` until the state is released.
    void remember(CachedObject& cached) noexcept;

    // Written only while the library's module is made and executed, which
    // the import system serialises, before any other thread can reach the
    // module's functions; read by any thread afterwards.
    PyObject* module = nullptr;             // the initialised module
    PyObject* executing = nullptr;          // the module being executed
    // Made with the first function of each placement. Static types: they
    // stay after the owner is cleared, for its objects still alive, and are
    // made afresh by the next owner.
    PyTypeObject* module_function_type = nullptr;
    PyTypeObject* bound_method_type = nullptr;    // of the module-level functions
    PyTypeObject* class_function_type = nullptr;  // functions defined in a class

private:
    static void on_owner_cleared(PyObject* capsule) noexcept;
    void release() noexcept;
    void forget() noexcept;

    // Set and read while a module of the library is made and executed (the
    // import system serialises that), and when the owner is cleared.
    PyInterpreterState* owner_ = nullptr;
    PyObject* capsule_ = nullptr;     // in the owner's dictionary; identity only
    // The objects to release, linked; any thread adds to it (remember),
    // under the lock where threads run at once.
    CachedObject* cached_ = nullptr;
#ifdef Py_GIL_DISABLED
    PyMutex cached_lock_{};
#endif
};

// The state of this library.
RuntimeState& runtime_state() noexcept;

}  // namespace zelkor
