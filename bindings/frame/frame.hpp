// The frame every Python-visible method runs in.
//
// A class is a table of typed C++ functions.  `Table<State, "Name">::def<Doc, F>()`
// turns a function `R f(Self&, Args...)` (or `const Self&`, or no self for a
// static method) into a METH_FASTCALL | METH_KEYWORDS method: the arguments
// are bound by name, `self` is borrowed (exclusively through `Self&`, shared
// through `const Self&`), each argument is converted by the loader of its C++
// type, the function is called, and its result is converted by the converter
// of its C++ type.  Binding, borrowing and error raising are ordinary
// functions in frame.cpp; only the glue that depends on the types is here.
#pragma once

#ifndef Py_LIMITED_API
#error "varnix builds against the stable ABI only: define Py_LIMITED_API"
#endif
#include <Python.h>

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/binary32.hpp"
#include "base/poll.hpp"
#include "base/expected.hpp"

namespace vxpy {

// ---------------------------------------------------------------- objects

// Every instance: the object header, the borrow counter, then the state.
struct Cell {
    PyObject_HEAD
    Py_ssize_t borrow;  // 0 free, n > 0 shared borrows, -1 one exclusive borrow
};

// A class may defer its add: Deferral<S> names the deferred function (`add`)
// and the type of what its calls leave beside the state (`Pending`, with
// `push(state, args...)` in place of add, `settle(state)`, which brings the
// state up to date, and `empty()`).  A settled state is the one the adds one
// by one give, and neither push nor settle allocates or fails, so a state is
// always before or after whole calls: there is no half-settled state to
// observe, and a MemoryError cannot interrupt one.  Every other use of the
// object settles first: each method on it and each borrow of it as an
// argument, before the state is read or written.
template <class S>
struct Deferral {};
template <class S>
concept Deferred = requires { typename Deferral<S>::Pending; };

template <class S>
struct Obj : Cell {
    S state;
};
template <Deferred S>
struct Obj<S> : Cell {
    S state;
    typename Deferral<S>::Pending pending;
};

inline Cell* cell(PyObject* o) { return reinterpret_cast<Cell*>(o); }

template <class S>
S& state_of(PyObject* o) {
    return static_cast<Obj<S>*>(cell(o))->state;
}

// One Python class: what its type object is built from, and the type once built.
struct ClassDef {
    const char* name;  // bare class name, e.g. "SumF64"
    const char* doc;   // "SumF64()\n--\n\n"
    int basicsize;
    newfunc tp_new;
    destructor tp_dealloc;
    PyMethodDef* methods;
    PyTypeObject* type = nullptr;  // built once, then kept for the process
    allocfunc alloc = nullptr;
    std::string type_name{};       // "builtins.SumF64": __module__ is "builtins"
};

// The class of a state type: declared for every class in classes.hpp and
// defined by the class's own unit.
template <class S>
ClassDef& class_of();
template <class S>
inline constexpr bool is_class_state = false;

// Builds the type object the first time (errors propagate to the caller).
PyTypeObject* build_type(ClassDef& def);
// The type object, built on first use; a failure here is raised as a panic.
PyTypeObject* type_of(ClassDef& def);

// Allocates an instance through the type's allocation slot and moves the
// state in; the state is complete before the object exists.
PyObject* new_object(ClassDef& def, void (*emplace)(Cell*, void*), void* state);

template <class S>
PyObject* new_instance(S&& state) {
    return new_object(class_of<S>(), [](Cell* c, void* s) {
        new (&static_cast<Obj<S>*>(c)->state) S(std::move(*static_cast<S*>(s)));
        if constexpr (Deferred<S>) new (&static_cast<Obj<S>*>(c)->pending) typename Deferral<S>::Pending{};
    }, &state);
}

// Brings the state of `o` up to date with the calls pending beside it;
// nothing for a class that does not defer.  Runs under a borrow of `o`; a
// shared borrow may settle too: calls are pushed under an exclusive borrow
// and settled by the next borrow of any kind, so while a shared borrow is
// held nothing is pending.
template <class S>
inline void settle(PyObject* o) {
    if constexpr (Deferred<S>) {
        auto* obj = static_cast<Obj<S>*>(cell(o));
        if (!obj->pending.empty()) obj->pending.settle(obj->state);
    }
}

template <class S>
void dealloc(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    static_cast<Obj<S>*>(cell(o))->state.~S();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_slot(o);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------- borrowing

// Sets RuntimeError "Already mutably borrowed" / "Already borrowed".
void raise_borrow_conflict(bool exclusive);

// A borrow of one object, released when the guard goes out of scope, on
// every path out of a method.
class Borrow {
public:
    Borrow() = default;
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (cell_) cell_->borrow = exclusive_ ? 0 : cell_->borrow - 1;
    }

    bool take(PyObject* o, bool exclusive) {
        Cell* c = cell(o);
        if (exclusive ? c->borrow != 0 : c->borrow < 0) {
            raise_borrow_conflict(exclusive);
            return false;
        }
        c->borrow = exclusive ? -1 : c->borrow + 1;
        cell_ = c;
        exclusive_ = exclusive;
        return true;
    }

private:
    Cell* cell_ = nullptr;
    bool exclusive_ = false;
};

// Sets TypeError "'T' object cannot be converted to 'U'".
void raise_mismatch(PyObject* o, const char* target);

// Checks the class of `o`; sets the mismatch TypeError when it is foreign.
bool check_instance_slow(PyObject* o, ClassDef& def);
inline bool check_instance(PyObject* o, ClassDef& def) {
    return (def.type && Py_TYPE(o) == def.type) || check_instance_slow(o, def);
}

// ---------------------------------------------------------------- signatures

// A docstring as a template argument: "name(params)\n--\n\n" and maybe more.
template <std::size_t N>
struct Doc {
    char text[N];
    constexpr Doc(const char (&s)[N]) { std::copy_n(s, N, text); }
};

inline constexpr int kMaxParams = 6;

// What a text signature declares: the name, whether it takes $self, and the
// names of the other parameters, in order.
struct Signature {
    char name[32]{};
    char params[kMaxParams][16]{};
    int nparams = 0;
    bool has_self = false;
};

constexpr Signature parse_signature(const char* text) {
    Signature sig;
    int i = 0, n = 0;
    while (text[i] != '(') sig.name[n++] = text[i++];
    ++i;
    while (text[i] != ')') {
        char word[16]{};
        int w = 0;
        while (text[i] != ',' && text[i] != ')') word[w++] = text[i++];
        if (text[i] == ',') i += 2;  // ", "
        if (std::string_view(word) == "$self") {
            sig.has_self = true;
        } else {
            std::copy_n(word, 16, sig.params[sig.nparams]);
            ++sig.nparams;
        }
    }
    return sig;
}

template <Doc D>
inline constexpr Signature signature_of = parse_signature(D.text);

// Where a call is bound: the owner's name (nullptr for a module function),
// the method's name and its parameter names.
struct Site {
    const char* owner;
    const char* method;
    const char* params[kMaxParams];
    int nparams;
};

template <Doc D>
constexpr Site site_of(const char* owner, const char* method) {
    constexpr const Signature& sig = signature_of<D>;
    Site site{owner, method, {}, sig.nparams};
    for (int k = 0; k < sig.nparams; ++k) site.params[k] = sig.params[k];
    return site;
}

// Binds positional and keyword arguments to the parameters of `site`; every
// parameter is required.  Sets the binding TypeError and returns false.
bool bind_slow(const Site& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
inline bool bind(const Site& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
    if (nargs != site.nparams || kwnames) return bind_slow(site, args, nargs, kwnames, out);
    std::copy_n(args, nargs, out);
    return true;
}

// Replaces a TypeError raised while converting argument `name` by
// "argument 'name': <message>"; other exceptions pass unchanged.
void annotate_argument_error(const char* name);

// Turns the C++ exception in flight into the Python exception: the panic
// exception for a broken assertion or invariant, MemoryError for bad_alloc.
PyObject* raise_current_exception() noexcept;

// Raises the panic exception with `message`.
void raise_panic(const char* message);

// -------------------------------------------------------- per-thread data
//
// Some per-thread data is made lazily, at a thread's first use, by code that
// cannot report failure: glibc allocates the thread-local block of a library
// loaded at run time (the C++ runtime's exception data among them) at the
// thread's first access and ends the process when it cannot.  So each
// thread's first call, and each module's initialisation, makes it while
// memory is known to be there: it allocates a probe, frees it, then touches
// the runtime's exception data and the digest context and runs the module's
// own step (varnix: GMP's reserve).  Any failure is a MemoryError and the
// thread tries again at its next call.  What remains: another thread may take
// the probe's memory between its release and the touch.
void set_thread_step(bool (*step)());
bool prepare_thread_slow() noexcept;
// constinit: statically initialised, so a use needs no call to a thread-local initialiser.
[[gnu::tls_model("initial-exec")]] extern thread_local constinit bool thread_prepared;
inline bool prepare_thread() noexcept { return thread_prepared || prepare_thread_slow(); }

// ---------------------------------------------------------------- loaders

// Each argument kind is a C++ type; its loader converts one Python object.
template <class A>
struct Loader;

// Float sequences read in place from a caller's buffer stay views into it
// until the call ends.  Before a conversion runs Python code (a __float__, an
// __index__, an iterator), which could write into such a buffer, the views
// of the calls in progress take copies: a sequence's values are those it
// held when it was converted, as iterating it gives.
void copy_borrowed_views();

// Releases the interpreter lock for the life of the guard, around native
// work that reads no Python object.  The buffers of the call's arguments stay
// exported, so their memory is pinned; the float sequences that are views
// into them leave the list copy_borrowed_views() walks first, since another
// thread may run it meanwhile.  (Such a list only ever holds the views of
// the innermost call in progress: a nested call comes through Python code,
// which copies every view before it runs.)
void detach_borrowed_views();
class Unlocked {
public:
    Unlocked() : state_((detach_borrowed_views(), PyEval_SaveThread())) {}
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

// Whether converting `o` as a number may run Python code.
inline bool runs_code(PyObject* o) { return !PyFloat_CheckExact(o) && !PyLong_CheckExact(o); }

template <>
struct Loader<double> {
    double v;
    bool load(PyObject* o) {
        if (PyFloat_CheckExact(o)) {  // a float's value cannot fail to convert
            v = PyFloat_AsDouble(o);
            return true;
        }
        if (runs_code(o)) copy_borrowed_views();
        v = PyFloat_AsDouble(o);
        return !(v == -1.0 && PyErr_Occurred());
    }
    double get() const { return v; }
};

// float32: the binary64 conversion rounded to binary32, to nearest even,
// as the IEEE conversion does in the default environment: overflow gives an
// infinity, tiny values subnormals or zero, NaN stays NaN.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
template <>
struct Loader<float> {
    Loader<double> wide;
    bool load(PyObject* o) { return wide.load(o); }
    float get() const { return vx::narrow(wide.get()); }
};

template <>
struct Loader<std::uint64_t> {
    std::uint64_t v;
    bool load(PyObject* o);
    std::uint64_t get() const { return v; }
};

// bytes (and subclasses), borrowed for the call.
template <>
struct Loader<std::span<const std::uint8_t>> {
    std::span<const std::uint8_t> v;
    bool load(PyObject* o);
    std::span<const std::uint8_t> get() const { return v; }
};

// str (and subclasses), as UTF-8.
template <>
struct Loader<std::string_view> {
    std::string_view v;
    bool load(PyObject* o);
    std::string_view get() const { return v; }
};

// A float sequence: read straight from the buffer of an exact memoryview,
// array.array or numpy.ndarray that is one-dimensional with native 'd' or
// 'f' items; any other sequence (not str) is iterated and each element
// converted as a float.  The values stay valid until the loader is destroyed.
template <>
struct Loader<std::span<const double>> {
    Loader() = default;
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;
    ~Loader();
    bool load(PyObject* o);
    std::span<const double> get() const { return v; }

    // Replaces a view into the caller's buffer by a copy of its values.
    void own_values();

private:
    bool load_buffer(PyObject* o);
    bool load_iterated(PyObject* o);
    // Elements are written once each, so the storage is not zeroed first.
    template <class T>
    struct Uninitialised : std::allocator<T> {
        template <class U>
        struct rebind {
            using other = Uninitialised<U>;
        };
        template <class U, class... A>
        void construct(U* p, A&&... a) {
            if constexpr (sizeof...(A) == 0)
                ::new (static_cast<void*>(p)) U;
            else
                ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
        }
    };
    std::span<const double> v;
    std::vector<double, Uninitialised<double>> storage;
    Py_buffer view{};
    bool has_view = false;
};

// An object of one of the module's classes, shared-borrowed for the call.
template <class S>
struct Loader<const S&> {
    Borrow borrow;
    const S* p = nullptr;
    bool load(PyObject* o) {
        if (!check_instance(o, class_of<S>()) || !borrow.take(o, false)) return false;
        settle<S>(o);
        p = &state_of<S>(o);
        return true;
    }
    const S& get() const { return *p; }
};

// ---------------------------------------------------------------- results

// The text of a fixed-text error.
enum class Fixed { WrongByteLength, Undefined, BadEdges };
const char* error_text(Fixed e);

// Sets ValueError with the text of an error value.
void raise_value_error(const char* text);
// Sets OverflowError with the text of an error value.
void raise_overflow_error(const char* text);

// An error type whose values are limits of the state (what its encoding can
// hold) rather than invalid data: raised as OverflowError, not ValueError.
template <class E>
inline constexpr bool is_limit_error = false;

template <class R>
struct Converter;

template <>
struct Converter<double> {
    static PyObject* convert(double v) { return PyFloat_FromDouble(v); }
};
template <>
struct Converter<float> {
    static PyObject* convert(float v) { return PyFloat_FromDouble(vx::widen(v)); }
};
template <>
struct Converter<std::uint64_t> {
    static PyObject* convert(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
};
template <>
struct Converter<bool> {
    static PyObject* convert(bool v) { return PyBool_FromLong(v); }
};
template <std::size_t N>
struct Converter<std::array<std::uint8_t, N>> {
    static PyObject* convert(const std::array<std::uint8_t, N>& v) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()), N);
    }
};
template <>
struct Converter<std::vector<std::uint8_t>> {
    static PyObject* convert(const std::vector<std::uint8_t>& v) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                         Py_ssize_t(v.size()));
    }
};
// Bytes whose size is known before they are written: written straight into
// the new bytes object, without an intermediate buffer.
template <class R>
concept DeferredBytes = requires(const R& r, std::uint8_t* out) {
    { r.size() } -> std::convertible_to<std::size_t>;
    r.write_to(out);
};
PyObject* new_bytes(std::size_t size, std::uint8_t** data);
template <DeferredBytes R>
struct Converter<R> {
    static PyObject* convert(const R& v) {
        std::uint8_t* data = nullptr;
        PyObject* bytes = new_bytes(v.size(), &data);
        if (bytes) v.write_to(data);
        return bytes;
    }
};
PyObject* float_list(std::span<const double> v);
PyObject* int_list(std::span<const std::uint64_t> v);
template <>
struct Converter<std::vector<double>> {
    static PyObject* convert(const std::vector<double>& v) { return float_list(v); }
};
template <>
struct Converter<std::vector<std::uint64_t>> {
    static PyObject* convert(const std::vector<std::uint64_t>& v) { return int_list(v); }
};
template <>
struct Converter<std::pair<double, double>> {
    static PyObject* convert(std::pair<double, double> v) {
        return Py_BuildValue("(dd)", v.first, v.second);
    }
};
// Nothing to return: None (the success of an operation that may fail).
template <>
struct Converter<std::monostate> {
    static PyObject* convert(std::monostate) { Py_RETURN_NONE; }
};

