// A one-dimensional column of numbers read from any buffer or sequence.
//
// A buffer (numpy array, array.array, memoryview, bytes) of signed or
// unsigned integers, booleans or floats of 2, 4 or 8 bytes (and native long
// double), in either byte order and with any stride, is read in place: its
// items are converted to binary64 a block at a time, each exactly as
// float(item) converts it (integers rounded to nearest even).  Any other
// sequence is iterated once and each element converted like a float
// argument.  A column of native binary64 values with unit stride is handed
// on without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/poll.hpp"
#include "frame.hpp"

namespace vxa {

enum class Kind : std::uint8_t { Signed, Unsigned, Float, Half, LongDouble, Bool };

struct Column {
    const char* base = nullptr;  // first item; values.data() for an iterated sequence
    std::size_t size = 0;
    std::ptrdiff_t stride = 8;   // bytes from one item to the next, may be negative
    Kind kind = Kind::Float;
    int itemsize = 8;
    bool swapped = false;        // stored in the byte order opposite to the host's

    // The values themselves, when they are native binary64 at unit stride.
    std::optional<std::span<const double>> direct() const;
    // Converts items [first, first + n) into out.
    void read(std::size_t first, std::size_t n, double* out) const;
};

// A two-dimensional buffer of rows, read a column at a time.
struct Matrix {
    Column first_row;  // the items of row 0, one per column
    std::size_t rows = 0;
    std::ptrdiff_t row_stride = 0;

    std::size_t columns() const { return first_row.size; }
    Column column(std::size_t j) const {
        Column c = first_row;
        c.base += std::ptrdiff_t(j) * first_row.stride;
        c.size = rows;
        c.stride = row_stride;
        return c;
    }
};

// Converts values a block at a time; with skip_nan, NaNs are dropped.
inline constexpr std::size_t kBlock = 2048;

// Removes the NaNs from a block in place; returns the number kept.
std::size_t drop_nan(double* v, std::size_t n);
// Removes the pairs in which either value is a NaN; returns the number kept.
std::size_t drop_nan_pairs(double* a, double* b, std::size_t n);

template <class F>
void for_blocks(const Column& c, bool skip_nan, F&& f) {
    if (!skip_nan) {
        if (auto d = c.direct()) return f(*d);
    }
    double buf[kBlock];
    for (std::size_t at = 0; at < c.size; at += kBlock) {
        std::size_t n = std::min(kBlock, c.size - at);
        c.read(at, n, buf);
        if (skip_nan) n = drop_nan(buf, n);
        f(std::span<const double>(buf, n));
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
    for (std::size_t at = 0; at < a.size; at += kBlock) {
        std::size_t n = std::min(kBlock, a.size - at);
        a.read(at, n, x);
        b.read(at, n, y);
        if (skip_nan) n = drop_nan_pairs(x, y, n);
        f(std::span<const double>(x, n), std::span<const double>(y, n));
    }
}

// Releases the interpreter lock for the life of the guard: the columns'
// buffers stay exported, so their memory is pinned while values are read.
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

// The group codes of rows: a one-dimensional buffer of native int64 items
// at unit stride (what pandas.factorize and numpy give on 64-bit hosts).
struct Codes {
    std::span<const std::int64_t> v;
};

}  // namespace vxa

namespace vxpy {

// A column argument: a buffer read in place, or a sequence iterated into
// owned storage.  Unsupported item formats are a TypeError.
template <>
struct Loader<vxa::Column> {
    Loader() = default;
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;
    ~Loader() {
        if (has_view) PyBuffer_Release(&view);
    }
    bool load(PyObject* o);
    vxa::Column get() const { return column; }

private:
    friend struct Loader<vxa::Matrix>;
    friend struct Loader<vxa::Codes>;
    // False with no error set when `o` exports no buffer.
    bool load_buffer(PyObject* o, int ndim);
    vxa::Column column;
    Loader<std::span<const double>> sequence;
    Py_buffer view{};
    bool has_view = false;
};

// A two-dimensional buffer of numbers, or a sequence of equal-length rows.
template <>
struct Loader<vxa::Matrix> {
    bool load(PyObject* o);
    vxa::Matrix get() const { return matrix; }

private:
    Loader<vxa::Column> buffer;
    std::vector<double> rows;  // the rows of a nested sequence, one after another
    vxa::Matrix matrix;
};

template <>
struct Loader<vxa::Codes> {
    bool load(PyObject* o);
    vxa::Codes get() const { return codes; }

private:
    Loader<vxa::Column> buffer;
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
