// Extension modules: their namespace, built name by name, and their lifecycle.
#pragma once

#include "runtime/function.hpp"

#include <initializer_list>

namespace zelkor {

// Defines a module's names in order, the way its Python source would.
// Every step returns false with an exception set when it fails.
class ModuleBuilder {
public:
    explicit ModuleBuilder(PyObject* module) noexcept : module_(module) {}

    // import <name>   (a top-level module)
    bool import_module(const char* name) noexcept;
    // from <module> import <name>
    bool import_from(const char* module, const char* name) noexcept;
    // <name> = value   (an empty value is a failure already raised)
    bool set(const char* name, Ref value) noexcept;
    // def <decl.name>(...)
    bool add_function(const FunctionDecl& decl) noexcept;
    // class <name>: with the docstring and the methods, in this order
    bool add_class(const char* name, const char* doc,
                   std::initializer_list<const FunctionDecl*> methods) noexcept;
    // The value of a name defined earlier, or empty with AttributeError.
    Ref get(const char* name) noexcept;

private:
    PyObject* module_;
};

// One extension module, initialised in two phases; one per extension
// library. Its module object is made once per runtime (see RuntimeState),
// in the first interpreter that imports it; a later import gets the same
// object back, initialised or still being executed.
class ModuleDefinition {
public:
    using Populate = bool (*)(ModuleBuilder& module);

    // `name` is the dotted module name, `doc` the module's docstring.
    ModuleDefinition(const char* name, const char* doc, Populate populate) noexcept;
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

    // What PyInit_<name> returns.
    PyObject* init() noexcept { return PyModuleDef_Init(&def_); }

private:
    static ModuleDefinition& the_definition() noexcept;
    static PyObject* create(PyObject* module_spec, PyModuleDef* def) noexcept;
    static int exec(PyObject* module) noexcept;
    bool warn_on_version_mismatch() const noexcept;
    const char* short_name() const noexcept;

    PyModuleDef def_;
    PyModuleDef_Slot slots_[5];
    const char* doc_;
    Populate populate_;
};

}  // namespace zelkor
