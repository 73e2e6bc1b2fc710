// module.cpp: sorvik_batch._kernel, the array kernels behind sorvik_batch.
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "buffers.hpp"
#include "fault.hpp"
#include "parallel.hpp"
#include "runtime/conversions.hpp"
#include "runtime/errors.hpp"
#include "runtime/ref.hpp"
#include "strided.hpp"
#include "valuation/book.hpp"

namespace sorvik::batch {
namespace {

using python::PyError;
using python::Ref;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

/// The book's inputs in the public signature's order; codes are 0/1 for a
/// known option type or exercise style and anything else for an unknown one.
enum Input : std::size_t { Spot, Strike, Years, Rate, Vol, DividendYield, OptionTypeCode, ExerciseCode, Inputs };
constexpr const char* kInputNames[Inputs] = {"spot", "strike", "years", "rate", "vol", "dividend_yield",
                                             "option_type", "exercise"};
constexpr const char* kOutputNames[] = {"price", "delta", "gamma", "theta", "vega", "rho"};
constexpr std::size_t kOutputs = 6;

/// The private functions take exactly this many positional arguments.
void require_arguments(Py_ssize_t given, Py_ssize_t expected, const char* name) {
    if (given != expected)
        throw PyError{PyExc_TypeError, std::string(name) + "() takes " + std::to_string(expected) +
                                           " positional arguments but " + std::to_string(given) + " were given"};
}

BookShape book_shape(PyObject* obj) {
    if (!PyTuple_Check(obj)) python::throw_type_mismatch(obj, "tuple");
    BookShape shape;
    const Py_ssize_t ndim = PyTuple_GET_SIZE(obj);
    if (ndim > kMaxDims) throw PyError{PyExc_ValueError, "too many dimensions"};
    shape.ndim = static_cast<int>(ndim);
    for (Py_ssize_t d = 0; d < ndim; ++d) {
        const uint64_t extent = python::extract_u64(PyTuple_GET_ITEM(obj, d));
        if (extent > static_cast<uint64_t>(PY_SSIZE_T_MAX) ||
            (extent != 0 && static_cast<uint64_t>(shape.size) > static_cast<uint64_t>(PY_SSIZE_T_MAX) / extent))
            throw PyError{PyExc_ValueError, "book too large"};
        shape.extent[d] = static_cast<Py_ssize_t>(extent);
        shape.size *= shape.extent[d];
    }
    return shape;
}

/// A tuple of exactly `count` items.
PyObject* const* items(PyObject* obj, Py_ssize_t count, const char* what) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != count)
        throw PyError{PyExc_TypeError, std::string(what) + " must be a tuple of " + std::to_string(count)};
    return &PyTuple_GET_ITEM(obj, 0);
}

/// The book's eight inputs, read element by element.
struct BookInputs {
    BookShape shape;
    std::array<StridedInput<double>, 6> numbers;
    std::array<StridedInput<int8_t>, 2> codes;

    std::array<const Py_ssize_t*, Inputs> strides() const {
        std::array<const Py_ssize_t*, Inputs> s;
        for (std::size_t k = 0; k < 6; ++k) s[k] = numbers[k].strides.data();
        s[OptionTypeCode] = codes[0].strides.data();
        s[ExerciseCode] = codes[1].strides.data();
        return s;
    }

