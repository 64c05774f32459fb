#include "runtime/module.hpp"

#include "runtime/class.hpp"
#include "runtime/state.hpp"

#include <cstring>
#include <utility>

namespace zelkor {

// ModuleBuilder

bool ModuleBuilder::set(const char* name, Ref value) noexcept {
    return value && PyModule_AddObjectRef(module_, name, value.get()) == 0;
}

bool ModuleBuilder::import_module(const char* name) noexcept {
    return set(name, Ref::steal(PyImport_ImportModule(name)));
}

bool ModuleBuilder::import_from(const char* module, const char* name) noexcept {
    Ref source = Ref::steal(PyImport_ImportModule(module));
    if (!source) {
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) {
        return false;
    }
    Ref value = Ref::steal(PyObject_GetAttr(source.get(), key.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", key.get());
    }
    return set(name, std::move(value));
}

bool ModuleBuilder::add_function(const FunctionDecl& decl) noexcept {
    return set(decl.name, make_function(module_, decl, Placement::module_level));
}

bool ModuleBuilder::add_class(const char* name, const char* doc,
                              std::initializer_list<const FunctionDecl*> methods) noexcept {
    return set(name, make_class(module_, name, doc, methods));
}

Ref ModuleBuilder::get(const char* name) noexcept {
    return Ref::steal(PyObject_GetAttrString(module_, name));
}

// ModuleDefinition

namespace {
// Each extension library defines exactly one module (the runtime is linked
// into each library), so its slots find their definition here. That holds
// even for a module object that was not made from the definition.
ModuleDefinition* library_module = nullptr;
}  // namespace

ModuleDefinition::ModuleDefinition(const char* name, const char* doc, Populate populate) noexcept
    : def_{PyModuleDef_HEAD_INIT, name, nullptr, 0, nullptr, slots_, nullptr, nullptr, nullptr},
      slots_{
          {Py_mod_create, reinterpret_cast<void*>(&ModuleDefinition::create)},
          {Py_mod_exec, reinterpret_cast<void*>(&ModuleDefinition::exec)},
          // The library keeps process-wide state, so other interpreters are refused.
          {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#ifdef Py_mod_gil
          // What threads share is guarded (each shared thing names its guard).
          {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
          {0, nullptr},
      },
      doc_(doc),
      populate_(populate) {
    library_module = this;
}

ModuleDefinition& ModuleDefinition::the_definition() noexcept {
    return *library_module;
}

const char* ModuleDefinition::short_name() const noexcept {
    const char* dot = std::strrchr(def_.m_name, '.');
    return dot ? dot + 1 : def_.m_name;
}

// The version the modules were built for; a build for the test of this
// check may pretend to be for another one.
#if defined(ZELKOR_ASSUMED_PY_MAJOR) && defined(ZELKOR_ASSUMED_PY_MINOR)
constexpr int kBuiltForMajor = ZELKOR_ASSUMED_PY_MAJOR;
constexpr int kBuiltForMinor = ZELKOR_ASSUMED_PY_MINOR;
#else
constexpr int kBuiltForMajor = PY_MAJOR_VERSION;
constexpr int kBuiltForMinor = PY_MINOR_VERSION;
#endif

bool ModuleDefinition::warn_on_version_mismatch() const noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == kBuiltForMajor && minor == kBuiltForMinor) {
        return true;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  kBuiltForMajor, kBuiltForMinor, def_.m_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

PyObject* ModuleDefinition::create(PyObject* module_spec, PyModuleDef*) noexcept {
    ModuleDefinition& self = the_definition();
    RuntimeState& state = runtime_state();
    if (!state.bind(self.def_.m_name)) {
        return nullptr;
    }
    if (PyObject* existing = state.module ? state.module : state.executing) {
        // The loader drops the state pointer of whatever module create
        // returns; free the marker its execution left there, or every
        // re-import would leak it.
        PyMem_Free(PyModule_GetState(existing));
        return Py_NewRef(existing);
    }
    if (!self.warn_on_version_mismatch()) {
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    // The docstring is set here rather than through the definition, which
    // would set it again on every import.
    if (!module || PyModule_SetDocString(module.get(), self.doc_) < 0) {
        return nullptr;
    }
    return module.release();
}

int ModuleDefinition::exec(PyObject* module) noexcept {
    ModuleDefinition& self = the_definition();
    RuntimeState& state = runtime_state();
    if (!state.bind(self.def_.m_name)) {
        return -1;
    }
    // Executing the module again, even from within its own execution (a
    // nested import), is a no-op.
    if (module == state.module || module == state.executing) {
        return 0;
    }
    if (state.module != nullptr || state.executing != nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     self.short_name());
        return -1;
    }
    state.executing = Py_NewRef(module);
    ModuleBuilder builder(module);
    const bool populated = self.populate_(builder);
    PyObject* executed = std::exchange(state.executing, nullptr);
    if (!populated) {
        // As it was before: a later import starts again with a new module.
        Py_XDECREF(executed);
        return -1;
    }
    state.module = executed;
    return 0;
}

}  // namespace zelkor
