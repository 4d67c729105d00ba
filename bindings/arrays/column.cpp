#include "column.hpp"

#include "base/fpenv.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace vxa {

namespace {

constexpr bool kHostBig = std::endian::native == std::endian::big;

template <class U, bool Swap>
U load_word(const char* p) {
    U u;
    std::memcpy(&u, p, sizeof u);
    if constexpr (!Swap || sizeof(U) == 1) return u;
    else if constexpr (sizeof(U) == 2) return __builtin_bswap16(u);
    else if constexpr (sizeof(U) == 4) return __builtin_bswap32(u);
    else return __builtin_bswap64(u);
}

// binary16 -> binary64 is exact: every half value is m * 2^k with m < 2^11.
double half_to_double(std::uint16_t h) {
    const int e = (h >> 10) & 0x1F;
    const int m = h & 0x3FF;
    double v = e == 0    ? std::ldexp(double(m), -24)
               : e == 31 ? (m ? std::numeric_limits<double>::quiet_NaN()
                              : std::numeric_limits<double>::infinity())
                         : std::ldexp(double(m | 0x400), e - 25);
    return h >> 15 ? -v : v;
}

template <int Size>
using Word = std::conditional_t<Size == 1, std::uint8_t,
             std::conditional_t<Size == 2, std::uint16_t,
             std::conditional_t<Size == 4, std::uint32_t, std::uint64_t>>>;

// One loop per kind, width, byte order and unit stride, so that the loops
// over contiguous native items vectorise; integers convert with the host's
// rounding, which read() sets to nearest even, as float(int) does.
template <Kind K, int Size, bool Swap, bool Unit>
void convert_run(const char* p, std::ptrdiff_t stride, std::size_t n, double* out) {
    using U = Word<Size>;
    for (std::size_t i = 0; i < n; ++i) {
        const char* item = p + std::ptrdiff_t(i) * (Unit ? std::ptrdiff_t(Size) : stride);
        if constexpr (K == Kind::LongDouble) {
            long double v;
            std::memcpy(&v, item, sizeof v);
            out[i] = double(v);
        } else {
            const U u = load_word<U, Swap>(item);
            if constexpr (K == Kind::Unsigned) {
                out[i] = double(u);
            } else if constexpr (K == Kind::Signed) {
                out[i] = double(std::make_signed_t<U>(u));
            } else if constexpr (K == Kind::Bool) {
                out[i] = u != 0;
            } else if constexpr (K == Kind::Half) {
                out[i] = half_to_double(u);
            } else if constexpr (Size == 4) {
                out[i] = double(std::bit_cast<float>(u));
            } else {
                out[i] = std::bit_cast<double>(u);
            }
        }
    }
}

template <Kind K, int Size>
void convert(const char* p, std::ptrdiff_t stride, std::size_t n, bool swapped, double* out) {
    const bool unit = stride == Size;
    if (swapped)
        return unit ? convert_run<K, Size, true, true>(p, stride, n, out)
                    : convert_run<K, Size, true, false>(p, stride, n, out);
    return unit ? convert_run<K, Size, false, true>(p, stride, n, out)
                : convert_run<K, Size, false, false>(p, stride, n, out);
}

template <Kind K>
void convert_sized(const Column& c, const char* p, std::size_t n, double* out) {
    switch (c.itemsize) {
        case 1: return convert<K, 1>(p, c.stride, n, c.swapped, out);
        case 2: return convert<K, 2>(p, c.stride, n, c.swapped, out);
        case 4: return convert<K, 4>(p, c.stride, n, c.swapped, out);
        default: return convert<K, 8>(p, c.stride, n, c.swapped, out);
    }
}

// The kind of a buffer's item format and whether it is byte-swapped, or
// nothing for a format that is not one plain number.  The width comes from
// the buffer's itemsize, which numpy sets for every byte order.
std::optional<Column> parse_format(const char* format, Py_ssize_t itemsize) {
    Column c;
    c.itemsize = int(itemsize);
    bool native = true;
    if (!format) format = "B";
    if (*format && std::strchr("@=<>!", *format)) {
        const bool big = *format == '>' || *format == '!';
        native = *format == '@' || *format == '=';
        c.swapped = !native && big != kHostBig;
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    const char f = format[0];
    if (std::strchr("bhilqn", f)) {
        c.kind = Kind::Signed;
    } else if (std::strchr("BHILQN", f)) {
        c.kind = Kind::Unsigned;
    } else if (f == '?') {
        c.kind = Kind::Bool;
    } else if (f == 'e' && itemsize == 2) {
        c.kind = Kind::Half;
    } else if ((f == 'f' && itemsize == 4) || (f == 'd' && itemsize == 8)) {
        c.kind = Kind::Float;
    } else if (f == 'g' && itemsize == sizeof(long double) && !c.swapped) {
        c.kind = Kind::LongDouble;
    } else {
        return std::nullopt;
    }
    if (c.kind != Kind::LongDouble && itemsize != 1 && itemsize != 2 && itemsize != 4 &&
        itemsize != 8)
        return std::nullopt;
    return c;
}

}  // namespace

std::optional<std::span<const double>> Column::direct() const {
    const bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
    if (kind != Kind::Float || itemsize != 8 || swapped || stride != 8 || !aligned)
        return std::nullopt;
    return std::span<const double>(reinterpret_cast<const double*>(base), size);
}

void Column::read(std::size_t first, std::size_t n, double* out) const {
    const vx::DefaultFpEnv env;  // integers and long doubles round to nearest, binary32 subnormals kept
    const char* p = base + std::ptrdiff_t(first) * stride;
    switch (kind) {
        case Kind::Signed: return convert_sized<Kind::Signed>(*this, p, n, out);
        case Kind::Unsigned: return convert_sized<Kind::Unsigned>(*this, p, n, out);
        case Kind::Bool: return convert_sized<Kind::Bool>(*this, p, n, out);
        case Kind::Half: return convert<Kind::Half, 2>(p, stride, n, swapped, out);
        case Kind::LongDouble: return convert<Kind::LongDouble, 16>(p, stride, n, false, out);
        case Kind::Float:
            if (itemsize == 4) return convert<Kind::Float, 4>(p, stride, n, swapped, out);
            return convert<Kind::Float, 8>(p, stride, n, swapped, out);
    }
}

std::size_t drop_nan(double* v, std::size_t n) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v[k] = v[i];
        k += !std::isnan(v[i]);
    }
    return k;
}

