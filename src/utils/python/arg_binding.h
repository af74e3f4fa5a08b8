// Argument binding shared by the constructor and the call: positional
// arguments fill parameters from the left, then keywords in dictionary order,
// with CPython's own wording for every binding error (as TypeError).
#pragma once

#include "utils/python/compat.h"

#include <array>        // std::array
#include <cstddef>      // std::size_t
#include <string_view>  // std::string_view

namespace gapwright::py {

template <std::size_t N>
struct Signature {
  std::string_view display_name;  // e.g. "MNARrs.__new__()"
  std::array<std::string_view, N> parameters;
  std::size_t required;  // leading parameters that must be given
};

// Fills `bound` with borrowed references (null for a parameter not given).
// Returns false with a TypeError set on a binding error.
bool bind_arguments(std::string_view display_name, const std::string_view* parameters,
                    std::size_t count, std::size_t required, PyObject* args, PyObject* kwargs,
                    PyObject** bound);

template <std::size_t N>
bool bind_arguments(const Signature<N>& signature, PyObject* args, PyObject* kwargs,
                    std::array<PyObject*, N>& bound) {
  return bind_arguments(signature.display_name, signature.parameters.data(), N,
                        signature.required, args, kwargs, bound.data());
}

}  // namespace gapwright::py
