// A one-dimensional column of numbers, read in place from whatever holds it.
//
// A column is a list of runs; a run is a stretch of items of one kind at a
// fixed stride, with the marks of its missing items.  Every source fills the
// same runs, and every function reads them the same way:
// - a buffer (numpy array, array.array, memoryview) of signed or unsigned
//   integers, booleans or floats of 1, 2, 4 or 8 bytes (and native long
//   double), in either byte order and with any stride: one run;
// - an Arrow array or stream, through the Arrow C data interface (objects
//   with __arrow_c_array__ or __arrow_c_stream__: pyarrow, polars, ...): one
//   run per chunk, its validity bitmap marking the nulls;
// - a pandas Series or Index: its numpy values, with the mask of a nullable
//   dtype marking NA, or the Arrow chunks of an ArrowDtype;
// - any other sequence, iterated once and each element converted like a
//   float argument.
// Items convert to binary64 exactly as float(item) converts them (integers
// rounded to nearest even).  Native binary64 at unit stride with nothing
// missing is handed on without a copy.
//
// Missing items (null, NA) are looked for when the column is loaded.  A
// function refuses a column that holds any unless it leaves NaNs out, in
// which case a missing item reads as a NaN and is left out with them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/poll.hpp"
#include "arrow_abi.hpp"
#include "frame.hpp"

namespace vxa {

enum class Kind : std::uint8_t { Signed, Unsigned, Float, Half, LongDouble, Bool, Bits, Null };

struct Run {
    const char* base = nullptr;  // first item
    std::size_t size = 0;
    std::ptrdiff_t stride = 8;   // bytes from one item to the next, may be negative
    Kind kind = Kind::Float;
    int itemsize = 8;
    bool swapped = false;        // stored in the byte order opposite to the host's
    std::size_t bit_offset = 0;  // Kind::Bits: item i is bit bit_offset + i of base, LSB first
    // Missing items: an Arrow validity bitmap (bit valid_offset + i clear:
    // item i is missing) or a mask of bytes (nonzero: missing), not both;
    // neither once the run is known to miss nothing.
    const std::uint8_t* valid = nullptr;
    std::size_t valid_offset = 0;
    const char* mask = nullptr;
    std::ptrdiff_t mask_stride = 1;

    // The values themselves, when they are native binary64 at unit stride
    // and none is missing.
    std::optional<std::span<const double>> direct() const;
    // Converts items [first, first + n) into out; a missing item reads as NaN.
    void read(std::size_t first, std::size_t n, double* out) const;
    // out[i]: whether item first + i is missing.
    void missing(std::size_t first, std::size_t n, bool* out) const;
    // Whether any item is missing.
    bool any_missing() const;
};

struct Column {
    std::span<const Run> runs;
    std::size_t size = 0;     // the items of all runs
    bool missing = false;     // whether any item is missing

    // The values of a single run of native binary64 with nothing missing.
    std::optional<std::span<const double>> direct() const {
        if (runs.size() == 1) return runs[0].direct();
        if (runs.empty()) return std::span<const double>();
        return std::nullopt;
    }
};

// Reads a column's items in order, across its runs.
class Cursor {
public:
    explicit Cursor(const Column& c) : c_(c) {}
    // Converts the next n items (no more than remain) into out.
    void read(std::size_t n, double* out);

private:
    const Column& c_;
    std::size_t run_ = 0, at_ = 0;
};

// A two-dimensional buffer of rows, read a column at a time.
struct Matrix {
    Run first_row;  // the items of row 0, one per column
    std::size_t rows = 0;
    std::ptrdiff_t row_stride = 0;

