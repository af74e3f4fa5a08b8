#include "utils/python/arg_binding.h"

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

bool fail(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace

bool bind_arguments(std::string_view display_name, const std::string_view* parameters,
                    std::size_t count, std::size_t required, PyObject* args, PyObject* kwargs,
                    PyObject** bound) {
  const std::string name(display_name);
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
    return fail(message);
  }
  for (std::size_t i = 0; i < count; ++i) {
    bound[i] = i < given ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
      if (utf8 == nullptr) {
        PyErr_Clear();
        return fail(name + " keywords must be strings");
      }
      const std::string_view keyword(utf8, static_cast<std::size_t>(size));
      std::size_t index = 0;
      while (index < count && parameters[index] != keyword) ++index;
      if (index == count) {
        return fail(name + " got an unexpected keyword argument '" + std::string(keyword) + "'");
      }
      if (bound[index] != nullptr) {
        return fail(name + " got multiple values for argument '" + std::string(keyword) + "'");
      }
      bound[index] = value;
    }
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (bound[i] == nullptr) missing.push_back(parameters[i]);
  }
  if (!missing.empty()) {
    return fail(name + " missing " + std::to_string(missing.size()) + " required positional " +
                (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
  }
  return true;
}

}  // namespace gapwright::py
