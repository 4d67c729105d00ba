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
void convert_sized(const Run& c, const char* p, std::size_t n, double* out) {
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
std::optional<Run> parse_format(const char* format, Py_ssize_t itemsize) {
    Run c;
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


// The run of an Arrow primitive type, or nothing for another type.  Arrow
// buffers hold items in the host's byte order.
std::optional<Run> arrow_format(const char* format) {
    if (!format || format[0] == '\0' || format[1] != '\0') return std::nullopt;
    Run r;
    switch (format[0]) {
        case 'c': r.kind = Kind::Signed, r.itemsize = 1; break;
        case 's': r.kind = Kind::Signed, r.itemsize = 2; break;
        case 'i': r.kind = Kind::Signed, r.itemsize = 4; break;
        case 'l': r.kind = Kind::Signed, r.itemsize = 8; break;
        case 'C': r.kind = Kind::Unsigned, r.itemsize = 1; break;
        case 'S': r.kind = Kind::Unsigned, r.itemsize = 2; break;
        case 'I': r.kind = Kind::Unsigned, r.itemsize = 4; break;
        case 'L': r.kind = Kind::Unsigned, r.itemsize = 8; break;
        case 'e': r.kind = Kind::Half, r.itemsize = 2; break;
        case 'f': r.kind = Kind::Float, r.itemsize = 4; break;
        case 'g': r.kind = Kind::Float, r.itemsize = 8; break;
        case 'b': r.kind = Kind::Bits, r.itemsize = 0; break;
        case 'n': r.kind = Kind::Null, r.itemsize = 0; break;
        default: return std::nullopt;
    }
    r.stride = r.itemsize;
    return r;
}

bool bit(const std::uint8_t* bits, std::size_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// The set bits among bits [from, from + n).
std::size_t count_set(const std::uint8_t* bits, std::size_t from, std::size_t n) {
    std::size_t set = 0, i = from;
    const std::size_t end = from + n;
    for (; i < end && i % 64; ++i) set += bit(bits, i);
    for (; i + 64 <= end; i += 64) {
        std::uint64_t w;
        std::memcpy(&w, bits + i / 8, 8);
        if constexpr (kHostBig) w = __builtin_bswap64(w);
        set += std::size_t(std::popcount(w));
    }
    for (; i < end; ++i) set += bit(bits, i);
    return set;
}

}  // namespace

std::optional<std::span<const double>> Run::direct() const {
    const bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
    if (kind != Kind::Float || itemsize != 8 || swapped || stride != 8 || !aligned || valid || mask)
        return std::nullopt;
    return std::span<const double>(reinterpret_cast<const double*>(base), size);
}

void Run::read(std::size_t first, std::size_t n, double* out) const {
    const vx::DefaultFpEnv env;  // integers and long doubles round to nearest, binary32 subnormals kept
    const char* p = base + std::ptrdiff_t(first) * stride;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    switch (kind) {
        case Kind::Signed: convert_sized<Kind::Signed>(*this, p, n, out); break;
        case Kind::Unsigned: convert_sized<Kind::Unsigned>(*this, p, n, out); break;
        case Kind::Bool: convert_sized<Kind::Bool>(*this, p, n, out); break;
        case Kind::Half: convert<Kind::Half, 2>(p, stride, n, swapped, out); break;
        case Kind::LongDouble: convert<Kind::LongDouble, 16>(p, stride, n, false, out); break;
        case Kind::Float:
            if (itemsize == 4) convert<Kind::Float, 4>(p, stride, n, swapped, out);
            else convert<Kind::Float, 8>(p, stride, n, swapped, out);
            break;
        case Kind::Bits: {
            const auto* bits = reinterpret_cast<const std::uint8_t*>(base);
            for (std::size_t i = 0; i < n; ++i) out[i] = bit(bits, bit_offset + first + i);
            break;
        }
        case Kind::Null: break;
    }
    if (kind != Kind::Null && !valid && !mask) return;
    bool marks[kBlock];
    for (std::size_t at = 0; at < n; at += kBlock) {
        const std::size_t k = std::min(kBlock, n - at);
        missing(first + at, k, marks);
        for (std::size_t i = 0; i < k; ++i)
            if (marks[i]) out[at + i] = nan;
    }
}

void Run::missing(std::size_t first, std::size_t n, bool* out) const {
    if (kind == Kind::Null) {
        std::fill_n(out, n, true);
    } else if (valid) {
        for (std::size_t i = 0; i < n; ++i) out[i] = !bit(valid, valid_offset + first + i);
    } else if (mask) {
        const char* m = mask + std::ptrdiff_t(first) * mask_stride;
        for (std::size_t i = 0; i < n; ++i) out[i] = m[std::ptrdiff_t(i) * mask_stride] != 0;
    } else {
        std::fill_n(out, n, false);
    }
}

bool Run::any_missing() const {
    if (kind == Kind::Null) return size != 0;
    if (valid) return count_set(valid, valid_offset, size) != size;
    if (!mask) return false;
    if (mask_stride != 1) {
        for (std::size_t i = 0; i < size; ++i)
            if (mask[std::ptrdiff_t(i) * mask_stride]) return true;
        return false;
    }
    // Contiguous: OR-ed a block at a time, which vectorises, stopping at the first block with a mark.
    for (std::size_t at = 0; at < size; at += kBlock) {
        unsigned char any = 0;
        for (std::size_t i = at, end = std::min(size, at + kBlock); i < end; ++i)
            any |= static_cast<unsigned char>(mask[i]);
        if (any) return true;
    }
    return false;
}

void Cursor::read(std::size_t n, double* out) {
    while (n) {
        const Run& r = c_.runs[run_];
        const std::size_t k = std::min(n, r.size - at_);
        r.read(at_, k, out);
        out += k, n -= k, at_ += k;
        if (at_ == r.size) ++run_, at_ = 0;
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

namespace {

constexpr const char* kTableText =
    "expected a column, got a table; select one of its columns (for example df['x'])";

// o.name, or nullptr with no error set when o has no such attribute.
PyObject* attribute(PyObject* o, const char* name) {
    PyObject* a = PyObject_GetAttrString(o, name);
    if (!a && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return a;
}

// Whether o's type comes from the module `prefix` or one of its submodules.
bool from_module(PyObject* o, const char* prefix) {
    PyObject* module = attribute(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__");
    bool from = false;
    if (module && PyUnicode_Check(module)) {
        const char* text = PyUnicode_AsUTF8AndSize(module, nullptr);
        const std::size_t n = std::strlen(prefix);
        from = text && std::strncmp(text, prefix, n) == 0 && (text[n] == '\0' || text[n] == '.');
    }
    Py_XDECREF(module);
    PyErr_Clear();
    return from;
}

// The run of an exported buffer's items, the buffer's view in *out.
// 1: read; 0: not a buffer of numbers (no error set: it is iterated); -1: error.
int buffer_run(ColumnSources& sources, PyObject* o, vxa::Run& run, Py_buffer** out) {
    if (!PyObject_CheckBuffer(o)) return 0;
    Py_buffer* view = sources.buffer(o);
    if (!view) return 0;
    if (view->format && std::strcmp(view->format, "O") == 0) return 0;  // Python objects
    auto parsed = vxa::parse_format(view->format, view->itemsize);
    if (!parsed) {
        PyErr_Format(PyExc_TypeError, "unsupported item format '%s'", view->format ? view->format : "B");
        return -1;
    }
    run = *parsed;
    run.base = static_cast<const char*>(view->buf);
    *out = view;
    return 1;
}

// Releases an Arrow struct still owned (its `release` set) when the scope ends.
template <class T>
struct ReleaseAtExit {
    T& owned;
    ~ReleaseAtExit() {
        if (owned.release) owned.release(&owned);
    }
};

bool wrong_ndim(int want, int got) {
    PyErr_Format(PyExc_TypeError, "expected a %d-dimensional array, got %d dimensions", want, got);
    return false;
}

}  // namespace

ColumnSources::~ColumnSources() {
    for (auto& v : views_) PyBuffer_Release(v.get());
    for (PyObject* o : refs_) Py_DECREF(o);
    for (auto& a : arrays_)
        if (a->release) a->release(a.get());
}

Py_buffer* ColumnSources::buffer(PyObject* o) {
    views_.reserve(views_.size() + 1);
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(o, view.get(), PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return views_.emplace_back(std::move(view)).get();
}

void ColumnSources::keep(PyObject* o) {
    refs_.reserve(refs_.size() + 1);
    Py_INCREF(o);
    refs_.push_back(o);
}

ArrowArray& ColumnSources::take(ArrowArray* a) {
    arrays_.reserve(arrays_.size() + 1);
    auto owned = std::make_unique<ArrowArray>(*a);
    a->release = nullptr;  // moved: released here, once
    return *arrays_.emplace_back(std::move(owned));
}

int Loader<vxa::Column>::load_buffer(PyObject* o, bool any_ndim) {
    vxa::Run run;
    Py_buffer* view = nullptr;
    if (const int status = buffer_run(sources, o, run, &view); status <= 0) return status;
    if (!any_ndim && view->ndim != 1) return wrong_ndim(1, view->ndim), -1;
    std::size_t n = 1;
    for (int k = 0; k < view->ndim; ++k) n *= std::size_t(view->shape[k]);
    run.size = n;
    if (view->ndim == 1) {
        run.stride = view->strides ? view->strides[0] : view->itemsize;
    } else if (view->ndim == 0 || PyBuffer_IsContiguous(view, 'A')) {
        run.stride = view->itemsize;  // the items in memory order, which a whole-array reduction may take
    } else {
        // Any other layout: each innermost line converted into a copy, in C order.
        std::vector<double>& copy = sources.copy();
        copy.resize(n);
        const int last = view->ndim - 1;
        vxa::Run line = run;
        line.size = std::size_t(view->shape[last]);
        line.stride = view->strides[last];
        std::vector<Py_ssize_t> index(std::size_t(view->ndim), 0);
        {
            vxa::Unlocked unlocked;
            for (std::size_t at = 0; n && at < n; at += line.size) {
                const char* p = static_cast<const char*>(view->buf);
                for (int k = 0; k < last; ++k) p += index[std::size_t(k)] * view->strides[k];
                line.base = p;
                line.read(0, line.size, copy.data() + at);
                for (int k = last - 1; k >= 0 && ++index[std::size_t(k)] == view->shape[k]; --k)
                    index[std::size_t(k)] = 0;
            }
        }
        run = vxa::Run{};
        run.base = reinterpret_cast<const char*>(copy.data());
        run.size = n;
    }
    runs.push_back(run);
    return 1;
}

// A nullable pandas array: its values and its mask of missing items (numpy
// arrays of equal length); an ArrowDtype: its Arrow chunks; any other: its
// numpy values, or iteration for objects.
int Loader<vxa::Column>::load_pandas(PyObject* o, PyObject* array) {
    PyObject* data = attribute(array, "_data");
    PyObject* mask = data ? attribute(array, "_mask") : nullptr;
    if (data && mask) {
        sources.keep(data);
        sources.keep(mask);
        Py_DECREF(data);
        Py_DECREF(mask);
        int status = load_buffer(data, false);
        if (status <= 0) return status;
        vxa::Run m;
        Py_buffer* view = nullptr;
        status = buffer_run(sources, mask, m, &view);
        if (status <= 0 || view->ndim != 1 || m.kind != vxa::Kind::Bool || m.itemsize != 1 ||
            std::size_t(view->shape[0]) != runs.back().size) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "unreadable mask of a nullable pandas array");
            return -1;
        }
        runs.back().mask = m.base;
        runs.back().mask_stride = view->strides ? view->strides[0] : 1;
        return 1;
    }
    Py_XDECREF(data);
    if (PyErr_Occurred()) return -1;
    if (PyObject* chunks = attribute(array, "_pa_array")) {
        sources.keep(chunks);
        Py_DECREF(chunks);
        return load_arrow(chunks);
    }
    if (PyErr_Occurred()) return -1;
    PyObject* values = PyObject_CallMethod(o, "to_numpy", nullptr);
    if (!values) return -1;
    sources.keep(values);
    Py_DECREF(values);
    return load_buffer(values, false);
}

// An Arrow array (__arrow_c_array__) or stream of arrays (__arrow_c_stream__),
// read in place: the arrays are moved out of their capsules and released
// when the call ends.  0 when o exports neither.
int Loader<vxa::Column>::load_arrow(PyObject* o) {
    if (PyObject* export_array = attribute(o, "__arrow_c_array__")) {
        PyObject* pair = PyObject_CallNoArgs(export_array);
        Py_DECREF(export_array);
        if (!pair) return -1;
        sources.keep(pair);
        Py_DECREF(pair);
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ returned no (schema, array) pair");
            return -1;
        }
        auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GetItem(pair, 0), "arrow_schema"));
        auto* array = schema ? static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(pair, 1), "arrow_array"))
                             : nullptr;
        if (!array) return -1;
        return add_arrow(*schema, array) ? 1 : -1;
    }
    if (PyErr_Occurred()) return -1;
    PyObject* export_stream = attribute(o, "__arrow_c_stream__");
    if (!export_stream) return PyErr_Occurred() ? -1 : 0;
    PyObject* capsule = PyObject_CallNoArgs(export_stream);
    Py_DECREF(export_stream);
    if (!capsule) return -1;
    sources.keep(capsule);  // its destructor releases the stream
    Py_DECREF(capsule);
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!stream) return -1;
    if (!stream->release) {
        PyErr_SetString(PyExc_ValueError, "the Arrow stream was already consumed");
        return -1;
    }
    auto failed = [&](int code) {
        const char* text = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
        PyErr_Format(PyExc_ValueError, "the Arrow stream failed (error %d): %s", code, text ? text : "");
        return -1;
    };
    ArrowSchema schema{};
    if (const int code = stream->get_schema(stream, &schema)) return failed(code);
    const ReleaseAtExit<ArrowSchema> schema_owned{schema};
    for (;;) {
        ArrowArray next{};
        const ReleaseAtExit<ArrowArray> owned{next};  // unless add_arrow took it, also on MemoryError
        if (const int code = stream->get_next(stream, &next)) return failed(code);
        if (!next.release) return 1;  // the end of the stream
        if (!add_arrow(schema, &next)) return -1;
    }
}

