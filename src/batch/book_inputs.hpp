// book_inputs.hpp: a book's inputs broadcast to one shape, read row by row, and what the kernels share.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "buffers.hpp"
#include "fdm/fdm_problem.hpp"
#include "parallel.hpp"
#include "runtime/ref.hpp"
#include "settings.hpp"
#include "strided.hpp"
#include "system/memory_budget.hpp"
#include "tables.hpp"
#include "valuation/book.hpp"

namespace sorvik::batch {

/// Rows per chunk of a scan over a book: about a millisecond.
inline constexpr std::size_t kScanChunk = 1 << 16;

/// Six numbers and two kinds (option type, exercise) per row, in the public signature's order.
inline constexpr std::size_t kNumbers = 6, kKinds = 2, kInputs = kNumbers + kKinds;
using InputNames = std::array<const char*, kInputs>;

/// Where each of an entry's numbers sits among a book's inputs (kInputs: not an input).
struct EntryLayout {
    std::size_t spot, strike, years, rate, vol, dividend_yield, option_type, exercise;
    explicit EntryLayout(const InputNames& names);
};

/// Why an input of a row cannot be valued; `input` is kInputs when it can.
struct RowProblem {
    std::size_t input = kInputs;
    const char* why = nullptr;
    bool found() const { return input != kInputs; }
};

/// One row of a book: its numbers and its option type and exercise codes
/// (0 or 1; -1 for a word that is no spelling).
struct Row {
    std::array<double, kNumbers> x;
    int8_t type, style;
    /// Its cash dividends: the first `dividends` of each (see BookEntry).
    const double* dividend_times = nullptr;
    const double* dividend_amounts = nullptr;
    std::size_t dividends = 0;

    /// The row's entry (with volatility `vol` when the book has no vol
    /// input), and its first unusable input in the signature's order for
    /// valuation by `method` on `grid`.
    RowProblem entry(const EntryLayout& layout, BookMethod method, const GridRequest& grid, BookEntry& e,
                     double vol = 0.0) const;
};

/// A per-option number: a float, or a float64 array whose shape broadcasts to the book's.
struct NumberInput {
    double scalar = 0.0;
    std::unique_ptr<Buffer> buffer;
    StridedInput<double> at;  ///< over the book's shape
};

/// A per-option option type or exercise style: one code, or an array of
/// int8 codes, of numpy 'U' (UTF-32) or of numpy 'S' (bytes) words.
struct KindInput {
    enum class Encoding : uint8_t { Code, Utf32, Bytes };
    Encoding encoding = Encoding::Code;
    int8_t code = -1;          ///< the scalar's code
    std::size_t itemsize = 1;  ///< bytes per element of an array
    const KindTable* table = nullptr;
    std::unique_ptr<Buffer> buffer;
    StridedInput<int8_t> at;  ///< over the book's shape

    int8_t decode(const char* item) const;
};

/// Words one worker has decoded, keyed by their stored bytes: a book repeats
/// a few words, and comparing two machine words is cheaper than decoding
/// (whose loop over characters, ending where each word ends, mispredicts on
/// books that mix words at random). Words of up to 16 bytes ('U4', 'S16').
class WordMemo {
public:
    int8_t decode(const KindInput& in, std::size_t k, const char* item);

private:
    struct Slot {
        uint64_t bytes[2];
        int8_t code;
        bool used;
    };
    static constexpr std::size_t kSetBits = 5, kWays = 2;
    std::array<std::array<std::array<Slot, kWays>, std::size_t{1} << kSetBits>, kKinds> sets_{};
};

/// The inputs held for the call, broadcast with numpy's rules (without
/// copying: a broadcast axis has stride 0).
class BookInputs {
public:
    /// `numbers`: kNumbers objects, each a float or an exact numpy float64
    /// array; `kinds`: an option type and an exercise style, each a str, a
    /// sorvik member or an exact numpy array of int8 codes or of 'U' or 'S'
    /// words. ValueError "shapes do not broadcast together: spot (2,), vol (3,)"
    /// (the inputs that are not scalars); TypeError for other objects.
    BookInputs(PyObject* const* numbers, PyObject* const* kinds, const InputNames& names);
    BookInputs(const BookInputs&) = delete;
    BookInputs& operator=(const BookInputs&) = delete;

