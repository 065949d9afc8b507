#pragma once
// Argument matching and strict conversion: no silent copies or coercions. A
// wrong type is a TypeError whose message starts with "argument '<name>': ".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python_bindings/boxed.h"

namespace varkel::python {

// Matches positional and keyword arguments by the interpreter's own rules
// (`format` and `keywords` as for PyArg_ParseTupleAndKeywords, every output an
// "O": a borrowed reference, left untouched when an optional one is omitted).
template <class... Out>
void match_arguments(PyObject* args, PyObject* kwargs, const char* format, const char* const* keywords,
                     Out**... out) {
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), out...)) throw PythonError();
}

// The type's name as the interpreter's own messages give it ("str",
// "numpy.ndarray", "_varkel.Engine", a Python class's plain name).
std::string type_name(PyObject* value);

[[noreturn]] void raise_argument(const char* name, const std::string& reason);

std::string str_arg(PyObject* value, const char* name);
// None (or omitted: null) gives nothing.
std::optional<std::string> optional_str_arg(PyObject* value, const char* name);
// A non-negative int within u64; OverflowError when negative or too large.
uint64_t count_arg(PyObject* value, const char* name);
// bool or a NumPy boolean scalar; int and everything else refused.
bool flag_arg(PyObject* value, const char* name);
// A sequence of str; a bare str is refused.
std::vector<std::string> str_list_arg(PyObject* value, const char* name);

// The native value of an instance of one of the module's classes, e.g.
// class_arg<PyModel>(obj, "model", "Model").
template <class Native>
Native& class_arg(PyObject* value, const char* name, const char* class_name) {
  if (Py_TYPE(value) != bound_type<Native>) {
    raise_argument(name, "'" + type_name(value) + "' object cannot be converted to '" + class_name + "'");
  }
  return unbox<Native>(value);
}

// str from text that is UTF-8.
PyRef str_value(const std::string& text);

}  // namespace varkel::python