// An error whose Python exception has already been set, by the interpreter
// (a signal handler run from a poll raising KeyboardInterrupt) or by a class
// that raises a built-in exception other than ValueError: the wrapper only
// reports it.
struct Pending {};

// A bytes object the function fills itself, in place (with the interpreter
// lock released, if it likes), and hands out; dropped unreturned, it is
// freed.  make() sets MemoryError when the bytes cannot be had.
class OutBytes {
public:
    static vx::Expected<OutBytes, Pending> make(std::size_t size);
    OutBytes(OutBytes&& o) noexcept : obj_(o.obj_), data_(o.data_) { o.obj_ = nullptr; }
    OutBytes& operator=(OutBytes&&) = delete;
    ~OutBytes() { Py_XDECREF(obj_); }
    std::span<std::uint8_t> data() const { return data_; }
    PyObject* release() {
        PyObject* o = obj_;
        obj_ = nullptr;
        return o;
    }

private:
    OutBytes(PyObject* o, std::span<std::uint8_t> d) : obj_(o), data_(d) {}
    PyObject* obj_;
    std::span<std::uint8_t> data_;
};
template <>
struct Converter<OutBytes> {
    static PyObject* convert(OutBytes&& b) { return b.release(); }
};

// An absent result.
template <class T>
struct Converter<std::optional<T>> {
    static PyObject* convert(std::optional<T>&& v) {
        if (!v) {
            raise_value_error(error_text(Fixed::Undefined));
            return nullptr;
        }
        return Converter<T>::convert(std::move(*v));
    }
};
// A value or an error value; every error type has an `error_text`.
template <class T, class E>
struct Converter<vx::Expected<T, E>> {
    static PyObject* convert(vx::Expected<T, E>&& v) {
        if (!v) {
            if constexpr (is_limit_error<E>)
                raise_overflow_error(error_text(v.error()));
            else if constexpr (!std::is_same_v<E, Pending>)
                raise_value_error(error_text(v.error()));
            return nullptr;
        }
        return Converter<T>::convert(std::move(v).value());
    }
};
// A new state becomes a new instance of its class.
template <class S>
    requires is_class_state<S>
