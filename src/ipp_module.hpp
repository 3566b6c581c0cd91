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

// Adds BusListener where this build has libdbus (ipp_module_watch.cpp).
int add_watch_types(PyObject *module);

}  // namespace ipp_module

// The jobs' docstrings, for the module's method table.
#define IPP_SUBMIT_DOC \
    "submit(queue, document, *, title=\"Untitled\", options=(), document_format=None,\n" \
    "       timeout=10.0, idle_timeout=30.0, credentials=None)\n--\n\n" \
    "Creates a job on the scheduler's queue (Create-Job) and streams document to it\n" \
    "(Send-Document, chunked). document is a file descriptor to read, a bytes-like\n" \
    "object, or a binary file object (readinto or read). options is a sequence of\n" \
    "option texts, parsed as lp -o parses them, and (name, value) pairs; later ones win.\n" \
    "credentials is (user, password), sent as Basic authentication. Each step waits\n" \
    "at most timeout seconds, each piece of the document idle_timeout. A job made but\n" \
    "not whole is cancelled. Returns a dict: job_id (0: none made), server, user,\n" \
    "step, status (the refusing IPP status, 0 when made), message, http_status,\n" \
    "authenticate, unsupported (the refused attributes), read_error (errno),\n" \
    "cancelled. Raises OSError when the scheduler cannot be reached or answers\n" \
    "no IPP, TimeoutError when it does not answer in time."

#define IPP_REQUEST_DOC \
    "request(operation, attributes=(), *, uri=None, timeout=10.0)\n--\n\n" \
    "Sends one IPP request: to the scheduler the CUPS tools would ask now, or to the\n" \
    "printer at uri (ipp, ipps, http, https; the ipp backend's ?options dropped).\n" \
    "attributes are (name, syntax, value or list of values) in the operation group, or\n" \
    "(group tag, name, syntax, values) in another (6: subscription attributes);\n" \
    "syntax one of keyword, name, text, uri, integer, enum, boolean, mimeMediaType;\n" \
    "requesting-user-name is added. Returns (status, groups): the IPP status code and\n" \
    "a list of (group tag, {name: [values]}). Raises as submit() does."

#define JOB_METHODS                                                                              \
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ipp_module::submit)), \
     METH_VARARGS | METH_KEYWORDS, IPP_SUBMIT_DOC},                                       \
        {"request",                                                                              \
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ipp_module::request)),      \
         METH_VARARGS | METH_KEYWORDS, IPP_REQUEST_DOC},

