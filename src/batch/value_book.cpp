// value_book.cpp: prices and greeks of a book on every core, and of one option without the array machinery.
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "fdm/fdm_solver.hpp"
#include "kernels.hpp"
#include "python_types.hpp"
#include "runtime/errors.hpp"

namespace sorvik::batch {

using python::check;
using python::Ref;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr InputNames kNames = {"spot", "strike", "years", "rate", "vol", "dividend_yield", "option_type", "exercise"};
constexpr std::size_t kOutputs = 6;

/// Grid rows per chunk: two passes of four options stepped together.
constexpr std::size_t kGridChunk = 2 * kGridLanes;
/// Rows of the exercise-boundary engine per chunk: about a millisecond.
constexpr std::size_t kBoundaryChunk = 48;
/// Closed-form rows per chunk: about a hundred microseconds of work, less
/// than handing them to a worker would cost when there is only one chunk.
constexpr std::size_t kClosedFormChunk = 4096;
/// Closed-form rows valued together: enough to keep the lanes full, few
/// enough to stay in the first-level cache.
constexpr std::size_t kClosedFormBlock = 32;

/// Where the results go: six arrays of the book's shape, or six doubles for a book of no dimension.
struct Outputs {
    std::array<Ref, kOutputs> arrays;
    std::array<std::unique_ptr<Buffer>, kOutputs> buffers;
    std::array<double*, kOutputs> data{};
    std::array<double, kOutputs> scalars{};

    explicit Outputs(const BookShape& shape) {
        if (shape.ndim == 0) {
            for (std::size_t k = 0; k < kOutputs; ++k) data[k] = &scalars[k];
            return;
        }
        require_output_memory(shape, kOutputs, "options");
        for (std::size_t k = 0; k < kOutputs; ++k) {
            arrays[k] = new_array(shape);
            buffers[k] = std::make_unique<Buffer>(arrays[k].get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE, "output");
            data[k] = static_cast<double*>(buffers[k]->view().buf);
        }
    }

    void write(std::size_t i, const OptionResult& r) const {
        data[0][i] = r.price;
        data[1][i] = r.greeks.delta;
        data[2][i] = r.greeks.gamma;
        data[3][i] = r.greeks.theta;
        data[4][i] = r.greeks.vega.value_or(NaN);
        data[5][i] = r.greeks.rho.value_or(NaN);
    }
    void write_nan(std::size_t i) const {
        for (double* d : data) d[i] = NaN;
    }

