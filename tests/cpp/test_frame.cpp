// The method frame inside an embedded interpreter: every argument and
// result kind, including those no class of the module uses yet, and the
// mapping of C++ failures to Python exceptions.
#include <gtest/gtest.h>

#include <stdexcept>

#include "assertion.hpp"
#include "frame.hpp"

namespace {

using vxpy::Fixed;
using vxpy::function_def;

std::uint64_t key_size(std::string_view key) { return key.size(); }
std::uint64_t index(std::uint64_t i) { return i; }
float narrow(float x) { return x; }
bool positive(double x) { return x > 0; }
std::pair<double, double> pair(double a, double b) { return {a, b}; }
std::vector<double> halves(std::span<const double> xs) {
    std::vector<double> out;
    for (double x : xs) out.push_back(x / 2);
    return out;
}
std::vector<std::uint64_t> sizes(std::span<const std::uint8_t> b, std::string_view key) {
    return {b.size(), key.size()};
}
vx::Expected<double, Fixed> edges(double x) {
    if (x < 0) return vx::fail(Fixed::BadEdges);
    return x;
}
std::optional<double> maybe(double x) {
    if (x < 0) return std::nullopt;
    return x;
}
double allocate(double) { throw std::bad_alloc(); }
double broken(double) { throw std::runtime_error("invariant broken"); }
void lengths(std::span<const double> xs, std::span<const double> ys) {
    vx::assert_equal(xs.size(), ys.size(), "lengths differ");
}

PyMethodDef functions[] = {
    function_def<"key_size(key)\n--\n\n", &key_size>(),
    function_def<"index(i)\n--\n\n", &index>(),
    function_def<"narrow(x)\n--\n\n", &narrow>(),
    function_def<"positive(x)\n--\n\n", &positive>(),
    function_def<"pair(a, b)\n--\n\n", &pair>(),
    function_def<"halves(xs)\n--\n\n", &halves>(),
    function_def<"sizes(b, key)\n--\n\n", &sizes>(),
    function_def<"edges(x)\n--\n\n", &edges>(),
    function_def<"maybe(x)\n--\n\n", &maybe>(),
    function_def<"allocate(x)\n--\n\n", &allocate>(),
    function_def<"broken(x)\n--\n\n", &broken>(),
    function_def<"lengths(xs, ys)\n--\n\n", &lengths>(),
};

// Runs Python statements with the functions above in scope; returns the
// text of the exception that escaped, or "" when the code ran through.
std::string run(const char* code) {
    PyObject* globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    for (PyMethodDef& def : functions) {
        PyObject* fn = PyCFunction_NewEx(&def, nullptr, nullptr);
        PyDict_SetItemString(globals, def.ml_name, fn);
        Py_DECREF(fn);
    }
    std::string error;
    PyObject* compiled = Py_CompileString(code, "<frame test>", Py_file_input);
    PyObject* result = compiled ? PyEval_EvalCode(compiled, globals, globals) : nullptr;
    if (!result) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject* text = value ? PyObject_Str(value) : nullptr;
        error = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : "unprintable error";
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        if (error.empty()) error = "assertion failed";
    }
    Py_XDECREF(result);
    Py_XDECREF(compiled);
    Py_DECREF(globals);
    return error;
}

class Frame : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) Py_Initialize();
    }
};

TEST_F(Frame, ArgumentKinds) {
    EXPECT_EQ(run(R"py(
def error(call):
    try:
        call()
    except BaseException as e:
        return type(e).__name__, str(e)

assert key_size("h\u00e9llo") == 6 and key_size(key="") == 0
assert error(lambda: key_size(1)) == ("TypeError", "argument 'key': 'int' object cannot be converted to 'PyString'")
assert error(lambda: key_size("\ud800"))[0] == "UnicodeEncodeError"
class Str(str): pass
assert key_size(Str("ab")) == 2

assert index(2**64 - 1) == 2**64 - 1 and index(True) == 1
class Index:
    def __index__(self): return 7
assert index(Index()) == 7
assert error(lambda: index(-1))[0] == "OverflowError"
assert error(lambda: index(2**64))[0] == "OverflowError"
assert error(lambda: index(1.5)) == ("TypeError", "argument 'i': 'float' object cannot be interpreted as an integer")

assert narrow(0.1) == 0.10000000149011612 and narrow(1e40) == float("inf") and narrow(-1e-50) == 0.0
assert narrow(2.0**-149 * 0.5) == 0.0 and narrow(2.0**-149 * 0.75) == 2.0**-149

assert sizes(b"abc", "\u20ac") == [3, 3]
assert error(lambda: sizes(bytearray(2), "k")) == ("TypeError", "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'")
assert error(lambda: sizes(b"", 5)) == ("TypeError", "argument 'key': 'int' object cannot be converted to 'PyString'")
)py"),
              "");
}

TEST_F(Frame, ResultKinds) {
    EXPECT_EQ(run(R"py(
assert positive(1.0) is True and positive(-1.0) is False
assert pair(1.5, b=-2.0) == (1.5, -2.0) and type(pair(0, 0)) is tuple
assert halves([1, 3.0, True]) == [0.5, 1.5, 0.5] and halves(()) == []
assert edges(2.0) == 2.0 and maybe(3.0) == 3.0
for call, text in ((lambda: edges(-1.0), "edges must be sorted, finite, len>=2"),
                   (lambda: maybe(-1.0), "undefined (insufficient data or invalid input)")):
    try:
        call()
        raise AssertionError("no error")
    except ValueError as e:
        assert str(e) == text
)py"),
              "");
}

TEST_F(Frame, FailuresBecomePythonExceptions) {
    EXPECT_EQ(run(R"py(
def caught(call):
    try:
        call()
    except BaseException as e:
        return e

assert type(caught(lambda: allocate(1.0))) is MemoryError
for e, text in ((caught(lambda: broken(1.0)), "invariant broken"),
                (caught(lambda: lengths([1.0], [])),
                 "assertion `left == right` failed: lengths differ\n  left: 1\n right: 0")):
    assert type(e).__name__ == "PanicException" and str(e) == text
    assert issubclass(type(e), BaseException) and not issubclass(type(e), Exception)
assert str(caught(lambda: pair(1.0))) == "pair() missing 1 required positional argument: 'b'"
assert str(caught(lambda: lengths())) == "lengths() missing 2 required positional arguments: 'xs' and 'ys'"
assert str(caught(lambda: pair(1.0, 2.0, 3.0))) == "pair() takes 2 positional arguments but 3 were given"
assert str(caught(lambda: pair(1.0, a=2.0))) == "pair() got multiple values for argument 'a'"
assert str(caught(lambda: pair(1.0, c=2.0))) == "pair() got an unexpected keyword argument 'c'"
)py"),
              "");
}

}  // namespace
