// The Python face of jobs: submit() makes a job and streams its document,
// request() sends one IPP request to the scheduler or a printer. The rules
// (which answer means what) live in vellomar/printing/cups/jobs.py.
#include "ipp_jobs.hpp"
#include "ipp_module.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace ipp_module {

namespace {

using ipp::Failure;

constexpr double kLongestWait = 86400.0;

struct Options {
    int count = 0;
    cups_option_t *values = nullptr;
    Options() = default;
    Options(const Options &) = delete;
    Options &operator=(const Options &) = delete;
    Options(Options &&) = delete;
    Options &operator=(Options &&) = delete;
    ~Options() { cupsFreeOptions(count, values); }
};

// A limit given as None (the default) or a positive number of seconds.
bool read_limit(const char *name, PyObject *given, double &value, double fallback) {
    value = fallback;
    if (given != nullptr && given != Py_None) {
        value = PyFloat_AsDouble(given);
        if (value == -1 && PyErr_Occurred()) {
            return false;
        }
    }
    if (std::isnan(value) || value <= 0) {
        PyErr_Format(PyExc_ValueError, "%s must be a positive number of seconds", name);
        return false;
    }
    value = value > kLongestWait ? kLongestWait : value;
    return true;
}

// A sequence of exactly the items format takes, as a tuple: lists are as
// good as tuples, anything else is a TypeError that names what.
Ref as_tuple(PyObject *item, const char *what) {
    if (PyUnicode_Check(item) || PyBytes_Check(item) || PySequence_Check(item) == 0) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple, not %.100s", what,
                     Py_TYPE(item)->tp_name);
        return Ref();
    }
    return Ref::steal(PySequence_Tuple(item));
}

