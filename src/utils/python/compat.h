// Version shims, gathered in one place: the C API of newer interpreters
// that the module uses, backported for older ones.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define GAPWRIGHT_PY312_PLUS (PY_VERSION_HEX >= 0x030C0000)
#define GAPWRIGHT_PY313_PLUS (PY_VERSION_HEX >= 0x030D0000)

#if !GAPWRIGHT_PY312_PLUS
// Backport of the 3.12 single-object exception API.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

static inline void PyErr_SetRaisedException(PyObject* exc) {
  if (exc == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

#if !GAPWRIGHT_PY313_PLUS
// Backport of the 3.13 API: 1 with *result set, 0 when missing, -1 on error.
static inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name,
                                                 PyObject** result) {
  *result = PyObject_GetAttrString(obj, name);
  if (*result != nullptr) return 1;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}
#endif
