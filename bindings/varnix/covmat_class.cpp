// CovMatrixF64: the exact covariance matrix of d explanatory variables and a
// response, with covariance and the fast and exact regressions.
#include "classes.hpp"
#include "matrix/regression.hpp"
#include "receipt/receipt.hpp"

namespace vxpy {

namespace {

using vx::CovMatrixF64;
using vx::Expected;
using vx::Stat;

// A dimension the header cannot hold is an OverflowError, like any other
// integer argument out of range; a state too large for memory a MemoryError.
Expected<CovMatrixF64, Pending> construct(std::uint64_t d) {
    auto m = vx::try_make_covmat(d);
    if (m) return std::move(m).value();
    PyErr_SetString(m.error() == vx::DimError::HeaderOverflow ? PyExc_OverflowError
                                                              : PyExc_MemoryError,
                    vx::error_text(m.error()));
    return vx::fail(Pending{});
}

// Runs the interpreter's signal handlers between elimination steps: Ctrl-C
// stops a long exact solve with KeyboardInterrupt (the object is only read).
// A solve whose next row would not fit in memory stops with MemoryError.
bool signal_raised(void*) { return PyErr_CheckSignals() != 0; }

Expected<Stat<std::vector<double>>, Pending> regression_exact(const CovMatrixF64& m) {
    auto r = vx::try_regression_exact(m, {&signal_raised, nullptr});
    if (!r && r.error() == vx::Stopped::NoMemory) PyErr_NoMemory();
    if (!r) return vx::fail(Pending{});
    return std::move(r).value();
}

using T = Table<CovMatrixF64, "CovMatrixF64">;

PyMethodDef covmat_methods[] = {
    T::def<"count($self)\n--\n\n", pick<std::uint64_t(const CovMatrixF64&)>(&vx::count)>(),
    T::def<"add($self, x, y)\n--\n\n",
           pick<void(CovMatrixF64&, std::span<const double>, double)>(&vx::add)>(),
    T::def<"merge($self, o)\n--\n\n", pick<void(CovMatrixF64&, const CovMatrixF64&)>(&vx::merge)>(),
    T::def<"covariance($self, i, j)\n--\n\n",
           pick<Stat<double>(const CovMatrixF64&, std::uint64_t, std::uint64_t)>(&vx::try_covariance)>(),
    T::def<"regression($self)\n--\n\n", &vx::try_regression>(),
    T::def<"regression_exact($self)\n--\n\n"
           "Exact tier: correctly rounded coefficients \xe2\x80\x94 the normal equations are\n"
           "solved in exact integer arithmetic and each coefficient rounded once.\n"
           "Bit-identical on any machine by mathematical definition.",
           &regression_exact>(),
    T::def<"sub($self, o)\n--\n\n"
           "Exactly remove a previously merged contribution (downdating /\n"
           "unlearning). All-or-nothing; raises on dimension mismatch, on\n"
           "non-finite-flagged subtrahends, or on count underflow.",
           &vx::try_sub>(),
    T::def<"encode($self)\n--\n\n", pick<std::vector<std::uint8_t>(const CovMatrixF64&)>(&vx::encode)>(),
    T::def<"decode(b)\n--\n\n", &vx::decode_covmat>(),
    T::def<"state_hash($self)\n--\n\n", &vx::state_hash<CovMatrixF64>>(),
    {},
};

}  // namespace

template <>
ClassDef& class_of<CovMatrixF64>() {
    static ClassDef def = T::make<"CovMatrixF64(d)\n--\n\n", &construct>(covmat_methods);
    return def;
}

}  // namespace vxpy