// Raises for a failure to reach or read the peer, named by who.
PyObject *raise_outcome(const ipp::Outcome &outcome, const char *who, double timeout) {
    if (outcome.failure == Failure::timed_out) {
        char *seconds = PyOS_double_to_string(timeout, 'g', 12, 0, nullptr);
        if (seconds != nullptr) {
            PyErr_Format(PyExc_TimeoutError, "%s does not answer within %s s", who, seconds);
            PyMem_Free(seconds);
        }
        return nullptr;
    }
    char buffer[HTTP_MAX_URI + ipp::kTextSize + 64];
    const bool connecting =
        outcome.failure == Failure::cannot_connect || outcome.failure == Failure::no_address;
    std::snprintf(buffer, sizeof buffer, connecting ? "cannot connect to %s: %s"
                                                    : "%s did not answer: %s",
                  who, outcome.text[0] != '\0' ? outcome.text : "no reason given");
    Ref why = Ref::steal(text(buffer));
    if (!why) {
        return nullptr;
    }
    Ref error = Ref::steal(outcome.error_number > 0
                               ? PyObject_CallFunction(PyExc_OSError, "iO", outcome.error_number,
                                                       why.get())
                               : PyObject_CallFunction(PyExc_OSError, "O", why.get()));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

bool pick(double timeout, ipp::Server &server) {
    ipp::Outcome outcome;
    PyThreadState *saved = nullptr;
    const ipp::Caller caller{release_lock, acquire_lock, signalled, &saved};
    if (!ipp::pick_server(timeout, server, outcome, &caller)) {
        return false;
    }
    if (!outcome.ok()) {
        raise_outcome(outcome, "the IPP client", timeout);
        return false;
    }
    return true;
}

// ------------------------------------------------------------- values

PyObject *value_of(ipp_attribute_t *attribute, int i) {
    const ipp_tag_t tag = ippGetValueTag(attribute);
    switch (tag) {
    case IPP_TAG_INTEGER:
    case IPP_TAG_ENUM:
        return PyLong_FromLong(ippGetInteger(attribute, i));
    case IPP_TAG_BOOLEAN:
        return PyBool_FromLong(ippGetBoolean(attribute, i));
    case IPP_TAG_DATE:
        return PyLong_FromLongLong(static_cast<long long>(ippDateToTime(ippGetDate(attribute, i))));
    case IPP_TAG_RANGE: {
        int upper = 0;
        const int lower = ippGetRange(attribute, i, &upper);
        return Py_BuildValue("(ii)", lower, upper);
    }
    case IPP_TAG_STRING: {
        int length = 0;
        const auto *bytes = static_cast<const char *>(ippGetOctetString(attribute, i, &length));
        return PyUnicode_DecodeUTF8(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0,
                                    "surrogateescape");
    }
    default: {
        const char *value = ippGetString(attribute, i, nullptr);
        return value != nullptr ? text(value) : compat::new_ref(Py_None);
    }
    }
}

// (status, [(group tag, {name: [values]})]) of an answer.
PyObject *answer_groups(ipp_t *answer) {
    Ref groups = Ref::steal(PyList_New(0));
    Ref current;
    ipp_tag_t group = IPP_TAG_ZERO;
    for (ipp_attribute_t *attribute = ippFirstAttribute(answer); groups && attribute != nullptr;
         attribute = ippNextAttribute(answer)) {
        const char *name = ippGetName(attribute);
        if (name == nullptr || ippGetGroupTag(attribute) != group) {
            current.reset();
        }
        if (name == nullptr) {
            continue;  // a separator: the next group begins
        }
        if (!current) {
            group = ippGetGroupTag(attribute);
            current = Ref::steal(PyDict_New());
            Ref entry = Ref::steal(Py_BuildValue("(iO)", static_cast<int>(group), current.get()));
            if (!entry || PyList_Append(groups.get(), entry.get()) < 0) {
                return nullptr;
            }
        }
        const int count = ippGetCount(attribute);
        Ref values = Ref::steal(PyList_New(0));
        for (int i = 0; values && i < count; ++i) {
            Ref value = Ref::steal(value_of(attribute, i));
            if (!value || PyList_Append(values.get(), value.get()) < 0) {
                return nullptr;
            }
        }
        if (!values || PyDict_SetItemString(current.get(), name, values.get()) < 0) {
            return nullptr;
        }
    }
    if (!groups) {
        return nullptr;
    }
    return Py_BuildValue("(iO)", static_cast<int>(ippGetStatusCode(answer)), groups.get());
}

// ------------------------------------------------------------- attributes

bool tag_of(const char *syntax, ipp_tag_t &tag) {
    static const struct {
        const char *name;
        ipp_tag_t tag;
    } known[] = {
        {"keyword", IPP_TAG_KEYWORD}, {"name", IPP_TAG_NAME},      {"text", IPP_TAG_TEXT},
        {"uri", IPP_TAG_URI},         {"integer", IPP_TAG_INTEGER}, {"enum", IPP_TAG_ENUM},
        {"boolean", IPP_TAG_BOOLEAN}, {"mimeMediaType", IPP_TAG_MIMETYPE},
    };
    for (const auto &entry : known) {
        if (std::strcmp(entry.name, syntax) == 0) {
            tag = entry.tag;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown syntax %s", syntax);
    return false;
}

bool add_value(ipp_t *request, ipp_attribute_t *&attribute, ipp_tag_t group, const char *name,
               ipp_tag_t tag, PyObject *value) {
    const ipp::LibcupsSection section;
    if (tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM || tag == IPP_TAG_BOOLEAN) {
        const long number = PyLong_AsLong(value);
        if (number == -1 && PyErr_Occurred()) {
            return false;
        }
        if (number < INT32_MIN || number > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError, "%s: IPP integers are 32-bit", name);
            return false;
        }
        if (tag == IPP_TAG_BOOLEAN) {
            if (attribute == nullptr) {
                attribute = ippAddBoolean(request, group, name, number != 0 ? 1 : 0);
            } else {
                ippSetBoolean(request, &attribute, ippGetCount(attribute), number != 0 ? 1 : 0);
            }
        } else if (attribute == nullptr) {
            attribute = ippAddInteger(request, group, tag, name, static_cast<int>(number));
        } else {
            ippSetInteger(request, &attribute, ippGetCount(attribute), static_cast<int>(number));
        }
        return true;
    }
    const char *string = PyUnicode_AsUTF8(value);
    if (string == nullptr) {
        return false;
    }
    if (attribute == nullptr) {
        attribute = ippAddString(request, group, tag, name, nullptr, string);
    } else {
        ippSetString(request, &attribute, ippGetCount(attribute), string);
    }
    return true;
}

// Attributes as (name, syntax, values), in the operation group, or as
// (group tag, name, syntax, values): a Create-Printer-Subscriptions puts
// its notify-* attributes in the subscription group. Adds those of the
// operation group, or (operation false) those of the others.
bool add_attributes(ipp_t *request, PyObject *attributes, bool operation) {
    Ref items = Ref::steal(PySequence_Fast(attributes, "attributes must be a sequence"));
    if (!items) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const char *name = nullptr;
        const char *syntax = nullptr;
        PyObject *values = nullptr;
        int group_number = IPP_TAG_OPERATION;
        Ref item = as_tuple(PySequence_Fast_GET_ITEM(items.get(), i),
                            "an attribute (name, syntax, values)");
        if (!item) {
            return false;
        }
        const bool grouped = PyTuple_GET_SIZE(item.get()) == 4;
        if (grouped ? !PyArg_ParseTuple(item.get(), "issO:attribute", &group_number, &name,
                                        &syntax, &values)
                    : !PyArg_ParseTuple(item.get(), "ssO:attribute", &name, &syntax, &values)) {
            return false;
        }
        if (group_number != IPP_TAG_OPERATION && group_number != IPP_TAG_JOB &&
            group_number != IPP_TAG_PRINTER && group_number != IPP_TAG_SUBSCRIPTION) {
            PyErr_Format(PyExc_ValueError, "%s: %d is not a group an IPP request can have",
                         name, group_number);
            return false;
        }
        const auto group = static_cast<ipp_tag_t>(group_number);
        if ((group == IPP_TAG_OPERATION) != operation) {
            continue;
        }
        ipp_tag_t tag = IPP_TAG_ZERO;
        if (!tag_of(syntax, tag)) {
            return false;
        }
        ipp_attribute_t *attribute = nullptr;
        if (PyList_Check(values) || PyTuple_Check(values)) {
            Ref list = Ref::steal(PySequence_Fast(values, "values"));
            for (Py_ssize_t j = 0; list && j < PySequence_Fast_GET_SIZE(list.get()); ++j) {
                if (!add_value(request, attribute, group, name, tag,
                               PySequence_Fast_GET_ITEM(list.get(), j))) {
                    return false;
                }
            }
            if (!list) {
                return false;
            }
        } else if (!add_value(request, attribute, group, name, tag, values)) {
            return false;
        }
    }
    return true;
}

// ------------------------------------------------------------- documents

// A descriptor (a file, a pipe, a FIFO) read as it becomes readable, so
// that a writer who stops cannot hold the job past idle_timeout or Ctrl-C.
struct DescriptorSource {
    int fd;
    static long read(void *context, char *buffer, std::size_t bytes, ipp::Cut &cut, int &error) {
        const int fd = static_cast<DescriptorSource *>(context)->fd;
        for (;;) {
            pollfd ready{fd, POLLIN, 0};
            const int count = poll(&ready, 1, 100);
            if (count == 0 || (count < 0 && errno == EINTR)) {
                cut.ask_caller();
                if (cut.over()) {
                    return -1;  // the cut says why
                }
                continue;
            }
            const ssize_t got = ::read(fd, buffer, bytes);
            if (got >= 0) {
                return static_cast<long>(got);
            }
            if (errno != EINTR && errno != EAGAIN) {
                error = errno;
                return -1;
            }
        }
    }
};

struct BufferSource {
    const char *bytes;
    std::size_t left;
    static long read(void *context, char *buffer, std::size_t bytes, ipp::Cut & /*cut*/,
                     int & /*error*/) {
        auto &self = *static_cast<BufferSource *>(context);
        const std::size_t take = bytes < self.left ? bytes : self.left;
        std::memcpy(buffer, self.bytes, take);
        self.bytes += take;
        self.left -= take;
        return static_cast<long>(take);
    }
};

// A file object, read with the caller's lock taken back for each piece:
// readinto() a bytearray of our own (a view of our buffer could outlive
// it), else read().
struct ObjectSource {
    PyObject *file;
    const ipp::Caller *caller;
    Ref piece;  // the bytearray
    bool failed = false;
    static long read(void *context, char *buffer, std::size_t bytes, ipp::Cut & /*cut*/,
                     int &error) {
        auto &self = *static_cast<ObjectSource *>(context);
        self.caller->acquire(self.caller->context);
        const long got = self.read_locked(buffer, bytes);
        self.caller->release(self.caller->context);
        if (got < 0) {
            self.failed = true;
            error = 0;
        }
        return got;
    }
    long read_locked(char *buffer, std::size_t bytes) {
        const auto wanted = static_cast<Py_ssize_t>(bytes);
        Ref got;
        bool into = false;
        if (PyObject_HasAttrString(file, "readinto") != 0) {
            if (!piece) {
                piece = Ref::steal(PyByteArray_FromStringAndSize(nullptr, wanted));
                if (!piece) {
                    return -1;
                }
            }
            got = Ref::steal(PyObject_CallMethod(file, "readinto", "O", piece.get()));
            into = true;
        } else {
            got = Ref::steal(PyObject_CallMethod(file, "read", "n", wanted));
        }
        if (!got) {
            return -1;
        }
        if (got.get() == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError,
                            "the document's file object has no data now (non-blocking)");
            return -1;
        }
        if (into) {
            const Py_ssize_t count = PyLong_AsSsize_t(got.get());
            if (count == -1 && PyErr_Occurred()) {
                return -1;
            }
            if (count < 0 || count > PyByteArray_GET_SIZE(piece.get()) || count > wanted) {
                PyErr_SetString(PyExc_ValueError, "readinto() returned a count out of range");
                return -1;
            }
            std::memcpy(buffer, PyByteArray_AS_STRING(piece.get()), static_cast<std::size_t>(count));
            return static_cast<long>(count);
        }
        char *data = nullptr;
        Py_ssize_t count = 0;
        if (PyBytes_AsStringAndSize(got.get(), &data, &count) < 0) {
            return -1;
        }
        if (count > wanted) {
            PyErr_SetString(PyExc_ValueError, "read() returned more bytes than asked for");
            return -1;
        }
        std::memcpy(buffer, data, static_cast<std::size_t>(count));
        return static_cast<long>(count);
    }
};

