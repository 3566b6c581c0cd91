#include "function.hpp"

#include <structmember.h>

#include <cstddef>

namespace setup_module {

namespace {

struct ProbeFunction {
    PyObject_HEAD
    const FunctionDef *definition;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *globals;
    PyObject *code;
    PyObject *dict;         // made on first access
    PyObject *annotations;  // made on first access
    PyObject *weakrefs;
};

ProbeFunction *as_function(PyObject *self) { return reinterpret_cast<ProbeFunction *>(self); }

// Before 3.10 the type's attributes can be reassigned, so `__new__` can be
// given one that makes an instance with every field unset. Such an instance
// is refused wherever a field is needed; the getters already answer None.
PyObject *uninitialised(PyObject *self) {
    PyErr_Format(PyExc_TypeError, "this %.200s object was not made by the module",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

// A keyword dict reaches tp_call untouched (this type has no vectorcall
// entry, so the interpreter does not unpack it first); that is what lets the
// refusal name the function, as in "setup() keywords must be strings".
PyObject *call_function(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (as_function(self)->definition == nullptr) {
        return uninitialised(self);
    }
    const FunctionDef &definition = *as_function(self)->definition;
    if (definition.arguments == Arguments::none) {
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", definition.c_name);
            return nullptr;
        }
        if (PyTuple_GET_SIZE(args) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", definition.c_name,
                         PyTuple_GET_SIZE(args));
            return nullptr;
        }
    } else if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, nullptr)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", definition.c_name);
                return nullptr;
            }
        }
    }
    // The body may run arbitrary Python code; keep the namespace alive for it
    // even if the function's own reference goes away meanwhile.
    Ref globals = Ref::borrow(as_function(self)->globals);
    return definition.body(globals.get(), args, kwargs);
}

int traverse_function(PyObject *self, visitproc visit, void *arg) {
    ProbeFunction *f = as_function(self);
    Py_VISIT(Py_TYPE(self));  // each instance holds its heap type
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    return 0;
}

int clear_function(PyObject *self) {
    ProbeFunction *f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    // name, qualname and code are strings and a code object: they cannot be
    // part of a cycle, and keeping them keeps repr() and introspection safe.
    return 0;
}

