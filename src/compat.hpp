// Every difference between the supported CPython versions (3.8 to 3.13) that
// this module depends on lives here, so the rest of the sources read the same
// on all of them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <opcode.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03080000
#error "CPython 3.8 or later is required"
#endif

// The traceback helper is exported on every supported version, but 3.13 moved
// its declaration into the internal headers, which need Py_BUILD_CORE.
#if PY_VERSION_HEX >= 0x030D0000
// NOLINTNEXTLINE(bugprone-reserved-identifier): the interpreter's own name
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char *, const char *, int);
#endif

// 3.8's PyMODINIT_FUNC leaves the entry point's visibility to the compiler
// flags, which hide everything else in this module.
#if PY_VERSION_HEX >= 0x03090000
#define SETUP_MODINIT_FUNC PyMODINIT_FUNC
#else
#define SETUP_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// 3.12 lets a module declare that it works in interpreters that each have a
// lock of their own; before, every interpreter shared one.
#if PY_VERSION_HEX >= 0x030C0000
#define COMPAT_OWN_GIL_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define COMPAT_OWN_GIL_SLOT
#endif

namespace compat {

inline PyObject *new_ref(PyObject *object) {
    Py_INCREF(object);
    return object;
}

// The pending exception as one normalized object with its traceback
// attached (3.12 keeps it that way; earlier versions keep a triple).
inline PyObject *take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes the exception taken by take_exception() pending again (steals it).
inline void restore_exception(PyObject *value) {
    if (value == nullptr) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// The dict of an exact module object, or null for one whose __init__ never
// ran: up to 3.10 such a module has no dict at all (PyModule_GetDict would
// hand back null without an exception), from 3.11 every module has one.
inline PyObject *module_dict(PyObject *module) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyModule_GetDict(module);
#else
    PyObject **slot = _PyObject_GetDictPtr(module);
    return slot != nullptr ? *slot : nullptr;
#endif
}

// What an except clause does to the exception being handled: while it runs,
// the caught exception is the one sys.exc_info() reports, kept in the
// innermost exception-stack item (the thread's own, or that of the running
// generator or coroutine); afterwards that item's previous raw contents are
// back. The interpreter keeps one value there from 3.11, three fields before.
class ExceptClause {
public:
    explicit ExceptClause(PyObject *caught)
        : item_(PyThreadState_Get()->exc_info),
#if PY_VERSION_HEX < 0x030B0000
          saved_type_(item_->exc_type),
          saved_traceback_(item_->exc_traceback),
#endif
          saved_value_(item_->exc_value) {
#if PY_VERSION_HEX < 0x030B0000
        item_->exc_type = new_ref(reinterpret_cast<PyObject *>(Py_TYPE(caught)));
        item_->exc_traceback = PyException_GetTraceback(caught);
#endif
        item_->exc_value = new_ref(caught);
    }
    ExceptClause(const ExceptClause &) = delete;
    ExceptClause &operator=(const ExceptClause &) = delete;
    ExceptClause(ExceptClause &&) = delete;
    ExceptClause &operator=(ExceptClause &&) = delete;
    // The item is restored before anything is released: a release may run
    // code that looks at the exception being handled.
    ~ExceptClause() {
#if PY_VERSION_HEX >= 0x030B0000
        PyObject *value = item_->exc_value;
        item_->exc_value = saved_value_;
        Py_XDECREF(value);
#else
        PyObject *type = item_->exc_type;
        PyObject *value = item_->exc_value;
        PyObject *traceback = item_->exc_traceback;
        item_->exc_type = saved_type_;
        item_->exc_value = saved_value_;
        item_->exc_traceback = saved_traceback_;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
#endif
    }

private:
    _PyErr_StackItem *item_;
#if PY_VERSION_HEX < 0x030B0000
    PyObject *saved_type_;
    PyObject *saved_traceback_;
#endif
    PyObject *saved_value_;
};

// A heap type made from a PyType_Spec that should behave like a static one: no
// attributes set on it, no instances made by calling it (their fields would
// be unset).
#if PY_VERSION_HEX >= 0x030A0000
inline constexpr unsigned long kFixedTypeFlags =
    Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
inline constexpr unsigned long kFixedTypeFlags = 0;
#endif

// What a PyType_Spec cannot say before 3.9 (the dict and weak-reference
// offsets, which 3.9+ take from its members) and before 3.10 (no tp_new:
// the type would otherwise inherit object's).
inline void fix_type(PyTypeObject *type, Py_ssize_t dict_offset, Py_ssize_t weaklist_offset) {
#if PY_VERSION_HEX < 0x03090000
    type->tp_dictoffset = dict_offset;
    type->tp_weaklistoffset = weaklist_offset;
#else
    (void)dict_offset;
    (void)weaklist_offset;
#endif
#if PY_VERSION_HEX < 0x030A0000
    type->tp_new = nullptr;
#endif
    (void)type;
}

inline PyInterpreterState *current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// The body of the functions' code objects. They exist for introspection
// (inspect.signature, __code__); nothing runs them unless a caller execs one,
// and an empty body would then crash the interpreter on 3.11 and later. This
// one re-raises the active exception, which fails cleanly with
// RuntimeError("No active exception to reraise") on every version.
inline PyObject *new_stub_bytecode() {
    const char body[] = {
#if PY_VERSION_HEX >= 0x030B0000
        static_cast<char>(RESUME), 0,
#endif
        static_cast<char>(RAISE_VARARGS), 0,
    };
    return PyBytes_FromStringAndSize(body, sizeof body);
}

// The line table of that body. From 3.11 every instruction needs an entry,
// or the traceback module fails on a frame of it ("generator raised
// StopIteration"): one entry that gives both code units no location, so
// tracebacks show the frame without a line. Before 3.11 an empty table
// already means that.
inline PyObject *new_stub_linetable() {
#if PY_VERSION_HEX >= 0x030B0000
    const char no_location = static_cast<char>(0x80 | (15 << 3) | (2 - 1));
    return PyBytes_FromStringAndSize(&no_location, 1);
#else
    return PyBytes_FromStringAndSize("", 0);
#endif
}

// A code object that carries names and a first line, for introspection.
inline PyObject *new_code(int flags, PyObject *varnames, PyObject *filename, PyObject *name,
                          PyObject *qualname, int firstlineno, PyObject *bytecode,
                          PyObject *linetable, PyObject *empty_bytes, PyObject *empty_tuple) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
#if PY_VERSION_HEX >= 0x030C0000
    PyCodeObject *code = PyUnstable_Code_NewWithPosOnlyArgs(
        0, 0, 0, nlocals, 0, flags, bytecode, empty_tuple, empty_tuple, varnames, empty_tuple,
        empty_tuple, filename, name, qualname, firstlineno, linetable, empty_bytes);
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 raises a stack size of 0 to 1; the body needs none.
    if (code != nullptr) {
        code->co_stacksize = 0;
    }
#endif
#elif PY_VERSION_HEX >= 0x030B0000
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        0, 0, 0, nlocals, 0, flags, bytecode, empty_tuple, empty_tuple, varnames, empty_tuple,
        empty_tuple, filename, name, qualname, firstlineno, linetable, empty_bytes);
