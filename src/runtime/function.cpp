// A function object: made from its declaration, and called.
#include "runtime/internal.hpp"
#include "runtime/state.hpp"

#include <cstring>

namespace zelkor {
namespace {

// One None for each parameter declared with a default; null when none is,
// which reads as None, like a Python function's.
bool make_defaults(const FunctionDecl& decl, Py_ssize_t required, PyObject** defaults) noexcept {
    const auto optional = static_cast<Py_ssize_t>(decl.parameters.size()) - required;
    if (optional == 0) {
        return true;
    }
    *defaults = PyTuple_New(optional);
    for (Py_ssize_t i = 0; *defaults != nullptr && i < optional; ++i) {
        PyTuple_SET_ITEM(*defaults, i, Py_NewRef(Py_None));
    }
    return *defaults != nullptr;
}

bool add_annotation(PyObject* annotations, const char* name, const char* text) noexcept {
    if (text == nullptr) {
        return true;
    }
    Ref value = Ref::steal(PyUnicode_FromString(text));
    return value && PyDict_SetItemString(annotations, name, value.get()) == 0;
}

Ref make_annotations(const FunctionDecl& decl) noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (const Parameter& parameter : decl.parameters) {
        if (!add_annotation(annotations.get(), parameter.name, parameter.annotation)) {
            return {};
        }
    }
    if (!add_annotation(annotations.get(), "return", decl.returns)) {
        return {};
    }
    return annotations;
}

Ref make_parameter_names(const FunctionDecl& decl) noexcept {
    const char* names[kMaxParameters];
    for (std::size_t i = 0; i < decl.parameters.size(); ++i) {
        names[i] = decl.parameters[i].name;
    }
    return make_name_tuple(names, decl.parameters.size());
}

// The interpreter's builtins, which a function looks in after its module's
// namespace (that namespace has no __builtins__ of its own).
Ref builtins_namespace() noexcept {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    return builtins ? Ref::borrow(PyModule_GetDict(builtins.get())) : Ref();
}

// Counts the parameters before the first default, or -1 if a required
// parameter follows one with a default, or if there are too many.
Py_ssize_t count_required(const FunctionDecl& decl) noexcept {
    if (decl.parameters.size() > kMaxParameters) {
        return -1;
    }
    Py_ssize_t required = 0;
    for (const Parameter& parameter : decl.parameters) {
        if (parameter.default_value == Default::required) {
            if (required != &parameter - decl.parameters.data()) {
                return -1;
            }
            ++required;
        }
    }
    return required;
}

unsigned exact_str_mask(const FunctionDecl& decl) noexcept {
    unsigned mask = 0;
    for (std::size_t i = 0; i < decl.parameters.size(); ++i) {
        if (decl.parameters[i].check == ArgumentCheck::exact_str) {
            mask |= 1u << i;
        }
    }
    return mask;
}

// The C function of the method definition, which nothing in the interpreter
// calls: a call goes through the function's vectorcall.
PyObject* refuse_call(PyObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_SystemError, "a native function was called through its method definition");
    return nullptr;
}

// Every field of `f` is null when this starts, so that a failure part-way
// leaves an object its deallocator can release.
bool initialise(Function& f, PyObject* module, const FunctionDecl& decl, Placement placement) noexcept {
    f.method = {decl.qualname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_call)),
                METH_VARARGS | METH_KEYWORDS, nullptr};
    f.base.m_ml = &f.method;
    f.base.vectorcall = call_function;
    f.decl = &decl;
    const Py_ssize_t required = count_required(decl);
    if (required < 0) {
        PyErr_Format(PyExc_SystemError, "%s: malformed parameter list", decl.qualname);
        return false;
    }
    f.exact_str = exact_str_mask(decl);
    f.reports_calls = placement == Placement::class_body;
    f.globals = Py_NewRef(PyModule_GetDict(module));
    Ref filename;
    return (f.base.m_module = PyModule_GetNameObject(module)) &&
           (filename = module_path(f.base.m_module)) &&
           (f.builtins = builtins_namespace().release()) &&
           (f.name = PyUnicode_FromString(decl.name)) &&
           (f.qualname = PyUnicode_FromString(decl.qualname)) &&
           (f.doc = PyUnicode_FromString(decl.doc)) &&
           (f.parameter_names = make_parameter_names(decl).release()) &&
           make_defaults(decl, required, &f.defaults) &&
           (f.annotations = make_annotations(decl).release()) &&
           (f.code = make_signature_code(decl, filename.get(), f.parameter_names, f.qualname).release()) &&
#ifdef Py_GIL_DISABLED
           (f.frame_key = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))) &&
#endif
           (f.traceback_code = make_traceback_code(decl, filename.get(), f.base.m_module).release());
}

// The function's defaults for one call, held until it returns: any thread,
// or code the call runs, may replace them meanwhile.
Ref defaults_of(Function& function) noexcept {
    Ref defaults;
    Py_BEGIN_CRITICAL_SECTION(reinterpret_cast<PyObject*>(&function));
    defaults = Ref::borrow(function.defaults);
    Py_END_CRITICAL_SECTION();
    return defaults;
}

// The checks the declaration asks for, and the body.
PyObject* run(Function& function, PyObject* const* bound) noexcept {
    if (!check_argument_types(function, bound)) {
        return nullptr;
    }
    PyObject* result = function.decl->body(function, bound);
    return function.decl->result_check == ResultCheck::str_or_none ? check_result_type(result) : result;
}

// The same, reported as one call of the function.
PyObject* run_reported(Function& function, PyObject* const* bound) noexcept {
    ReportedCall call(function.reports, function.code);
    return call.started() ? call.finish(run(function, bound)) : nullptr;
}

}  // namespace

Ref make_function(PyObject* module, const FunctionDecl& decl, Placement placement) noexcept {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    PyTypeObject* type = module_name ? function_type(module_name.get(), placement) : nullptr;
    if (type == nullptr) {
        return {};
    }
    Function* f = PyObject_GC_New(Function, type);
    if (f == nullptr) {
        return {};
    }
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0, sizeof(Function) - sizeof(PyObject));
    runtime_state().hold();  // dropped by the deallocator, which releasing `function` runs
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    if (!initialise(*f, module, decl, placement)) {
        return {};
    }
    PyObject_GC_Track(f);
#if PY_VERSION_HEX >= 0x030E0000
    // Without the GIL, threads that load the function then leave its
    // reference count alone, as they do for Python functions (3.13 only
    // does that for its own objects). A no-op with the GIL.
    PyUnstable_Object_EnableDeferredRefcount(function.get());
#endif
    return function;
}

PyObject* call_function(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames) noexcept {
    Function& function = *reinterpret_cast<Function*>(callable);
    // A call that gives every parameter by position needs no defaults, not
    // even for its messages.
    const auto total = static_cast<Py_ssize_t>(function.decl->parameters.size());
    Ref defaults = PyVectorcall_NARGS(nargsf) != total ? defaults_of(function) : Ref();
    PyObject* bound[kMaxParameters];
    // Bound before the call starts, as a Python function's arguments are
    // bound before its frame runs: a binding error reports no call.
    if (!bind_arguments(function, defaults.get(), args, nargsf, kwnames, bound)) {
        add_traceback_entry(function);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" in a native function")) {
        return nullptr;
    }
    PyObject* result = function.reports_calls ? run_reported(function, bound) : run(function, bound);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace zelkor
