#include "state.hpp"

#include <new>

namespace setup_module {

namespace {

struct StringText {
    const char *text;
    bool interned;
};

constexpr StringText kStringTexts[] = {
#define SETUP_STRING_TEXT(id, text, interned) {text, interned},
    SETUP_STRINGS(SETUP_STRING_TEXT)
#undef SETUP_STRING_TEXT
};

static_assert(sizeof(kStringTexts) / sizeof(kStringTexts[0]) == static_cast<size_t>(S::count),
              "one text per string id");

}  // namespace

State *process_state = nullptr;

// Static storage rather than the heap: nothing here may need the C++
// runtime library, whose loading would dominate the module's import time.
// A later runtime's state is made over an abandoned one without running its
// destructor, whose releases would reach into freed memory.
alignas(State) unsigned char state_storage[sizeof(State)];

namespace {

// Runs once the runtime is finalised, when no Python object may be touched.
void abandon_state() { process_state = nullptr; }

}  // namespace

void ensure_state() {
    if (process_state != nullptr) {
        return;
    }
    // The runtime calls its exit functions once and forgets them, so each
    // runtime gets its own registration. Should its table (32 entries) be
    // full, the module still works in this runtime; only a runtime started
    // after this one is finalised would then find this one's state.
    (void)Py_AtExit(abandon_state);
    process_state = new (state_storage) State();
}

int make_constants() {
    State &st = state();
    if (st.constants_ready) {
        return 0;
    }
    for (int i = 0; i < static_cast<int>(S::count); ++i) {
        if (st.strings[i]) {
            continue;
        }
        const StringText &t = kStringTexts[i];
        st.strings[i] = Ref::steal(t.interned ? PyUnicode_InternFromString(t.text)
                                              : PyUnicode_FromString(t.text));
        if (!st.strings[i]) {
            return -1;
        }
    }
    if (!st.three && !(st.three = Ref::steal(PyLong_FromLong(3)))) {
        return -1;
    }
    if (!st.ten && !(st.ten = Ref::steal(PyLong_FromLong(10)))) {
        return -1;
    }
    st.constants_ready = true;
    return 0;
}

int make_pairs() {
    State &st = state();
    if (!st.success_pair) {
        st.success_pair = Ref::steal(PyTuple_Pack(2, Py_True, st.empty_str.get()));
        if (!st.success_pair) {
            return -1;
        }
    }
    if (!st.timeout_args) {
        st.timeout_args = Ref::steal(PyTuple_Pack(2, st.three.get(), st.ten.get()));
        if (!st.timeout_args) {
            return -1;
        }
    }
    return 0;
}

namespace {

// dict[name] as a new reference; null without an exception when absent.
PyObject *cached_lookup(PyObject *dict, PyObject *name, DictCache &cache) {
    const std::uint64_t version = compat::dict_version(dict);
    if (version != 0 && dict == cache.dict && version == cache.version) {
        return compat::new_ref(cache.value);
    }
    PyObject *found = PyDict_GetItemWithError(dict, name);
    if (found == nullptr) {
        return nullptr;
    }
    // Read the version after the lookup: a key's __eq__ may have changed the
    // dict meanwhile.
    cache = DictCache{dict, compat::dict_version(dict), found};
    return compat::new_ref(found);
}

}  // namespace

PyObject *get_attribute(PyObject *owner, S id) {
    PyObject *name = str(id);
    // A plain module finds such names in its own dict: its type defines no
    // attribute by these names and cannot be given one. One without a dict
    // is left to the ordinary lookup, which says what is missing.
    PyObject *dict = Py_TYPE(owner) == &PyModule_Type ? compat::module_dict(owner) : nullptr;
    if (dict != nullptr) {
        PyObject *found =
            cached_lookup(dict, name, state().attribute_caches[static_cast<int>(id)]);
        if (found != nullptr || PyErr_Occurred()) {
            return found;
        }
    }
    return PyObject_GetAttr(owner, name);
}

PyObject *lookup_global(PyObject *globals, S id) {
    PyObject *name = str(id);
    if (globals != nullptr) {
        PyObject *found =
            cached_lookup(globals, name, state().global_caches[static_cast<int>(id)]);
        if (found != nullptr || PyErr_Occurred()) {
            return found;
        }
    }
    // A held reference: the attribute lookup may run code that re-imports
    // the module after a failed initialisation and replaces the builtins.
    Ref builtins = Ref::borrow(state().builtins.get());
    PyObject *builtin = PyObject_GetAttr(builtins.get(), name);
    if (builtin == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return builtin;
}

void add_traceback(const char *function_name, int line) {
    // The entry belongs to a pending exception; with none there is nothing
    // to attach it to.
    if (!PyErr_Occurred()) {
        return;
    }
    _PyTraceback_Add(function_name, kSourcePath, line);
}

}  // namespace setup_module
