// MNARrs: seeded Missing-Not-At-Random masking of tables.
//
// What it does, in Python terms:
//
//     class MNARrs:
//         def __init__(self, mean=0.5, variance=0.0, seed=<clock>, n_workers=4, *, dump=True): ...
//         def __call__(self, data, alpha):
//             """Return a copy of `data` with ceil(alpha * rows * cols) cells NaN."""
//         def __repr__(self):
//             return f"MNAR[{mean}]"
//         def __reduce__(self):
//             return MNARrs, (mean, variance, seed, n_workers), (1, dump, words_drawn)
//         def __setstate__(self, state): ...
//
// Each instance owns its random stream and its worker pool; a borrow flag
// refuses overlapping use of one instance from several threads or from
// callbacks that a running call makes. A pickled or copied instance is
// rebuilt from its arguments and moved to where its stream stands, so its
// next call makes the holes the original's next call makes; its pool is its
// own.
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

#include <cmath>     // std::isinf, std::isnan
#include <new>       // placement new
#include <optional>  // std::optional
#include <string>    // std::string, std::to_string
#include <utility>   // std::move
#include <variant>   // std::get_if

namespace gapwright::py {
namespace {

struct MNARObject {
  PyObject_HEAD
  BorrowFlag borrow;
  MNAR record;
};

MNARObject* as_mnar(PyObject* self) { return reinterpret_cast<MNARObject*>(self); }

constexpr Signature<5> kNewSignature{
    "MNARrs.__new__()", {"mean", "variance", "seed", "n_workers", "dump"}, 0, 4};
constexpr Signature<2> kCallSignature{"MNARrs.__call__()", {"data", "alpha"}, 2};

bool given(const PyRef& value) { return value && value.get() != Py_None; }

// The version of the state that __reduce__ writes and __setstate__ reads.
constexpr long kStateVersion = 1;

struct InstanceState {
  bool dump;
  std::uint64_t words_drawn;
};

// A state is refused whole, before anything of it is applied: a damaged one
// must never leave an instance on a stream that no instance was on.
InstanceState parse_state(PyObject* state) {
  if (!PyTuple_Check(state)) {
    raise_formatted(PyExc_TypeError, "MNARrs state must be a tuple, not %s",
                    Py_TYPE(state)->tp_name);
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(state);
  if (size < 1) raise_error(PyExc_ValueError, "MNARrs state is empty: no version");
  PyObject* version = PyTuple_GET_ITEM(state, 0);
  if (!PyLong_CheckExact(version)) {
    raise_formatted(PyExc_TypeError, "MNARrs state version must be an int, not %s",
                    Py_TYPE(version)->tp_name);
  }
  int overflow = 0;
  const long number = PyLong_AsLongAndOverflow(version, &overflow);
  if (overflow != 0 || number != kStateVersion) {
    raise_formatted(PyExc_ValueError,
                    "MNARrs state version %R is not supported (this build reads %ld)", version,
                    kStateVersion);
  }
  if (size != 3) {
    raise_formatted(PyExc_ValueError,
                    "MNARrs state of version 1 has 3 items (version, dump, words drawn), not %zd",
                    size);
  }
  PyObject* dump = PyTuple_GET_ITEM(state, 1);
  if (!PyBool_Check(dump)) {
    raise_formatted(PyExc_TypeError, "MNARrs state: dump must be a bool, not %s",
                    Py_TYPE(dump)->tp_name);
  }
  PyObject* words = PyTuple_GET_ITEM(state, 2);
  if (!PyLong_CheckExact(words)) {
    raise_formatted(PyExc_TypeError, "MNARrs state: words drawn must be an int, not %s",
                    Py_TYPE(words)->tp_name);
  }
  const unsigned long long drawn = PyLong_AsUnsignedLongLong(words);
  if (drawn == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    raise_formatted(PyExc_ValueError,
                    "MNARrs state: words drawn must be from 0 to 2**64-1, not %R", words);
  }
  return InstanceState{dump == Py_True, drawn};
}

// "Sample is nan", then what the caller can do about it.
std::string nan_threshold_message(const NanThreshold& failure, double variance,
                                  const OUT& container) {
  std::string message = failure.what();
  if (std::isnan(variance)) {
    return message + ": variance is NaN, so every threshold is; pass a number";
  }
  std::string column = "column " + std::to_string(failure.column());
  if (const std::vector<std::string>* names = container.column_names()) {
    if (failure.column() < names->size()) {
      column = "column '" + (*names)[failure.column()] + "' (position " +
               std::to_string(failure.column()) + ")";
    }
  }
  message += ": the threshold drawn for " + column + " is NaN";
  if (std::isinf(variance)) {
    return message + ", as an infinite variance makes it for a column of one value or one "
                     "holding a NaN or an infinity; pass a finite variance";
  }
  return message + ", as the column holds a NaN or an infinity; fill or drop those cells "
                   "before masking";
}

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

// __new__: binds and converts the arguments, seeds the stream, makes the pool handle.
PyObject* mnar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto bound = bind_arguments(kNewSignature, args, kwargs);
    const double mean = given(bound[0]) ? to_f64(bound[0].get(), "mean") : 0.5;
    const double variance = given(bound[1]) ? to_f64(bound[1].get(), "variance") : 0.0;
    std::optional<std::uint64_t> seed;
    if (given(bound[2])) seed = to_u64(bound[2].get(), "seed");
    const std::uint64_t n_workers = given(bound[3]) ? to_u64(bound[3].get(), "n_workers") : 4;
    if (n_workers == 0) {
      raise_formatted(PyExc_ValueError, "argument 'n_workers': must be at least 1, not %R",
                      bound[3].get());
    }
    const bool dump = given(bound[4]) ? to_bool(bound[4].get(), "dump") : true;

    const std::uint64_t chosen_seed = choose_seed(seed);
    MNAR record{mean, variance, chosen_seed, RandomStream::seed_from_u64(chosen_seed),
                ThreadPool(static_cast<std::size_t>(n_workers)), dump};

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

    IntakeResult intake = pyany_to_vec(bound[0].get(), object->record.pool);
    const std::uint64_t blanks = blank_count(alpha, intake.rows, intake.cols);
    try {
      // The passes, their dumps and the pool's joins touch no Python object;
      // holding the interpreter through them would stall every other Python
      // thread, including one that drains the pipe the dump is written to.
      run_detached([&] {
        object->record.drop_cols(intake.values.cells(), intake.rows, intake.cols, blanks);
      });
    } catch (const NanThreshold& failure) {
      raise_error(PyExc_ValueError,
                  nan_threshold_message(failure, object->record.variance, intake.container));
    }
    return arr_to_out(std::move(intake.values), std::move(intake.container),
                      std::move(intake.encoding), object->record.pool)
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

// __reduce__: the constructor's arguments, then the state that moves the
// stream: (version, dump, words drawn since seeding).
PyObject* mnar_reduce(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    MNARObject* object = as_mnar(self);
    SharedBorrow borrow(object->borrow, "Already mutably borrowed");
    const MNAR& record = object->record;
    PyObject* type = mnar_type();
    if (type == nullptr) throw PyErrorAlreadySet{};
    return check(Py_BuildValue("O(ddKK)(lOK)", type, record.mean, record.variance,
                               static_cast<unsigned long long>(record.seed),
                               static_cast<unsigned long long>(record.pool.size()),
                               kStateVersion, record.dump ? Py_True : Py_False,
                               static_cast<unsigned long long>(record.stream.words_drawn())))
        .release();
  });
}

// __setstate__: applies a state that __reduce__ gave.
PyObject* mnar_setstate(PyObject* self, PyObject* state) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    MNARObject* object = as_mnar(self);
    ExclusiveBorrow borrow(object->borrow, "Already borrowed");
    const InstanceState parsed = parse_state(state);
    MNAR& record = object->record;
    RandomStream stream = RandomStream::seed_from_u64(record.seed);
    stream.seek(parsed.words_drawn);
    record.stream = stream;
    record.dump = parsed.dump;
    Py_RETURN_NONE;
  });
}

