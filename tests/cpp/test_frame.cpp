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
double broken(double) { throw std::runtime_error("invariant broken"); }

PyMethodDef functions[] = {
    vxpy::function_def<"sizes(b, key)\n--\n\n", &sizes>(),
    vxpy::function_def<"limited(x)\n--\n\n", &limited>(),
    vxpy::function_def<"allocate(x)\n--\n\n", &allocate>(),
    vxpy::function_def<"broken(x)\n--\n\n", &broken>(),
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

TEST(Frame, UnreachedKindsAndFailures) {
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
)py"));
}

}  // namespace
