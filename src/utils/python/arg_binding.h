// Argument binding shared by the constructor and the call: positional
// arguments fill the leading parameters from the left, then keywords in
// dictionary order, with CPython's own wording for every binding error (as
// TypeError). Parameters past `positional` are keyword-only.
#pragma once

#include "utils/python/py_ref.h"

#include <array>        // std::array
#include <cstddef>      // std::size_t
#include <string_view>  // std::string_view

namespace gapwright::py {

template <std::size_t N>
struct Signature {
  std::string_view display_name;  // e.g. "MNARrs.__new__()"
  std::array<std::string_view, N> parameters;  // ASCII names
  std::size_t required;  // leading parameters that must be given
  std::size_t positional = N;  // leading parameters that may be given by position
};

// Fills `bound` with strong references (empty for a parameter not given), so
// the values outlive any change another thread makes to the keyword
// dictionary. Throws PyErrorAlreadySet with a TypeError set on a binding error.
void bind_arguments(std::string_view display_name, const std::string_view* parameters,
                    std::size_t count, std::size_t required, std::size_t positional,
                    PyObject* args, PyObject* kwargs, PyRef* bound);

template <std::size_t N>
std::array<PyRef, N> bind_arguments(const Signature<N>& signature, PyObject* args,
                                    PyObject* kwargs) {
  std::array<PyRef, N> bound;
  bind_arguments(signature.display_name, signature.parameters.data(), N, signature.required,
                 signature.positional, args, kwargs, bound.data());
  return bound;
}

}  // namespace gapwright::py
