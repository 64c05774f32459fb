// Appending to a file without putting its existing bytes at risk.
#pragma once

#include "runtime/ref.hpp"

namespace edictor {

// Appends `data` (bytes) to the file at `path`, which is opened through
// path.open(), so Path subclasses keep working. The existing bytes are never
// rewritten. If the write or the close fails, the file is cut back to its
// original length and that error propagates, as from an except block that
// cleans up and re-raises. Returns false with an exception set on failure.
bool append_or_restore(PyObject* path, PyObject* data) noexcept;

}  // namespace edictor
