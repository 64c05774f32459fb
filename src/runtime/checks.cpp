// The checks a parameter or a result declares.
#include "runtime/calls.hpp"
#include "runtime/errors.hpp"
#include "runtime/internal.hpp"

namespace zelkor {
namespace {

Name add_note_name{"add_note"};

constexpr const char* kSubclassNote =
    "Subclasses of str are refused here: pass a plain str, for example str(value).";

// Attaches the note to the TypeError being raised. Should that fail, the
// failure propagates, with the TypeError as its context.
void note_subclass_refused() noexcept {
    except_and_reraise([](PyObject* error) {
        Ref note = Ref::steal(PyUnicode_FromString(kSubclassNote));
        if (note) {
            call_method(error, add_note_name, note.get());
        }
    });
}

}  // namespace

bool check_argument_types(const Function& function, PyObject* const* bound) noexcept {
    for (std::size_t i = 0; i < function.decl->parameters.size(); ++i) {
        if ((function.exact_str & (1u << i)) == 0 || PyUnicode_CheckExact(bound[i])) {
            continue;
        }
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     function.decl->parameters[i].name, "str", Py_TYPE(bound[i])->tp_name);
        if (PyUnicode_Check(bound[i])) {
            note_subclass_refused();
        }
        return false;
    }
    return true;
}

PyObject* check_result_type(PyObject* result) noexcept {
    if (result == nullptr || result == Py_None || PyUnicode_CheckExact(result)) {
        return result;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

}  // namespace zelkor
