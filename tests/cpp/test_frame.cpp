// The method frame inside an embedded interpreter: the argument and result
// kinds no class of the module uses yet, and C++ failures as Python errors.
#include <gtest/gtest.h>

#include <stdexcept>

#include "frame.hpp"

namespace {
enum class Limit;
}
template <>
inline constexpr bool vxpy::is_limit_error<Limit> = true;

namespace {

using vxpy::Fixed;
using vxpy::function_def;

std::vector<std::uint64_t> sizes(std::span<const std::uint8_t> b, std::string_view key, std::uint64_t i) {
    return {b.size(), key.size(), i};
}
std::pair<double, double> pair(float a, double b) { return {a, b}; }
std::vector<double> halves(std::span<const double> xs) {
    std::vector<double> out;
    for (double x : xs) out.push_back(x / 2);
    return out;
}
vx::Expected<bool, Fixed> positive(double x) {
    if (x < 0) return vx::fail(Fixed::BadEdges);
    return x > 0;
}
std::optional<double> maybe(double x) { return x < 0 ? std::nullopt : std::optional<double>(x); }
// Fails with an exception already set, as a poll of the signal handlers leaves it.
vx::Expected<vx::Expected<std::monostate, Fixed>, vxpy::Pending> checked(double x) {
    if (x < 0) {
        PyErr_SetString(PyExc_OverflowError, "set before returning");
        return vx::fail(vxpy::Pending{});
    }
    if (x > 0) return vx::Expected<std::monostate, Fixed>(vx::fail(Fixed::Undefined));
    return vx::Expected<std::monostate, Fixed>(std::monostate{});
}
enum class Limit { Reached };
const char* error_text(Limit) { return "limit reached"; }
vx::Expected<std::monostate, Limit> limited(double x) {
    if (x < 0) return vx::fail(Limit::Reached);
    return std::monostate{};
}
struct Deferred {
    std::string text;
    std::size_t size() const { return text.size(); }
    void write_to(std::uint8_t* out) const { std::copy(text.begin(), text.end(), out); }
};
Deferred deferred(std::string_view key) { return {std::string(key) + "!"}; }
double allocate(double) { throw std::bad_alloc(); }
double broken(double) { throw std::runtime_error("invariant broken"); }

PyMethodDef functions[] = {
    function_def<"sizes(b, key, i)\n--\n\n", &sizes>(),
    function_def<"pair(a, b)\n--\n\n", &pair>(),
    function_def<"halves(xs)\n--\n\n", &halves>(),
    function_def<"positive(x)\n--\n\n", &positive>(),
    function_def<"maybe(x)\n--\n\n", &maybe>(),
    function_def<"checked(x)\n--\n\n", &checked>(),
    function_def<"limited(x)\n--\n\n", &limited>(),
    function_def<"deferred(key)\n--\n\n", &deferred>(),
    function_def<"allocate(x)\n--\n\n", &allocate>(),
    function_def<"broken(x)\n--\n\n", &broken>(),
};

// Runs Python statements with the functions above in scope; returns the
// text of the exception that escaped, or "" when the code ran through.
std::string run(const char* code) {
    if (!Py_IsInitialized()) Py_Initialize();
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    for (PyMethodDef& def : functions) {
        PyObject* fn = PyCFunction_NewEx(&def, nullptr, nullptr);
        PyDict_SetItemString(globals, def.ml_name, fn);
        Py_DECREF(fn);
    }
    PyObject* compiled = Py_CompileString(code, "<frame test>", Py_file_input);
    PyObject* result = compiled ? PyEval_EvalCode(compiled, globals, globals) : nullptr;
    std::string error;
    if (!result) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject* text = value ? PyObject_Str(value) : nullptr;
        error = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : "unprintable error";
        error = error.empty() ? "assertion failed" : error;
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    Py_XDECREF(result);
    Py_XDECREF(compiled);
    Py_DECREF(globals);
    return error;
}

TEST(Frame, ArgumentAndResultKindsAndFailures) {
    EXPECT_EQ(run(R"py(
def error(call):
    try:
        call()
    except BaseException as e:
        return type(e).__name__, str(e)

class Index:
    def __index__(self): return 7
class Str(str): pass

assert sizes(b"abc", "h\u00e9llo", 2**64 - 1) == [3, 6, 2**64 - 1]
assert sizes(b"", Str("ab"), Index()) == [0, 2, 7] and sizes(i=True, key="", b=b"") == [0, 0, 1]
for call, kind, text in (
        (lambda: sizes(bytearray(2), "k", 0), "TypeError", "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: sizes(b"", 5, 0), "TypeError", "argument 'key': 'int' object cannot be converted to 'PyString'"),
        (lambda: sizes(b"", "\ud800", 0), "UnicodeEncodeError", None),
        (lambda: sizes(b"", "", 1.5), "TypeError", "argument 'i': 'float' object cannot be interpreted as an integer"),
        (lambda: sizes(b"", "", -1), "OverflowError", None),
        (lambda: sizes(b"", "", 2**64), "OverflowError", None),
        (lambda: positive(-1.0), "ValueError", "edges must be sorted, finite, len>=2"),
        (lambda: maybe(-1.0), "ValueError", "undefined (insufficient data or invalid input)"),
        (lambda: checked(-1.0), "OverflowError", "set before returning"),
        (lambda: checked(1.0), "ValueError", "undefined (insufficient data or invalid input)"),
        (lambda: limited(-1.0), "OverflowError", "limit reached"),
        (lambda: allocate(1.0), "MemoryError", None),
        (lambda: broken(1.0), "PanicException", "invariant broken")):
    got = error(call)
    assert got[0] == kind and (text is None or got[1] == text), got

assert pair(0.1, b=-2.0) == (0.10000000149011612, -2.0) and pair(1e40, 0)[0] == float("inf")
assert pair(2.0**-150, 0)[0] == 0.0 and pair(2.0**-149 * 0.75, 0)[0] == 2.0**-149
assert halves([1, 3.0, True]) == [0.5, 1.5, 0.5] and halves(()) == []
assert limited(0.0) is None and deferred("h\u00e9") == b"h\xc3\xa9!" and deferred("") == b"!"
assert checked(0.0) is None and positive(1.0) is True and positive(0.0) is False and maybe(3.0) == 3.0
try:
    broken(1.0)
except Exception:
    raise AssertionError("the panic exception must not be an Exception")
except BaseException:
    pass
)py"),
              "");
}

}  // namespace
