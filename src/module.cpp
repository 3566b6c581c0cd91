// The extension module "setup": its definition, the creation step that makes
// (or hands back) the one module object of the process, and the execution
// step that fills its namespace.
#include "probes.hpp"
#include "version.hpp"

#include <initializer_list>

#ifndef SETUP_BUILT_FOR_MAJOR
#define SETUP_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#define SETUP_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace setup_module {

namespace {

constexpr const char kInitEntry[] = "init setup";

// ---------------------------------------------------------------- creation

int copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from, const char *to,
                        bool store_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (!store_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject *create_module(PyObject *spec, PyModuleDef * /*definition*/) {
    ensure_state();
    State &st = state();
    const long long interpreter = PyInterpreterState_GetID(compat::current_interpreter());
    if (interpreter == -1) {
        return nullptr;
    }
    if (st.owner_interpreter == -1) {
        st.owner_interpreter = interpreter;
    } else if (st.owner_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (st.held_module) {
        return compat::new_ref(st.held_module.get());
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---------------------------------------------------------------- execution

int check_version() {
    char built[5];
    PyOS_snprintf(built, sizeof built, "%d.%d", SETUP_BUILT_FOR_MAJOR, SETUP_BUILT_FOR_MINOR);
    const char *running = Py_GetVersion();
    if (version_matches(built, running)) {
        return 0;
    }
    char running_short[5];
    short_version(running, running_short);
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built, "setup", running_short);
    return PyErr_WarnEx(nullptr, message, 1);
}

int make_internal_constants() {
    State &st = state();
    if (!st.empty_tuple && !(st.empty_tuple = Ref::steal(PyTuple_New(0)))) {
        return -1;
    }
    if (!st.empty_bytes && !(st.empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0)))) {
        return -1;
    }
    if (!st.empty_str && !(st.empty_str = Ref::steal(PyUnicode_FromStringAndSize("", 0)))) {
        return -1;
    }
    if (!st.stub_bytecode && !(st.stub_bytecode = Ref::steal(compat::new_stub_bytecode()))) {
        return -1;
    }
    if (!st.stub_linetable && !(st.stub_linetable = Ref::steal(compat::new_stub_linetable()))) {
        return -1;
    }
    return function_type() != nullptr ? 0 : -1;
}

// Registers the module under its plain name too, unless that name is taken.
// Records whether it did, so that a failed initialisation can take back
// exactly what it added.
int register_plain_name(PyObject *module, bool &added) {
    PyObject *modules = PyImport_GetModuleDict();
    const int taken = PySequence_Contains(modules, str(S::setup));
    if (taken != 0) {
        return taken < 0 ? -1 : 0;
    }
    if (PyObject_SetItem(modules, str(S::setup), module) < 0) {
        return -1;
    }
    added = true;
    return 0;
}

void unregister_plain_name(PyObject *module) {
    Ref pending = Ref::steal(compat::take_exception());
    PyObject *modules = PyImport_GetModuleDict();
    Ref entry = Ref::steal(PyObject_GetItem(modules, str(S::setup)));
    if (entry.get() == module && PyObject_DelItem(modules, str(S::setup)) < 0) {
        PyErr_WriteUnraisable(module);
    }
    PyErr_Clear();
    compat::restore_exception(pending.release());
}

int fetch_builtin(S name, Ref &slot) {
    Ref value = Ref::steal(PyObject_GetAttr(state().builtins.get(), str(name)));
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", str(name));
        return -1;
    }
    slot = std::move(value);
    return 0;
}

int make_codes() {
    State &st = state();
    for (int i = 0; i < 3; ++i) {
        if (!st.codes[i] && !(st.codes[i] = Ref::steal(new_code(kProbes[i])))) {
            return -1;
        }
    }
    return 0;
}

// import <module_name>, or from <module_name> import <names...>, at the
// given level, binding into the namespace. The import system is called
// directly, so a replaced builtins.__import__ plays no part.
int import_into(PyObject *ns, S module_name, std::initializer_list<S> names, int level) {
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) {
        return -1;
    }
    Py_ssize_t i = 0;
    for (S name : names) {
        PyList_SET_ITEM(fromlist.get(), i++, compat::new_ref(str(name)));
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return -1;
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(str(module_name), ns, locals.get(),
                                                               fromlist.get(), level));
    if (!imported) {
        return -1;
    }
    if (names.size() == 0) {
        return PyDict_SetItem(ns, str(module_name), imported.get());
    }
    for (S name : names) {
        Ref value = Ref::steal(PyObject_GetAttr(imported.get(), str(name)));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", str(name));
            }
            return -1;
        }
        if (PyDict_SetItem(ns, str(name), value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// Execution steps 5 to 14. Returns 0, or the source line that the failing
// step reports in its traceback entry.
int fill_namespace(PyObject *module, PyObject *ns, bool &added_plain_name) {
    State &st = state();
    PyObject *builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) {
        return 1;
    }
    st.builtins = Ref::borrow(builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0 || make_constants() < 0 ||
        register_plain_name(module, added_plain_name) < 0 ||
        fetch_builtin(S::OSError, st.os_error) < 0 || fetch_builtin(S::zip, st.zip) < 0 ||
        make_pairs() < 0 || make_codes() < 0 || import_into(ns, S::platform, {}, 0) < 0) {
        return 1;
    }
    if (import_into(ns, S::os, {S::path, S::environ}, 0) < 0) {
        return 2;
    }
    if (import_into(ns, S::call, {S::call, S::Timeouts}, 1) < 0) {
        return 4;
    }
    for (int i = 0; i < 3; ++i) {
        const FunctionDef &definition = kProbes[i];
        Ref function = Ref::steal(new_function(definition, st.codes[i].get(), ns));
        if (!function || PyDict_SetItem(ns, str(definition.name), function.get()) < 0) {
            return definition.first_line;
        }
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(ns, str(S::test), test.get()) < 0) {
        return 1;
    }
    return 0;
}

// Initialisation gives up: nothing stays held, and the import fails with an
// exception even if the failing step left none.
int give_up() {
    State &st = state();
    st.held_module.reset();
    st.held_module_state = nullptr;  // the module's own again, freed with it
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, kInitEntry);
    }
    return -1;
}

