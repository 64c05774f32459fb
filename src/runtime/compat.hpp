// What CPython 3.13 offers and 3.12 lacks, for code written against 3.13.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
// 3.12 has no free-threaded build: the GIL is all the guard there is.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }

// A new reference to dict[key] in *result: 1 if found, 0 if not (*result is
// null), -1 with an exception set.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    if (*result != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}
#endif
