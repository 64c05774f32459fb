// Functions of the native modules, each declared once as data next to its body.
//
// A module file declares every function as a FunctionDecl: its names,
// parameters, annotations, the checks of its arguments and result, its
// docstring and definition line, plus the C++ body that receives the bound
// arguments. The runtime builds the Python function object from it and does
// the argument binding, the checks, the error messages, the traceback entry
// of a binding error and the introspection metadata.
#pragma once

#include "runtime/cached.hpp"

#include <climits>
#include <span>

namespace zelkor {

struct Function;

// A function body. `arguments` holds one borrowed object per parameter, in
// declaration order, already bound and checked. Returns a new reference, or
// null with an exception set.
using Body = PyObject* (*)(Function& function, PyObject* const* arguments);

enum class Default { required, none };

enum class ArgumentCheck {
    none,
    exact_str,  // exactly a str: subclasses and None are refused with TypeError
};

enum class ResultCheck {
    none,
    str_or_none,  // exactly a str or None, otherwise TypeError
};

struct Parameter {
    const char* name;
    const char* annotation = nullptr;  // stored as text, never evaluated
    Default default_value = Default::required;
    ArgumentCheck check = ArgumentCheck::none;
};

struct FunctionDecl {
    const char* name;
    const char* qualname;
    // Line of the definition, given to the traceback entry of binding errors.
    int line;
    // Required parameters first, then those with a default.
    std::span<const Parameter> parameters;
    const char* returns;  // the return annotation, stored as text
    ResultCheck result_check = ResultCheck::none;
    const char* doc;
    Body body;
};

inline constexpr std::size_t kMaxParameters = 8;
// The parameters' checks are kept as the bits of an unsigned mask.
static_assert(kMaxParameters <= sizeof(unsigned) * CHAR_BIT);

// Where a function is defined, which decides the type of its object.
enum class Placement {
    // `def` at module level: a subtype of the built-in function type, whose
    // calls the interpreter reports to profilers (cProfile, sys.setprofile).
    module_level,
    // `def` in a class body: not a built-in function, since inspect takes
    // any built-in function found in a class for a static method or for one
    // the class did not define (its signature, help()); bound to an
    // instance, it gives the interpreter's own method object.
    class_body,
};

// Builds the Python function object for `decl`, defined in `module`.
Ref make_function(PyObject* module, const FunctionDecl& decl, Placement placement) noexcept;

// The module-level name `name` as the function sees it now: the module's
// namespace first, then the builtins; NameError if neither has it.
Ref global(Function& function, Name& name) noexcept;

}  // namespace zelkor