struct View {
    Py_buffer buffer{};
    bool held = false;
    View() = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    View(View &&) = delete;
    View &operator=(View &&) = delete;
    ~View() {
        if (held) {
            PyBuffer_Release(&buffer);
        }
    }
};

bool read_options(PyObject *given, Options &options) {
    Ref items = Ref::steal(PySequence_Fast(given, "options must be a sequence"));
    if (!items) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (PyUnicode_Check(item)) {
            const char *parsed = PyUnicode_AsUTF8(item);
            if (parsed == nullptr) {
                return false;
            }
            const ipp::LibcupsSection section;
            options.count = cupsParseOptions(parsed, options.count, &options.values);
            continue;
        }
        const char *name = nullptr;
        const char *value = nullptr;
        Ref pair = as_tuple(item, "an option (a str, or a (name, value) pair)");
        if (!pair || !PyArg_ParseTuple(pair.get(), "ss:option", &name, &value)) {
            return false;
        }
        const ipp::LibcupsSection section;
        options.count = cupsAddOption(name, value, options.count, &options.values);
    }
    return true;
}

PyObject *unsupported_of(ipp_t *refusal) {
    Ref found = Ref::steal(PyDict_New());
    for (ipp_attribute_t *attribute = refusal != nullptr ? ippFirstAttribute(refusal) : nullptr;
         found && attribute != nullptr; attribute = ippNextAttribute(refusal)) {
        const char *name = ippGetName(attribute);
        if (name == nullptr || ippGetGroupTag(attribute) != IPP_TAG_UNSUPPORTED_GROUP) {
            continue;
        }
        Ref values = Ref::steal(PyList_New(0));
        for (int i = 0; values && i < ippGetCount(attribute); ++i) {
            Ref value = Ref::steal(value_of(attribute, i));
            if (!value || PyList_Append(values.get(), value.get()) < 0) {
                return nullptr;
            }
        }
        if (!values || PyDict_SetItemString(found.get(), name, values.get()) < 0) {
            return nullptr;
        }
    }
    return found.release();
}

}  // namespace