// Takes one Arrow array of the given type as a run.  A table (a struct
// array: a record batch, a data frame) is refused with a hint, as are
// dictionary-encoded and non-numeric types.
bool Loader<vxa::Column>::add_arrow(const ArrowSchema& schema, ArrowArray* array) {
    ArrowArray& a = sources.take(array);  // owned from here on, whatever follows
    const char* format = schema.format ? schema.format : "";
    if (std::strcmp(format, "+s") == 0) {
        PyErr_SetString(PyExc_TypeError, kTableText);
        return false;
    }
    auto parsed = vxa::arrow_format(format);
    if (!parsed || schema.dictionary || a.dictionary) {
        PyErr_Format(PyExc_TypeError, "unsupported Arrow type '%s'%s", format,
                     schema.dictionary ? " (dictionary-encoded)" : "");
        return false;
    }
    vxa::Run run = *parsed;
    const bool null_type = run.kind == vxa::Kind::Null;
    if (a.length < 0 || a.offset < 0 || a.n_buffers != (null_type ? 0 : 2) ||
        (!null_type && a.length && !a.buffers[1])) {
        PyErr_Format(PyExc_ValueError, "malformed Arrow array of type '%s'", format);
        return false;
    }
    run.size = std::size_t(a.length);
    const std::size_t offset = std::size_t(a.offset);
    if (!null_type) {
        run.base = static_cast<const char*>(a.buffers[1]);
        if (run.kind == vxa::Kind::Bits) run.bit_offset = offset;
        else run.base += offset * std::size_t(run.itemsize);
        if (a.buffers[0] && a.null_count != 0) {  // no bitmap: nothing is missing
            run.valid = static_cast<const std::uint8_t*>(a.buffers[0]);
            run.valid_offset = offset;
        }
    }
    if (run.size) runs.push_back(run);
    return true;
}

