// book_inputs.hpp: a book's broadcast arrays, read row by row, and what the kernels share.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "buffers.hpp"
#include "fdm/fdm_problem.hpp"
#include "parallel.hpp"
#include "runtime/ref.hpp"
#include "strided.hpp"
#include "valuation/book.hpp"

namespace sorvik::batch {

/// Six numbers and two codes per row, in the public signature's order.
inline constexpr std::size_t kNumbers = 6, kInputs = 8;
using InputNames = std::array<const char*, kInputs>;

/// Where each of an entry's numbers sits among a book's inputs (kInputs: not an input).
struct EntryLayout {
    std::size_t spot, strike, years, rate, vol, dividend_yield, option_type, exercise;
    explicit EntryLayout(const InputNames& names);
};

/// Why a row cannot be valued: the index of its first unusable input in the
/// signature's order (kInputs when there is none) and the reason, as
/// entry_problem_reason words it.
struct Unusable {
    std::size_t input = kInputs;
    const char* reason = "";

    explicit operator bool() const { return input != kInputs; }
};

/// One row of a book: its numbers and its option type and exercise codes
/// (0 or 1; anything else stands for an unknown string).
struct Row {
    std::array<double, kNumbers> x;
    int8_t type, style;

    /// The row's entry (with volatility `vol` when the book has no vol
    /// input), checked for valuation by `method` on `grid`.
    Unusable entry(const EntryLayout& layout, BookMethod method, const GridRequest& grid, BookEntry& e,
                   double vol = 0.0) const;
};

/// The inputs held for the call: buffers broadcast to one shape.
class BookInputs {
public:
    BookInputs(PyObject* shape, PyObject* arrays, const InputNames& names);

    const BookShape& shape() const { return shape_; }
    const InputNames& names() const { return names_; }
    const EntryLayout& layout() const { return layout_; }

    /// A cursor positioned at flat index `flat`, and the row it points at.
    Cursor<kInputs> cursor(Py_ssize_t flat) const { return Cursor<kInputs>(shape_, strides_, flat); }
    Row read(const Cursor<kInputs>& at) const;
    /// The exercise code of every row (one read when it is broadcast).
    template <class F>
    bool every_exercise(F&& test) const {
        const StridedInput<int8_t>& in = codes_[1];
        bool broadcast = true;
        for (int d = 0; d < shape_.ndim; ++d) broadcast = broadcast && in.strides[d] == 0;
        if (broadcast || shape_.size == 0) return shape_.size == 0 || test(static_cast<int8_t>(in.data[0]));
        auto at = cursor(0);
        for (Py_ssize_t i = 0; i < shape_.size; ++i, at.advance())
            if (!test(static_cast<int8_t>(in.data[at.offset(kNumbers + 1)]))) return false;
        return true;
    }

private:
    BookShape shape_;
    InputNames names_;
    EntryLayout layout_;
    std::vector<std::unique_ptr<Buffer>> held_;
    std::array<StridedInput<double>, kNumbers> numbers_;
    std::array<StridedInput<int8_t>, 2> codes_;
    std::array<const Py_ssize_t*, kInputs> strides_;
};

/// A writable float64 output of the book's size per object in the tuple.
class BookOutputs {
public:
    BookOutputs(PyObject* tuple, std::size_t count, const BookShape& shape);
    double* operator[](std::size_t k) const { return data_[k]; }
    std::size_t count() const { return data_.size(); }

private:
    std::vector<std::unique_ptr<Buffer>> held_;
    std::vector<double*> data_;
};

/// The lowest flat index any worker found a problem at, with what it was:
/// an unusable input (status 0, with its reason), or a status of the kernel's
/// own with a bound.
struct FirstProblem {
    std::atomic<Py_ssize_t> index{-1};
    Unusable unusable;
    int status = 0;
    double bound = 0.0;

    void offer(Py_ssize_t at, const Unusable& what, int why = 0, double limit = 0.0);
    /// Work past a known problem is wasted: chunks after it are skipped.
    bool before(std::size_t flat) const {
        const Py_ssize_t i = index.load(std::memory_order_relaxed);
        return i < 0 || static_cast<Py_ssize_t>(flat) < i;
    }

private:
    std::mutex mutex_;
};

/// The grid settings and the scalar options of a kernel call.
struct KernelOptions {
    BookMethod method;
    GridRequest grid;
    unsigned threads;
    bool nan_mode;
    PyObject* progress;  // callable or null
};

/// Reads (method, nodes, time_steps, grid_std_devs, bumped_vega_rho, threads, nan_mode, progress).
KernelOptions kernel_options(PyObject* const* args);

/// A CancellationHook that polls the workers' stop flag.
CancellationHook polling(const StopFlag& stop);

/// Whether every row of the book is valued in closed form by `method`: then
/// rows are cheap, come in large chunks and are checked as they are valued.
bool closed_form_only(const BookInputs& book, BookMethod method);

/// For books with grid rows, which take long: finds the first unusable row
/// before any is valued, without the interpreter lock. `check(row, entry)`
/// gives what makes the row unusable, if anything.
template <class Check>
void find_first_unusable(const BookInputs& book, Check&& check, FirstProblem& first) {
    PyThreadState* saved = PyEval_SaveThread();
    auto at = book.cursor(0);
    BookEntry e;
    for (Py_ssize_t i = 0; i < book.shape().size; ++i, at.advance()) {
        if (const Unusable bad = check(book.read(at), e)) {
            first.offer(i, bad);
            break;
        }
    }
    PyEval_RestoreThread(saved);
}

/// None, or (flat index, input name, status, bound, reason) of the first problem.
python::Ref problem_result(const FirstProblem& first, const InputNames& names);

/// The private functions take exactly this many positional arguments.
void require_arguments(Py_ssize_t given, Py_ssize_t expected, const char* name);

}  // namespace sorvik::batch