PyMethodDef kMethods[] = {
    {"__reduce__", mnar_reduce, METH_NOARGS,
     PyDoc_STR("Return (MNARrs, (mean, variance, seed, n_workers), state) for pickle and copy.\n\n"
               "state is (1, dump, words): the state's version, the dump switch and the\n"
               "number of 32-bit words drawn from the random stream since seeding.")},
    {"__setstate__", mnar_setstate, METH_O,
     PyDoc_STR("Set the dump switch and move the stream to the position that a state\n"
               "from __reduce__ records.")},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(
                    "MNARrs(mean=None, variance=None, seed=None, n_workers=None, *, dump=True)\n--\n\n"
                    "Seeded Missing-Not-At-Random masking of numpy arrays and pandas DataFrames.\n\n"
                    "masker(data, alpha) returns a new container of the same kind in which\n"
                    "ceil(alpha * rows * cols) cells are missing, those nearest to thresholds\n"
                    "drawn around a quantile (mean) of each column first. dump=False stops the\n"
                    "per-pass matrix dump on standard output. Instances pickle and copy: a\n"
                    "copy's next call makes the holes the original's next call would make.")},
    {0, nullptr},
};

// The dotted name sets __module__ to "gapwright", so that pickle and the
// tools that ship task functions to workers import the class by name
// rather than copy it by value.
PyType_Spec kSpec = {
    "gapwright.MNARrs",
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