void Loader<vxa::Column>::settle() {
    column.size = 0;
    column.missing = false;
    bool marked = false;
    for (const vxa::Run& r : runs) {
        column.size += r.size;
        marked = marked || r.valid || r.mask || r.kind == vxa::Kind::Null;
    }
    if (marked) {
        std::optional<vxa::Unlocked> unlocked;
        if (column.size > vxa::kBlock) unlocked.emplace();
        for (vxa::Run& r : runs) {
            const bool missing = r.any_missing();
            if (!missing) r.valid = nullptr, r.mask = nullptr;
            column.missing = column.missing || missing;
        }
    }
    column.runs = runs;
}

bool Loader<vxa::Column>::load_any(PyObject* o, bool any_ndim) {
    if (PyBytes_Check(o) || PyByteArray_Check(o)) {
        PyErr_SetString(PyExc_TypeError,
                        "expected a column of numbers, got bytes (a state's encoding is read by its class's "
                        "from_bytes or decode)");
        return false;
    }
    int status = load_buffer(o, any_ndim);
    if (status == 0) copy_borrowed_views();  // what follows may run Python code
    // A pandas object is read from its arrays, or else iterated; its own Arrow
    // export would convert through pyarrow.
    const bool pandas = status == 0 && from_module(o, "pandas");
    if (pandas) {
        PyObject* ndim = attribute(o, "ndim");
        const long dims = ndim ? PyLong_AsLong(ndim) : 1;
        Py_XDECREF(ndim);
        if (dims == -1 && PyErr_Occurred()) return false;
        if (dims != 1) {
            PyErr_SetString(PyExc_TypeError, kTableText);
            return false;
        }
        if (PyObject* array = attribute(o, "array")) {
            sources.keep(array);
            Py_DECREF(array);
            status = load_pandas(o, array);
        }
        if (PyErr_Occurred()) return false;
    }
    if (status == 0 && !pandas) status = load_arrow(o);
    if (status == 0 && !pandas) {
        // An object numpy can view as an array, viewed so.
        if (PyObject* to_array = attribute(o, "__array__")) {
            PyObject* values = PyObject_CallNoArgs(to_array);
            Py_DECREF(to_array);
            if (!values) return false;
            sources.keep(values);
            Py_DECREF(values);
            status = load_buffer(values, any_ndim);
        }
        if (PyErr_Occurred()) return false;
    }
    if (status < 0) return false;
    if (status == 0) {
        if (!sequence.load(o)) return false;
        const std::span<const double> v = sequence.get();
        vxa::Run run;
        run.base = reinterpret_cast<const char*>(v.data());
        run.size = v.size();
        runs.push_back(run);
    }
    settle();
    return true;
}

