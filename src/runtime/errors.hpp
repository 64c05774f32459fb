// Raising one exception while another is being handled.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

// The exception raised just now becomes the one that propagates, with
// `earlier` (taken over) as its __context__, as when Python code raises
// inside an except block.
inline void raise_in_context_of(PyObject* earlier) noexcept {
    PyObject* current = PyErr_GetRaisedException();
    PyException_SetContext(current, earlier);
    PyErr_SetRaisedException(current);
}

}  // namespace zelkor
