// MNARrs: seeded Missing-Not-At-Random masking of tables.
//
// What it does, in Python terms:
//
//     class MNARrs:
//         def __init__(self, mean=0.5, variance=0.0, seed=<clock>, n_workers=4): ...
//         def __call__(self, data, alpha):
//             """Return a copy of `data` with ceil(alpha * rows * cols) cells NaN."""
//         def __repr__(self):
//             return f"MNAR[{mean}]"
//
// Each instance owns its random stream and its worker pool; a borrow flag
// refuses overlapping use of one instance from several threads or from
// callbacks that a running call makes.
#include "generators/mnar/mnar_type.h"

#include "generators/mnar/borrow_flag.h"
#include "generators/mnar/mnar.h"
#include "runtime/wall_clock.h"
#include "utils/python/arg_binding.h"
#include "utils/python/conversions.h"
#include "utils/python/detached.h"
#include "utils/python/errors.h"
#include "utils/python/intake.h"
#include "utils/python/once.h"
#include "utils/python/rebuild.h"
#include "utils/text/number_text.h"

#include <new>       // placement new
#include <optional>  // std::optional
#include <utility>   // std::move

namespace gapwright::py {
namespace {

struct MNARObject {
  PyObject_HEAD
  BorrowFlag borrow;
  MNAR record;
};

MNARObject* as_mnar(PyObject* self) { return reinterpret_cast<MNARObject*>(self); }

constexpr Signature<4> kNewSignature{
    "MNARrs.__new__()", {"mean", "variance", "seed", "n_workers"}, 0};
constexpr Signature<2> kCallSignature{"MNARrs.__call__()", {"data", "alpha"}, 2};

bool given(const PyRef& value) { return value && value.get() != Py_None; }

// Holds an instance's flag for the rest of a scope; a refused take raises
// RuntimeError with the refusal's text.
template <bool (BorrowFlag::*Take)() noexcept, void (BorrowFlag::*Release)() noexcept>
class Borrow {
 public:
  Borrow(BorrowFlag& flag, const char* refusal) : flag_(flag) {
    if (!(flag_.*Take)()) raise_error(PyExc_RuntimeError, refusal);
  }
  ~Borrow() { (flag_.*Release)(); }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  BorrowFlag& flag_;
};

using ExclusiveBorrow = Borrow<&BorrowFlag::try_take_exclusive, &BorrowFlag::release_exclusive>;
using SharedBorrow = Borrow<&BorrowFlag::try_take_shared, &BorrowFlag::release_shared>;

// __new__: binds and converts the arguments, seeds the stream, starts the pool.
PyObject* mnar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto bound = bind_arguments(kNewSignature, args, kwargs);
    const double mean = given(bound[0]) ? to_f64(bound[0].get(), "mean") : 0.5;
    const double variance = given(bound[1]) ? to_f64(bound[1].get(), "variance") : 0.0;
    std::optional<std::uint64_t> seed;
    if (given(bound[2])) seed = to_u64(bound[2].get(), "seed");
    const std::uint64_t n_workers = given(bound[3]) ? to_u64(bound[3].get(), "n_workers") : 4;

    MNAR record{mean, variance, RandomStream::seed_from_u64(choose_seed(seed)),
                ThreadPool(static_cast<std::size_t>(n_workers))};

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PyErrorAlreadySet{};
    MNARObject* object = as_mnar(self);
    new (&object->borrow) BorrowFlag();
    new (&object->record) MNAR(std::move(record));
    return self;
  });
}

// __call__: masks `data` at rate `alpha` and returns a new container.
PyObject* mnar_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto bound = bind_arguments(kCallSignature, args, kwargs);
    PyObject* type = mnar_type();
    if (type == nullptr) throw PyErrorAlreadySet{};
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
      raise_error(PyExc_TypeError, "MNARrs.__call__() needs an MNARrs instance");
    }
    MNARObject* object = as_mnar(self);
    ExclusiveBorrow borrow(object->borrow, "Already borrowed");
    const double alpha = to_f64(bound[1].get(), "alpha");

    IntakeResult intake = pyany_to_vec(bound[0].get());
    const std::uint64_t blanks = blank_count(alpha, intake.rows, intake.cols);
    {
      // The passes, their dumps and the pool's joins touch no Python object;
      // holding the interpreter through them would stall every other Python
      // thread, including one that drains the pipe the dump is written to.
      Detached detached;
      object->record.drop_cols(intake.values.cells(), intake.rows, intake.cols, blanks);
    }
    return arr_to_out(std::move(intake.values), std::move(intake.container),
                      std::move(intake.encoding))
        .release();
  });
}

// __repr__: "MNAR[<mean>]".
PyObject* mnar_repr(PyObject* self) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    MNARObject* object = as_mnar(self);
    SharedBorrow borrow(object->borrow, "Already mutably borrowed");
    const std::string text = "MNAR[" + format_positional(object->record.mean) + "]";
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())))
        .release();
  });
}

// Deallocation: drop the record (the pool closes its queue without waiting),
// free the object, then release the heap type's reference.
void mnar_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  MNARObject* object = as_mnar(self);
  object->record.~MNAR();
  object->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(mnar_new)},
    {Py_tp_call, reinterpret_cast<void*>(mnar_call)},
    {Py_tp_repr, reinterpret_cast<void*>(mnar_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mnar_dealloc)},
    {Py_tp_doc, const_cast<char*>(
                    "MNARrs(mean=None, variance=None, seed=None, n_workers=None)\n--\n\n")},
    {0, nullptr},
};

// The dotted name sets __module__ to "builtins"; the class lives in no module
// of its own because one type object serves every module object.
PyType_Spec kSpec = {
    "builtins.MNARrs",
    static_cast<int>(sizeof(MNARObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* mnar_type() {
  static OnceObject type;
  return type.get([] { return PyType_FromSpec(&kSpec); });
}

}  // namespace gapwright::py
