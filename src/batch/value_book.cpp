// value_book.cpp: prices and greeks of a broadcast book, on every core.
#include "kernels.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace sorvik::batch {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr InputNames kNames = {"spot", "strike", "years", "rate", "vol", "dividend_yield", "option_type", "exercise"};

/// Rows to value on the grid at once: two passes of four options stepped together.
constexpr std::size_t kGridChunk = 8;
/// Closed-form rows per chunk: a few hundred microseconds of work.
constexpr std::size_t kClosedFormChunk = 4096;

}  // namespace

PyObject* value_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> python::Ref {
        require_arguments(nargs, 11, "value_book");
        const BookInputs book(args[0], args[1], kNames);
        const BookOutputs out(args[2], 6, book.shape());
        const KernelOptions options = kernel_options(args + 3);
        const Py_ssize_t n = book.shape().size;
        const GridRequest& grid = options.grid;
        const bool cheap = closed_form_only(book, options.method);
        FirstProblem first;
        if (!cheap && !options.nan_mode) {
            find_first_unusable(
                book, [&](const Row& row, BookEntry& e) { return row.entry(book.layout(), options.method, grid, e); },
                first);
            if (first.index >= 0) return problem_result(first, kNames);
        }
        auto write = [&](std::size_t i, const OptionResult& r) {
            out[0][i] = r.price;
            out[1][i] = r.greeks.delta;
            out[2][i] = r.greeks.gamma;
            out[3][i] = r.greeks.theta;
            out[4][i] = r.greeks.vega.value_or(NaN);
            out[5][i] = r.greeks.rho.value_or(NaN);
        };
        auto work = [&](std::size_t begin, std::size_t end, const StopFlag& stop) {
            if (!first.before(begin)) return;
            std::vector<BookEntry> grid_entries;
            std::vector<std::size_t> where;
            auto at = book.cursor(static_cast<Py_ssize_t>(begin));
            BookEntry entry;
            for (std::size_t i = begin; i < end; ++i, at.advance()) {
                if (const Unusable bad = book.read(at).entry(book.layout(), options.method, grid, entry)) {
                    if (!options.nan_mode) {
                        first.offer(static_cast<Py_ssize_t>(i), bad);
                        return;
                    }
                    for (std::size_t k = 0; k < 6; ++k) out[k][i] = NaN;
                } else if (on_grid(entry, options.method)) {
                    grid_entries.push_back(entry);
                    where.push_back(i);
                } else {
                    write(i, value_in_closed_form(entry));
                }
            }
            if (grid_entries.empty()) return;
            std::vector<OptionResult> results(grid_entries.size());
            value_on_grid(grid_entries, options.grid, results, polling(stop));
            for (std::size_t j = 0; j < results.size(); ++j) write(where[j], results[j]);
        };
        const std::size_t chunk = cheap ? kClosedFormChunk : kGridChunk;
        run_in_parallel(static_cast<std::size_t>(n), chunk, options.threads, work, options.progress);
        return problem_result(first, kNames);
    });
}

}  // namespace sorvik::batch