struct Converter<S> {
    static PyObject* convert(S&& v) { return new_instance(std::move(v)); }
};

// ---------------------------------------------------------------- wrappers

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
};

using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Calls a fastcall entry point with a tuple of positional arguments and a
// dict of keyword arguments (or nullptr).
PyObject* call_with_tuple(FastcallFn fastcall, PyObject* args, PyObject* kwargs) noexcept;

template <bool kHasSelf, class Args>
struct SelfOf {
    using type = void;
};
template <class Args>
struct SelfOf<true, Args> {
    using type = std::remove_cvref_t<std::tuple_element_t<0, Args>>;
};

// Module-level functions have no owner: their binding name is "fn()".
struct ModuleOwner {
    static constexpr const char* name = nullptr;
};

// The glue for one method (or function, or constructor) `F` whose text
// signature is `D`, owned by `Owner` (which names the class in messages).
template <class Owner, Doc D, auto F, bool kConstructor = false>
struct Wrapper {
    static constexpr const Signature& sig = signature_of<D>;
    using Traits = FnTraits<decltype(F)>;
    using R = typename Traits::result;
    using Args = typename Traits::args;
    static constexpr std::size_t kSelf = sig.has_self ? 1 : 0;
    static constexpr bool kFunction = std::is_same_v<Owner, ModuleOwner>;
    static_assert(std::tuple_size_v<Args> == kSelf + sig.nparams,
                  "the text signature and the C++ function disagree on the parameters");