    /// The entry at the cursor, and the first input whose value is unusable
    /// (Inputs when there is none).
    std::size_t read(const Cursor<Inputs>& at, BookEntry& e) const {
        auto number = [&](std::size_t k) {
            double x;
            std::memcpy(&x, numbers[k].data + at.offset(k), sizeof x);
            return x;
        };
        auto code = [&](std::size_t k) { return static_cast<int8_t>(codes[k - OptionTypeCode].data[at.offset(k)]); };
        e.strike = number(Strike);
        e.market = MarketNumbers{number(Spot), number(Years), number(Rate), number(DividendYield), number(Vol)};
        const int8_t type = code(OptionTypeCode), style = code(ExerciseCode);
        e.type = type == 0 ? OptionType::Call : OptionType::Put;
        e.style = style == 0 ? ExerciseStyle::American : ExerciseStyle::European;
        switch (check_entry(e)) {
            case EntryProblem::Spot: return Spot;
            case EntryProblem::Strike: return Strike;
            case EntryProblem::Years: return Years;
            case EntryProblem::Rate: return Rate;
            case EntryProblem::Vol: return Vol;
            case EntryProblem::DividendYield: return DividendYield;
            case EntryProblem::None: break;
        }
        // The signature's order: option_type and exercise come before dividend_yield.
        if (type != 0 && type != 1) return OptionTypeCode;
        if (style != 0 && style != 1) return ExerciseCode;
        return Inputs;
    }
};

/// The input buffers, held for the call, and the book they describe.
struct HeldInputs {
    std::vector<std::unique_ptr<Buffer>> held;
    BookInputs book;
};

HeldInputs take_inputs(PyObject* shape_obj, PyObject* inputs_obj) {
    HeldInputs in;
    in.book.shape = book_shape(shape_obj);
    PyObject* const* arrays = items(inputs_obj, Inputs, "inputs");
    for (std::size_t k = 0; k < Inputs; ++k) {
        in.held.push_back(std::make_unique<Buffer>(arrays[k], PyBUF_RECORDS_RO, kInputNames[k]));
        const Buffer& b = *in.held.back();
        if (k < 6) {
            in.book.numbers[k] = strided_input<double>(b, in.book.shape, 'd', kInputNames[k]);
        } else {
            in.book.codes[k - 6] = strided_input<int8_t>(b, in.book.shape, 'b', kInputNames[k]);
        }
    }
    return in;
}

/// The result of a check: the first unusable element and its input, or None.
Ref problem_tuple(Py_ssize_t index, std::size_t input) {
    if (index < 0) return Ref::borrow(Py_None);
    return python::check(Py_BuildValue("(ns)", index, kInputNames[input]));
}

/// Lowest flat index found unusable by any worker, with its input.
struct FirstProblem {
    std::atomic<Py_ssize_t> index{-1};
    std::atomic<std::size_t> input{Inputs};

    void offer(Py_ssize_t at, std::size_t which) {
        // Rare: a lock-free minimum is not worth it.
        static std::mutex m;
        std::lock_guard lock(m);
        const Py_ssize_t current = index.load();
        if (current < 0 || at < current) {
            index = at;
            input = which;
        }
    }
};