void dealloc_function(PyObject *self) {
    ProbeFunction *f = as_function(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    clear_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *repr_function(PyObject *self) {
    PyObject *qualname = as_function(self)->qualname;
    if (qualname == nullptr) {
        return PyUnicode_FromFormat("<%s object at %p>", Py_TYPE(self)->tp_name, self);
    }
    return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

// Fetched through an instance, a function becomes a method bound to it, as a
// Python function does.
PyObject *bind_function(PyObject *self, PyObject *instance, PyObject * /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

// Pickled by reference: pickle finds the function again as the attribute
// __qualname__ of the module named by __module__.
PyObject *reduce_function(PyObject *self, PyObject * /*unused*/) {
    PyObject *qualname = as_function(self)->qualname;
    if (qualname == nullptr) {
        return uninitialised(self);
    }
    Py_INCREF(qualname);
    return qualname;
}

PyObject *get_none(PyObject * /*self*/, void * /*closure*/) { Py_RETURN_NONE; }

// A field of the function object: the getset tables name the field by
// member pointer, so no offsets or casts are involved.
using Field = PyObject *ProbeFunction::*;

template <Field field>
PyObject *get_field(PyObject *self, void * /*closure*/) {
    PyObject *value = as_function(self)->*field;
    return compat::new_ref(value != nullptr ? value : Py_None);
}

// Any value, None on deletion, like a Python function's __doc__ and
// __module__.
template <Field field>
int set_field(PyObject *self, PyObject *value, void * /*closure*/) {
    PyObject *&slot = as_function(self)->*field;
    Ref old = Ref::steal(slot);
    slot = compat::new_ref(value != nullptr ? value : Py_None);
    return 0;
}

// A str, never deleted, like a Python function's __name__ and __qualname__.
template <Field field, const char *attribute>
int set_str_field(PyObject *self, PyObject *value, void *closure) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    return set_field<field>(self, value, closure);
}

constexpr char kName[] = "__name__";
constexpr char kQualname[] = "__qualname__";

PyObject *get_annotations(PyObject *self, void * /*closure*/) {
    ProbeFunction *f = as_function(self);
    if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) {
        return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject *self, PyObject *value, void * /*closure*/) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    ProbeFunction *f = as_function(self);
    Ref old = Ref::steal(f->annotations);
    Py_XINCREF(value);
    f->annotations = value;
    return 0;
}

// __module__ is answered here rather than by a descriptor in the type's
// dict: a heap type keeps its own __module__ ("setup") there, which a
// descriptor for the instances' attribute would hide.
bool is_module_attribute(PyObject *name) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}

PyObject *getattro_function(PyObject *self, PyObject *name) {
    if (is_module_attribute(name)) {
        return get_field<&ProbeFunction::module>(self, nullptr);
    }
    return PyObject_GenericGetAttr(self, name);
}

int setattro_function(PyObject *self, PyObject *name, PyObject *value) {
    if (is_module_attribute(name)) {
        return set_field<&ProbeFunction::module>(self, value, nullptr);
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyGetSetDef function_getset[] = {
    {kName, get_field<&ProbeFunction::name>, set_str_field<&ProbeFunction::name, kName>, nullptr,
     nullptr},
    {kQualname, get_field<&ProbeFunction::qualname>,
     set_str_field<&ProbeFunction::qualname, kQualname>, nullptr, nullptr},
    {"__doc__", get_field<&ProbeFunction::doc>, set_field<&ProbeFunction::doc>, nullptr, nullptr},
    {"__globals__", get_field<&ProbeFunction::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&ProbeFunction::code>, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", reduce_function, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX >= 0x03090000
PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(ProbeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ProbeFunction, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#endif

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_function)},
    {Py_tp_repr, reinterpret_cast<void *>(repr_function)},
    {Py_tp_call, reinterpret_cast<void *>(call_function)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_function)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_function)},
    {Py_tp_descr_get, reinterpret_cast<void *>(bind_function)},
    {Py_tp_getattro, reinterpret_cast<void *>(getattro_function)},
    {Py_tp_setattro, reinterpret_cast<void *>(setattro_function)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
#if PY_VERSION_HEX >= 0x03090000
    {Py_tp_members, function_members},
#endif
    {0, nullptr},
};

PyType_Spec function_spec = {
    "setup.function",
    static_cast<int>(sizeof(ProbeFunction)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        compat::kFixedTypeFlags,
    function_slots,
};

}  // namespace

PyTypeObject *function_type() {
    State &st = state();
    if (!st.function_type) {
        // A heap type, made by each runtime for itself: a static type would
        // keep the first runtime's dict and method objects for the next.
        st.function_type = Ref::steal(PyType_FromSpec(&function_spec));
        if (!st.function_type) {
            return nullptr;
        }
        compat::fix_type(reinterpret_cast<PyTypeObject *>(st.function_type.get()),
                         offsetof(ProbeFunction, dict), offsetof(ProbeFunction, weakrefs));
    }
    return reinterpret_cast<PyTypeObject *>(st.function_type.get());
}

PyObject *new_code(const FunctionDef &definition) {
    State &st = state();
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(definition.varname_count)));
    if (!varnames) {
        return nullptr;
    }
    for (std::size_t i = 0; i < definition.varname_count; ++i) {
        PyObject *name = str(definition.varnames[i]);
        Py_INCREF(name);
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), name);
    }
    PyObject *name = str(definition.name);
    return compat::new_code(definition.code_flags, varnames.get(), str(S::source_path), name, name,
                            definition.first_line, st.stub_bytecode.get(), st.stub_linetable.get(),
                            st.empty_bytes.get(), st.empty_tuple.get());
}

PyObject *new_function(const FunctionDef &definition, PyObject *code, PyObject *globals) {
    ProbeFunction *f = PyObject_GC_New(ProbeFunction, function_type());
    if (f == nullptr) {
        return nullptr;
    }
    PyObject *name = str(definition.name);
    f->definition = &definition;
    f->name = compat::new_ref(name);
    f->qualname = compat::new_ref(name);
    f->module = compat::new_ref(str(S::setup));
    f->doc = compat::new_ref(Py_None);
    f->globals = compat::new_ref(globals);
    f->code = compat::new_ref(code);
    f->dict = nullptr;
    f->annotations = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace setup_module
