#include "utils/python/conversions.h"

#include "utils/python/errors.h"
#include "utils/python/numpy_api.h"

#include <string>

namespace gapwright::py {
namespace {

// Replaces a pending exception of exactly `renamed` (TypeError unless said
// otherwise) by one of the same type whose message names the parameter.
[[noreturn]] void rethrow_for(std::string_view parameter, PyObject* renamed = PyExc_TypeError) {
  if (PyErr_Occurred() && PyErr_ExceptionMatches(renamed)) {
    PyRef original = PyRef::steal(PyErr_GetRaisedException());
    if (Py_IS_TYPE(original.get(), reinterpret_cast<PyTypeObject*>(renamed))) {
      PyRef text = PyRef::steal(PyObject_Str(original.get()));
      if (!text) throw PyErrorAlreadySet{};
      const std::string prefix = "argument '" + std::string(parameter) + "': ";
      PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
      if (!message) throw PyErrorAlreadySet{};
      PyRef replacement = PyRef::steal(PyObject_CallOneArg(renamed, message.get()));
      if (!replacement) throw PyErrorAlreadySet{};
      PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
      PyErr_SetRaisedException(replacement.release());
    } else {
      PyErr_SetRaisedException(original.release());
    }
  }
  throw PyErrorAlreadySet{};
}

}  // namespace

double to_f64(PyObject* value, std::string_view parameter) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) rethrow_for(parameter);
  return result;
}

std::uint64_t to_u64(PyObject* value, std::string_view parameter) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) rethrow_for(parameter);
  // The int is out of range: its own OverflowError, not one from __index__,
  // so it names the parameter too.
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    rethrow_for(parameter, PyExc_OverflowError);
  }
  return result;
}

bool to_bool(PyObject* value, std::string_view parameter) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  if (numpy_api_ready() && PyArray_IsScalar(value, Bool)) return check_status(PyObject_IsTrue(value)) == 1;
  raise_formatted(PyExc_TypeError, "argument '%s': expected True or False, got %s",
                  std::string(parameter).c_str(), Py_TYPE(value)->tp_name);
}

}  // namespace gapwright::py
