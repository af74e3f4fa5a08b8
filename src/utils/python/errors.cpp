#include "utils/python/errors.h"

#include "utils/python/once.h"

#include <cerrno>  // errno

namespace gapwright::py {

void set_error(PyObject* type, PyObject* message) noexcept {
  PyRef text = PyRef::steal(message);
  if (text) PyErr_SetObject(type, text.get());
}

void raise_error(PyObject* type, const std::string& message) {
  // Decoded with its length: a message may carry an embedded NUL.
  set_error(type, PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                       "replace"));
  throw PyErrorAlreadySet{};
}

void raise_unsupported_column(const std::string& name, std::size_t position,
                              const std::string& type) {
  raise_error(PyExc_TypeError,
              "column '" + name + "' (position " + std::to_string(position) + ") has type " +
                  type +
                  ", which cannot be masked: gapwright masks numbers, booleans, dates, times, "
                  "durations and text; convert the column first (for example to text with "
                  "astype(str), or to numbers with astype(\"float64\")), or leave it out");
}

PyRef check(PyObject* new_reference) {
  if (new_reference == nullptr) throw PyErrorAlreadySet{};
  return PyRef::steal(new_reference);
}

int check_status(int status) {
  if (status == -1) throw PyErrorAlreadySet{};
  return status;
}

PyRef check_created(PyObject* new_reference, std::source_location where) {
  if (new_reference != nullptr) return PyRef::steal(new_reference);
  // Memory that cannot be had is the caller's to handle, not a fault here.
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PyErrorAlreadySet{};
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  panic("PyObject pointer is null", where);
}

std::string take_error_text() {
  if (!PyErr_Occurred()) return {};
  PyObject* raw = PyErr_GetRaisedException();
  PyRef exc = PyRef::steal(raw);
  std::string text = Py_TYPE(exc.get())->tp_name;
  PyRef str = PyRef::steal(PyObject_Str(exc.get()));
  if (str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size)) {
      text += ": ";
      text.append(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return text;
}

PyObject* panic_exception_type() {
  static OnceObject type;
  return type.get([] {
    return PyErr_NewExceptionWithDoc(
        "gapwright.PanicException",
        "An internal failure of the native code.\n\n"
        "Derives from BaseException, not Exception, so that - as with SystemExit -\n"
        "handlers for Exception do not catch it.",
        PyExc_BaseException, nullptr);
  });
}

void set_os_error(int error) noexcept {
  // Built as Python builds it for a failed os.write: OSError(errno, strerror)
  // picks the subclass.
  errno = error;
  PyErr_SetFromErrno(PyExc_OSError);
}

void raise_panic(const std::string& message, const std::source_location& where) {
  // Whatever Python error led here has been rendered into the message.
  PyErr_Clear();
  write_panic_notice(message, where);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  set_error(type, PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                       "replace"));
}

}  // namespace gapwright::py