    static constexpr Site site = site_of<D>(Owner::name, kConstructor ? "__new__" : sig.name);

    template <std::size_t I>
    using Arg = std::tuple_element_t<kSelf + I, Args>;

    // The state type of self (void for a function or a static method).
    using Self = typename SelfOf<sig.has_self, Args>::type;
    // Whether F is the add that Self defers.
    static constexpr bool kDefers = [] {
        if constexpr (requires { Deferral<Self>::add; }) {
            if constexpr (std::is_same_v<decltype(F), std::remove_cv_t<decltype(Deferral<Self>::add)>>)
                return F == Deferral<Self>::add;
        }
        return false;
    }();

    template <std::size_t... I>
    static PyObject* run(PyObject* self, PyObject* const* bound, std::index_sequence<I...>) {
        std::size_t failed = 0;
        {
            // Loaders outlive the borrow of self: a buffer's release, which may
            // run Python code, comes after self is free again.
            std::tuple<Loader<Arg<I>>...> loaders;
            Borrow self_borrow;
            if constexpr (sig.has_self) {
                using SelfRef = std::tuple_element_t<0, Args>;
                constexpr bool exclusive = !std::is_const_v<std::remove_reference_t<SelfRef>>;
                if (!check_instance(self, class_of<Self>()) || !self_borrow.take(self, exclusive))
                    return nullptr;
                if constexpr (!kDefers) settle<Self>(self);
            }
            // Converted left to right; the first failure stops the conversion.
            const bool ok = ((std::get<I>(loaders).load(bound[I]) || (failed = I, false)) && ...);
            if (ok) {
                if constexpr (kDefers) {
                    auto* obj = static_cast<Obj<Self>*>(cell(self));
                    obj->pending.push(obj->state, std::get<I>(loaders).get()...);
                    Py_RETURN_NONE;
                } else if constexpr (sig.has_self) {
                    return call(state_of<Self>(self), std::get<I>(loaders).get()...);
                } else {
                    return call(std::get<I>(loaders).get()...);
                }
            }
        }
        // The message is built (an exception's __str__ may run Python code)
        // only once every borrow and loader of this call is released.
        if constexpr (sizeof...(I) > 0) annotate_argument_error(site.params[failed]);
        return nullptr;
    }