    const BookShape& shape() const { return shape_; }
    const InputNames& names() const { return names_; }

    /// Takes the book's cash dividends: None, or a pair of C-contiguous
    /// float64 arrays (times, amounts) of shape (book size, D), each row its
    /// option's dividends in time order, padded with NaN times (as
    /// sorvik_batch's own reading of the arguments gives them).
    void take_dividends(PyObject* pair);
    bool has_dividends() const { return dividend_columns_ != 0; }
    /// The most factorisations a grid run of the book holds: one per distinct
    /// step, at most one more than its dividends.
    std::size_t grid_factorizations() const { return dividend_columns_ + 1; }
    const EntryLayout& layout() const { return layout_; }

    /// A cursor positioned at flat index `flat`, and the row it points at.
    Cursor<kInputs> cursor(Py_ssize_t flat) const { return Cursor<kInputs>(shape_, data_, strides_, flat); }
    /// `memo`, when given, saves decoding words again (one per worker).
    Row read(const Cursor<kInputs>& at, WordMemo* memo = nullptr) const;

    /// The lowest flat index of the book holding an unknown word of kind k
    /// (0 option type, 1 exercise), found among the input's own elements, not
    /// the broadcast book's; -1 when there is none.
    Py_ssize_t first_unknown(std::size_t k) const;

    /// The number of input k's own elements (1 for a scalar).
    Py_ssize_t own_size(std::size_t k) const;

    /// Whether every exercise code of the book satisfies `test` (read from
    /// the input's own elements, each once).
    template <class F>
    bool every_exercise(F&& test) const {
        return shape_.size == 0 ||
               for_each_own(kNumbers + 1, [&](const char* item, Py_ssize_t) { return test(kinds_[1].decode(item)); });
    }

private:
    BookShape shape_;
    InputNames names_;
    EntryLayout layout_;
    std::array<NumberInput, kNumbers> numbers_;
    std::array<KindInput, kKinds> kinds_;
    std::array<const char*, kInputs> data_{};
    std::array<const Py_ssize_t*, kInputs> strides_;
    std::unique_ptr<Buffer> dividend_times_, dividend_amounts_;
    std::size_t dividend_columns_ = 0;
    // Each input's own dimensions, right-aligned to the book's.
    std::array<int, kInputs> own_ndim_{};
    std::array<std::array<Py_ssize_t, kMaxDims>, kInputs> own_extent_{};

    /// Calls visit(item, flat) for each of input k's own elements in C order,
    /// `flat` being the first flat index of the book it appears at (its
    /// broadcast coordinates 0), while visit returns true; false if it stopped.
    template <class Visit>
    bool for_each_own(std::size_t k, Visit&& visit) const;
};

/// The lowest flat index any worker found a problem at, with what it was.
struct FirstProblem {
    std::atomic<Py_ssize_t> index{-1};
    std::size_t input = kInputs;
    const char* why = nullptr;
    int status = 0;
    double bound = 0.0;