/// value_book(shape, inputs, outputs, method, nodes, time_steps, grid_std_devs,
/// bumped_vega_rho, threads, nan_mode, progress) -> None or (index, input)
PyObject* value_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> Ref {
        require_arguments(nargs, 11, "value_book");
        HeldInputs in = take_inputs(args[0], args[1]);
        const BookInputs& book = in.book;
        PyObject* const* out_objs = items(args[2], kOutputs, "outputs");
        std::vector<std::unique_ptr<Buffer>> held_out;
        std::array<double*, kOutputs> out{};
        for (std::size_t k = 0; k < kOutputs; ++k) {
            held_out.push_back(std::make_unique<Buffer>(out_objs[k], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE,
                                                        kOutputNames[k]));
            out[k] = contiguous_output(*held_out.back(), book.shape, kOutputNames[k]);
        }
        const auto method_code = python::extract_u64(args[3]);
        if (method_code > 2) throw PyError{PyExc_ValueError, "unknown method code"};
        const auto method = static_cast<BookMethod>(method_code);
        GridRequest grid;
        grid.settings.nodes = python::extract_u64(args[4]);
        grid.settings.time_steps = python::extract_u64(args[5]);
        grid.settings.grid_std_devs = python::extract_float(args[6]);
        grid.bumped_vega_rho = PyObject_IsTrue(args[7]) == 1;
        const uint64_t threads = python::extract_u64(args[8]);
        if (threads < 1) throw PyError{PyExc_ValueError, "threads must be at least 1"};
        const bool nan_mode = PyObject_IsTrue(args[9]) == 1;
        PyObject* progress = args[10] == Py_None ? nullptr : args[10];
        if (progress && !PyCallable_Check(progress)) python::throw_type_mismatch(progress, "Callable");
        if (method != BookMethod::Analytic) check_grid_request(grid);

        const Py_ssize_t n = book.shape.size;
        const auto strides = book.strides();
        FirstProblem first;
        // Grid entries take long: a bad one is reported before any is valued.
        if (method != BookMethod::Analytic && !nan_mode) {
            PyThreadState* saved = PyEval_SaveThread();
            Cursor<Inputs> at(book.shape, strides, 0);
            BookEntry e;
            for (Py_ssize_t i = 0; i < n; ++i, at.advance()) {
                const std::size_t bad = book.read(at, e);
                if (bad != Inputs) {
                    first.offer(i, bad);
                    break;
                }
            }
            PyEval_RestoreThread(saved);
            if (first.index >= 0) return problem_tuple(first.index, first.input);
        }
        const std::size_t chunk = method == BookMethod::Analytic ? 4096 : 8;
        auto write = [&](std::size_t i, const OptionResult& r) {
            out[0][i] = r.price;
            out[1][i] = r.greeks.delta;
            out[2][i] = r.greeks.gamma;
            out[3][i] = r.greeks.theta;
            out[4][i] = r.greeks.vega.value_or(NaN);
            out[5][i] = r.greeks.rho.value_or(NaN);
        };
        auto work = [&](std::size_t begin, std::size_t end, const StopFlag& stop) {
            std::vector<BookEntry> grid_entries;
            std::vector<std::size_t> where;
            Cursor<Inputs> at(book.shape, strides, static_cast<Py_ssize_t>(begin));
            BookEntry e;
            for (std::size_t i = begin; i < end; ++i, at.advance()) {
                const std::size_t bad = book.read(at, e);
                if (bad != Inputs) {
                    if (!nan_mode) {
                        first.offer(static_cast<Py_ssize_t>(i), bad);
                        return;
                    }
                    for (double* o : out) o[i] = NaN;
                } else if (on_grid(e, method)) {
                    grid_entries.push_back(e);
                    where.push_back(i);
                } else {
                    write(i, value_in_closed_form(e));
                }
            }
            if (grid_entries.empty()) return;
            std::vector<OptionResult> results(grid_entries.size());
            CancellationHook hook{[](void* s) { return static_cast<const StopFlag*>(s)->load(std::memory_order_relaxed); },
                                  const_cast<StopFlag*>(&stop)};
            value_on_grid(grid_entries, grid, results, hook);
            for (std::size_t j = 0; j < results.size(); ++j) write(where[j], results[j]);
        };
        run_in_parallel(static_cast<std::size_t>(n), chunk, static_cast<unsigned>(std::min<uint64_t>(threads, 4096)),
                        work, progress);
        return problem_tuple(first.index, first.input);
    });
}

PyObject* usable_cpu_count(PyObject*, PyObject*) noexcept {
    return python::call_frame([] { return python::check(PyLong_FromUnsignedLong(usable_cpus())); });
}

PyMethodDef kMethods[] = {
    {"value_book", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&value_book)), METH_FASTCALL,
     "value_book(shape, inputs, outputs, method, nodes, time_steps, grid_std_devs, bumped_vega_rho, threads, "
     "nan_mode, progress)\n--\n\nValues a broadcast book into the outputs; returns None, or (flat index, input) "
     "of the first unusable element."},
    {"usable_cpu_count", &usable_cpu_count, METH_NOARGS,
     "usable_cpu_count()\n--\n\nThe number of CPUs this process may run on."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "sorvik_batch._kernel",
                       "Array kernels behind sorvik_batch (private).", 0, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace sorvik::batch

PyMODINIT_FUNC PyInit__kernel() {
    return sorvik::python::call_frame([] {
        return sorvik::python::check(PyModule_Create(&sorvik::batch::kModule));
    });
}
