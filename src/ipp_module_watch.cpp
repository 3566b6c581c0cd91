// The Python face of the D-Bus notifier's listener: BusListener, a heap type
// (the module may be loaded into several interpreters). The rules (when a
// watch listens, when it asks) live in vellomar/printing/cups/watch.py.
#include "ipp_module.hpp"
#include "ipp_notifications.hpp"

#include <cmath>
#include <cstdlib>
#include <new>

namespace ipp_module {

namespace {

struct BusObject {
    PyObject_HEAD
    ipp::BusListener *listener;
};

void destroy(ipp::BusListener *listener) {
    if (listener != nullptr) {
        listener->~BusListener();
        std::free(static_cast<void *>(listener));
    }
}

bool read_seconds(PyObject *given, double &seconds) {
    seconds = PyFloat_AsDouble(given);
    if (seconds == -1 && PyErr_Occurred()) {
        return false;
    }
    if (std::isnan(seconds) || seconds < 0) {
        PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds, 0 or more");
        return false;
    }
    seconds = seconds > 86400.0 ? 86400.0 : seconds;
    return true;
}

PyObject *bus_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static char address_keyword[] = "address";
    static char timeout_keyword[] = "timeout";
    static char *keywords_accepted[] = {address_keyword, timeout_keyword, nullptr};
    const char *address = nullptr;
    PyObject *timeout_given = nullptr;
    double timeout = 5.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|O:BusListener", keywords_accepted, &address,
                                     &timeout_given) ||
        (timeout_given != nullptr && !read_seconds(timeout_given, timeout))) {
        return nullptr;
    }
    // calloc and placement new: the module links no C++ runtime.
    void *memory = std::calloc(1, sizeof(ipp::BusListener));
    if (memory == nullptr) {
        return PyErr_NoMemory();
    }
    auto *listener = new (memory) ipp::BusListener();
    char error[ipp::kBusErrorSize] = {};
    PyThreadState *saved = nullptr;
    const ipp::Caller caller{release_lock, acquire_lock, signalled, &saved};
    const ipp::BusListener::Opened opened = listener->open(address, timeout, &caller, error);
    if (opened != ipp::BusListener::Opened::ok) {
        destroy(listener);
        if (opened == ipp::BusListener::Opened::failed) {
            PyErr_Format(PyExc_ConnectionError, "the D-Bus system bus at %s: %s", address, error);
        }
        return nullptr;  // interrupted: the signal handler's exception
    }
    auto *self = reinterpret_cast<BusObject *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        destroy(listener);
        return nullptr;
    }
    self->listener = listener;
    return reinterpret_cast<PyObject *>(self);
}

void bus_dealloc(PyObject *object) {
    auto *self = reinterpret_cast<BusObject *>(object);
    PyTypeObject *type = Py_TYPE(object);
    destroy(self->listener);
    self->listener = nullptr;
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject *bus_wait(PyObject *object, PyObject *args) {
    auto *self = reinterpret_cast<BusObject *>(object);
    PyObject *timeout_given = nullptr;
    double timeout = 0;
    if (!PyArg_ParseTuple(args, "O:wait", &timeout_given) ||
        !read_seconds(timeout_given, timeout)) {
        return nullptr;
    }
    long heard = 0;
    char error[ipp::kBusErrorSize] = {};
    PyThreadState *saved = nullptr;
    const ipp::Caller caller{release_lock, acquire_lock, signalled, &saved};
    switch (self->listener->wait(timeout, &caller, heard, error)) {
    case ipp::BusListener::Waited::heard:
    case ipp::BusListener::Waited::quiet:
        return PyLong_FromLong(heard);
    case ipp::BusListener::Waited::interrupted:
        return nullptr;  // the signal handler's exception
    case ipp::BusListener::Waited::busy:
        PyErr_SetString(PyExc_RuntimeError, "another thread waits on this listener already");
        return nullptr;
    case ipp::BusListener::Waited::lost:
        break;
    }
    PyErr_Format(PyExc_ConnectionError, "the D-Bus system bus: %s", error);
    return nullptr;
}

PyObject *bus_close(PyObject *object, PyObject * /*unused*/) {
    reinterpret_cast<BusObject *>(object)->listener->close();
    Py_RETURN_NONE;
}

PyObject *bus_closed(PyObject *object, void * /*unused*/) {
    return PyBool_FromLong(reinterpret_cast<BusObject *>(object)->listener->is_open() ? 0 : 1);
}

PyMethodDef bus_methods[] = {
    {"wait", bus_wait, METH_VARARGS,
     "wait($self, timeout, /)\n--\n\n"
     "Waits up to timeout seconds for the scheduler's notifier signals and returns\n"
     "how many arrived (0: none). Raises ConnectionError when the bus connection\n"
     "is lost or closed. A signal whose handler raises (Ctrl-C) ends the wait\n"
     "within 0.1 s."},
    {"close", bus_close, METH_NOARGS,
     "close($self, /)\n--\n\nEnds the bus connection (a wait under way ends within 0.1 s)."},
    {nullptr, nullptr, 0, nullptr},
};

char closed_name[] = "closed";
char closed_doc[] = "Whether the connection has ended.";
char bus_doc[] =
    "BusListener(address, timeout=5.0)\n--\n\n"
    "A connection to the D-Bus system bus at address (e.g.\n"
    "unix:path=/run/dbus/system_bus_socket) that receives the signals of\n"
    "the CUPS scheduler's D-Bus notifier (interface org.cups.cupsd.Notifier).\n"
    "Registering takes at most timeout seconds; ConnectionError when it\n"
    "cannot be had.";

PyGetSetDef bus_getset[] = {
    {closed_name, bus_closed, nullptr, closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot bus_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(bus_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(bus_dealloc)},
    {Py_tp_methods, bus_methods},
    {Py_tp_getset, bus_getset},
    {Py_tp_doc, bus_doc},
    {0, nullptr},
};

PyType_Spec bus_spec = {
    "vellomar.printing.cups.ipp.BusListener",
    sizeof(BusObject),
    0,
    Py_TPFLAGS_DEFAULT,
    bus_slots,
};

}  // namespace

int add_watch_types(PyObject *module) {
    if (!ipp::bus_supported()) {
        return 0;  // without libdbus, watches ask for their events
    }
    Ref type = Ref::steal(PyType_FromSpec(&bus_spec));
    if (!type) {
        return -1;
    }
    return PyModule_AddObject(module, "BusListener", type.release()) < 0 ? -1 : 0;
}

}  // namespace ipp_module
