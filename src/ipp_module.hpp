// What the Python faces of the IPP client share: texts, dict stores, and
// the interpreter's side of the client's waits.
#pragma once

#include "ipp_core.hpp"
#include "ref.hpp"

#include <cstring>

namespace ipp_module {

// Texts from the network and the environment keep bytes that are not UTF-8
// as surrogates.
inline PyObject *text(const char *value) {
    return PyUnicode_DecodeUTF8(value, static_cast<Py_ssize_t>(std::strlen(value)),
                                "surrogateescape");
}

// Sets key to value in dict, taking over the new reference value; false
// (with the exception set) when value is null or the store fails.
inline bool put(PyObject *dict, const char *key, PyObject *value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// The interpreter's side of the IPP client's waits: its lock is released
// while the client waits, and taken back every 50 ms to run the signal
// handlers, so that one that raises (Ctrl-C) ends the wait.
inline void release_lock(void *context) {
    *static_cast<PyThreadState **>(context) = PyEval_SaveThread();
}
inline void acquire_lock(void *context) {
    PyEval_RestoreThread(*static_cast<PyThreadState **>(context));
}
inline bool signalled(void * /*context*/) { return PyErr_CheckSignals() != 0; }

// The jobs' functions (ipp_module_jobs.cpp).
PyObject *submit(PyObject *module, PyObject *args, PyObject *kwargs);
PyObject *request(PyObject *module, PyObject *args, PyObject *kwargs);

}  // namespace ipp_module

#define JOB_METHODS                                                                              \
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ipp_module::submit)), \
     METH_VARARGS | METH_KEYWORDS, ipp_module_submit_doc},                                       \
        {"request",                                                                              \
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ipp_module::request)),      \
         METH_VARARGS | METH_KEYWORDS, ipp_module_request_doc},

extern const char ipp_module_submit_doc[];
extern const char ipp_module_request_doc[];
