// The float-sequence argument: a buffer read for plain numeric arrays, the
// iteration of the sequence protocol for everything else.  Both roads yield
// the same values in the same order, and the same errors.
#include <algorithm>
#include <cstring>

#include "frame.hpp"

namespace vxpy {

namespace {

// The type object of `module.attr`, or nullptr (no error set) when the
// module is not loaded; looked up until found, then kept for the process.
PyObject* loaded_type(PyObject*& cache, const char* module, const char* attr, bool import) {
    if (cache) return cache;
    if (import) copy_borrowed_views();  // an import may run Python code
    PyObject* name = PyUnicode_FromString(module);
    PyObject* mod = nullptr;
    if (name) mod = import ? PyImport_Import(name) : PyImport_GetModule(name);
    Py_XDECREF(name);
    if (mod) {
        PyObject* type = PyObject_GetAttrString(mod, attr);
        if (type && PyType_Check(type))
            cache = type;  // kept: a type object lives as long as its module
        else
            Py_XDECREF(type);
        Py_DECREF(mod);
    }
    PyErr_Clear();
    return cache;
}

// Exact memoryview, array.array or numpy.ndarray: their buffers hold the
// very values their iteration yields.  Subclasses (a masked array) may
// iterate differently, so they are iterated.  A type without the buffer
// protocol (a list, a tuple, most sequences) is told apart by one slot
// read, before any module is looked up by name.
bool is_plain_array(PyObject* o) {
    static PyObject* array_type = nullptr;
    static PyObject* ndarray_type = nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (type == reinterpret_cast<PyObject*>(&PyMemoryView_Type)) return true;
    if (!PyType_GetSlot(Py_TYPE(o), Py_bf_getbuffer)) return false;
    if (type == loaded_type(array_type, "array", "array", true)) return true;
    // An ndarray exists only once numpy is imported; it is never imported here.
    return type == loaded_type(ndarray_type, "numpy", "ndarray", false);
}

// The item kind of a buffer format of native floats: 'd', 'f' or 0.  Only
// the native form ("d", "@d") counts: a memoryview iterates no other, so an
// explicit byte order ("<d", "=d") is left to iteration and its error.
char native_float_format(const char* format) {
    if (!format) return 0;
    if (format[0] == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return 0;
    return format[0] == 'd' || format[0] == 'f' ? format[0] : 0;
}

// The loaders of the calls in progress whose values are views into a
// caller's buffer.  Calls nest only through Python code run by a
// conversion, which copies every view first, so the list stays short.
std::vector<Loader<std::span<const double>>*> borrowed_views;

}  // namespace

void copy_borrowed_views() {
    for (auto* loader : borrowed_views) loader->own_values();
    borrowed_views.clear();
}

void detach_borrowed_views() { borrowed_views.clear(); }

void Loader<std::span<const double>>::own_values() {
    storage.assign(v.begin(), v.end());
    v = storage;
    PyBuffer_Release(&view);
    has_view = false;
}

Loader<std::span<const double>>::~Loader() {
    if (!has_view) return;
    std::erase(borrowed_views, this);
    PyBuffer_Release(&view);
}

bool Loader<std::span<const double>>::load(PyObject* o) {
    if (is_plain_array(o) && load_buffer(o)) return true;
    if (PyErr_Occurred()) return false;
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        raise_mismatch(o, "Sequence");
        return false;
    }
    return load_iterated(o);
}

// True when the values were taken from the buffer; false with no error set
// when the buffer is not a one-dimensional array of native floats.
bool Loader<std::span<const double>>::load_buffer(PyObject* o) {
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    has_view = true;
    const char kind = native_float_format(view.format);
    const Py_ssize_t itemsize = kind == 'd' ? 8 : 4;
    if (view.ndim != 1 || !kind || view.itemsize != itemsize) {
        PyBuffer_Release(&view);
        has_view = false;
        return false;
    }
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : itemsize;
    const char* base = static_cast<const char*>(view.buf);
    const bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
    if (kind == 'd' && stride == 8 && aligned) {
        v = {reinterpret_cast<const double*>(base), std::size_t(n)};
        borrowed_views.push_back(this);
        return true;
    }
    storage.resize(std::size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* item = base + i * stride;
        if (kind == 'd') {
            std::memcpy(&storage[std::size_t(i)], item, 8);
        } else {
            float f;
            std::memcpy(&f, item, 4);
            storage[std::size_t(i)] = vx::widen(f);
        }
    }
    v = storage;
    PyBuffer_Release(&view);
    has_view = false;
    return true;
}

namespace {

// Converts one element; an element that is not a float may run Python code
// (its __float__ or __index__), so it is held while it converts.
bool element(PyObject* item, double& x) {
    if (PyFloat_CheckExact(item)) {
        x = PyFloat_AsDouble(item);
        return true;
    }
    copy_borrowed_views();
    Py_INCREF(item);
    x = PyFloat_AsDouble(item);
    Py_DECREF(item);
    return !(x == -1.0 && PyErr_Occurred());
}

}  // namespace

bool Loader<std::span<const double>>::load_iterated(PyObject* o) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Walked by index against the current length, as their iterators
        // do; only a non-float element can run code that resizes a list.
        // Element pointers are fetched kLead places ahead and their objects
        // prefetched, so that floats scattered in memory arrive in time.
        const bool list = PyList_CheckExact(o);
        Py_ssize_t n = list ? PyList_Size(o) : PyTuple_Size(o);
        storage.resize(std::size_t(n));
        constexpr std::size_t kLead = 16;
        PyObject* ahead[kLead];
        auto fetch = [&](Py_ssize_t j) {
            PyObject* item = list ? PyList_GetItem(o, j) : PyTuple_GetItem(o, j);
            __builtin_prefetch(item);
            ahead[std::size_t(j) % kLead] = item;
        };
        for (Py_ssize_t j = 0; j < std::min(n, Py_ssize_t(kLead)); ++j) fetch(j);
        Py_ssize_t i = 0;
        for (; i < n; ++i) {
            PyObject* item = ahead[std::size_t(i) % kLead];
            if (i + Py_ssize_t(kLead) < n) fetch(i + Py_ssize_t(kLead));
            if (PyFloat_CheckExact(item)) {
                storage[std::size_t(i)] = PyFloat_AsDouble(item);
                continue;
            }
            double x;
            if (!element(item, x)) return false;
            storage[std::size_t(i)] = x;
            // The conversion may have changed the list: fetch afresh.
            if (list && (n = PyList_Size(o)) > Py_ssize_t(storage.size()))
                storage.resize(std::size_t(n));
            for (Py_ssize_t j = i + 1; j < std::min(n, i + 1 + Py_ssize_t(kLead)); ++j) fetch(j);
        }
        storage.resize(std::size_t(i));  // every element taken so far counts
        v = storage;
        return true;
    }
    copy_borrowed_views();  // the sequence's own methods are Python code
    // The length is only a capacity hint: a __len__ may claim any size up to
    // 2^63 - 1 while iteration yields three values, so it reserves at most
    // kReserveHint values and iteration decides how many there are.
    constexpr Py_ssize_t kReserveHint = Py_ssize_t(1) << 16;
    const Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0)
        PyErr_Clear();
    else
        storage.reserve(std::size_t(std::min(hint, kReserveHint)));
    PyObject* it = PyObject_GetIter(o);
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it)) {
        double x;
        const bool ok = element(item, x);
        Py_DECREF(item);
        if (!ok) {
            Py_DECREF(it);
            return false;
        }
        storage.push_back(x);
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return false;
    v = storage;
    return true;
}

}  // namespace vxpy
