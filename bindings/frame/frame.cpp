#include "frame.hpp"

#include <new>
#include <string>

#include "base/assertion.hpp"
#include "base/memory.hpp"
#include "receipt/receipt.hpp"

namespace vxpy {

namespace {

// "SumF64.add()" for a method, "dot()" for a function: the name that the
// binding messages start with.
std::string call_name(const Site& site) {
    std::string name = site.owner ? std::string(site.owner) + "." : std::string();
    return name + site.method + "()";
}

void raise_missing(const Site& site, PyObject* const* out) {
    std::string names;
    int missing = 0, total = 0;
    for (int k = 0; k < site.nparams; ++k) total += out[k] == nullptr;
    for (int k = 0; k < site.nparams; ++k) {
        if (out[k]) continue;
        ++missing;
        if (missing > 1) names += total == 2 ? " and " : (missing == total ? ", and " : ", ");
        names += std::string("'") + site.params[k] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s",
                 call_name(site).c_str(), total, total == 1 ? "" : "s", names.c_str());
}

int param_index(const Site& site, PyObject* keyword) {
    for (int k = 0; k < site.nparams; ++k)
        if (PyUnicode_CompareWithASCIIString(keyword, site.params[k]) == 0) return k;
    return -1;
}

PyObject* panic_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "varnix.PanicException",
        "A broken precondition or invariant inside varnix; derives from BaseException "
        "so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    return type;
}

}  // namespace

bool bind_slow(const Site& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    if (nargs > site.nparams) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                     call_name(site).c_str(), site.nparams, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    std::fill_n(out, site.nparams, nullptr);
    std::copy_n(args, nargs, out);
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* keyword = PyTuple_GetItem(kwnames, j);
        const int k = param_index(site, keyword);
        if (k < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         call_name(site).c_str(), keyword);
            return false;
        }
        if (out[k]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         call_name(site).c_str(), site.params[k]);
            return false;
        }
        out[k] = args[nargs + j];
    }
    for (int k = 0; k < site.nparams; ++k) {
        if (!out[k]) {
            raise_missing(site, out);
            return false;
        }
    }
    return true;
}

PyObject* call_with_tuple(FastcallFn fastcall, PyObject* args, PyObject* kwargs) noexcept {
    try {
        const Py_ssize_t npos = PyTuple_Size(args);
        const Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
        if (npos < 0 || nkw < 0) return nullptr;
        PyObject* small[2 * kMaxParams];
        std::vector<PyObject*> large;
        PyObject** items = small;
        if (npos + nkw > Py_ssize_t(std::size(small))) {
            large.resize(std::size_t(npos + nkw));
            items = large.data();
        }
        for (Py_ssize_t i = 0; i < npos; ++i) items[i] = PyTuple_GetItem(args, i);
        PyObject* kwnames = nullptr;
        if (nkw > 0) {
            kwnames = PyTuple_New(nkw);
            if (!kwnames) return nullptr;
            Py_ssize_t pos = 0, j = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                Py_INCREF(key);
                PyTuple_SetItem(kwnames, j, key);
                items[npos + j++] = value;
            }
        }
        PyObject* result = fastcall(nullptr, items, npos, kwnames);
        Py_XDECREF(kwnames);
        return result;
    } catch (...) {
        return raise_current_exception();
    }
}

void raise_borrow_conflict(bool exclusive) {
    PyErr_SetString(PyExc_RuntimeError,
                    exclusive ? "Already borrowed" : "Already mutably borrowed");
}

void raise_mismatch(PyObject* o, const char* target) {
    PyObject* type_name = PyType_GetQualName(Py_TYPE(o));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name, target);
    Py_DECREF(type_name);
}

bool check_instance_slow(PyObject* o, ClassDef& def) {
    PyTypeObject* type = type_of(def);
    if (!type) return false;
    if (Py_TYPE(o) == type || PyType_IsSubtype(Py_TYPE(o), type)) return true;
    raise_mismatch(o, def.name);
    return false;
}

void annotate_argument_error(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* message = value ? PyObject_Str(value) : nullptr;
    PyObject* text = message ? PyUnicode_FromFormat("argument '%s': %U", name, message) : nullptr;
    PyObject* error = text ? PyObject_CallFunctionObjArgs(PyExc_TypeError, text, nullptr) : nullptr;
    if (error) {
        // The underlying error's cause is carried over to the new error.
        if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(error, cause);
        PyErr_SetObject(PyExc_TypeError, error);
    }
    Py_XDECREF(error);
    Py_XDECREF(text);
    Py_XDECREF(message);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

[[gnu::tls_model("initial-exec")]] thread_local constinit bool thread_prepared = false;

namespace {

bool (*thread_step)() = nullptr;

}  // namespace

void set_thread_step(bool (*step)()) { thread_step = step; }

// The probe of prepare_exception_data is far more than the thread-local
// blocks and the digest context take.
bool prepare_thread_slow() noexcept {
    if (!vx::prepare_exception_data() || !vx::prepare_digest_context() || (thread_step && !thread_step())) {
        PyErr_NoMemory();
        return false;
    }
    thread_prepared = true;
    return true;
}

void raise_panic(const char* message) {
    if (PyObject* type = panic_type()) PyErr_SetString(type, message);
}

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const vx::AssertionFailure& e) {
        raise_panic(e.what());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
    return nullptr;
}