    template <class... V>
    static PyObject* call(V&&... v) {
        if constexpr (std::is_void_v<R>) {
            F(std::forward<V>(v)...);
            Py_RETURN_NONE;
        } else {
            return Converter<std::remove_cvref_t<R>>::convert(F(std::forward<V>(v)...));
        }
    }

    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
        if (!prepare_thread()) return nullptr;
        try {
            PyObject* bound[kMaxParams];
            if (!bind(site, args, nargs, kwnames, bound)) return nullptr;
            return run(self, bound, std::make_index_sequence<sig.nparams>{});
        } catch (...) {
            return raise_current_exception();
        }
    }

    static PyObject* noargs(PyObject* self, PyObject*) noexcept {
        if (!prepare_thread()) return nullptr;
        try {
            return run(self, nullptr, std::index_sequence<>{});
        } catch (...) {
            return raise_current_exception();
        }
    }

    static constexpr PyMethodDef def() {
        using Generic = void (*)();
        if constexpr (sig.has_self && sig.nparams == 0)
            return {sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<Generic>(&noargs)),
                    METH_NOARGS, D.text};
        else
            return {sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<Generic>(&fastcall)),
                    METH_FASTCALL | METH_KEYWORDS | (sig.has_self || kFunction ? 0 : METH_STATIC),
                    D.text};
    }

    // tp_new: the tuple-and-dict arguments of a constructor call, bound like
    // any other call.
    static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
        return call_with_tuple(&fastcall, args, kwargs);
    }
};

