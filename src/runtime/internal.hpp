// The runtime's internal API: the layout of the function object and the
// steps of a call, shared by the runtime's own files only.
#pragma once

#include "runtime/function.hpp"
#include "runtime/monitoring.hpp"

namespace zelkor {

// The built-in function's layout comes first: the interpreter reports calls
// of built-in functions to profilers (cProfile, sys.setprofile hooks) and
// names them by its fields, and the type of module-level functions is one of
// its subtypes. Functions defined in a class have a type of their own, not
// a built-in function, with the same layout, so that one set of slots and
// attributes serves both (see Placement).
struct Function {
    PyCFunctionObject base;
    //  m_ml:          the function's own method definition (`method`)
    //  m_self:        always null: a function, not a method bound to an object
    //  m_module:      __module__, released by the garbage collector's clear
    //  m_weakreflist: weak references to the function
    //  vectorcall:    call_function

    // What profilers read: the qualified name, and a C function that only
    // refuses a call made through it (calls go through `vectorcall`).
    PyMethodDef method;
    const FunctionDecl* decl;
    unsigned exact_str;      // bit i set: parameter i must be exactly a str
    bool reports_calls;      // defined in a class: reports its calls (monitoring.hpp)
    CallReports reports;     // what it keeps of them, read and written atomically

    // Valid for the function's whole life: the slots use them even after the
    // garbage collector has cleared the function. None of them can take part
    // in a reference cycle that only this object could break.
    PyObject* name;             // str; the empty str once cleared
    PyObject* qualname;         // str; the empty str once cleared
    PyObject* globals;          // the defining module's namespace (a dict)
    PyObject* builtins;         // the interpreter's builtins (a dict)
    PyObject* parameter_names;  // tuple of interned str, in declaration order
    PyObject* code;             // what inspect reads the parameters from
    PyObject* traceback_code;   // names the traceback entry of a binding error
#ifdef Py_GIL_DISABLED
    // A plain object, hashed by identity: the key of the function's frame in
    // each thread's dictionary (see traceback.cpp).
    PyObject* frame_key;
#endif

    // What Python code may replace, as on a Python function; released by the
    // garbage collector's clear, and null then or when unset, which each
    // attribute reads as a Python function's does. Any thread may replace
    // them: read and replaced inside the function's critical section (and so
    // are name, qualname and m_module above).
    PyObject* doc;
    PyObject* annotations;      // dict; null after deletion
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* annotate;         // callable that gives the annotations, or null
#endif
    PyObject* defaults;         // tuple, the values of the last parameters; or null
    PyObject* kwdefaults;       // dict (there are no keyword-only parameters); or null
    PyObject* type_params;      // tuple; null reads as ()
    PyObject* dict;
#ifndef Py_GIL_DISABLED
    // Guarded by the GIL (without it, each thread keeps its own frames: see
    // traceback.cpp).
    PyObject* traceback_frame;  // the frame of the last binding error's entry
    PyObject* traceback_locals; // the locals dict that frame was made with
#endif
};
static_assert(offsetof(Function, base) == 0, "a Function is a PyCFunctionObject");

// Clears the weak references to `self` as it is deallocated, `list` being
// its list of them. Without the GIL another thread may be resolving one of
// them meanwhile, so the list is not read there: the interpreter's own types
// clear unconditionally on that build.
inline void clear_weak_references(PyObject* self, [[maybe_unused]] PyObject* list) noexcept {
#ifdef Py_GIL_DISABLED
    PyObject_ClearWeakRefs(self);
#else
    if (list != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
#endif
}

// The type of this library's functions defined at `placement`, made on
// first use.
PyTypeObject* function_type(PyObject* module_name, Placement placement) noexcept;
// The type of the bound methods of module-level functions, made with theirs.
PyTypeObject* make_bound_method_type(PyObject* module_name) noexcept;
// A module-level `function` bound to `instance`.
PyObject* bind_method(PyObject* function, PyObject* instance) noexcept;
// Whether `object` is one of this library's functions, wherever defined.
bool is_function(PyObject* object) noexcept;

// The call, as the function's vectorcall.
PyObject* call_function(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames) noexcept;

// Fills `bound` from a vectorcall, and from `defaults` (the function's
// defaults as the call found them: a tuple, or null for none). On a binding
// error: false, TypeError set.
bool bind_arguments(const Function& function, PyObject* defaults, PyObject* const* args,
                    std::size_t nargsf, PyObject* kwnames, PyObject** bound) noexcept;

// The exact-str checks of the parameters. On failure: false, TypeError set.
bool check_argument_types(const Function& function, PyObject* const* bound) noexcept;

// Passes `result` through, or replaces it by TypeError unless it is exactly a
// str or None.
PyObject* check_result_type(PyObject* result) noexcept;

// Adds the function's own entry to the traceback of the exception being raised.
void add_traceback_entry(Function& function) noexcept;

// The file name of a module's code objects: "a.b.mod" -> "a/b/mod".
Ref module_path(PyObject* module_name) noexcept;
// The code object inspect reads the parameters from, and the one that names
// the traceback entry of a binding error.
Ref make_signature_code(const FunctionDecl& decl, PyObject* filename,
                        PyObject* parameter_names, PyObject* qualname) noexcept;
Ref make_traceback_code(const FunctionDecl& decl, PyObject* filename, PyObject* module_name) noexcept;

// Attribute access of the function objects.
extern PyGetSetDef function_getset[];
extern PyMemberDef function_members[];

}  // namespace zelkor