bool Loader<std::uint64_t>::load(PyObject* o) {
    if (!PyLong_CheckExact(o)) copy_borrowed_views();
    PyObject* index = PyNumber_Index(o);
    if (!index) return false;
    v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    return !(v == std::uint64_t(-1) && PyErr_Occurred());
}

bool Loader<std::span<const std::uint8_t>>::load(PyObject* o) {
    if (!PyBytes_Check(o)) {
        raise_mismatch(o, "PyBytes");
        return false;
    }
    const char* data = PyBytes_AsString(o);
    if (!data) return false;
    v = {reinterpret_cast<const std::uint8_t*>(data), std::size_t(PyBytes_Size(o))};
    return true;
}

bool Loader<std::string_view>::load(PyObject* o) {
    if (!PyUnicode_Check(o)) {
        raise_mismatch(o, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (!data) return false;
    v = {data, std::size_t(size)};
    return true;
}

const char* error_text(Fixed e) {
    switch (e) {
        case Fixed::WrongByteLength: return "wrong byte length";
        case Fixed::Undefined: return "undefined (insufficient data or invalid input)";
        case Fixed::BadEdges: return "edges must be sorted, finite, len>=2";
    }
    return "undefined (insufficient data or invalid input)";
}

void raise_value_error(const char* text) { PyErr_SetString(PyExc_ValueError, text); }
void raise_overflow_error(const char* text) { PyErr_SetString(PyExc_OverflowError, text); }

namespace {

template <class T, class Make>
PyObject* make_list(std::span<const T> v, Make make) {
    PyObject* list = PyList_New(Py_ssize_t(v.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = make(v[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, Py_ssize_t(i), item);
    }
    return list;
}

}  // namespace

// A bytes object may be written to until it is first shared.
PyObject* new_bytes(std::size_t size, std::uint8_t** data) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size));
    if (bytes) *data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes));
    return bytes;
}

vx::Expected<OutBytes, Pending> OutBytes::make(std::size_t size) {
    std::uint8_t* data = nullptr;
    PyObject* bytes = size > std::size_t(PY_SSIZE_T_MAX) ? PyErr_NoMemory() : new_bytes(size, &data);
    if (!bytes) return vx::fail(Pending{});
    return OutBytes(bytes, {data, size});
}

PyObject* float_list(std::span<const double> v) { return make_list(v, PyFloat_FromDouble); }
PyObject* int_list(std::span<const std::uint64_t> v) {
    return make_list(v, PyLong_FromUnsignedLongLong);
}

PyTypeObject* build_type(ClassDef& def) {
    if (def.type) return def.type;
    def.type_name = std::string("builtins.") + def.name;
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(def.tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(def.tp_dealloc)},
        {Py_tp_methods, def.methods},
        {Py_tp_doc, const_cast<char*>(def.doc)},
        {0, nullptr},
    };
    // Not a base type, no instance __dict__, no weak references, not tracked
    // by the cyclic collector: instances hold no Python references.
    PyType_Spec blueprint{def.type_name.c_str(), def.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&blueprint);
    if (!type) return nullptr;
    // The type's __doc__ would be the docstring with its text signature
    // stripped; the class documents itself with the full text, while
    // __text_signature__ keeps reading the signature from the slot.
    PyObject* doc = PyUnicode_FromString(def.doc);
    const int failed = !doc || PyObject_SetAttrString(type, "__doc__", doc) < 0;
    Py_XDECREF(doc);
    if (failed) {
        Py_DECREF(type);
        return nullptr;
    }
    def.type = reinterpret_cast<PyTypeObject*>(type);
    def.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(def.type, Py_tp_alloc));
    return def.type;
}

PyTypeObject* type_of(ClassDef& def) {
    if (def.type) return def.type;
    if (PyTypeObject* type = build_type(def)) return type;
    PyErr_Print();
    raise_panic((std::string("failed to create type object for ") + def.name).c_str());
    return nullptr;
}

PyObject* new_object(ClassDef& def, void (*emplace)(Cell*, void*), void* state) {
    PyTypeObject* type = type_of(def);
    if (!type) return nullptr;
    PyObject* o = def.alloc(type, 0);
    if (!o) return nullptr;
    emplace(cell(o), state);
    cell(o)->borrow = 0;
    return o;
}

}  // namespace vxpy