#else
    (void)qualname;
    (void)empty_bytes;  // no exception table before 3.11
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        0, 0, 0, nlocals, 0, flags, bytecode, empty_tuple, empty_tuple, varnames, empty_tuple,
        empty_tuple, filename, name, firstlineno, linetable);
    // Up to 3.10 the constructor ORs CO_NOFREE into the flags; callers see
    // co_flags, so put back exactly what was asked for.
    if (code != nullptr) {
        code->co_flags = flags;
    }
#endif
    return reinterpret_cast<PyObject *>(code);
}

// The version tag of a dict: it changes with every change to the dict, so a
// lookup cached under it stays valid while it stands. 0 means "unknown" and
// disables caching. Deprecated from 3.12 but still maintained through 3.13.
inline std::uint64_t dict_version(PyObject *dict) {
#if PY_VERSION_HEX >= 0x030E0000
    (void)dict;
    return 0;
#else
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
#endif
}

// obj.name(...) without making a bound method where the interpreter can
// avoid it (3.9 and later).
inline PyObject *call_method(PyObject *obj, PyObject *name) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    return PyObject_CallMethodObjArgs(obj, name, nullptr);
#endif
}

inline PyObject *call_method(PyObject *obj, PyObject *name, PyObject *arg) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject *args[2] = {obj, arg};
    return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#else
    return PyObject_CallMethodObjArgs(obj, name, arg, nullptr);
#endif
}

inline PyObject *call_one_arg(PyObject *callable, PyObject *arg) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallOneArg(callable, arg);
#else
    PyObject *args[1] = {arg};
    return _PyObject_Vectorcall(callable, args, 1, nullptr);
#endif
}

inline PyObject *call_no_args(PyObject *callable) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_CallNoArgs(callable);
#else
    return _PyObject_Vectorcall(callable, nullptr, 0, nullptr);
#endif
}

inline PyObject *call_two_args(PyObject *callable, PyObject *first, PyObject *second) {
    PyObject *args[2] = {first, second};
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, 2, nullptr);
#else
    return _PyObject_Vectorcall(callable, args, 2, nullptr);
#endif
}

}  // namespace compat