bool Loader<vxa::Matrix>::load(PyObject* o) {
    Py_buffer* view = nullptr;
    int status = buffer_run(sources, o, matrix.first_row, &view);
    if (status == 0 && !PyErr_Occurred() && !PyList_Check(o) && !PyTuple_Check(o)) {
        // A data frame or another object numpy can view as a 2-D array.
        if (PyObject* to_array = attribute(o, "__array__")) {
            PyObject* values = PyObject_CallNoArgs(to_array);
            Py_DECREF(to_array);
            if (!values) return false;
            sources.keep(values);
            Py_DECREF(values);
            status = buffer_run(sources, values, matrix.first_row, &view);
        }
    }
    if (status < 0 || PyErr_Occurred()) return false;
    if (status > 0) {
        if (view->ndim != 2) return wrong_ndim(2, view->ndim);
        matrix.first_row.size = std::size_t(view->shape[1]);
        matrix.first_row.stride = view->strides ? view->strides[1] : view->itemsize;
        matrix.rows = std::size_t(view->shape[0]);
        matrix.row_stride = view->strides ? view->strides[0] : view->itemsize * view->shape[1];
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
    matrix.first_row = vxa::Run{};
    matrix.first_row.base = reinterpret_cast<const char*>(rows.data());
    matrix.first_row.size = width;
    matrix.rows = std::size_t(n);
    matrix.row_stride = std::ptrdiff_t(width * sizeof(double));
    return true;
}

bool Loader<vxa::Codes>::load(PyObject* o) {
    if (PyObject_CheckBuffer(o) && PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
        has_view = true;
        const char* f = view.format ? view.format : "B";
        if (*f == '@' || *f == '=') ++f;
        const bool int64 = (std::strcmp(f, "l") == 0 || std::strcmp(f, "q") == 0) && view.itemsize == 8;
        if (int64 && view.ndim == 1 && reinterpret_cast<std::uintptr_t>(view.buf) % 8 == 0) {
            codes.v = {static_cast<const std::int64_t*>(view.buf), std::size_t(view.shape[0])};
            return true;
        }
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "group codes must be a contiguous array of native int64");
    return false;
}

}  // namespace vxpy