std::size_t drop_nan_pairs(double* a, double* b, std::size_t n) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        a[k] = a[i];
        b[k] = b[i];
        k += !(std::isnan(a[i]) || std::isnan(b[i]));
    }
    return k;
}

}  // namespace vxa

namespace vxpy {

bool Loader<vxa::Column>::load_buffer(PyObject* o, int ndim) {
    if (!PyObject_CheckBuffer(o)) return false;
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    has_view = true;
    if (view.format && std::strcmp(view.format, "O") == 0) {
        PyBuffer_Release(&view);  // Python objects: iterated and converted one by one
        has_view = false;
        return false;
    }
    auto parsed = vxa::parse_format(view.format, view.itemsize);
    if (!parsed) {
        PyErr_Format(PyExc_TypeError, "unsupported item format '%s'",
                     view.format ? view.format : "B");
        return true;
    }
    if (view.ndim != ndim) {
        PyErr_Format(PyExc_TypeError, "expected a %d-dimensional array, got %d dimensions", ndim,
                     view.ndim);
        return true;
    }
    column = *parsed;
    column.base = static_cast<const char*>(view.buf);
    column.size = std::size_t(view.shape[ndim - 1]);
    column.stride = view.strides ? view.strides[ndim - 1] : view.itemsize;
    return true;
}

bool Loader<vxa::Column>::load(PyObject* o) {
    if (load_buffer(o, 1)) return !PyErr_Occurred();
    if (!sequence.load(o)) return false;
    const std::span<const double> v = sequence.get();
    column = vxa::Column{reinterpret_cast<const char*>(v.data()), v.size()};
    return true;
}

bool Loader<vxa::Matrix>::load(PyObject* o) {
    if (buffer.load_buffer(o, 2)) {
        if (PyErr_Occurred()) return false;
        matrix.first_row = buffer.column;
        matrix.rows = std::size_t(buffer.view.shape[0]);
        matrix.row_stride = buffer.view.strides ? buffer.view.strides[0]
                                                : buffer.view.itemsize * buffer.view.shape[1];
        return true;
    }
    // A sequence of rows: each converted as a float sequence, all of one length.
    PyObject* seq = PySequence_Fast(o, "expected a two-dimensional array or a sequence of rows");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Size(seq);
    std::size_t width = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        Loader<std::span<const double>> row;
        const bool ok = item && row.load(item);
        Py_XDECREF(item);
        if (!ok) {
            Py_DECREF(seq);
            return false;
        }
        if (i == 0) width = row.get().size();
        if (row.get().size() != width) {
            Py_DECREF(seq);
            PyErr_SetString(PyExc_ValueError, "rows differ in length");
            return false;
        }
        rows.insert(rows.end(), row.get().begin(), row.get().end());
    }
    Py_DECREF(seq);
    matrix.first_row = vxa::Column{reinterpret_cast<const char*>(rows.data()), width};
    matrix.rows = std::size_t(n);
    matrix.row_stride = std::ptrdiff_t(width * sizeof(double));
    return true;
}

bool Loader<vxa::Codes>::load(PyObject* o) {
    if (buffer.load_buffer(o, 1)) {
        if (PyErr_Occurred()) return false;
        const vxa::Column& c = buffer.column;
        const bool aligned = reinterpret_cast<std::uintptr_t>(c.base) % alignof(std::int64_t) == 0;
        if (c.kind == vxa::Kind::Signed && c.itemsize == 8 && !c.swapped && c.stride == 8 && aligned) {
            codes.v = {reinterpret_cast<const std::int64_t*>(c.base), c.size};
            return true;
        }
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "group codes must be a contiguous array of native int64");
    return false;
}

}  // namespace vxpy
