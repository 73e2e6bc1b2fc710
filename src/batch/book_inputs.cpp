// book_inputs.cpp: a book's broadcast arrays, read row by row, and what the kernels share.
#include "book_inputs.hpp"

#include <cstring>

#include "runtime/conversions.hpp"
#include "runtime/errors.hpp"

namespace sorvik::batch {

using python::PyError;

namespace {

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

/// The items of a tuple of exactly `count`.
PyObject* const* items(PyObject* obj, std::size_t count, const char* what) {
    if (!PyTuple_Check(obj) || static_cast<std::size_t>(PyTuple_GET_SIZE(obj)) != count)
        throw PyError{PyExc_TypeError, std::string(what) + " must be a tuple of " + std::to_string(count)};
    return &PyTuple_GET_ITEM(obj, 0);
}

std::size_t find(const InputNames& names, const char* name) {
    for (std::size_t k = 0; k < kInputs; ++k)
        if (std::strcmp(names[k], name) == 0) return k;
    return kInputs;
}

}  // namespace

void require_arguments(Py_ssize_t given, Py_ssize_t expected, const char* name) {
    if (given != expected)
        throw PyError{PyExc_TypeError, std::string(name) + "() takes " + std::to_string(expected) +
                                           " positional arguments but " + std::to_string(given) + " were given"};
}

EntryLayout::EntryLayout(const InputNames& names)
    : spot(find(names, "spot")),
      strike(find(names, "strike")),
      years(find(names, "years")),
      rate(find(names, "rate")),
      vol(find(names, "vol")),
      dividend_yield(find(names, "dividend_yield")),
      option_type(find(names, "option_type")),
      exercise(find(names, "exercise")) {}

Unusable Row::entry(const EntryLayout& at, BookMethod method, const GridRequest& grid, BookEntry& e,
                    double vol) const {
    e.strike = x[at.strike];
    e.market = MarketNumbers{x[at.spot], x[at.years], x[at.rate], x[at.dividend_yield],
                             at.vol < kNumbers ? x[at.vol] : vol};
    e.type = type == 0 ? OptionType::Call : OptionType::Put;
    e.style = style == 0 ? ExerciseStyle::American : ExerciseStyle::European;
    const EntryProblem problem = check_entry(e, method, grid);
    const char* reason = entry_problem_reason(problem);
    switch (problem) {
        case EntryProblem::Spot: return {at.spot, reason};
        case EntryProblem::Strike: return {at.strike, reason};
        case EntryProblem::Years: return {at.years, reason};
        case EntryProblem::Rate: return {at.rate, reason};
        case EntryProblem::Vol: return {at.vol, reason};
        default: break;  // the rest come after option_type and exercise in the signature
    }
    if (type != 0 && type != 1) return {at.option_type, "unknown value"};
    if (style != 0 && style != 1) return {at.exercise, "unknown value"};
    switch (problem) {
        case EntryProblem::DividendYield: return {at.dividend_yield, reason};
        case EntryProblem::Moneyness:
        case EntryProblem::GridReach: return {at.spot, reason};
        case EntryProblem::GridSpread:
            // Without a vol input (implied volatilities) the grid is as wide as the highest σ searched.
            if (at.vol < kNumbers) return {at.vol, reason};
            return {at.years,
                    "the grid for the highest volatility searched would reach spots beyond the largest float"};
        default: return {};
    }
}

BookInputs::BookInputs(PyObject* shape, PyObject* arrays, const InputNames& names)
    : shape_(book_shape(shape)), names_(names), layout_(names) {
    PyObject* const* objects = items(arrays, kInputs, "inputs");
    for (std::size_t k = 0; k < kInputs; ++k) {
        held_.push_back(std::make_unique<Buffer>(objects[k], PyBUF_RECORDS_RO, names[k]));
        if (k < kNumbers) {
            numbers_[k] = strided_input<double>(*held_.back(), shape_, 'd', names[k]);
            strides_[k] = numbers_[k].strides.data();
        } else {
            codes_[k - kNumbers] = strided_input<int8_t>(*held_.back(), shape_, 'b', names[k]);
            strides_[k] = codes_[k - kNumbers].strides.data();
        }
    }
}

Row BookInputs::read(const Cursor<kInputs>& at) const {
    Row row;
    for (std::size_t k = 0; k < kNumbers; ++k) std::memcpy(&row.x[k], numbers_[k].data + at.offset(k), sizeof(double));
    row.type = static_cast<int8_t>(codes_[0].data[at.offset(kNumbers)]);
    row.style = static_cast<int8_t>(codes_[1].data[at.offset(kNumbers + 1)]);
    return row;
}

BookOutputs::BookOutputs(PyObject* tuple, std::size_t count, const BookShape& shape) {
    PyObject* const* objects = items(tuple, count, "outputs");
    for (std::size_t k = 0; k < count; ++k) {
        held_.push_back(std::make_unique<Buffer>(objects[k], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE,
                                                 "output"));
        data_.push_back(contiguous_output(*held_.back(), shape, "output"));
    }
}

void FirstProblem::offer(Py_ssize_t at, const Unusable& what, int why, double limit) {
    // Rare: a lock keeps the fields together.
    std::lock_guard lock(mutex_);
    const Py_ssize_t current = index.load();
    if (current < 0 || at < current) {
        unusable = what;
        status = why;
        bound = limit;
        index = at;
    }
}

namespace {

bool truth(PyObject* obj) {
    const int value = PyObject_IsTrue(obj);
    if (value < 0) python::throw_python_error();
    return value == 1;
}

}  // namespace

KernelOptions kernel_options(PyObject* const* args) {
    KernelOptions o;
    const auto method_code = python::extract_u64(args[0]);
    if (method_code > 2) throw PyError{PyExc_ValueError, "unknown method code"};
    o.method = static_cast<BookMethod>(method_code);
    o.grid.settings.nodes = python::extract_u64(args[1]);
    o.grid.settings.time_steps = python::extract_u64(args[2]);
    o.grid.settings.grid_std_devs = python::extract_float(args[3]);
    o.grid.bumped_vega_rho = truth(args[4]);
    const uint64_t threads = python::extract_u64(args[5]);
    if (threads < 1) throw PyError{PyExc_ValueError, "threads must be at least 1"};
    o.threads = static_cast<unsigned>(std::min<uint64_t>(threads, 4096));
    o.nan_mode = truth(args[6]);
    o.progress = args[7] == Py_None ? nullptr : args[7];
    if (o.progress && !PyCallable_Check(o.progress)) python::throw_type_mismatch(o.progress, "Callable");
    if (o.method != BookMethod::Analytic) check_grid_request(o.grid);
    return o;
}

CancellationHook polling(const StopFlag& stop) {
    return CancellationHook{[](void* s) { return static_cast<const StopFlag*>(s)->load(std::memory_order_relaxed); },
                            const_cast<StopFlag*>(&stop)};
}

}  // namespace sorvik::batch

namespace sorvik::batch {

bool closed_form_only(const BookInputs& book, BookMethod method) {
    return method == BookMethod::Analytic ||
           (method == BookMethod::Auto && book.every_exercise([](int8_t code) { return code == 1; }));
}

python::Ref problem_result(const FirstProblem& first, const InputNames& names) {
    if (first.index < 0) return python::Ref::borrow(Py_None);
    return python::check(Py_BuildValue("(nsids)", first.index.load(), names[first.unusable.input], first.status,
                                       first.bound, first.unusable.reason));
}

}  // namespace sorvik::batch
