#include "probes.hpp"

namespace setup_module {

namespace {

// Each failing statement of a function reports its own source line; the line
// numbers are those of the module's Python source, which callers see in
// tracebacks.
PyObject *fail(const char *where, int line) {
    add_traceback(where, line);
    return nullptr;
}

// (False, template.format(value))
PyObject *failure_pair(S message_template, PyObject *value) {
    Ref message = Ref::steal(compat::call_method(str(message_template), str(S::format), value));
    if (!message) {
        return nullptr;
    }
    return PyTuple_Pack(2, Py_False, message.get());
}

// globals[name].attribute(), the way every collaborator is reached.
PyObject *call_global_method(PyObject *globals, S name, S attribute) {
    Ref owner = Ref::steal(lookup_global(globals, name));
    if (!owner) {
        return nullptr;
    }
    if (Py_TYPE(owner.get()) == &PyModule_Type) {
        Ref function = Ref::steal(get_attribute(owner.get(), attribute));
        return function ? compat::call_no_args(function.get()) : nullptr;
    }
    return compat::call_method(owner.get(), str(attribute));
}

PyObject *new_str_list(std::initializer_list<S> items) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (S item : items) {
        PyList_SET_ITEM(list, i++, compat::new_ref(str(item)));
    }
    return list;
}

// ---------------------------------------------------------------- is_available

constexpr const char kIsAvailable[] = "setup.is_available";

// 1 when plat is none of the supported platform names, 0 when it is one, -1
// on error. Each != goes through plat's own comparison and truth value.
int is_unsupported(PyObject *plat) {
    if (PyUnicode_CheckExact(plat)) {
        // An exact str compares by its text alone, and that cannot fail.
        return PyUnicode_Compare(plat, str(S::Darwin)) != 0 &&
               PyUnicode_Compare(plat, str(S::Linux)) != 0;
    }
    for (S supported : {S::Darwin, S::Linux}) {
        Ref differs = Ref::steal(PyObject_RichCompare(plat, str(supported), Py_NE));
        if (!differs) {
            return -1;
        }
        const int truth = PyObject_IsTrue(differs.get());
        if (truth <= 0) {
            return truth;
        }
    }
    return 1;
}

PyObject *is_available(PyObject *globals, PyObject * /*args*/, PyObject * /*kwargs*/) {
    Ref plat = Ref::steal(call_global_method(globals, S::platform, S::system));
    if (!plat) {
        return fail(kIsAvailable, 17);
    }
    const int unsupported = is_unsupported(plat.get());
    if (unsupported < 0) {
        return fail(kIsAvailable, 20);
    }
    if (unsupported) {
        PyObject *pair = failure_pair(S::platform_message, plat.get());
        return pair != nullptr ? pair : fail(kIsAvailable, 21);
    }
    Ref commands = Ref::steal(new_str_list({S::lp, S::lpoptions, S::lpstat}));
    if (!commands) {
        return fail(kIsAvailable, 24);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(commands.get()); ++i) {
        // The list never leaves this function, so its items outlive the loop.
        PyObject *command = PyList_GET_ITEM(commands.get(), i);
        // path is looked up again for every command: a caller may swap it
        // between two tests.
        Ref path = Ref::steal(lookup_global(globals, S::path));
        Ref exists = path ? Ref::steal(get_attribute(path.get(), S::exists)) : Ref();
        Ref found = exists ? Ref::steal(compat::call_one_arg(exists.get(), command)) : Ref();
        const int present = found ? PyObject_IsTrue(found.get()) : -1;
        if (present < 0) {
            return fail(kIsAvailable, 30);
        }
        if (!present) {
            PyObject *pair = failure_pair(S::command_message, command);
            return pair != nullptr ? pair : fail(kIsAvailable, 31);
        }
    }
    return compat::new_ref(state().success_pair.get());
}

// ------------------------------------------------------------ get_version_info

constexpr const char kGetVersionInfo[] = "setup.get_version_info";

int need_more_values(Py_ssize_t obtained) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", obtained,
                 obtained == 1 ? "" : "s");
    return -1;
}