// Resolves an overloaded function name to the overload of signature Sig.
template <class Sig>
constexpr Sig* pick(Sig* f) {
    return f;
}

// The constructor of the classes that start from the empty state.
template <class S>
S empty_state() {
    return S{};
}

// The table of the class named `Name` whose instances hold an `S`: its
// method entries and its class definition.
template <class S, Doc Name>
struct Table {
    static constexpr const char* name = Name.text;

    template <Doc D, auto F>
    static constexpr PyMethodDef def() { return Wrapper<Table, D, F>::def(); }

    // The class built from its constructor F (text signature D) and methods.
    template <Doc D, auto F = &empty_state<S>>
    static ClassDef make(PyMethodDef* methods) {
        return ClassDef{name, D.text, int(sizeof(Obj<S>)), &Wrapper<Table, D, F, true>::tp_new,
                        &dealloc<S>, methods};
    }
};

template <Doc D, auto F>
constexpr PyMethodDef function_def() {
    return Wrapper<ModuleOwner, D, F>::def();
}

// Decoding a fixed-size encoding: the length first, then the content.
template <class S, std::size_t N, std::optional<S> (*Read)(const std::uint8_t*)>
vx::Expected<S, Fixed> decode_fixed(std::span<const std::uint8_t> b) {
    if (b.size() != N) return vx::fail(Fixed::WrongByteLength);
    if (std::optional<S> s = Read(b.data())) return std::move(*s);
    return vx::fail(Fixed::Undefined);
}

}  // namespace vxpy
