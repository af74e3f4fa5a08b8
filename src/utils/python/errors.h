// How failures cross into Python.
//
// Inside the native code a failed Python operation throws PyErrorAlreadySet
// (the interpreter's exception stays set and reaches the caller unchanged),
// and an internal failure throws InternalError; a thread or a write that the
// system refuses (system_refusal.h) is the machine's fault and becomes the
// exception Python itself raises for it. `guard` is the one place per entry
// point that turns each into a Python exception: nothing throws across the
// C API boundary.
#pragma once

#include "utils/python/forced_unwind.h"
#include "utils/python/py_ref.h"
#include "runtime/internal_error.h"
#include "runtime/system_refusal.h"

#include <exception>  // std::exception
#include <new>        // std::bad_alloc
#include <string>

namespace gapwright::py {

// Thrown after a Python API call failed; the exception is already set.
struct PyErrorAlreadySet : std::exception {
  const char* what() const noexcept override { return "Python exception set"; }
};

// Sets a Python exception of `type` with `message` and throws PyErrorAlreadySet.
[[noreturn]] void raise_error(PyObject* type, const std::string& message);

// Sets a Python exception of `type` whose argument is `message` (a new
// reference, stolen). A null message means building it failed: its error,
// a MemoryError as a rule, stays set instead.
//
// Every exception of ours is set through here, never with PyErr_Format or
// PyErr_SetString: CPython 3.11 before 3.11.5 (gh-107915; Debian 12 has
// 3.11.2) lets those two set `type` with no argument at all when the message
// cannot be allocated, so the caller would get a bare TypeError() for a
// MemoryError.
void set_error(PyObject* type, PyObject* message) noexcept;

// set_error with the message formatted as PyUnicode_FromFormat does (%U, %R,
// %S, %s, %zd, ...), after clearing any pending exception as PyErr_Format
// does: %R and %S run Python code, which must not start with one set.
template <typename... Args>
void set_formatted_error(PyObject* type, const char* format, Args... args) noexcept {
  PyErr_Clear();
  set_error(type, PyUnicode_FromFormat(format, args...));
}

// set_formatted_error, then throws PyErrorAlreadySet.
template <typename... Args>
[[noreturn]] void raise_formatted(PyObject* type, const char* format, Args... args) {
  set_formatted_error(type, format, args...);
  throw PyErrorAlreadySet{};
}

// TypeError for a column whose type cannot be masked, naming the column, its
// position and its type, and saying what to do.
[[noreturn]] void raise_unsupported_column(const std::string& name, std::size_t position,
                                           const std::string& type);

// Throws PyErrorAlreadySet when obj is null, else returns it as an owned ref.
PyRef check(PyObject* new_reference);
// Throws PyErrorAlreadySet when status is -1.
int check_status(int status);

// A Python object the interpreter failed to create. A MemoryError stays set
// and reaches the caller; any other pending exception goes to the unraisable
// hook and the failure becomes an internal one ("PyObject pointer is null").
PyRef check_created(PyObject* new_reference,
                    std::source_location where = std::source_location::current());

// Takes the pending Python exception (clearing it) and renders it as
// "TypeName: message" for an internal-failure message; "" when none is set.
std::string take_error_text();

// The PanicException class, created once per process (thread-safe); null with
// an exception set if it could not be created.
PyObject* panic_exception_type();

// Sets the OSError that Python raises for the system error `error`: the
// subclass of its errno (BrokenPipeError for EPIPE), "[Errno N] <reason>".
void set_os_error(int error) noexcept;

// Writes the diagnostic to standard error and raises PanicException(message).
void raise_panic(const std::string& message, const std::source_location& where);

// Runs body() and converts its outcome to a slot result: the body's value on
// success, `failure` with a Python exception set otherwise.
//
// The one thing let through is the forced unwinding by which the interpreter
// ends a thread that tries to reattach while it shuts down (pthread_exit, on
// CPython 3.13 and older): it is no exception of ours, it must reach the
// thread's start, and a noexcept frame in its way would abort the process.
// So guard is not noexcept, and rethrows it before anything could catch it.
template <typename Result, typename Body>
Result guard(Result failure, Body&& body) {
  try {
    return body();
  }
  GAPWRIGHT_PASS_FORCED_UNWIND
  catch (const PyErrorAlreadySet&) {
    if (!PyErr_Occurred()) {
      set_error(PyExc_SystemError, PyUnicode_FromString("error return without exception set"));
    }
  } catch (const InternalError& e) {
    raise_panic(e.what(), e.where());
  } catch (const ThreadStartRefused& e) {
    set_error(PyExc_RuntimeError, PyUnicode_FromString(e.what()));
  } catch (const OutputRefused& e) {
    set_os_error(e.code().value());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), std::source_location::current());
  } catch (...) {
    raise_panic("unknown native failure", std::source_location::current());
  }
  return failure;
}

}  // namespace gapwright::py
