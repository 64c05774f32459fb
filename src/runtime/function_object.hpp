// The layout of the function object, shared by the runtime's own files.
#pragma once

#include "runtime/function.hpp"

namespace zelkor {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDecl* decl;
    Py_ssize_t required;        // parameters without a default
    unsigned exact_str;         // bit i set: parameter i must be exactly str
    bool checks_result;         // the result must be exactly str or None
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* defaults;         // tuple, or None
    PyObject* annotations;      // dict, or null until asked for
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* globals;          // the defining module's namespace
    PyObject* builtins;
    PyObject* parameter_names;  // tuple of interned str, in declaration order
    PyObject* code;             // what inspect reads the parameters from
    PyObject* traceback_code;   // names the traceback entry of a binding error
    PyObject* traceback_frame;  // made from it at the first binding error
};

// The type of the function objects; null until the first one is made.
PyTypeObject* function_type() noexcept;

// Fills `bound` from a vectorcall. On a binding error: false, TypeError set.
bool bind_arguments(const Function& function, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, PyObject** bound) noexcept;

// The exact-str checks of the parameters. On failure: false, TypeError set.
bool check_argument_types(const Function& function, PyObject* const* bound) noexcept;

// Passes `result` through, or replaces it by TypeError unless it is exactly a
// str or None.
PyObject* check_result_type(PyObject* result) noexcept;

// Adds the function's own entry to the traceback of the exception being raised.
void add_traceback_entry(Function& function) noexcept;

}  // namespace zelkor
