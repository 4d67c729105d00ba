// varnix_arrays._native: states of whole arrays, computed by the core and
// handed out as their encodings, which the varnix classes decode.
#include "arrays/bulk.hpp"
#include "arrays/merge_encoded.hpp"
#include "column.hpp"
#include "exact/dot.hpp"
#include "stats/moments.hpp"

namespace vxa {

namespace {

using Bytes = std::span<const std::uint8_t>;

// Errors of the byte-state functions, in the module's own words.
enum class StateError { WrongByteLength, Undefined, ExactnessLost, LengthsDiffer };

const char* error_text(StateError e) {
    switch (e) {
        case StateError::WrongByteLength: return "wrong byte length";
        case StateError::Undefined: return "undefined (insufficient data or invalid input)";
        case StateError::ExactnessLost: return "ExactnessLost";
        case StateError::LengthsDiffer: return "x and y differ in length";
    }
    return "";
}

template <class T>
using Result = vx::Expected<T, StateError>;

// One column fed to a state by the core's bulk feed; the state's encoding.
template <class S>
auto encoded(Column x, bool skip_nan) {
    S s;
    {
        Unlocked unlocked;
        vx::Feed<S> feed(s);
        for_blocks(x, skip_nan, [&](std::span<const double> v) { feed.take(v); });
        feed.finish();
    }
    return vx::encode(s);
}

Result<vx::DotBytes> dot_state(Column x, Column y, bool skip_nan) {
    if (x.size != y.size) return vx::fail(StateError::LengthsDiffer);
    vx::DotF64 d;
    {
        Unlocked unlocked;
        for_pair_blocks(x, y, skip_nan, [&](std::span<const double> a, std::span<const double> b) {
            vx::extend_from_slices(d, a, b);
        });
    }
    return vx::encode(d);
}

Result<vx::DotF64> read_dot(Bytes b) {
    if (b.size() != vx::kDotBytes) return vx::fail(StateError::WrongByteLength);
    if (auto d = vx::read_dot(b.data())) return *d;
    return vx::fail(StateError::Undefined);
}

Result<vx::DotBytes> merge_dot(Bytes a, Bytes b) {
    auto da = read_dot(a);
    if (!da) return vx::fail(da.error());
    auto db = read_dot(b);
    if (!db) return vx::fail(db.error());
    vx::merge(da.value(), db.value());
    return vx::encode(da.value());
}

Result<double> dot_value(Bytes b) {
    auto d = read_dot(b);
    if (!d) return vx::fail(d.error());
    auto v = vx::try_value(d.value());
    if (!v) return vx::fail(StateError::ExactnessLost);
    return v.value();
}

PyMethodDef functions[] = {
    vxpy::function_def<"sum(x, skipna)\n--\n\n", &encoded<vx::SumF64>>(),
    vxpy::function_def<"moments(x, skipna)\n--\n\n", &encoded<vx::MomentsF64>>(),
    vxpy::function_def<"moments4(x, skipna)\n--\n\n", &encoded<vx::Moments4F64>>(),
    vxpy::function_def<"dot_state(x, y, skipna)\n--\n\n", &dot_state>(),
    vxpy::function_def<"merge_dot(a, b)\n--\n\n", &merge_dot>(),
    vxpy::function_def<"dot_value(state)\n--\n\n", &dot_value>(),
    vxpy::function_def<"merge_extrema(a, b)\n--\n\n", &vx::merge_extrema>(),
    vxpy::function_def<"merge_histograms(a, b)\n--\n\n", &vx::merge_histograms>(),
    {},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnix_arrays._native", "", -1, functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vxa

PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&vxa::module_def); }
