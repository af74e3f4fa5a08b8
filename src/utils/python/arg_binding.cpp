#include "utils/python/arg_binding.h"

#include "utils/python/errors.h"

#include <string>
#include <vector>

namespace gapwright::py {
namespace {

std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        text += " and ";
      } else {
        text += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// The parameter a keyword names, or `count` when it names none. Compares code
// points, so a keyword with a NUL or a lone surrogate is simply unknown.
std::size_t parameter_index(PyObject* keyword, const std::string_view* parameters,
                            std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, std::string(parameters[i]).c_str()) == 0) {
      return i;
    }
  }
  return count;
}

void bind_positional(const std::string& name, std::size_t count, std::size_t required,
                     PyObject* args, PyRef* bound) {
  const auto given = static_cast<std::size_t>(args != nullptr ? PyTuple_GET_SIZE(args) : 0);
  if (given > count) {
    std::string message = name + " takes ";
    if (required == count) {
      message += std::to_string(count);
    } else {
      message += "from " + std::to_string(required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    raise_error(PyExc_TypeError, message);
  }
  for (std::size_t i = 0; i < given; ++i) {
    bound[i] = PyRef::borrow(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
  }
}

void bind_keywords(const std::string& name, const std::string_view* parameters, std::size_t count,
                   PyObject* kwargs, PyRef* bound) {
  // A private copy: the caller's dictionary may be changed by another
  // thread while this one walks it.
  PyRef keywords = check(PyDict_Copy(kwargs));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(keywords.get(), &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) raise_error(PyExc_TypeError, name + " keywords must be strings");
    const std::size_t index = parameter_index(key, parameters, count);
    if (index == count) {
      // %U keeps the keyword whole: embedded NULs and lone surrogates included.
      raise_formatted(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", name.c_str(),
                      key);
    }
    if (bound[index]) {
      raise_error(PyExc_TypeError, name + " got multiple values for argument '" +
                                       std::string(parameters[index]) + "'");
    }
    bound[index] = PyRef::borrow(value);
  }
}

void check_required(const std::string& name, const std::string_view* parameters,
                    std::size_t required, const PyRef* bound) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (!bound[i]) missing.push_back(parameters[i]);
  }
  if (!missing.empty()) {
    raise_error(PyExc_TypeError, name + " missing " + std::to_string(missing.size()) +
                                     " required positional " +
                                     (missing.size() == 1 ? "argument: " : "arguments: ") +
                                     quoted_list(missing));
  }
}

}  // namespace

void bind_arguments(std::string_view display_name, const std::string_view* parameters,
                    std::size_t count, std::size_t required, std::size_t positional,
                    PyObject* args, PyObject* kwargs, PyRef* bound) {
  const std::string name(display_name);
  bind_positional(name, positional, required, args, bound);
  if (kwargs != nullptr) bind_keywords(name, parameters, count, kwargs, bound);
  check_required(name, parameters, required, bound);
}

}  // namespace gapwright::py