int too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return -1;
}

// out, _err = result: exact lists and tuples by length, anything else by
// iterating it to exhaustion after the second item.
int unpack_pair(PyObject *result, Ref &first, Ref &second) {
    if (PyTuple_CheckExact(result) || PyList_CheckExact(result)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(result);
        if (size != 2) {
            return size > 2 ? too_many_values() : need_more_values(size);
        }
        first = Ref::borrow(PySequence_Fast_GET_ITEM(result, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(result, 1));
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(result));
    if (!iterator) {
        return -1;
    }
    Ref *targets[2] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            return PyErr_Occurred() ? -1 : need_more_values(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        return too_many_values();
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Inside the try: look up call, run it, unpack what it returns.
int run_tool(PyObject *globals, PyObject *cmd, PyObject *env, Ref &out) {
    Ref call = Ref::steal(lookup_global(globals, S::call));
    if (!call) {
        return -1;
    }
    Ref result = Ref::steal(compat::call_two_args(call.get(), cmd, env));
    if (!result) {
        return -1;
    }
    Ref err;
    return unpack_pair(result.get(), out, err);
}

// except OSError as err: return False, "Unable to collect cups info: {}".format(err)
PyObject *collect_failure() {
    Ref err = Ref::steal(compat::take_exception());
    if (!err) {
        return fail(kGetVersionInfo, 57);
    }
    compat::ExceptClause handling(err.get());
    Ref msg = Ref::steal(compat::call_method(str(S::cups_info_message), str(S::format), err.get()));
    if (!msg) {
        return fail(kGetVersionInfo, 58);
    }
    PyObject *pair = PyTuple_Pack(2, Py_False, msg.get());
    return pair != nullptr ? pair : fail(kGetVersionInfo, 59);
}

PyObject *get_version_info(PyObject *globals, PyObject * /*args*/, PyObject * /*kwargs*/) {
    Ref opts = Ref::steal(new_str_list(
        {S::version, S::api_version, S::build, S::datadir, S::serverbin, S::serverroot}));
    if (!opts) {
        return fail(kGetVersionInfo, 43);
    }
    Ref cmd = Ref::steal(new_str_list({S::cups_config}));
    if (!cmd) {
        return fail(kGetVersionInfo, 51);
    }
    // ["--" + opt for opt in opts], from prebuilt strings: the texts are the
    // same on every call.
    Ref arguments = Ref::steal(new_str_list({S::version_arg, S::api_version_arg, S::build_arg,
                                             S::datadir_arg, S::serverbin_arg, S::serverroot_arg}));
    if (!arguments || PyList_SetSlice(cmd.get(), 1, 1, arguments.get()) < 0) {
        return fail(kGetVersionInfo, 52);
    }
    Ref env = Ref::steal(call_global_method(globals, S::environ, S::copy));
    if (!env) {
        return fail(kGetVersionInfo, 53);
    }
    Ref out;
    if (run_tool(globals, cmd.get(), env.get(), out) < 0) {
        // Normalized first, as an except clause sees it.
        Ref raised = Ref::steal(compat::take_exception());
        const PyObject *caught = raised.get();
        compat::restore_exception(raised.release());
        // The entry goes on before the except clause looks, as the frame's
        // own entry would. Should making it fail under memory pressure, the
        // MemoryError that takes the OSError's place is what gets matched,
        // and propagates, instead of being reported as the tool's failure.
        add_traceback(kGetVersionInfo, 56);
        if (!PyErr_ExceptionMatches(state().os_error.get())) {
            Ref pending = Ref::steal(compat::take_exception());
            const bool replaced = pending.get() != caught;
            compat::restore_exception(pending.release());
            return replaced ? fail(kGetVersionInfo, 56) : nullptr;
        }
        return collect_failure();
    }
    Ref lines = Ref::steal(compat::call_method(out.get(), str(S::splitlines)));
    if (!lines) {
        return fail(kGetVersionInfo, 61);
    }
    // zip is the builtin captured at initialisation; hold it across the call,
    // which runs the lines' own iterator code.
    Ref zip = Ref::borrow(state().zip.get());
    Ref pairs = Ref::steal(compat::call_two_args(zip.get(), opts.get(), lines.get()));
    if (!pairs) {
        return fail(kGetVersionInfo, 61);
    }
    PyObject *result = PyTuple_Pack(2, Py_True, pairs.get());
    return result != nullptr ? result : fail(kGetVersionInfo, 61);
}

// ----------------------------------------------------------------------- setup

constexpr const char kSetup[] = "setup.setup";

// Timeouts(3, 10). A class (the usual Timeouts) takes its arguments as a
// tuple, so it gets the prepared pair instead of one made on every call; any
// other callable gets them as a vector, its cheapest way in.
PyObject *call_with_timeout_args(PyObject *timeouts) {
    PyObject *numbers = state().timeout_args.get();
    if (PyType_Check(timeouts)) {
        return PyObject_Call(timeouts, numbers, nullptr);
    }
    return compat::call_two_args(timeouts, PyTuple_GET_ITEM(numbers, 0),
                                 PyTuple_GET_ITEM(numbers, 1));
}

PyObject *setup(PyObject *globals, PyObject * /*args*/, PyObject * /*kwargs*/) {
    Ref env = Ref::steal(call_global_method(globals, S::environ, S::copy));
    if (!env) {
        return fail(kSetup, 74);
    }
    // Item assignment, not dict insertion: any mapping copy() returns serves.
    // An exact dict assigns items by insertion anyway, so it goes there
    // directly; a subclass may have its own __setitem__.
    const auto assign = PyDict_CheckExact(env.get()) ? PyDict_SetItem : PyObject_SetItem;
    if (assign(env.get(), str(S::SOFTWARE), state().empty_str.get()) < 0) {
        return fail(kSetup, 75);
    }
    if (assign(env.get(), str(S::LANG), str(S::C)) < 0) {
        return fail(kSetup, 76);
    }
    Ref settings = Ref::steal(PyDict_New());
    if (!settings || PyDict_SetItem(settings.get(), str(S::env), env.get()) < 0) {
        return fail(kSetup, 79);
    }
    Ref timeouts = Ref::steal(lookup_global(globals, S::Timeouts));
    Ref timeout = timeouts ? Ref::steal(call_with_timeout_args(timeouts.get())) : Ref();
    if (!timeout) {
        return fail(kSetup, 80);
    }
    if (PyDict_SetItem(settings.get(), str(S::timeout), timeout.get()) < 0) {
        return fail(kSetup, 79);
    }
    return settings.release();
}

constexpr S kIsAvailableLocals[] = {S::plat, S::commands, S::command};
constexpr S kGetVersionInfoLocals[] = {S::opts, S::cmd, S::env, S::out,
                                       S::_err, S::err, S::msg, S::opt};
constexpr S kSetupLocals[] = {S::args, S::kwargs, S::env};

constexpr int kOptimized = CO_OPTIMIZED | CO_NEWLOCALS;

}  // namespace

const FunctionDef kProbes[3] = {
    {S::is_available, "is_available", kIsAvailable, Arguments::none, kOptimized, 15,
     kIsAvailableLocals, 3, is_available},
    {S::get_version_info, "get_version_info", kGetVersionInfo, Arguments::none, kOptimized, 41,
     kGetVersionInfoLocals, 8, get_version_info},
    {S::setup, "setup", kSetup, Arguments::any, kOptimized | CO_VARARGS | CO_VARKEYWORDS, 67,
     kSetupLocals, 3, setup},
};

}  // namespace setup_module