// Handing the held module back from the creation step makes the interpreter
// drop its per-module state pointer (without freeing the block) and allocate
// a new block before this step runs, even for a state size of 0. The
// dropped block is freed here, so re-imports do not grow the process.
void reclaim_module_state(PyObject *module) {
    State &st = state();
    void *current = PyModule_GetState(module);
    if (current != st.held_module_state) {
        PyMem_Free(st.held_module_state);
        st.held_module_state = current;
    }
}

int exec_module(PyObject *module) {
    ensure_state();
    State &st = state();
    if (st.held_module) {
        if (st.held_module.get() == module) {
            reclaim_module_state(module);
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'setup' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    // Held before anything that can run Python code: the version warning may
    // reach a showwarning hook that imports this module again, and that
    // import must get this very object, not fill a second one.
    st.held_module = Ref::borrow(module);
    st.held_module_state = PyModule_GetState(module);
    if (check_version() < 0 || make_internal_constants() < 0) {
        return give_up();
    }
    bool added_plain_name = false;
    const int failed_line = fill_namespace(module, PyModule_GetDict(module), added_plain_name);
    if (failed_line == 0) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, kInitEntry);
    }
    add_traceback(kInitEntry, failed_line);
    // A later import makes a new module object; an entry "setup" left
    // pointing at this abandoned one would shadow it for pickle and anyone
    // else who looks the module up by that name.
    if (added_plain_name) {
        unregister_plain_name(module);
    }
    return give_up();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "setup",
    nullptr,
    0,
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace setup_module

SETUP_MODINIT_FUNC PyInit_setup(void) { return PyModuleDef_Init(&setup_module::module_definition); }
