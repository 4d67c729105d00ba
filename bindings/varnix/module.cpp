// The module: its classes and functions, bound in registration order.
#include "classes.hpp"
#include "stats/gmp_reserve.hpp"

namespace vxpy {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "varnix", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Sets the attribute and appends its name to __all__ (created on first use).
bool add_name(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const bool ok = text && PyList_Append(all, text) == 0 &&
                    PyObject_SetAttrString(module, name, value) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    return ok;
}

bool add_class(PyObject* module, ClassDef& def) {
    PyTypeObject* type = build_type(def);
    return type && add_name(module, def.name, reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef& def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    PyObject* fn = module_name ? PyCFunction_NewEx(&def, module, module_name) : nullptr;
    PyObject* name = fn ? PyObject_GetAttrString(fn, "__name__") : nullptr;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name, nullptr) : nullptr;
    const bool ok = text && add_name(module, text, fn);
    Py_XDECREF(name);
    Py_XDECREF(fn);
    Py_XDECREF(module_name);
    return ok;
}

PyObject* init() {
    // The module keeps its classes in process-wide statics, so it is
    // initialised once per process.
    static bool initialised = false;
    if (initialised) {
        PyErr_SetString(PyExc_ImportError,
                        "varnix can be initialised only once per interpreter process");
        return nullptr;
    }
    // GMP's memory functions are this module's (the companion uses no GMP);
    // each thread that calls in holds GMP's reserve.
    vx::install_gmp_memory();
    set_thread_step(&vx::reserve_gmp_for_thread);
    if (!prepare_thread_slow()) return nullptr;
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    ClassDef* classes[] = {
        &class_of<vx::SumF64>(),
        &class_of<vx::SumF32>(),
        &class_of<vx::FastSumF64>(),
        &class_of<vx::DotF64>(),
        &class_of<vx::MomentsF64>(),
        &class_of<vx::Moments4F64>(),
        &class_of<vx::CovF64>(),
        &class_of<vx::WeightedMomentsF64>(),
        &class_of<vx::PnMomentsF64>(),
        &class_of<vx::CovMatrixF64>(),
        &class_of<vx::HistogramF64>(),
        &class_of<vx::ExtremaF64>(),
        &class_of<vx::SumMap>(),
        &class_of<vx::MomentsMap>(),
        &class_of<vx::ReplicatedSum>(),
        &class_of<vx::DeltasSum>(),
    };
    for (ClassDef* def : classes) {
        if (!add_class(module, *def)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (!add_function(module, dot_function)) {
        Py_DECREF(module);
        return nullptr;
    }
    initialised = true;
    return module;
}

}  // namespace

}  // namespace vxpy

PyMODINIT_FUNC PyInit_varnix(void) { return vxpy::init(); }