    std::size_t columns() const { return first_row.size; }
    Run column(std::size_t j) const {
        Run c = first_row;
        c.base += std::ptrdiff_t(j) * first_row.stride;
        c.size = rows;
        c.stride = row_stride;
        return c;
    }
};

// Converts values a block at a time; with skip_nan, NaNs (and so missing
// items) are dropped.
inline constexpr std::size_t kBlock = 2048;

// Removes the NaNs from a block in place; returns the number kept.
std::size_t drop_nan(double* v, std::size_t n);
// Removes the pairs in which either value is a NaN; returns the number kept.
std::size_t drop_nan_pairs(double* a, double* b, std::size_t n);

template <class F>
void for_blocks(const Column& c, bool skip_nan, F&& f) {
    double buf[kBlock];
    for (const Run& r : c.runs) {
        if (!skip_nan) {
            if (auto d = r.direct()) {
                f(*d);
                continue;
            }
        }
        for (std::size_t at = 0; at < r.size; at += kBlock) {
            std::size_t n = std::min(kBlock, r.size - at);
            r.read(at, n, buf);
            if (skip_nan) n = drop_nan(buf, n);
            f(std::span<const double>(buf, n));
        }
    }
}

// Both columns have the same size.
template <class F>
void for_pair_blocks(const Column& a, const Column& b, bool skip_nan, F&& f) {
    if (!skip_nan) {
        auto da = a.direct(), db = b.direct();
        if (da && db) return f(*da, *db);
    }
    double x[kBlock], y[kBlock];
    Cursor ca(a), cb(b);
    for (std::size_t at = 0; at < a.size; at += kBlock) {
        std::size_t n = std::min(kBlock, a.size - at);
        ca.read(n, x);
        cb.read(n, y);
        if (skip_nan) n = drop_nan_pairs(x, y, n);
        f(std::span<const double>(x, n), std::span<const double>(y, n));
    }
}

// Releases the interpreter lock for the life of the guard: the columns'
// buffers stay exported (and Arrow arrays unreleased), so their memory is
// pinned while values are read.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // A poll for long core work: takes the lock back for a moment to run the
    // signal handlers; stops the work when one raised (its exception set).
    vx::Poll poll() { return {&signals_raised, this}; }

private:
    static bool signals_raised(void* self) {
        auto* u = static_cast<Unlocked*>(self);
        PyEval_RestoreThread(u->state_);
        const bool raised = PyErr_CheckSignals() != 0;
        u->state_ = PyEval_SaveThread();
        return raised;
    }

    PyThreadState* state_;
};

// A column, or every item of an n-dimensional array in memory order (what a
// whole-array reduction reads, as numpy's axis=None does).
struct Items : Column {};

// The group codes of rows: a one-dimensional buffer of native int64 items
// at unit stride (what pandas.factorize and numpy give on 64-bit hosts).
struct Codes {
    std::span<const std::int64_t> v;
};

}  // namespace vxa

namespace vxpy {

// Holds what a column's runs point into until the call ends: exported
// buffers, Arrow arrays (released through their own callbacks), Python
// objects a conversion produced, and values copied out of a source.
class ColumnSources {
public:
    ColumnSources() = default;
    ColumnSources(const ColumnSources&) = delete;
    ColumnSources& operator=(const ColumnSources&) = delete;
    ~ColumnSources();

    // Exports o's buffer; nullptr with no error set when it exports none.
    Py_buffer* buffer(PyObject* o);
    // Keeps a reference to o.
    void keep(PyObject* o);
    // Takes ownership of an Arrow array (moved out of *a).
    ArrowArray& take(ArrowArray* a);
    std::vector<double>& copy() { return copies_.emplace_back(); }

private:
    std::vector<std::unique_ptr<Py_buffer>> views_;
    std::vector<PyObject*> refs_;
    std::vector<std::unique_ptr<ArrowArray>> arrays_;
    std::vector<std::vector<double>> copies_;
};

// The column argument: from any source above.  Unsupported item formats and
// Arrow types, two-dimensional tables, and bytes (a state's encoding passed
// by mistake, most likely) are a TypeError.
template <>
struct Loader<vxa::Column> {
    bool load(PyObject* o) { return load_any(o, false); }
    vxa::Column get() const { return column; }

protected:
    friend struct Loader<vxa::Matrix>;
    bool load_any(PyObject* o, bool any_ndim);
    // 1: loaded; 0: o is not of this source (no error set); -1: error.
    int load_buffer(PyObject* o, bool any_ndim);
    int load_pandas(PyObject* o, PyObject* array);
    int load_arrow(PyObject* o);
    bool add_arrow(const ArrowSchema& schema, ArrowArray* array);
    void settle();  // counts the missing items, with the interpreter lock released

    vxa::Column column;
    std::vector<vxa::Run> runs;
    ColumnSources sources;
    Loader<std::span<const double>> sequence;
};

// A column, or every item of an n-dimensional array.
template <>
struct Loader<vxa::Items> : Loader<vxa::Column> {
    bool load(PyObject* o) { return load_any(o, true); }
    vxa::Items get() const { return {column}; }
};

// A two-dimensional buffer of numbers, or a sequence of equal-length rows.
template <>
struct Loader<vxa::Matrix> {
    bool load(PyObject* o);
    vxa::Matrix get() const { return matrix; }

private:
    ColumnSources sources;
    std::vector<double> rows;  // the rows of a nested sequence, one after another
    vxa::Matrix matrix;
};

template <>
struct Loader<vxa::Codes> {
    Loader() = default;
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;
    ~Loader() {
        if (has_view) PyBuffer_Release(&view);
    }
    bool load(PyObject* o);
    vxa::Codes get() const { return codes; }

private:
    Py_buffer view{};
    bool has_view = false;
    vxa::Codes codes;
};

template <>
struct Loader<bool> {
    bool v = false;
    bool load(PyObject* o) {
        const int t = PyObject_IsTrue(o);
        v = t > 0;
        return t >= 0;
    }
    bool get() const { return v; }
};

}  // namespace vxpy
