// implied_vol_book.cpp: implied volatilities of a book of quotes, and of one quote without the array machinery.
#include <cmath>
#include <limits>
#include <string>

#include "kernels.hpp"
#include "pricing/implied_vol.hpp"
#include "python_types.hpp"
#include "runtime/errors.hpp"
#include "valuation/grid_implied_vol.hpp"

namespace sorvik::batch {

using python::check;
using python::Ref;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr InputNames kNames = {"price", "spot", "strike", "years", "rate", "dividend_yield", "option_type",
                               "exercise"};
constexpr std::size_t kPrice = 0;
/// Closed-form quotes per chunk; fewer are solved on the calling thread.
constexpr std::size_t kClosedFormChunk = 4096;

/// A price that is not a finite number is unusable input, like a NaN spot.
/// The rest is checked for the widest grid the search may build, at the
/// highest volatility it tries (the solvers do not read the entry's vol).
RowProblem row_problem(const Row& row, const EntryLayout& layout, const CallSettings& settings, BookEntry& e) {
    if (!std::isfinite(row.x[kPrice])) return {kPrice, "must be a finite number"};
    return row.entry(layout, settings.method, GridRequest{settings.grid.settings, false}, e, kMaxImpliedVol);
}

/// Why a quote has no implied volatility, the bound it failed included.
std::string no_solution(ImpliedVol::Status status, double limit) {
    // + 0.0: a bound of -0.0 reads as 0.0
    const Ref bound = check(PyFloat_FromDouble(limit + 0.0));
    const Ref text = check(PyObject_Repr(bound.get()));
    const std::string b = PyUnicode_AsUTF8(text.get());
    switch (status) {
        case ImpliedVol::Status::BelowLowerBound: return "below the lower bound " + b + " (the value at zero volatility)";
        case ImpliedVol::Status::AtOrAboveUpperBound: return "at or above the upper bound " + b;
        case ImpliedVol::Status::AboveMaxVol:
            return "above " + b + ", the price at volatility 10: no volatility in [0, 10] reaches it";
        case ImpliedVol::Status::Undetermined:
            return "its time value above " + b + " (the value at zero volatility) is too small to determine the volatility";
        case ImpliedVol::Status::Solved: break;
    }
    return {};
}

}  // namespace

PyObject* implied_vol_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> Ref {
        require_arguments(nargs, 5, "implied_vol_book");
        const CallSettings& settings = settings_of(args[0]);
        BookInputs book(tuple_items(args[1], kNumbers, "numbers"), tuple_items(args[2], kKinds, "kinds"), kNames);
        book.take_dividends(args[4]);
        const Progress progress{progress_callable(args[3]), 0, static_cast<std::size_t>(book.shape().size)};
        const std::size_t n = static_cast<std::size_t>(book.shape().size);
        const bool cheap = closed_form_only(book, settings.method);
        FirstProblem first;
        if (!settings.nan_mode) {
            auto check = [&](const Row& row, BookEntry& e) { return row_problem(row, book.layout(), settings, e); };
            if (find_unknown_kind(book, check, first)) return problem_result(first, book);
            if (!cheap) {
                find_first_unusable(book, settings.threads, check, first);
                if (first.index >= 0) return problem_result(first, book);
            }
        }
        if (book.shape().ndim != 0) require_output_memory(book.shape(), 1, "quotes");
        Ref out = book.shape().ndim == 0 ? Ref() : new_array(book.shape());
        double scalar = NaN;
        std::unique_ptr<Buffer> held;
        double* vols = &scalar;
        if (out) {
            held = std::make_unique<Buffer>(out.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE, "output");
            vols = static_cast<double*>(held->view().buf);
        }
        auto work = [&](std::size_t begin, std::size_t end, const StopFlag& stop) {
            auto at = book.cursor(static_cast<Py_ssize_t>(begin));
            BookEntry entry;
            WordMemo memo;
            for (std::size_t i = begin; i < end && first.before(i); ++i, at.advance()) {
                const Row row = book.read(at, &memo);
                const RowProblem bad = row_problem(row, book.layout(), settings, entry);
                if (bad.found()) {
                    if (!settings.nan_mode) first.offer(static_cast<Py_ssize_t>(i), bad.input, bad.why);
                    vols[i] = NaN;
                    continue;
                }
                const ImpliedVol solved = implied_vol_for(row.x[kPrice], entry, settings.method, settings.grid.settings, settings.precision, polling(stop)).result;
                vols[i] = solved.vol;
                if (solved.status != ImpliedVol::Status::Solved && !settings.nan_mode)
                    first.offer(static_cast<Py_ssize_t>(i), kPrice, nullptr, static_cast<int>(solved.status),
                                solved.bound);
            }
        };
        const auto grids = cheap ? nullptr : reserve_grids(settings, n, 1, book.grid_factorizations());
        run_in_parallel(n, cheap ? kClosedFormChunk : 1, settings.threads, work, progress, cheap ? kClosedFormChunk : 0);
        if (first.index >= 0) {
            std::string why;
            if (first.status != 0) {
                why = no_solution(static_cast<ImpliedVol::Status>(first.status), first.bound);
                first.why = why.c_str();
            }
            return problem_result(first, book);
        }
        held.reset();
        return out ? std::move(out) : check(PyFloat_FromDouble(scalar));
    });
}

PyObject* implied_vol_scalar(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> Ref {
        require_arguments(nargs, 16, "implied_vol_scalar");
        // Whatever is not one plain quote goes the array way, which words every refusal.
        Row row;
        constexpr int kArgument[kNumbers] = {0, 1, 2, 3, 4, 7};  // price .. rate, then dividend_yield after the kinds
        for (std::size_t k = 0; k < kNumbers; ++k)
            if (!plain_number(args[kArgument[k]], row.x[k])) return Ref::borrow(Py_None);
        if (!scalar_kind(args[5], kOptionTypes, row.type) || !scalar_kind(args[6], kExerciseStyles, row.style) ||
            !no_progress(args[14]))
            return Ref::borrow(Py_None);
        const CallSettings settings =
            parse_settings({args[8], args[9], args[10], args[11], args[12], args[13], args[15], Py_False});
        BookEntry entry;
        if (row_problem(row, EntryLayout(kNames), settings, entry).found()) return Ref::borrow(Py_None);
        VolSearchResult solved;
        if (implied_engine_for(entry, settings.method) == Engine::ClosedForm) {
            solved = implied_vol_for(row.x[kPrice], entry, settings.method, settings.grid.settings, settings.precision);
        } else {
            // A search on an engine takes long (on the grid, perhaps very): on a worker, with the
            // interpreter lock free and Ctrl-C watched.
            const auto grids = reserve_grids(settings, 1, 1);
            auto search = [&](std::size_t, std::size_t, const StopFlag& stop) {
                solved = implied_vol_for(row.x[kPrice], entry, settings.method, settings.grid.settings, settings.precision, polling(stop));
            };
            run_in_parallel(1, 1, 1, search);
        }
        // A quote without a solution under errors="raise": the array path words it.
        if (solved.result.status != ImpliedVol::Status::Solved && !settings.nan_mode) return Ref::borrow(Py_None);
        return check(PyFloat_FromDouble(solved.result.vol));
    });
}

}  // namespace sorvik::batch
