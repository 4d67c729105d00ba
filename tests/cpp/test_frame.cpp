// The method frame inside an embedded interpreter: the argument kinds and failures no class of the module
// reaches (subclasses of bytes and str, a limit error type, bad_alloc, and a C++ exception other than bad_alloc
// and the assertion failure).
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "frame.hpp"

enum class Limit { Reached };
const char* error_text(Limit) { return "limit reached"; }
template <>
inline constexpr bool vxpy::is_limit_error<Limit> = true;

namespace {

std::vector<std::uint64_t> sizes(std::span<const std::uint8_t> b, std::string_view key) {
    return {b.size(), key.size()};
}
vx::Expected<std::monostate, Limit> limited(double x) {
    if (x < 0) return vx::fail(Limit::Reached);
    return std::monostate{};
}
double allocate(double) { throw std::bad_alloc(); }
double four(double a, double b, double c, double d) { return a + b + c + d; }
double broken(double) { throw std::runtime_error("invariant broken"); }

PyMethodDef functions[] = {
    vxpy::function_def<"sizes(b, key)\n--\n\n", &sizes>(),
    vxpy::function_def<"limited(x)\n--\n\n", &limited>(),
    vxpy::function_def<"allocate(x)\n--\n\n", &allocate>(),
    vxpy::function_def<"broken(x)\n--\n\n", &broken>(),
    vxpy::function_def<"four(a, bb, ccc, d)\n--\n\n", &four>(),
    {},
};

// Runs Python statements with the functions above in scope; whether they ran through (an exception that
// escapes is printed with its traceback).
bool run(const char* code) {
    if (!Py_IsInitialized()) Py_Initialize();
    PyObject* main = PyImport_AddModule("__main__");  // borrowed, as its dict
    PyModule_AddFunctions(main, functions);
    PyObject* globals = PyModule_GetDict(main);
    PyObject* compiled = Py_CompileString(code, "<frame test>", Py_file_input);
    PyObject* result = compiled ? PyEval_EvalCode(compiled, globals, globals) : nullptr;
    const bool ran = result != nullptr;
    if (!ran) PyErr_Print();
    Py_XDECREF(result);
    Py_XDECREF(compiled);
    return ran;
}

TEST(Frame, UnreachedKindsFailuresAndMissingArguments) {
    EXPECT_TRUE(run(R"py(
def error(call):
    try:
        call()
    except BaseException as e:
        return type(e).__name__, isinstance(e, Exception), str(e)

class Bytes(bytes): pass
class Str(str): pass

assert sizes(Bytes(b"abc"), Str("h\u00e9")) == [3, 3] and limited(0.0) is None
assert error(lambda: limited(-1.0)) == ("OverflowError", True, "limit reached")
assert error(lambda: allocate(1.0))[:2] == ("MemoryError", True)
assert error(lambda: broken(1.0)) == ("PanicException", False, "invariant broken")  # escapes `except Exception`

# each subset of the parameters missing: the message names exactly those, in order
import itertools
names = ["a", "bb", "ccc", "d"]
for given in itertools.product([False, True], repeat=4):
    kwargs = {n: 1.0 for n, g in zip(names, given) if g}
    gone = [f"'{n}'" for n, g in zip(names, given) if not g]
    listed = " and ".join(gone) if len(gone) < 3 else ", ".join(gone[:-1]) + ", and " + gone[-1]
    want = f"four() missing {len(gone)} required positional argument{'s' * (len(gone) > 1)}: {listed}"
    assert error(lambda: four(**kwargs)) == (("TypeError", True, want) if gone else None), (given, want)
    if gone == ["'d'"]:
        assert error(lambda: four(1.0, 1.0, 1.0)) == ("TypeError", True, want)
assert four(1.0, 2.0, ccc=3.0, d=4.0) == 10.0
)py"));
    // The binder reads no slot past the parameters: with the slot after the fourth null, a call missing only 'd'
    // still names only 'd'.
    PyObject* one = PyFloat_FromDouble(1.0);
    PyObject *args[] = {one, one, one}, *out[vxpy::kMaxParams + 1] = {};
    EXPECT_FALSE(vxpy::bind_slow(vxpy::Wrapper<vxpy::ModuleOwner, "four(a, bb, ccc, d)\n--\n\n", &four>::site,
                                 args, 3, nullptr, out));
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* text = PyObject_Str(value);
    EXPECT_STREQ(PyUnicode_AsUTF8AndSize(text, nullptr), "four() missing 1 required positional argument: 'd'");
    for (PyObject* o : {one, type, value, traceback, text}) Py_XDECREF(o);
}

}  // namespace