PyObject *request(PyObject * /*module*/, PyObject *args, PyObject *kwargs) {
    static char operation_keyword[] = "operation";
    static char attributes_keyword[] = "attributes";
    static char uri_keyword[] = "uri";
    static char timeout_keyword[] = "timeout";
    static char *keywords_accepted[] = {operation_keyword, attributes_keyword, uri_keyword,
                                        timeout_keyword, nullptr};
    int operation = 0;
    PyObject *attributes = nullptr;
    const char *uri = nullptr;
    PyObject *timeout_given = nullptr;
    double timeout = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|O$zO:request", keywords_accepted,
                                     &operation, &attributes, &uri, &timeout_given) ||
        !read_limit("timeout", timeout_given, timeout, 10.0)) {
        return nullptr;
    }
    ipp::Server server;
    if (!pick(timeout, server)) {
        return nullptr;
    }
    ipp::Peer peer;
    char who[HTTP_MAX_URI + 32];
    if (uri == nullptr) {
        std::snprintf(peer.host, sizeof peer.host, "%s", server.host);
        peer.port = server.port;
        peer.encryption = server.encryption;
        std::snprintf(peer.resource, sizeof peer.resource, "/");
        std::snprintf(who, sizeof who, "the scheduler at %s", server.name);
    } else if (!ipp::peer_of_uri(uri, server.encryption, peer)) {
        PyErr_Format(PyExc_ValueError, "not an IPP URI: %s", uri);
        return nullptr;
    } else {
        std::snprintf(who, sizeof who, "the printer at %s", uri);
    }
    ipp::Message message = ipp::new_request(static_cast<ipp_op_t>(operation));
    if (!message) {
        return PyErr_NoMemory();
    }
    // The operation group comes first, with requesting-user-name in it.
    if (attributes != nullptr && !add_attributes(message.get(), attributes, true)) {
        return nullptr;
    }
    {
        const ipp::LibcupsSection section;
        if (ippFindAttribute(message.get(), "requesting-user-name", IPP_TAG_ZERO) == nullptr) {
            ippAddString(message.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                         nullptr, server.user);
        }
    }
    if (attributes != nullptr && !add_attributes(message.get(), attributes, false)) {
        return nullptr;
    }
    ipp::Message answer;
    ipp::Outcome outcome;
    PyThreadState *saved = nullptr;
    const ipp::Caller caller{release_lock, acquire_lock, signalled, &saved};
    if (!ipp::ask_once(peer, static_cast<ipp::Message &&>(message), answer, outcome, timeout,
                       &caller)) {
        return nullptr;
    }
    if (!outcome.ok()) {
        return raise_outcome(outcome, who, timeout);
    }
    return answer_groups(answer.get());
}