    /// The result object: the arrays, or floats for a book of no dimension.
    Ref result(PyObject* index) {
        std::array<Ref, kOutputs> fields;
        for (std::size_t k = 0; k < kOutputs; ++k) {
            buffers[k].reset();
            fields[k] = arrays[k] ? std::move(arrays[k]) : check(PyFloat_FromDouble(scalars[k]));
        }
        return make_result(fields, index);
    }
};

/// A book every row of which is valued in closed form: one pass, each row
/// checked as it is valued.
void value_closed_form(const BookInputs& book, const CallSettings& settings, const Outputs& out,
                       const Progress& progress, FirstProblem& first) {
    auto work = [&](std::size_t begin, std::size_t end, const StopFlag&) {
        if (!first.before(begin)) return;
        auto at = book.cursor(static_cast<Py_ssize_t>(begin));
        // Usable rows gather into a block, valued together (two options share the lanes).
        std::array<BookEntry, kClosedFormBlock> entries;
        std::array<OptionResult, kClosedFormBlock> results;
        std::array<std::size_t, kClosedFormBlock> where;
        std::size_t count = 0;
        WordMemo memo;
        auto flush = [&] {
            value_in_closed_form(std::span<const BookEntry>(entries.data(), count), std::span(results.data(), count));
            for (std::size_t j = 0; j < count; ++j) out.write(where[j], results[j]);
            count = 0;
        };
        for (std::size_t i = begin; i < end; ++i, at.advance()) {
            const RowProblem bad = book.read(at, &memo).entry(book.layout(), settings.method, settings.grid, entries[count]);
            if (!bad.found()) {
                where[count] = i;
                if (++count == kClosedFormBlock) flush();
            } else if (settings.nan_mode) {
                out.write_nan(i);
            } else {
                first.offer(static_cast<Py_ssize_t>(i), bad.input, bad.why);
                return;
            }
        }
        flush();
    };
    run_in_parallel(static_cast<std::size_t>(book.shape().size), kClosedFormChunk, settings.threads, work, progress,
                    kClosedFormChunk);
}

/// Rows valued by the exercise-boundary engine, in the first pass's marks.
constexpr uint8_t kBoundaryGroup = 255;

/// Values rows[begin, end) of the book by `engine`, each result to its row's
/// own place; a row that became unusable (its inputs changed by a callable
/// during the call) is NaN.
template <std::size_t Chunk, class Engine>
void value_rows(const BookInputs& book, const CallSettings& settings, const Outputs& out,
                std::span<const std::size_t> rows, Engine&& engine) {
    std::array<BookEntry, Chunk> entries;
    std::array<OptionResult, Chunk> results;
    std::array<std::size_t, Chunk> where;
    std::size_t count = 0;
    for (const std::size_t row : rows) {
        if (book.read(book.cursor(static_cast<Py_ssize_t>(row))).entry(book.layout(), settings.method, settings.grid,
                                                                        entries[count]).found())
            out.write_nan(row);
        else
            where[count++] = row;
    }
    engine(std::span<const BookEntry>(entries.data(), count), std::span<OptionResult>(results.data(), count));
    for (std::size_t j = 0; j < count; ++j) out.write(where[j], results[j]);
}

/// A book with rows for the grid or the exercise-boundary engine. First
/// pass: every row is checked, the cheap ones (closed form, sure values,
/// unusable under errors="nan") are valued and each other row is marked with
/// its engine (and for the grid its lane group). Then the boundary rows, and
/// the grid rows group by group across the whole book, so that options step
/// four at a time whatever the book's order; results go to each row's own place.
void value_by_engines(const BookInputs& book, const CallSettings& settings, const Outputs& out,
                      const Progress& progress, FirstProblem& first) {
    const std::size_t n = static_cast<std::size_t>(book.shape().size);
    std::vector<uint8_t> group(n, 0);
    std::atomic<std::size_t> cheap{0};
    auto classify = [&](std::size_t begin, std::size_t end, const StopFlag& stop) {
        auto at = book.cursor(static_cast<Py_ssize_t>(begin));
        BookEntry entry;
        WordMemo memo;
        std::size_t valued = 0;
        for (std::size_t i = begin; i < end && first.before(i); ++i, at.advance()) {
            if ((i & 0xfff) == 0 && stop.load(std::memory_order_relaxed)) return;
            const RowProblem bad = book.read(at, &memo).entry(book.layout(), settings.method, settings.grid, entry);
            if (bad.found()) {
                if (!settings.nan_mode) {
                    first.offer(static_cast<Py_ssize_t>(i), bad.input, bad.why);
                    return;
                }
                out.write_nan(i);
                ++valued;
                continue;
            }
            switch (engine_for(entry, settings.method)) {
                case Engine::ClosedForm:
                    out.write(i, value_in_closed_form(entry));
                    ++valued;
                    break;
                case Engine::Boundary: group[i] = kBoundaryGroup; break;
                case Engine::Grid:
                    group[i] = static_cast<uint8_t>(grid_group(entry));
                    if (group[i] == 0) {
                        OptionResult r;
                        value_on_grid({&entry, 1}, settings.grid, {&r, 1});
                        out.write(i, r);
                        ++valued;
                    }
                    break;
            }
        }
        cheap.fetch_add(valued, std::memory_order_relaxed);
    };
    run_in_parallel(n, kScanChunk, settings.threads, classify, {}, kScanChunk);
    if (first.index >= 0) return;

    // The marked rows, group by group, each group in book order; the boundary rows last.
    std::array<std::size_t, 256> count{};
    for (const uint8_t g : group) ++count[g];
    std::array<std::size_t, 256> start{};
    for (std::size_t g = 2; g < 256; ++g) start[g] = start[g - 1] + count[g - 1];
    std::vector<std::size_t> rows(n - count[0]);
    for (std::size_t i = 0; i < n; ++i)
        if (group[i] != 0) rows[start[group[i]]++] = i;
    std::vector<uint8_t>().swap(group);
    const std::size_t boundary = count[kBoundaryGroup];
    const std::span<const std::size_t> grid_rows(rows.data(), rows.size() - boundary);
    const std::span<const std::size_t> boundary_rows(rows.data() + grid_rows.size(), boundary);

    const SpectralPrecision precision = settings.precision;
    auto by_boundary = [&](std::size_t begin, std::size_t end, const StopFlag&) {
        value_rows<kBoundaryChunk>(book, settings, out, boundary_rows.subspan(begin, end - begin),
                                   [&](std::span<const BookEntry> entries, std::span<OptionResult> results) {
                                       value_by_boundary(entries, precision, results);
                                   });
    };
    run_in_parallel(boundary_rows.size(), kBoundaryChunk, settings.threads, by_boundary,
                    Progress{progress.callable, cheap.load(), progress.total});

    const std::size_t runs_per_entry = settings.grid.bumped_vega_rho ? 5 : 1;
    const auto grids =
        reserve_grids(settings, grid_rows.size() * runs_per_entry, kGridLanes, book.grid_factorizations());
    auto on_grid = [&](std::size_t begin, std::size_t end, const StopFlag& stop) {
        value_rows<kGridChunk>(book, settings, out, grid_rows.subspan(begin, end - begin),
                               [&](std::span<const BookEntry> entries, std::span<OptionResult> results) {
                                   value_on_grid(entries, settings.grid, results, polling(stop));
                               });
    };
    run_in_parallel(grid_rows.size(), kGridChunk, settings.threads, on_grid,
                    Progress{progress.callable, cheap.load() + boundary_rows.size(), progress.total});
}

}  // namespace

