// book_inputs.cpp: a book's inputs broadcast to one shape, read row by row, and what the kernels share.
#include "book_inputs.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "fdm/fdm_solver.hpp"
#include "python_types.hpp"
#include "runtime/conversions.hpp"
#include "runtime/errors.hpp"

namespace sorvik::batch {

using python::check;
using python::PyError;
using python::Ref;

namespace {

std::size_t find(const InputNames& names, const char* name) {
    for (std::size_t k = 0; k < kInputs; ++k)
        if (std::strcmp(names[k], name) == 0) return k;
    return kInputs;
}

/// The struct format of a buffer without its native byte-order prefix.
const char* native_format(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    if (f[0] == '@' || f[0] == '=' || (f[0] == '<' && PY_LITTLE_ENDIAN)) ++f;
    return f;
}

/// Python's repr() of an argument's shape: "(2,)", "(2, 3)".
std::string shape_text(int ndim, const Py_ssize_t* extent) {
    std::string text = "(";
    for (int d = 0; d < ndim; ++d) text += (d ? ", " : "") + std::to_string(extent[d]);
    return text + (ndim == 1 ? ",)" : ")");
}

}  // namespace

void require_arguments(Py_ssize_t given, Py_ssize_t expected, const char* name) {
    if (given != expected)
        throw PyError{PyExc_TypeError, std::string(name) + "() takes " + std::to_string(expected) +
                                           " positional arguments but " + std::to_string(given) + " were given"};
}

PyObject* const* tuple_items(PyObject* obj, std::size_t count, const char* what) {
    if (!PyTuple_Check(obj) || static_cast<std::size_t>(PyTuple_GET_SIZE(obj)) != count)
        throw PyError{PyExc_TypeError, std::string(what) + " must be a tuple of " + std::to_string(count)};
    return &PyTuple_GET_ITEM(obj, 0);
}

PyObject* progress_callable(PyObject* obj) {
    if (obj == Py_None) return nullptr;
    if (!PyCallable_Check(obj)) python::throw_type_mismatch(obj, "Callable");
    return obj;
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

RowProblem Row::entry(const EntryLayout& at, BookMethod method, const GridRequest& grid, BookEntry& e,
                      double vol) const {
    e.strike = x[at.strike];
    e.market = MarketNumbers{x[at.spot], x[at.years], x[at.rate], x[at.dividend_yield],
                             at.vol < kNumbers ? x[at.vol] : vol};
    e.type = type == 0 ? OptionType::Call : OptionType::Put;
    e.style = style == 0 ? ExerciseStyle::American : ExerciseStyle::European;
    e.dividend_times = dividend_times;
    e.dividend_amounts = dividend_amounts;
    e.dividends = dividends;
    const EntryProblem problem = check_entry(e, method, grid);
    // A usable row (nearly every one) needs no words for its problem.
    const char* why = problem == EntryProblem::None ? nullptr : entry_problem_reason(problem);
    switch (problem) {
        case EntryProblem::Spot: return {at.spot, why};
        case EntryProblem::Strike: return {at.strike, why};
        case EntryProblem::Years: return {at.years, why};
        case EntryProblem::Rate: return {at.rate, why};
        case EntryProblem::Vol: return {at.vol, why};
        default: break;  // the rest come after option_type and exercise in the signature
    }
    if (type != 0 && type != 1) return {at.option_type, nullptr};
    if (style != 0 && style != 1) return {at.exercise, nullptr};
    switch (problem) {
        case EntryProblem::DividendYield: return {at.dividend_yield, why};
        case EntryProblem::Moneyness:
        case EntryProblem::GridReach: return {at.spot, why};
        case EntryProblem::TwoBoundaries: return {at.rate, why};
        case EntryProblem::GridSpread:
            // Without a vol input (implied volatilities) the grid is as wide as the highest σ searched.
            if (at.vol < kNumbers) return {at.vol, why};
            return {at.years, "the grid for the highest volatility searched would reach spots beyond the largest float"};
        default: return {};
    }
}

int8_t KindInput::decode(const char* item) const {
    switch (encoding) {
        case Encoding::Code: return static_cast<int8_t>(*item);
        case Encoding::Utf32: return code_of_utf32(*table, item, itemsize / 4);
        case Encoding::Bytes: {
            // numpy pads 'S' words with NULs.
            const void* nul = std::memchr(item, 0, itemsize);
            const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - item) : itemsize;
            return code_of(*table, std::string_view(item, length));
        }
    }
    return -1;
}

BookInputs::BookInputs(PyObject* const* numbers, PyObject* const* kinds, const InputNames& names)
    : names_(names), layout_(names) {
    // 1. Each input as it is: a scalar, or a buffer of its own shape.
    auto hold = [&](std::size_t k, PyObject* obj) -> const Py_buffer& {
        auto buffer = std::make_unique<Buffer>(obj, PyBUF_RECORDS_RO, names[k]);
        const Py_buffer& view = buffer->view();
        own_ndim_[k] = view.ndim;
        for (int d = 0; d < view.ndim; ++d) own_extent_[k][d] = view.shape[d];
        (k < kNumbers ? numbers_[k].buffer : kinds_[k - kNumbers].buffer) = std::move(buffer);
        return (k < kNumbers ? numbers_[k].buffer : kinds_[k - kNumbers].buffer)->view();
    };
    for (std::size_t k = 0; k < kNumbers; ++k) {
        PyObject* obj = numbers[k];
        if (PyFloat_Check(obj)) {
            numbers_[k].scalar = PyFloat_AS_DOUBLE(obj);
            numbers_[k].at.data = reinterpret_cast<const char*>(&numbers_[k].scalar);
        } else if (Py_IS_TYPE(obj, numpy_array_type())) {
            const Py_buffer& view = hold(k, obj);
            if (std::strcmp(native_format(view), "d") != 0) python::throw_type_mismatch(obj, "float64 array");
            numbers_[k].at.data = static_cast<const char*>(view.buf);
        } else {
            python::throw_type_mismatch(obj, "float or float64 array");
        }
    }
    for (std::size_t j = 0; j < kKinds; ++j) {
        KindInput& in = kinds_[j];
        PyObject* obj = kinds[j];
        in.table = j == 0 ? &kOptionTypes : &kExerciseStyles;
        if (PyUnicode_Check(obj) || Py_IS_TYPE(obj, j == 0 ? option_type_class() : exercise_style_class())) {
            in.code = scalar_code(*in.table, obj);
            in.at.data = reinterpret_cast<const char*>(&in.code);
            continue;
        }
        if (!Py_IS_TYPE(obj, numpy_array_type())) python::throw_type_mismatch(obj, "str, member or array of words");
        const Py_buffer& view = hold(kNumbers + j, obj);
        const char* format = native_format(view);
        const std::size_t size = static_cast<std::size_t>(view.itemsize);
        const char last = format[std::strlen(format) - (*format ? 1 : 0)];
        if (std::strcmp(format, "b") == 0) {
            in.encoding = KindInput::Encoding::Code;
        } else if (last == 'w' && size % 4 == 0) {
            in.encoding = KindInput::Encoding::Utf32;
        } else if (last == 's') {
            in.encoding = KindInput::Encoding::Bytes;
        } else {
            python::throw_type_mismatch(obj, "array of words");
        }
        in.itemsize = size;
        in.at.data = static_cast<const char*>(view.buf);
    }

    // 2. The broadcast shape, by numpy's rules, over the inputs' shapes aligned on their last axes.
    for (std::size_t k = 0; k < kInputs; ++k) shape_.ndim = std::max(shape_.ndim, own_ndim_[k]);
    bool too_many = false;
    for (int d = 0; d < shape_.ndim; ++d) {
        Py_ssize_t extent = 1;
        for (std::size_t k = 0; k < kInputs; ++k) {
            const int own = d - (shape_.ndim - own_ndim_[k]);
            if (own < 0) continue;
            const Py_ssize_t e = own_extent_[k][own];
            if (e == extent || e == 1) continue;
            if (extent != 1) {
                std::string shapes;
                for (std::size_t i = 0; i < kInputs; ++i)
                    if (own_ndim_[i] > 0)
                        shapes += (shapes.empty() ? "" : ", ") + std::string(names[i]) + " " +
                                  shape_text(own_ndim_[i], own_extent_[i].data());
                throw PyError{PyExc_ValueError, "shapes do not broadcast together: " + shapes};
            }
            extent = e;
        }
        shape_.extent[d] = extent;
        too_many = too_many || (extent != 0 && shape_.size > PY_SSIZE_T_MAX / extent);
        shape_.size = too_many ? 1 : shape_.size * extent;
    }
    const bool empty = std::find(shape_.extent.begin(), shape_.extent.begin() + shape_.ndim, 0) !=
                       shape_.extent.begin() + shape_.ndim;
    if (empty) shape_.size = 0;
    if (too_many && !empty)
        throw PyError{PyExc_ValueError, "the inputs broadcast to shape " + shape_text(shape_.ndim, shape_.extent.data()) +
                                            ": more elements than an array can hold"};

    // 3. Each input's byte strides over the book's axes: 0 where it is broadcast.
    for (std::size_t k = 0; k < kInputs; ++k) {
        std::array<Py_ssize_t, kMaxDims>& strides = k < kNumbers ? numbers_[k].at.strides : kinds_[k - kNumbers].at.strides;
        const Buffer* buffer = k < kNumbers ? numbers_[k].buffer.get() : kinds_[k - kNumbers].buffer.get();
        for (int d = 0; d < shape_.ndim; ++d) {
            const int own = d - (shape_.ndim - own_ndim_[k]);
            strides[d] = own < 0 || own_extent_[k][own] == 1 ? 0 : buffer->view().strides[own];
        }
        strides_[k] = strides.data();
        data_[k] = k < kNumbers ? numbers_[k].at.data : kinds_[k - kNumbers].at.data;
    }
}

void BookInputs::take_dividends(PyObject* pair) {
    if (pair == Py_None) return;
    PyObject* const* arrays = tuple_items(pair, 2, "dividends");
    dividend_times_ = std::make_unique<Buffer>(arrays[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND, "dividend_times");
    dividend_amounts_ = std::make_unique<Buffer>(arrays[1], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND, "dividend_amounts");
    for (const Buffer* b : {dividend_times_.get(), dividend_amounts_.get()}) {
        b->require_format('d');
        const Py_buffer& v = b->view();
        if (v.ndim != 2 || v.shape[0] != shape_.size || v.shape[1] != dividend_times_->view().shape[1])
            throw PyError{PyExc_ValueError, "dividends: not two arrays of (book size, D)"};
    }
    dividend_columns_ = static_cast<std::size_t>(dividend_times_->view().shape[1]);
}

int8_t WordMemo::decode(const KindInput& in, std::size_t k, const char* item) {
    if (in.encoding == KindInput::Encoding::Code) return static_cast<int8_t>(*item);
    uint64_t bytes[2] = {0, 0};
    // Copies of a size known here for the common words ('U4', 'U2', 'U1'), not a call per row.
    switch (in.itemsize) {
        case 16: std::memcpy(bytes, item, 16); break;
        case 8: std::memcpy(bytes, item, 8); break;
        case 4: std::memcpy(bytes, item, 4); break;
        default:
            if (in.itemsize > sizeof bytes) return in.decode(item);
            std::memcpy(bytes, item, in.itemsize);
    }
    uint64_t mixed = (bytes[0] ^ (bytes[1] * 0x9e3779b97f4a7c15u)) * 0xff51afd7ed558ccdu;
    mixed = (mixed ^ (mixed >> 32)) * 0x9e3779b97f4a7c15u;
    std::array<Slot, kWays>& set = sets_[k][mixed >> (64 - kSetBits)];
    if (set[0].used && set[0].bytes[0] == bytes[0] && set[0].bytes[1] == bytes[1]) return set[0].code;
    if (set[1].used && set[1].bytes[0] == bytes[0] && set[1].bytes[1] == bytes[1]) return set[1].code;
    // The newest word first; the other way keeps the one before it.
    set[1] = set[0];
    set[0] = {{bytes[0], bytes[1]}, in.decode(item), true};
    return set[0].code;
}

Row BookInputs::read(const Cursor<kInputs>& at, WordMemo* memo) const {
    Row row;
    for (std::size_t k = 0; k < kNumbers; ++k) std::memcpy(&row.x[k], at.at(k), sizeof(double));
    for (std::size_t k = 0; k < kKinds; ++k) {
        const char* item = at.at(kNumbers + k);
        (k == 0 ? row.type : row.style) = memo ? memo->decode(kinds_[k], k, item) : kinds_[k].decode(item);
    }
    if (dividend_columns_ != 0) {
        const std::size_t first = static_cast<std::size_t>(at.flat()) * dividend_columns_;
        row.dividend_times = static_cast<const double*>(dividend_times_->view().buf) + first;
        row.dividend_amounts = static_cast<const double*>(dividend_amounts_->view().buf) + first;
        while (row.dividends < dividend_columns_ && !std::isnan(row.dividend_times[row.dividends])) ++row.dividends;
    }
    return row;
}

Py_ssize_t BookInputs::first_unknown(std::size_t j) const {
    const KindInput& in = kinds_[j];
    Py_ssize_t first = -1;
    if (shape_.size != 0)
        for_each_own(kNumbers + j, [&](const char* item, Py_ssize_t flat) {
            if (in.decode(item) < 0 && (first < 0 || flat < first)) first = flat;
            return true;
        });
    return first;
}

Py_ssize_t BookInputs::own_size(std::size_t k) const {
    Py_ssize_t size = 1;
    for (int d = 0; d < own_ndim_[k]; ++d) size *= own_extent_[k][d];
    return size;
}

void FirstProblem::offer(Py_ssize_t at, std::size_t which, const char* reason, int why, double limit) {
    // Rare: a lock keeps the fields together.
    std::lock_guard lock(mutex_);
    const Py_ssize_t current = index.load();
    if (current < 0 || at < current) {
        input = which;
        this->why = reason;
        status = why;
        bound = limit;
        index = at;
    }
}

std::unique_ptr<MemoryReservation> reserve_grids(const CallSettings& settings, std::size_t runs,
                                                 std::size_t per_worker, std::size_t factorizations) {
    const std::size_t workers = std::min<std::size_t>({settings.threads, usable_cpus(), runs});
    const std::size_t at_once = std::min(per_worker * workers, runs);
    const std::size_t each = std::min(per_worker, runs);
    const std::string purpose = "valuing on the grid, " + std::to_string(each) + (each == 1 ? " option" : " options") +
                                " at a time on each of " + std::to_string(workers) +
                                (workers == 1 ? " worker thread," : " worker threads,");
    return std::make_unique<MemoryReservation>(grid_bytes(settings.grid.settings.nodes, at_once, factorizations),
                                               purpose);
}

CancellationHook polling(const StopFlag& stop) {
    return CancellationHook{[](void* s) { return static_cast<const StopFlag*>(s)->load(std::memory_order_relaxed); },
                            const_cast<StopFlag*>(&stop)};
}

python::Ref problem_result(const FirstProblem& first, const BookInputs& book) {
    const Py_ssize_t flat = first.index.load();
    if (flat < 0) return Ref::borrow(Py_None);
    Ref value = Ref::borrow(Py_None);
    if (first.input < kNumbers) {
        // The value as the row read it (broadcast inputs repeat their elements).
        value = check(PyFloat_FromDouble(book.read(book.cursor(flat)).x[first.input]));
    }
    const char* why = first.input < kNumbers ? first.why : (first.input == kNumbers ? kOptionTypes : kExerciseStyles).expected;
    Ref shape = check(PyTuple_New(book.shape().ndim));
    for (int d = 0; d < book.shape().ndim; ++d)
        PyTuple_SET_ITEM(shape.get(), d, check(PyLong_FromSsize_t(book.shape().extent[d])).release());
    return check(Py_BuildValue("(nsOsN)", flat, book.names()[first.input], value.get(), why, shape.release()));
}

bool closed_form_only(const BookInputs& book, BookMethod method) {
    if (book.has_dividends()) return false;  // what has some goes to the grid
    const bool europeans_in_closed_form = method == BookMethod::Auto || method == BookMethod::Spectral;
    return method == BookMethod::Analytic ||
           (europeans_in_closed_form && book.every_exercise([](int8_t code) { return code == 1; }));
}

bool find_unknown_kind(const BookInputs& book, const RowCheck& check, FirstProblem& first) {
    for (std::size_t j = 0; j < kKinds; ++j) {
        if (book.own_size(kNumbers + j) >= book.shape().size) continue;
        if (const Py_ssize_t at = book.first_unknown(j); at >= 0) first.offer(at, kNumbers + j, nullptr);
    }
    const Py_ssize_t found = first.index.load();
    if (found < 0) return false;
    auto at = book.cursor(0);
    BookEntry e;
    for (Py_ssize_t i = 0; i < found; ++i, at.advance()) {
        if (const RowProblem bad = check(book.read(at), e); bad.found()) {
            first.offer(i, bad.input, bad.why);
            break;
        }
    }
    return true;
}

void require_output_memory(const BookShape& shape, std::size_t arrays, const char* what) {
    // The count with thousands separators, as Python's format spec "," writes it.
    std::string count = std::to_string(shape.size);
    for (int i = static_cast<int>(count.size()) - 3; i > 0; i -= 3) count.insert(static_cast<std::size_t>(i), ",");
    const uint64_t size = static_cast<uint64_t>(shape.size);
    const uint64_t per = arrays * sizeof(double);
    const uint64_t bytes = size > UINT64_MAX / per ? UINT64_MAX : size * per;
    require_memory(bytes, "the output of " + count + " " + what);
}

}  // namespace sorvik::batch
