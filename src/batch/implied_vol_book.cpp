// implied_vol_book.cpp: implied volatilities of a broadcast book of quotes, and of one quote.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels.hpp"
#include "pricing/implied_vol.hpp"
#include "runtime/conversions.hpp"
#include "runtime/errors.hpp"
#include "valuation/grid_implied_vol.hpp"

namespace sorvik::batch {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr InputNames kNames = {"price", "spot", "strike", "years", "rate", "dividend_yield", "option_type",
                               "exercise"};

/// The implied volatility of row i (its price x[0]) by the book's method,
/// with the grid valuations it took.
VolSearchResult solve_row(double price, const BookEntry& e, const KernelOptions& options, CancellationHook cancel) {
    if (on_grid(e, options.method)) return implied_vol_on_grid(price, e, options.grid.settings, cancel);
    return {implied_vol_european(price, e.type, e.strike, e.market), 0};
}

/// A price that is not a finite number is unusable input, like a NaN spot.
/// The rest is checked for the widest grid the search may build, at the
/// highest volatility it tries (the solvers do not read the entry's vol).
Unusable row_problem(const Row& row, const EntryLayout& layout, const KernelOptions& options, BookEntry& e) {
    if (!std::isfinite(row.x[0])) return {0, "must be a finite number"};
    return row.entry(layout, options.method, GridRequest{options.grid.settings, false}, e, kMaxImpliedVol);
}

int status_code(ImpliedVol::Status s) {
    switch (s) {
        case ImpliedVol::Status::Solved: return 0;
        case ImpliedVol::Status::BelowLowerBound: return 1;
        case ImpliedVol::Status::AtOrAboveUpperBound: return 2;
        case ImpliedVol::Status::AboveMaxVol: return 3;
        case ImpliedVol::Status::Undetermined: return 4;
    }
    return 0;
}

}  // namespace

PyObject* implied_vol_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> python::Ref {
        require_arguments(nargs, 11, "implied_vol_book");
        const BookInputs book(args[0], args[1], kNames);
        const BookOutputs out(args[2], 1, book.shape());
        const KernelOptions options = kernel_options(args + 3);
        const Py_ssize_t n = book.shape().size;
        const bool cheap = closed_form_only(book, options.method);
        FirstProblem first;
        std::atomic<unsigned long long> valuations{0};
        if (!cheap && !options.nan_mode) {
            find_first_unusable(
                book, [&](const Row& row, BookEntry& e) { return row_problem(row, book.layout(), options, e); }, first);
            if (first.index >= 0) return python::check(Py_BuildValue("(Ni)", problem_result(first, kNames).release(), 0));
        }
        auto work = [&](std::size_t begin, std::size_t end, const StopFlag& stop) {
            auto at = book.cursor(static_cast<Py_ssize_t>(begin));
            BookEntry entry;
            unsigned long long spent = 0;
            for (std::size_t i = begin; i < end && first.before(i); ++i, at.advance()) {
                const Row row = book.read(at);
                if (const Unusable bad = row_problem(row, book.layout(), options, entry)) {
                    if (!options.nan_mode) first.offer(static_cast<Py_ssize_t>(i), bad);
                    out[0][i] = NaN;
                    continue;
                }
                const VolSearchResult solved = solve_row(row.x[0], entry, options, polling(stop));
                spent += solved.valuations;
                out[0][i] = solved.result.vol;
                if (solved.result.status != ImpliedVol::Status::Solved && !options.nan_mode)
                    first.offer(static_cast<Py_ssize_t>(i), Unusable{0, ""}, status_code(solved.result.status),
                                solved.result.bound);
            }
            valuations.fetch_add(spent, std::memory_order_relaxed);
        };
        run_in_parallel(static_cast<std::size_t>(n), cheap ? 4096 : 1, options.threads, work,
                        options.progress);
        return python::check(Py_BuildValue("(NK)", problem_result(first, kNames).release(), valuations.load()));
    });
}

namespace {

/// A plain float or int, else nothing.
bool plain_number(PyObject* obj, double& x) {
    if (PyFloat_CheckExact(obj)) {
        x = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyLong_CheckExact(obj)) {
        x = PyLong_AsDouble(obj);
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return false;
}

/// An exact str among two lower-case words: its code, else -1.
int word_code(PyObject* obj, const char* zero, const char* one) {
    if (!PyUnicode_CheckExact(obj)) return -1;
    if (PyUnicode_CompareWithASCIIString(obj, zero) == 0) return 0;
    if (PyUnicode_CompareWithASCIIString(obj, one) == 0) return 1;
    return -1;
}

bool equals_ascii(PyObject* obj, const char* text) {
    return PyUnicode_CheckExact(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

}  // namespace

PyObject* implied_vol_scalar(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> python::Ref {
        require_arguments(nargs, 14, "implied_vol_scalar");
        auto fallback = [] { return python::Ref::borrow(Py_None); };
        double price, spot, strike, years, rate, dividend_yield, width;
        if (!plain_number(args[0], price) || !plain_number(args[1], spot) || !plain_number(args[2], strike) ||
            !plain_number(args[3], years) || !plain_number(args[4], rate) || !plain_number(args[7], dividend_yield))
            return fallback();
        const int type = word_code(args[5], "call", "put");
        const int style = word_code(args[6], "american", "european");
        if (type < 0 || style < 0) return fallback();
        BookMethod method;
        if (args[8] == Py_None) {
            method = BookMethod::Auto;
        } else if (equals_ascii(args[8], "analytic")) {
            method = BookMethod::Analytic;
        } else if (equals_ascii(args[8], "fdm")) {
            method = BookMethod::Fdm;
        } else {
            return fallback();
        }
        if (!PyLong_CheckExact(args[9]) || !PyLong_CheckExact(args[10]) || !plain_number(args[11], width) ||
            args[12] != Py_False)
            return fallback();
        const bool nan_mode = equals_ascii(args[13], "nan");
        if (!nan_mode && !equals_ascii(args[13], "raise")) return fallback();
        KernelOptions options{method, {}, 1, nan_mode, nullptr};
        const long long nodes = PyLong_AsLongLong(args[9]), steps = PyLong_AsLongLong(args[10]);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return fallback();
        }
        if (nodes < 3 || steps < 1 || !(width > 0.0) || std::isinf(width)) return fallback();
        options.grid.settings = FdmSettings{static_cast<uint64_t>(nodes) | 1u, static_cast<uint64_t>(steps), width};

        Row row{{price, spot, strike, years, rate, dividend_yield}, static_cast<int8_t>(type), static_cast<int8_t>(style)};
        BookEntry entry;
        if (row_problem(row, EntryLayout(kNames), options, entry)) return fallback();  // the array path words it
        VolSearchResult solved;
        if (on_grid(entry, method)) {
            // One quote's search holds the interpreter lock; Ctrl-C is polled between time steps.
            solved = implied_vol_on_grid(price, entry, options.grid.settings,
                                         CancellationHook{[](void*) { return PyErr_CheckSignals() != 0; }, nullptr});
        } else {
            solved.result = implied_vol_european(price, entry.type, entry.strike, entry.market);
        }
        if (solved.result.status == ImpliedVol::Status::Solved || nan_mode) return python::float_object(solved.result.vol);
        return python::check(Py_BuildValue("(id)", status_code(solved.result.status), solved.result.bound));
    });
}

}  // namespace sorvik::batch