PyObject* value_book(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> Ref {
        require_arguments(nargs, 6, "value_book");
        const CallSettings& settings = settings_of(args[0]);
        BookInputs book(tuple_items(args[1], kNumbers, "numbers"), tuple_items(args[2], kKinds, "kinds"), kNames);
        book.take_dividends(args[5]);
        // An index names the rows of a one-dimensional book of its length only.
        PyObject* index = args[3];
        if (index != Py_None && (book.shape().ndim != 1 || PyObject_Length(index) != book.shape().size)) {
            PyErr_Clear();
            index = Py_None;
        }
        const Progress progress{progress_callable(args[4]), 0, static_cast<std::size_t>(book.shape().size)};
        FirstProblem first;
        auto check = [&](const Row& row, BookEntry& e) { return row.entry(book.layout(), settings.method, settings.grid, e); };
        if (!settings.nan_mode && find_unknown_kind(book, check, first)) return problem_result(first, book);
        Outputs out(book.shape());
        if (closed_form_only(book, settings.method)) {
            value_closed_form(book, settings, out, progress, first);
        } else {
            value_by_engines(book, settings, out, progress, first);
        }
        if (first.index >= 0) return problem_result(first, book);
        return out.result(index);
    });
}

PyObject* value_scalar(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return python::call_frame([&]() -> Ref {
        require_arguments(nargs, 17, "value_scalar");
        // Whatever is not one plain option goes the array way, which words every refusal.
        Row row;
        for (std::size_t k = 0; k < kNumbers; ++k) {
            PyObject* obj = args[k < 5 ? k : 7];  // spot .. vol, then dividend_yield after the two kinds
            if (!plain_number(obj, row.x[k])) return Ref::borrow(Py_None);
        }
        if (!scalar_kind(args[5], kOptionTypes, row.type) || !scalar_kind(args[6], kExerciseStyles, row.style) ||
            !no_progress(args[14]))
            return Ref::borrow(Py_None);
        const CallSettings settings = parse_settings({args[8], args[9], args[10], args[11], args[12], args[13], args[15], args[16]});
        BookEntry entry;
        if (row.entry(EntryLayout(kNames), settings.method, settings.grid, entry).found()) return Ref::borrow(Py_None);
        OptionResult r;
        const Engine engine = engine_for(entry, settings.method);
        if (engine == Engine::ClosedForm) {
            r = value_in_closed_form(entry);
        } else if (engine == Engine::Boundary) {
            value_by_boundary({&entry, 1}, settings.precision, {&r, 1});  // tens of microseconds: here
        } else {
            // A grid run takes long: on a worker, with the interpreter lock free and Ctrl-C watched.
            const auto grids = reserve_grids(settings, settings.grid.bumped_vega_rho ? 5 : 1, kGridLanes);
            auto work = [&](std::size_t, std::size_t, const StopFlag& stop) {
                value_on_grid({&entry, 1}, settings.grid, {&r, 1}, polling(stop));
            };
            run_in_parallel(1, 1, 1, work);
        }
        std::array<Ref, kOutputs> fields = {
            check(PyFloat_FromDouble(r.price)), check(PyFloat_FromDouble(r.greeks.delta)),
            check(PyFloat_FromDouble(r.greeks.gamma)), check(PyFloat_FromDouble(r.greeks.theta)),
            check(PyFloat_FromDouble(r.greeks.vega.value_or(NaN))), check(PyFloat_FromDouble(r.greeks.rho.value_or(NaN)))};
        return make_result(fields, Py_None);
    });
}

}  // namespace sorvik::batch
