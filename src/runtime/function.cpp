// The function object type: callable, bindable as a method, introspectable.
#include "runtime/calls.hpp"
#include "runtime/function_object.hpp"

#include <cstddef>
#include <cstring>

namespace zelkor {
namespace {

Function* as_function(PyObject* object) noexcept {
    return reinterpret_cast<Function*>(object);
}

PyObject* call_function(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                        PyObject* kwnames) noexcept {
    Function& function = *as_function(callable);
    PyObject* bound[kMaxParameters];
    if (!bind_arguments(function, args, nargsf, kwnames, bound)) {
        add_traceback_entry(function);
        return nullptr;
    }
    if (!check_argument_types(function, bound)) {
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" in a native function")) {
        return nullptr;
    }
    PyObject* result = function.decl->body(function, bound);
    Py_LeaveRecursiveCall();
    return function.checks_result ? check_result_type(result) : result;
}

// Through an instance: a bound method. Through the class: the function itself.
PyObject* bind_to(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function& f = *as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f.name);
    Py_VISIT(f.qualname);
    Py_VISIT(f.doc);
    Py_VISIT(f.module);
    Py_VISIT(f.defaults);
    Py_VISIT(f.annotations);
    Py_VISIT(f.dict);
    Py_VISIT(f.globals);
    Py_VISIT(f.builtins);
    Py_VISIT(f.parameter_names);
    Py_VISIT(f.code);
    Py_VISIT(f.traceback_code);
    Py_VISIT(f.traceback_frame);
    return 0;
}

int clear(PyObject* self) noexcept {
    Function& f = *as_function(self);
    Py_CLEAR(f.name);
    Py_CLEAR(f.qualname);
    Py_CLEAR(f.doc);
    Py_CLEAR(f.module);
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.annotations);
    Py_CLEAR(f.dict);
    Py_CLEAR(f.globals);
    Py_CLEAR(f.builtins);
    Py_CLEAR(f.parameter_names);
    Py_CLEAR(f.code);
    Py_CLEAR(f.traceback_code);
    Py_CLEAR(f.traceback_frame);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, like a Python function: the qualified name is looked
// up in the module again when loading.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

// Attribute access. `closure` carries the offset of the field.

PyObject*& field(PyObject* self, void* closure) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                         reinterpret_cast<std::ptrdiff_t>(closure));
}

PyObject* get_field_or_none(PyObject* self, void* closure) noexcept {
    PyObject* value = field(self, closure);
    return Py_NewRef(value ? value : Py_None);
}

int set_any(PyObject* self, PyObject* value, void* closure) noexcept {
    Py_XSETREF(field(self, closure), Py_XNewRef(value));
    return 0;
}

int set_str(PyObject* self, PyObject* value, void* closure) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(field(self, closure), Py_NewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    Function& f = *as_function(self);
    if (f.annotations == nullptr) {
        f.annotations = PyDict_New();
    }
    return Py_XNewRef(f.annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept {
    Py_RETURN_NONE;  // no keyword-only parameters
}

void* offset_of(std::size_t offset) noexcept {
    return reinterpret_cast<void*>(offset);
}

PyGetSetDef getset[] = {
    {"__name__", get_field_or_none, set_str, nullptr, offset_of(offsetof(Function, name))},
    {"__qualname__", get_field_or_none, set_str, nullptr, offset_of(offsetof(Function, qualname))},
    {"__doc__", get_field_or_none, set_any, nullptr, offset_of(offsetof(Function, doc))},
    {"__module__", get_field_or_none, set_any, nullptr, offset_of(offsetof(Function, module))},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__defaults__", Py_T_OBJECT_EX, offsetof(Function, defaults), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(Function, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind_to)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// One type per extension module (the runtime is linked into each), named
// after the module that makes it first.
PyTypeObject* the_function_type = nullptr;

PyTypeObject* make_function_type(PyObject* module_name) noexcept {
    if (the_function_type != nullptr) {
        return the_function_type;
    }
    Ref qualified = Ref::steal(PyUnicode_FromFormat("%U.native_function", module_name));
    const char* text = qualified ? PyUnicode_AsUTF8(qualified.get()) : nullptr;
    if (text == nullptr) {
        return nullptr;
    }
    PyType_Spec type_spec = {
        text,  // copied by the type
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    the_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return the_function_type;
}

Name replace_name{"replace"};
KeywordNames code_fields{"co_argcount", "co_nlocals", "co_varnames", "co_qualname"};

// A code object that describes the parameters as a Python function's would,
// so that inspect.signature() and help() can read them.
Ref make_code(const char* filename, const FunctionDecl& decl, PyObject* parameter_names,
              PyObject* qualname) noexcept {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, decl.name, decl.line)));
    if (!empty) {
        return {};
    }
    Ref count = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(parameter_names)));
    if (!count) {
        return {};
    }
    return call_method_kw(empty.get(), replace_name, code_fields, count.get(), count.get(),
                          parameter_names, qualname);
}

