// The gapwright extension module: one class, MNARrs, with the PanicException
// it raises on internal failures and the package version beside it.
#include "generators/mnar/mnar_type.h"
#include "utils/python/errors.h"
#include "utils/python/py_ref.h"

namespace {

using gapwright::py::PyRef;

// Execution step: publish the process-wide MNARrs type and list it in __all__;
// PanicException and __version__ are attributes for callers but stay out of
// __all__, which names the module's one class.
int gapwright_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    gapwright::py::set_error(
        PyExc_TypeError,
        PyUnicode_FromString("gapwright can only be initialised on a module object"));
    return -1;
  }
  PyObject* type = gapwright::py::mnar_type();
  if (type == nullptr) return -1;

  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
  PyRef all = PyRef::steal(found);
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("MNARrs"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  if (PyModule_AddObjectRef(module, "MNARrs", type) < 0) return -1;
  PyObject* panic = gapwright::py::panic_exception_type();
  if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
  return PyModule_AddStringConstant(module, "__version__", GAPWRIGHT_VERSION);
}

PyModuleDef_Slot gapwright_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(gapwright_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef gapwright_module = {
    PyModuleDef_HEAD_INIT,
    "gapwright",
    "Seeded, reproducible Missing-Not-At-Random masking of numpy arrays and pandas DataFrames.",
    0,
    nullptr,
    gapwright_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_gapwright(void) { return PyModuleDef_Init(&gapwright_module); }
