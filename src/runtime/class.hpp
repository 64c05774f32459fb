// Plain Python classes whose methods are native functions.
#pragma once

#include "runtime/function.hpp"

#include <initializer_list>

namespace zelkor {

// Makes `class <name>:` in `module`, an ordinary Python class (its type is
// `type`, its base `object`) with the docstring and the methods, in order.
Ref make_class(PyObject* module, const char* name, const char* doc,
               std::initializer_list<const FunctionDecl*> methods) noexcept;

}  // namespace zelkor