PyObject *submit(PyObject * /*module*/, PyObject *args, PyObject *kwargs) {
    static char queue_keyword[] = "queue";
    static char document_keyword[] = "document";
    static char title_keyword[] = "title";
    static char options_keyword[] = "options";
    static char format_keyword[] = "document_format";
    static char timeout_keyword[] = "timeout";
    static char idle_keyword[] = "idle_timeout";
    static char credentials_keyword[] = "credentials";
    static char *keywords_accepted[] = {queue_keyword,   document_keyword, title_keyword,
                                        options_keyword, format_keyword,   timeout_keyword,
                                        idle_keyword,    credentials_keyword, nullptr};
    const char *queue = nullptr;
    PyObject *document = nullptr;
    const char *title = nullptr;
    PyObject *given_options = nullptr;
    const char *format = nullptr;
    PyObject *timeout_given = nullptr;
    PyObject *idle_given = nullptr;
    double timeout = 0;
    double idle_timeout = 0;
    PyObject *credentials = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|$sOzOOO:submit", keywords_accepted, &queue,
                                     &document, &title, &given_options, &format, &timeout_given,
                                     &idle_given, &credentials) ||
        !read_limit("timeout", timeout_given, timeout, 10.0) ||
        !read_limit("idle_timeout", idle_given, idle_timeout, 30.0)) {
        return nullptr;
    }
    if (queue[0] == '\0' || std::strlen(queue) >= HTTP_MAX_URI - 32) {
        PyErr_SetString(PyExc_ValueError, "queue must be a destination's name");
        return nullptr;
    }
    Options options;
    if (given_options != nullptr && !read_options(given_options, options)) {
        return nullptr;
    }
    char basic[1024] = {};
    const char *user_given = nullptr;
    Ref pair_holder;  // owns the texts user_given points into
    if (credentials != Py_None) {
        const char *password = nullptr;
        pair_holder = as_tuple(credentials, "credentials (user, password)");
        if (!pair_holder ||
            !PyArg_ParseTuple(pair_holder.get(), "ss:credentials", &user_given, &password)) {
            return nullptr;
        }
        char pair[512];
        const int length = std::snprintf(pair, sizeof pair, "%s:%s", user_given, password);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof pair) {
            PyErr_SetString(PyExc_ValueError, "credentials are too long");
            return nullptr;
        }
        httpEncode64_2(basic, sizeof basic, pair, length);
    }

    PyThreadState *saved = nullptr;
    const ipp::Caller caller{release_lock, acquire_lock, signalled, &saved};
    DescriptorSource from_descriptor{-1};
    View view;
    BufferSource from_buffer{nullptr, 0};
    ObjectSource from_object{document, &caller, Ref(), false};
    ipp::Source source{};
    if (PyBool_Check(document)) {
        PyErr_SetString(PyExc_TypeError, "document must be a file descriptor, bytes or a binary "
                                         "file object, not bool");
        return nullptr;
    }
    if (PyLong_Check(document)) {
        from_descriptor.fd = PyObject_AsFileDescriptor(document);
        if (from_descriptor.fd < 0) {
            return nullptr;
        }
        source = ipp::Source{DescriptorSource::read, &from_descriptor};
    } else if (PyObject_CheckBuffer(document) != 0) {
        if (PyObject_GetBuffer(document, &view.buffer, PyBUF_SIMPLE) < 0) {
            return nullptr;
        }
        view.held = true;
        from_buffer = BufferSource{static_cast<const char *>(view.buffer.buf),
                                   static_cast<std::size_t>(view.buffer.len)};
        source = ipp::Source{BufferSource::read, &from_buffer};
    } else if (PyObject_HasAttrString(document, "readinto") != 0 ||
               PyObject_HasAttrString(document, "read") != 0) {
        source = ipp::Source{ObjectSource::read, &from_object};
    } else {
        PyErr_Format(PyExc_TypeError,
                     "document must be a file descriptor, bytes or a binary file object, not %.100s",
                     Py_TYPE(document)->tp_name);
        return nullptr;
    }

    ipp::Server server;
    if (!pick(timeout, server)) {
        return nullptr;
    }
    if (user_given != nullptr) {
        std::snprintf(server.user, sizeof server.user, "%s", user_given);
    }
    ipp::JobOrder order;
    order.queue = queue;
    order.title = title != nullptr ? title : "Untitled";
    order.format = format;
    order.option_count = options.count;
    order.options = options.values;
    order.authorization = basic[0] != '\0' ? basic : nullptr;
    ipp::Submitted submitted;
    const bool kept = ipp::submit(server, order, source, timeout, idle_timeout, submitted, &caller);
    if (!kept || from_object.failed || PyErr_Occurred()) {
        return nullptr;  // Ctrl-C, or the file object's own exception
    }
    const bool answered = submitted.outcome.ok() || submitted.http_status != 0;
    if (!answered && submitted.read_error == 0 && !submitted.sent) {
        char who[HTTP_MAX_URI + 32];
        std::snprintf(who, sizeof who, "the scheduler at %s", server.name);
        return raise_outcome(submitted.outcome, who, submitted.limit);
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result || !put(result.get(), "job_id", PyLong_FromLong(submitted.job_id)) ||
        !put(result.get(), "server", text(server.name)) ||
        !put(result.get(), "user", text(server.user)) ||
        !put(result.get(), "step", text(submitted.step)) ||
        !put(result.get(), "status", PyLong_FromLong(submitted.ipp_status)) ||
        !put(result.get(), "message", text(submitted.status_message)) ||
        !put(result.get(), "http_status", PyLong_FromLong(submitted.http_status)) ||
        !put(result.get(), "authenticate", text(submitted.authenticate)) ||
        !put(result.get(), "unsupported", unsupported_of(submitted.refusal.get())) ||
        !put(result.get(), "read_error", PyLong_FromLong(submitted.read_error)) ||
        !put(result.get(), "cancelled", PyBool_FromLong(submitted.cancelled ? 1 : 0))) {
        return nullptr;
    }
    return result.release();
}

}  // namespace ipp_module