Ref make_parameter_names(const FunctionDecl& decl) noexcept {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(decl.parameters.size())));
    for (std::size_t i = 0; names && i < decl.parameters.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(decl.parameters[i].name);
        if (name == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names;
}

// None when no parameter has a default, like a Python function.
Ref make_defaults(const FunctionDecl& decl, Py_ssize_t required) noexcept {
    const auto optional = static_cast<Py_ssize_t>(decl.parameters.size()) - required;
    if (optional == 0) {
        return Ref::borrow(Py_None);
    }
    Ref defaults = Ref::steal(PyTuple_New(optional));
    for (Py_ssize_t i = 0; defaults && i < optional; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }
    return defaults;
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

bool is(const char* text, const char* expected) noexcept {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

// Counts the parameters before the first default; a declaration that puts a
// required parameter after one with a default is a programming error.
Py_ssize_t count_required(const FunctionDecl& decl) noexcept {
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

// The interpreter's builtins, which a function looks in after its module's
// namespace (that namespace has no __builtins__ of its own).
Ref builtins_namespace() noexcept {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    return builtins ? Ref::borrow(PyModule_GetDict(builtins.get())) : Ref();
}

// The fields that come straight from the declaration and the module.
bool fill_from_spec(Function& f, PyObject* module, const FunctionDecl& decl) noexcept {
    f.decl = &decl;
    f.required = count_required(decl);
    if (f.required < 0 || decl.parameters.size() > kMaxParameters) {
        PyErr_Format(PyExc_SystemError, "%s: malformed parameter list", decl.qualname);
        return false;
    }
    for (std::size_t i = 0; i < decl.parameters.size(); ++i) {
        if (is(decl.parameters[i].annotation, "str")) {
            f.exact_str |= 1u << i;
        }
    }
    f.checks_result = is(decl.returns, "str | None");
    f.globals = Py_NewRef(PyModule_GetDict(module));
    return (f.builtins = builtins_namespace().release()) &&
           (f.module = PyModule_GetNameObject(module)) &&
           (f.name = PyUnicode_FromString(decl.name)) &&
           (f.qualname = PyUnicode_FromString(decl.qualname)) &&
           (f.doc = PyUnicode_FromString(decl.doc)) &&
           (f.parameter_names = make_parameter_names(decl).release()) &&
           (f.defaults = make_defaults(decl, f.required).release()) &&
           (f.annotations = make_annotations(decl).release());
}

// "a.b.mod" -> "a/b/mod"
Ref module_path(PyObject* module_name) noexcept {
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    if (!dot) {
        return {};
    }
    Ref slash = Ref::steal(PyUnicode_FromString("/"));
    if (!slash) {
        return {};
    }
    return Ref::steal(PyUnicode_Replace(module_name, dot.get(), slash.get(), -1));
}

// The traceback entry is named like the function's Python home:
// the file "a/b/mod" and the dotted name "a.b.mod.Class.method".
bool fill_code(Function& f, const FunctionDecl& decl) noexcept {
    Ref filename = module_path(f.module);
    if (!filename) {
        return false;
    }
    Ref dotted = Ref::steal(PyUnicode_FromFormat("%U.%s", f.module, decl.qualname));
    if (!dotted) {
        return false;
    }
    const char* filename_text = PyUnicode_AsUTF8(filename.get());
    const char* dotted_text = filename_text ? PyUnicode_AsUTF8(dotted.get()) : nullptr;
    if (dotted_text == nullptr) {
        return false;
    }
    f.traceback_code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_text, dotted_text, decl.line));
    if (f.traceback_code == nullptr) {
        return false;
    }
    f.code = make_code(filename_text, decl, f.parameter_names, f.qualname).release();
    return f.code != nullptr;
}

}  // namespace

Ref make_function(PyObject* module, const FunctionDecl& decl) noexcept {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    PyTypeObject* type = module_name ? make_function_type(module_name.get()) : nullptr;
    if (type == nullptr) {
        return {};
    }
    Function* f = PyObject_GC_New(Function, type);
    if (f == nullptr) {
        return {};
    }
    // Every field starts empty, so that a failure below can release the object.
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0, sizeof(Function) - sizeof(PyObject));
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = call_function;
    if (!fill_from_spec(*f, module, decl) || !fill_code(*f, decl)) {
        return {};
    }
    PyObject_GC_Track(f);
    return function;
}

PyTypeObject* function_type() noexcept {
    return the_function_type;
}

Ref global(Function& function, Name& name) noexcept {
    PyObject* key = name.get();
    if (key == nullptr) {
        return {};
    }
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(function.globals, key, &value);
    if (found == 0) {
        found = PyDict_GetItemRef(function.builtins, key, &value);
    }
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    return Ref::steal(value);
}

}  // namespace zelkor