    void offer(Py_ssize_t at, std::size_t which, const char* reason, int status = 0, double limit = 0.0);
    /// Work past a known problem is wasted: chunks after it are skipped.
    bool before(std::size_t flat) const {
        const Py_ssize_t i = index.load(std::memory_order_relaxed);
        return i < 0 || static_cast<Py_ssize_t>(flat) < i;
    }

private:
    std::mutex mutex_;
};

/// Holds the memory of the grids a call's workers build at once: up to
/// `per_worker` grid runs on each of its workers, and never more than the
/// call's `runs` in all, each with up to `factorizations` factorisations
/// (grid_bytes). Throws MemoryBudgetExceeded (MemoryError) naming the need
/// when they do not fit.
std::unique_ptr<MemoryReservation> reserve_grids(const CallSettings& settings, std::size_t runs,
                                                 std::size_t per_worker, std::size_t factorizations = 1);

/// A CancellationHook that polls the workers' stop flag.
CancellationHook polling(const StopFlag& stop);

/// Whether every row of the book is valued in closed form by `method`: then
/// rows are cheap, come in large chunks and are checked as they are valued.
bool closed_form_only(const BookInputs& book, BookMethod method);

/// Finds the first unknown word of each kind input that is broadcast (has
/// fewer elements than the book) before any row is valued, or any output is
/// made: such a word may first appear far into a huge book. When there is one,
/// the rows before it are checked too (by `check`), so that the first problem of all is
/// in `first`, and it returns true. Words of inputs as large as the book are
/// found row by row, like every other problem.
using RowCheck = std::function<RowProblem(const Row&, BookEntry&)>;
bool find_unknown_kind(const BookInputs& book, const RowCheck& check, FirstProblem& first);

/// MemoryError "the output of 1,000,000 options needs ... " when `arrays`
/// float64 arrays of the book's shape would not fit in what the process may use.
void require_output_memory(const BookShape& shape, std::size_t arrays, const char* what);

/// For books with grid rows, which take long: finds the first unusable row
/// before any is valued, on the pool (so Ctrl-C stops it too).
/// `unusable(row, entry)` gives the row's first problem.
template <class Unusable>
void find_first_unusable(const BookInputs& book, unsigned threads, Unusable&& unusable, FirstProblem& first) {
    auto scan = [&](std::size_t begin, std::size_t end, const StopFlag& stop) {
        auto at = book.cursor(static_cast<Py_ssize_t>(begin));
        BookEntry e;
        for (std::size_t i = begin; i < end && first.before(i); ++i, at.advance()) {
            if ((i & 0xffff) == 0 && stop.load(std::memory_order_relaxed)) return;
            const RowProblem bad = unusable(book.read(at), e);
            if (bad.found()) first.offer(static_cast<Py_ssize_t>(i), bad.input, bad.why);
        }
    };
    run_in_parallel(static_cast<std::size_t>(book.shape().size), kScanChunk, threads, scan, {}, kScanChunk);
}

/// None, or (flat index, input name, value, why, book shape) of the first
/// problem: for a number its value and why it is unusable, for an unknown
/// word None and the words expected ("'call' or 'put'").
python::Ref problem_result(const FirstProblem& first, const BookInputs& book);

/// The items of a tuple of exactly `count` objects; TypeError otherwise.
PyObject* const* tuple_items(PyObject* obj, std::size_t count, const char* what);

/// The progress callable, or null for None; TypeError for anything else.
PyObject* progress_callable(PyObject* obj);

/// The private functions take exactly this many positional arguments.
void require_arguments(Py_ssize_t given, Py_ssize_t expected, const char* name);

// ---------------------------------------------------------------- implementation

template <class Visit>
bool BookInputs::for_each_own(std::size_t k, Visit&& visit) const {
    const char* data = k < kNumbers ? numbers_[k].at.data : kinds_[k - kNumbers].at.data;
    const Buffer* buffer = k < kNumbers ? numbers_[k].buffer.get() : kinds_[k - kNumbers].buffer.get();
    if (!buffer) return visit(data, Py_ssize_t{0});
    const Py_buffer& view = buffer->view();
    const int ndim = own_ndim_[k], skip = shape_.ndim - ndim;
    std::array<Py_ssize_t, kMaxDims> book_step{}, index{};
    Py_ssize_t step = 1, own_size = 1;
    for (int d = shape_.ndim - 1; d >= 0; --d) {
        book_step[d] = shape_.extent[d] == 1 ? 0 : step;
        step *= shape_.extent[d];
    }
    for (int d = 0; d < ndim; ++d) own_size *= view.shape[d];
    Py_ssize_t offset = 0, flat = 0;
    for (Py_ssize_t n = 0; n < own_size; ++n) {
        if (!visit(data + offset, flat)) return false;
        for (int d = ndim - 1; d >= 0; --d) {
            if (++index[d] < view.shape[d]) {
                offset += view.strides[d];
                flat += book_step[skip + d];
                break;
            }
            offset -= (index[d] - 1) * view.strides[d];
            flat -= (index[d] - 1) * book_step[skip + d];
            index[d] = 0;
        }
    }
    return true;
}

}  // namespace sorvik::batch
