// The extension module "ipp": the scheduler's and the printers' own answers,
// as plain Python data, for the readiness report.
#include "ipp_module.hpp"
#include "ipp_pool.hpp"
#include "ipp_questions.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <pwd.h>
#include <unistd.h>

namespace ipp_module {

namespace {

using ipp::DeviceAnswer;
using ipp::DeviceKind;
using ipp::Failure;
using ipp::SchedulerAnswer;

// Longer limits buy nothing and would overflow the milliseconds libcups takes.
constexpr double kLongestWait = 86400.0;

// ------------------------------------------------------------ attributes

bool is_text(ipp_attribute_t *attribute) {
    const ipp_tag_t tag = ippGetValueTag(attribute);
    return tag == IPP_TAG_TEXTLANG || tag == IPP_TAG_NAMELANG ||
           (tag >= IPP_TAG_TEXT && tag <= IPP_TAG_MIMETYPE);
}

bool is_integer(ipp_attribute_t *attribute) {
    const ipp_tag_t tag = ippGetValueTag(attribute);
    return tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM;
}

// Whether a printer's operations-supported lists Create-Printer-Subscriptions
// and Get-Notifications: a watch can then be told of its changes.
bool takes_subscriptions(ipp_attribute_t *operations) {
    bool create = false;
    bool get = false;
    const int count = operations != nullptr ? ippGetCount(operations) : 0;
    for (int i = 0; i < count; ++i) {
        const int operation = ippGetInteger(operations, i);
        create = create || operation == IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS;
        get = get || operation == IPP_OP_GET_NOTIFICATIONS;
    }
    return create && get;
}

bool out_of_band(ipp_attribute_t *attribute) {
    const ipp_tag_t tag = ippGetValueTag(attribute);
    return tag >= IPP_TAG_UNSUPPORTED_VALUE && tag <= IPP_TAG_ADMINDEFINE;
}

// The attributes of one printer that are read. One that comes twice in the
// group, or in a syntax that it cannot have, makes the answer about this
// printer unreadable: skipping it could hide a condition ("media-empty" sent
// as an octetString) and keeping either copy would be a guess. An
// out-of-band value ("no-value", "unknown") counts as missing.
struct Printer {
    ipp_attribute_t *name = nullptr;
    ipp_attribute_t *state = nullptr;
    ipp_attribute_t *reasons = nullptr;
    ipp_attribute_t *message = nullptr;
    ipp_attribute_t *accepting = nullptr;
    ipp_attribute_t *queued = nullptr;
    ipp_attribute_t *type = nullptr;
    ipp_attribute_t *device_uri = nullptr;
    ipp_attribute_t *members = nullptr;
    ipp_attribute_t *media_default = nullptr;  // media-col-default (a printer's own)
    ipp_attribute_t *trays = nullptr;          // printer-input-tray (a printer's own)
    ipp_attribute_t *hold_default = nullptr;   // job-hold-until-default (a print server's)
    ipp_attribute_t *operations = nullptr;     // operations-supported (a printer's own)
    const char *unreadable = nullptr;  // the attribute's name
    bool repeated = false;

    enum class Syntax { text, integer, boolean, collection, octets };

    void take(ipp_attribute_t *attribute) {
        const char *key = ippGetName(attribute);
        if (key == nullptr) {
            return;
        }
        struct Known {
            const char *key;
            Syntax syntax;
            ipp_attribute_t *Printer::*slot;
        };
        static const Known known[] = {
            {"printer-name", Syntax::text, &Printer::name},
            {"printer-state", Syntax::integer, &Printer::state},
            {"printer-state-reasons", Syntax::text, &Printer::reasons},
            {"printer-state-message", Syntax::text, &Printer::message},
            {"printer-is-accepting-jobs", Syntax::boolean, &Printer::accepting},
            {"queued-job-count", Syntax::integer, &Printer::queued},
            {"printer-type", Syntax::integer, &Printer::type},
            {"device-uri", Syntax::text, &Printer::device_uri},
            {"member-names", Syntax::text, &Printer::members},
            {"media-col-default", Syntax::collection, &Printer::media_default},
            {"printer-input-tray", Syntax::octets, &Printer::trays},
            {"job-hold-until-default", Syntax::text, &Printer::hold_default},
            {"operations-supported", Syntax::integer, &Printer::operations},
        };
        for (const Known &entry : known) {
            if (std::strcmp(key, entry.key) != 0) {
                continue;
            }
            ipp_attribute_t *&slot = this->*entry.slot;
            const ipp_tag_t tag = ippGetValueTag(attribute);
            const bool fits = entry.syntax == Syntax::text         ? is_text(attribute)
                              : entry.syntax == Syntax::integer    ? is_integer(attribute)
                              : entry.syntax == Syntax::collection ? tag == IPP_TAG_BEGIN_COLLECTION
                              : entry.syntax == Syntax::octets     ? tag == IPP_TAG_STRING
                                                                   : tag == IPP_TAG_BOOLEAN;
            if (entry.slot == &Printer::operations && (!fits || slot != nullptr)) {
                return;  // only whether a watch can subscribe: not worth a verdict
            }
            if (slot != nullptr || (!fits && !out_of_band(attribute))) {
                if (unreadable == nullptr) {
                    unreadable = entry.key;
                    repeated = slot != nullptr;
                }
            } else if (fits && ippGetCount(attribute) >= 1) {
                slot = attribute;
            }
            return;
        }
    }

    // Why the answer about this printer cannot be read, or null.
    PyObject *why_unreadable() const {
        if (unreadable == nullptr) {
            return compat::new_ref(Py_None);
        }
        return PyUnicode_FromFormat(repeated ? "%s appears twice" : "%s has a syntax it cannot have",
                                    unreadable);
    }
};

// The printers of a CUPS-Get-Printers response, one per attribute group that
// names one; count is set to their number. Null with a Python exception set
// when memory runs out.
Printer *read_printers(ipp_t *response, std::size_t &count) {
    count = 0;
    std::size_t capacity = 16;
    auto *printers = static_cast<Printer *>(std::calloc(capacity, sizeof(Printer)));
    if (printers == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    Printer current;
    bool in_group = false;
    for (ipp_attribute_t *attribute = ippFirstAttribute(response);; attribute = ippNextAttribute(response)) {
        const bool printer_attribute =
            attribute != nullptr && ippGetGroupTag(attribute) == IPP_TAG_PRINTER &&
            ippGetName(attribute) != nullptr;
        if (printer_attribute) {
            in_group = true;
            current.take(attribute);
            continue;
        }
        if (in_group && current.name != nullptr) {
            if (count == capacity) {
                capacity *= 2;
                void *grown = std::realloc(static_cast<void *>(printers), capacity * sizeof(Printer));
                if (grown == nullptr) {
                    std::free(static_cast<void *>(printers));
                    PyErr_NoMemory();
                    return nullptr;
                }
                printers = static_cast<Printer *>(grown);
            }
            printers[count++] = current;
        }
        current = Printer();
        in_group = false;
        if (attribute == nullptr) {
            break;
        }
    }
    return printers;
}

PyObject *string_or_none(ipp_attribute_t *attribute) {
    const char *value = attribute != nullptr ? ippGetString(attribute, 0, nullptr) : nullptr;
    return value != nullptr ? text(value) : compat::new_ref(Py_None);
}

PyObject *integer_or_none(ipp_attribute_t *attribute) {
    return attribute != nullptr ? PyLong_FromLong(ippGetInteger(attribute, 0))
                                : compat::new_ref(Py_None);
}

PyObject *keywords(ipp_attribute_t *attribute) {
    const int count = attribute != nullptr ? ippGetCount(attribute) : 0;
    Ref list = Ref::steal(PyList_New(0));
    for (int i = 0; list && i < count; ++i) {
        const char *value = ippGetString(attribute, i, nullptr);
        if (value == nullptr) {
            continue;
        }
        Ref item = Ref::steal(text(value));
        if (!item || PyList_Append(list.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

// The keys of the dicts made for each printer, made once a call: the same
// interned strings, with their hashes, for thousands of dicts.
struct Keys {
    enum Name {
        name, state, state_reasons, state_message, accepting, queued_jobs, type, device_uri,
        members, unreadable, device, checked, asked, scheme, reachable, timed_out, error,
        connected, tries, http_status, default_source, input_trays, failure, hold_default,
        subscribes, count
    };
    Ref keys[count];

    bool make() {
        static const char *const texts[count] = {
            "name", "state", "state_reasons", "state_message", "accepting", "queued_jobs",
            "type", "device_uri", "members", "unreadable", "device", "checked", "asked",
            "scheme", "reachable", "timed_out", "error", "connected", "tries", "http_status",
            "default_source", "input_trays", "failure", "hold_default", "subscribes"};
        for (int i = 0; i < count; ++i) {
            keys[i] = Ref::steal(PyUnicode_InternFromString(texts[i]));
            if (!keys[i]) {
                return false;
            }
        }
        return true;
    }

    // As put(), with one of these keys.
    bool put(PyObject *dict, Name key, PyObject *value) const {
        Ref owned = Ref::steal(value);
        return owned && PyDict_SetItem(dict, keys[key].get(), owned.get()) == 0;
    }
};

// --------------------------------------------------------------- devices

const char *why_not_checked(DeviceKind kind) {
    switch (kind) {
    case DeviceKind::other_scheme:
        return "scheme";
    case DeviceKind::service_name:
        return "service-name";
    case DeviceKind::unusable_uri:
        return "bad-uri";
    default:
        return "unknown";
    }
}

PyObject *not_checked(const char *why, const char *scheme) {
    Ref device = Ref::steal(PyDict_New());
    if (!device || !put(device.get(), "checked", compat::new_ref(Py_False)) ||
        !put(device.get(), "why", text(why)) || !put(device.get(), "scheme", text(scheme))) {
        return nullptr;
    }
    return device.release();
}

// How a printer's question failed, for the advice that fits; None when it
// did not.
PyObject *failure_name(Failure failure) {
    static const char *const names[] = {
        nullptr,    "not-asked", "no-address", "cannot-connect", "timed-out", "tls",
        "http-status", "ipp-status", "closed",  "not-http",       "not-ipp",   "io",
        "too-large",  "no-memory"};
    const auto index = static_cast<std::size_t>(failure);
    const char *name = index < sizeof names / sizeof names[0] ? names[index] : "other";
    return name != nullptr ? text(name) : compat::new_ref(Py_None);
}

// The media-source of a media-col-default collection, or None.
PyObject *media_source(ipp_attribute_t *media_default) {
    ipp_t *collection = media_default != nullptr ? ippGetCollection(media_default, 0) : nullptr;
    ipp_attribute_t *source =
        collection != nullptr ? ippFindAttribute(collection, "media-source", IPP_TAG_ZERO) : nullptr;
    const char *value = source != nullptr && is_text(source) && ippGetCount(source) == 1
                            ? ippGetString(source, 0, nullptr)
                            : nullptr;
    return value != nullptr ? text(value) : compat::new_ref(Py_None);
}

// The values of an octetString attribute as texts ("type=...;level=...").
PyObject *octet_texts(ipp_attribute_t *attribute) {
    const int count = attribute != nullptr ? ippGetCount(attribute) : 0;
    Ref list = Ref::steal(PyList_New(0));
    for (int i = 0; list && i < count && i < 64; ++i) {
        int length = 0;
        const void *data = ippGetOctetString(attribute, i, &length);
        if (data == nullptr || length < 0) {
            continue;
        }
        Ref value = Ref::steal(PyUnicode_DecodeUTF8(static_cast<const char *>(data), length,
                                                    "surrogateescape"));
        if (!value || PyList_Append(list.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

PyObject *device_result(DeviceAnswer &answer, const Keys &k) {
    if (!answer.checked) {
        return not_checked(why_not_checked(answer.kind), answer.scheme);
    }
    Printer own;
    for (ipp_attribute_t *attribute = answer.attributes ? ippFirstAttribute(answer.attributes.get())
                                                        : nullptr;
         attribute != nullptr; attribute = ippNextAttribute(answer.attributes.get())) {
        if (ippGetGroupTag(attribute) == IPP_TAG_PRINTER) {
            own.take(attribute);
        }
    }
    // Not asked: no thread, descriptor or name lookup could be had in time.
    const bool asked = answer.outcome.failure != Failure::not_asked;
    Ref error;
    if (own.unreadable != nullptr && answer.outcome.ok()) {
        Ref why = Ref::steal(own.why_unreadable());
        error = Ref::steal(why ? PyUnicode_FromFormat("its answer cannot be read: %U", why.get())
                               : nullptr);
    } else {
        error = Ref::steal(text(answer.outcome.text));
    }
    if (!error) {
        return nullptr;
    }
    Ref device = Ref::steal(PyDict_New());
    PyObject *dict = device.get();
    if (!device || !k.put(dict, Keys::checked, compat::new_ref(Py_True)) ||
        !k.put(dict, Keys::asked, PyBool_FromLong(asked ? 1 : 0)) ||
        !k.put(dict, Keys::scheme, text(answer.scheme)) ||
        !k.put(dict, Keys::reachable, PyBool_FromLong(answer.reachable ? 1 : 0)) ||
        !k.put(dict, Keys::timed_out, PyBool_FromLong(answer.timed_out ? 1 : 0)) ||
        !k.put(dict, Keys::error, error.release()) ||
        !k.put(dict, Keys::state,
               own.unreadable != nullptr ? compat::new_ref(Py_None) : integer_or_none(own.state)) ||
        !k.put(dict, Keys::state_reasons, keywords(own.reasons)) ||
        !k.put(dict, Keys::state_message, string_or_none(own.message)) ||
        !k.put(dict, Keys::accepting,
               own.accepting == nullptr ? compat::new_ref(Py_None)
                                        : PyBool_FromLong(ippGetBoolean(own.accepting, 0))) ||
        !k.put(dict, Keys::connected, PyBool_FromLong(answer.connected ? 1 : 0)) ||
        !k.put(dict, Keys::tries, PyLong_FromLong(answer.tries)) ||
        !k.put(dict, Keys::http_status,
               answer.outcome.failure == Failure::http_status
                   ? PyLong_FromLong(answer.outcome.http_status)
                   : compat::new_ref(Py_None)) ||
        !k.put(dict, Keys::default_source, media_source(own.media_default)) ||
        !k.put(dict, Keys::input_trays, octet_texts(own.trays)) ||
        !k.put(dict, Keys::failure, failure_name(answer.outcome.failure)) ||
        !k.put(dict, Keys::hold_default, string_or_none(own.hold_default)) ||
        !k.put(dict, Keys::subscribes, PyBool_FromLong(takes_subscriptions(own.operations) ? 1 : 0))) {
        return nullptr;
    }
    return device.release();
}

// ------------------------------------------------------------- the answer

PyObject *printer_result(const Printer &printer, PyObject *device, const Keys &k) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return nullptr;
    }
    PyObject *dict = result.get();
    PyObject *uri = Py_None;
    Ref stripped;
    const char *raw_uri =
        printer.device_uri != nullptr ? ippGetString(printer.device_uri, 0, nullptr) : nullptr;
    if (raw_uri != nullptr) {
        char buffer[HTTP_MAX_URI];
        ipp::strip_user_info(raw_uri, buffer, sizeof buffer);
        stripped = Ref::steal(text(buffer));
        if (!stripped) {
            return nullptr;
        }
        uri = stripped.get();
    }
    PyObject *accepting = printer.accepting == nullptr ? Py_None
                          : ippGetBoolean(printer.accepting, 0) != 0 ? Py_True
                                                                      : Py_False;
    if (!k.put(dict, Keys::name, string_or_none(printer.name)) ||
        !k.put(dict, Keys::state, integer_or_none(printer.state)) ||
        !k.put(dict, Keys::state_reasons, keywords(printer.reasons)) ||
        !k.put(dict, Keys::state_message, string_or_none(printer.message)) ||
        !k.put(dict, Keys::accepting, compat::new_ref(accepting)) ||
        !k.put(dict, Keys::queued_jobs, integer_or_none(printer.queued)) ||
        !k.put(dict, Keys::type, integer_or_none(printer.type)) ||
        !k.put(dict, Keys::device_uri, compat::new_ref(uri)) ||
        !k.put(dict, Keys::members, keywords(printer.members)) ||
        !k.put(dict, Keys::unreadable, printer.why_unreadable()) ||
        !k.put(dict, Keys::device, compat::new_ref(device))) {
        return nullptr;
    }
    return result.release();
}

// The devices of printers, each asked at once within timeout, the default's
// first; null entries in the list for a printer whose device was not asked.
struct DeviceChecks {
    DeviceAnswer *answers = nullptr;
    std::size_t count = 0;

    DeviceChecks() = default;
    DeviceChecks(const DeviceChecks &) = delete;
    DeviceChecks &operator=(const DeviceChecks &) = delete;
    DeviceChecks(DeviceChecks &&) = delete;
    DeviceChecks &operator=(DeviceChecks &&) = delete;
    ~DeviceChecks() {
        for (std::size_t i = 0; answers != nullptr && i < count; ++i) {
            answers[i].~DeviceAnswer();
        }
        std::free(static_cast<void *>(answers));
    }

    // The answer about printer i's device, which it may share with another
    // queue's.
    DeviceAnswer &answer_for(std::size_t i) {
        const long same = answers[i].same_as;
        return same >= 0 ? answers[same] : answers[i];
    }

    // False with an exception set: out of memory, or a signal handler raised.
    bool run(const Printer *printers, std::size_t printer_count, std::size_t first,
             double timeout, double answer_timeout, const char *user) {
        auto **uris = static_cast<const char **>(std::calloc(printer_count + 1, sizeof(char *)));
        answers = static_cast<DeviceAnswer *>(std::calloc(printer_count + 1, sizeof(DeviceAnswer)));
        if (uris == nullptr || answers == nullptr) {
            std::free(static_cast<void *>(uris));
            PyErr_NoMemory();
            return false;
        }
        for (count = 0; count < printer_count; ++count) {
            new (&answers[count]) DeviceAnswer();
            const Printer &printer = printers[count];
            const char *uri = printer.device_uri != nullptr
                                  ? ippGetString(printer.device_uri, 0, nullptr)
                                  : nullptr;
            uris[count] = uri != nullptr ? uri : "";
        }
        PyThreadState *saved = nullptr;
        const ipp::Caller caller{release_lock, acquire_lock, signalled, &saved};
        const bool kept =
            ipp::check_devices(uris, count, first, timeout, answer_timeout, user, answers, &caller);
        std::free(static_cast<void *>(uris));
        return kept;
    }
};

// Texts from the environment and the network keep bytes that are not UTF-8
// as surrogates, as everywhere else in the answer.
PyObject *message(const char *format, const char *first, const char *second) {
    char buffer[HTTP_MAX_URI + HTTP_MAX_URI + ipp::kTextSize];
    std::snprintf(buffer, sizeof buffer, format, first, second);
    return text(buffer);
}

void set_os_error(int error_number, PyObject *why) {
    // OSError picks the subclass of the errno: ConnectionRefusedError and
    // FileNotFoundError say that no scheduler runs there.
    Ref error = Ref::steal(error_number > 0
                               ? PyObject_CallFunction(PyExc_OSError, "iO", error_number, why)
                               : PyObject_CallFunction(PyExc_OSError, "O", why));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    }
}

PyObject *raise_for(const SchedulerAnswer &answer, double timeout, const char *server) {
    const ipp::Outcome &outcome = answer.outcome;
    switch (outcome.failure) {
    case Failure::timed_out: {
        char *seconds = PyOS_double_to_string(timeout, 'g', 12, 0, nullptr);
        if (seconds != nullptr) {
            PyErr_Format(PyExc_TimeoutError, "the scheduler does not answer within %s s", seconds);
            PyMem_Free(seconds);
        }
        break;
    }
    case Failure::cannot_connect:
    case Failure::no_address: {
        Ref why = Ref::steal(message("cannot connect to the scheduler at %s: %s", server,
                                     outcome.text));
        if (why) {
            set_os_error(outcome.error_number, why.get());
        }
        break;
    }
    case Failure::not_asked:
    case Failure::no_memory: {
        Ref why = Ref::steal(message("cannot ask the scheduler at %s: %s", server, outcome.text));
        if (why) {
            set_os_error(outcome.error_number, why.get());
        }
        break;
    }
    default: {
        Ref why = Ref::steal(message("the scheduler at %s did not answer: %s", server,
                                     outcome.text[0] != '\0' ? outcome.text : "no reason given"));
        if (why) {
            PyErr_SetObject(PyExc_OSError, why.get());
        }
        break;
    }
    }
    return nullptr;
}

// Copies an environment variable; false when it is not set.
bool read_variable(const char *name, char *out, std::size_t size) {
    const char *value = std::getenv(name);
    if (value == nullptr) {
        return false;
    }
    std::snprintf(out, size, "%s", value);
    return true;
}

// Where lp looks for the default destination, as libcups finds it: the
// home directory is HOME, else the password database's.
void read_default_sources(ipp::DefaultSources &sources) {
    sources.lpdest_set = read_variable("LPDEST", sources.lpdest, sizeof sources.lpdest);
    sources.printer_set = read_variable("PRINTER", sources.printer, sizeof sources.printer);
    if (!read_variable("HOME", sources.home, sizeof sources.home)) {
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr) {
            std::snprintf(sources.home, sizeof sources.home, "%s", found->pw_dir);
        }
    }
    if (!read_variable("CUPS_SERVERROOT", sources.server_root, sizeof sources.server_root)) {
        std::snprintf(sources.server_root, sizeof sources.server_root, "/etc/cups");
    }
}

const char *source_name(ipp::DefaultSource source) {
    switch (source) {
    case ipp::DefaultSource::environment:
        return "environment";
    case ipp::DefaultSource::user_lpoptions:
    case ipp::DefaultSource::system_lpoptions:
        return "lpoptions";
    case ipp::DefaultSource::scheduler:
        return "scheduler";
    default:
        return nullptr;
    }
}

constexpr const char *kSnapshotName = "vellomar.printing.cups.ipp.snapshot";

void free_snapshot(PyObject *capsule) {
    auto *snapshot = static_cast<ipp::Snapshot *>(PyCapsule_GetPointer(capsule, kSnapshotName));
    if (snapshot != nullptr) {
        snapshot->~Snapshot();
        std::free(static_cast<void *>(snapshot));
    }
}

// The scheduler's answer kept in an opaque capsule: its device URIs may
// carry credentials, which must not reach a repr or a log.
PyObject *snapshot_of(const SchedulerAnswer &answer, const char *destination) {
    void *memory = std::calloc(1, sizeof(ipp::Snapshot));
    if (memory == nullptr) {
        return PyErr_NoMemory();
    }
    auto *snapshot = new (memory) ipp::Snapshot();
    std::snprintf(snapshot->server, sizeof snapshot->server, "%s", answer.server);
    std::snprintf(snapshot->destination, sizeof snapshot->destination, "%s",
                  destination != nullptr ? destination : "");
    snapshot->local = answer.local;
    snapshot->destination_known = answer.destination_known;
    snapshot->printers = ipp::copy_message(answer.printers.get());
    PyObject *capsule = snapshot->printers ? PyCapsule_New(snapshot, kSnapshotName, free_snapshot)
                                           : PyErr_NoMemory();
    if (capsule == nullptr) {
        snapshot->~Snapshot();
        std::free(memory);
    }
    return capsule;
}

PyObject *query_scheduler(PyObject * /*module*/, PyObject *args, PyObject *kwargs) {
    // The API takes char ** up to 3.12.
    static char timeout_keyword[] = "timeout";
    static char check_keyword[] = "check_printers";
    static char answer_keyword[] = "printer_timeout";
    static char destination_keyword[] = "destination";
    static char keep_keyword[] = "keep";
    static char known_keyword[] = "known";
    static char *keywords_accepted[] = {timeout_keyword, check_keyword,       answer_keyword,
                                        destination_keyword, keep_keyword, known_keyword,
                                        nullptr};
    double timeout = 0;
    int check_printers = 1;
    double answer_timeout = -1;
    const char *destination = nullptr;
    int keep = 0;
    PyObject *known_given = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "d|p$dzpO:query_scheduler",
                                     keywords_accepted, &timeout,
                                     &check_printers, &answer_timeout, &destination, &keep,
                                     &known_given)) {
        return nullptr;
    }
    const ipp::Snapshot *known = nullptr;
    if (known_given != Py_None) {
        known = static_cast<const ipp::Snapshot *>(PyCapsule_GetPointer(known_given, kSnapshotName));
        if (known == nullptr) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "known must be the snapshot of an earlier answer "
                                             "(query_scheduler(..., keep=True)[\"snapshot\"])");
            return nullptr;
        }
    }
    if (destination != nullptr &&
        (destination[0] == '\0' || std::strlen(destination) >= HTTP_MAX_URI - 32)) {
        PyErr_SetString(PyExc_ValueError, "destination must be a queue's name (NAME or "
                                          "NAME/INSTANCE)");
        return nullptr;
    }
    const bool answer_given = answer_timeout != -1;
    for (const double limit : {timeout, answer_given ? answer_timeout : 1.0}) {
        if (std::isnan(limit) || limit <= 0) {
            Ref given = Ref::steal(PyFloat_FromDouble(limit));
            if (given) {
                PyErr_Format(PyExc_ValueError, "%s must be a positive number of seconds, not %R",
                             limit == timeout ? "timeout" : "printer_timeout", given.get());
            }
            return nullptr;
        }
    }
    timeout = timeout > kLongestWait ? kLongestWait : timeout;
    answer_timeout = !answer_given ? timeout
                     : answer_timeout > kLongestWait ? kLongestWait
                                                     : answer_timeout;

    auto *sources = static_cast<ipp::DefaultSources *>(std::calloc(1, sizeof(ipp::DefaultSources)));
    auto *answer = static_cast<SchedulerAnswer *>(std::calloc(1, sizeof(SchedulerAnswer)));
    struct Owned {
        ipp::DefaultSources *sources;
        SchedulerAnswer *answer;
        Owned(const Owned &) = delete;
        Owned &operator=(const Owned &) = delete;
        Owned(Owned &&) = delete;
        Owned &operator=(Owned &&) = delete;
        ~Owned() {
            if (answer != nullptr) {
                answer->~SchedulerAnswer();
            }
            std::free(static_cast<void *>(answer));
            std::free(static_cast<void *>(sources));
        }
    } owned{sources, answer != nullptr ? new (answer) SchedulerAnswer() : nullptr};
    if (sources == nullptr || owned.answer == nullptr) {
        return PyErr_NoMemory();
    }
    new (sources) ipp::DefaultSources();
    read_default_sources(*sources);
    // Named in messages when the scheduler was never reached.
    char wanted[HTTP_MAX_URI];
    if (!read_variable("CUPS_SERVER", wanted, sizeof wanted) || wanted[0] == '\0') {
        std::snprintf(wanted, sizeof wanted, "the default server");
    }

    PyThreadState *saved = nullptr;
    const ipp::Caller caller{release_lock, acquire_lock, signalled, &saved};
    const bool kept = ipp::ask_scheduler(timeout, *sources, destination, *answer, &caller, known);
    if (!kept) {
        return nullptr;
    }
    const char *server = answer->server[0] != '\0' ? answer->server : wanted;
    if (!answer->outcome.ok()) {
        return raise_for(*answer, timeout, server);
    }

    std::size_t count = 0;
    Printer *printers = read_printers(answer->printers.get(), count);
    if (printers == nullptr) {
        return nullptr;
    }
    struct FreeLater {
        Printer *printers;
        FreeLater(const FreeLater &) = delete;
        FreeLater &operator=(const FreeLater &) = delete;
        FreeLater(FreeLater &&) = delete;
        FreeLater &operator=(FreeLater &&) = delete;
        ~FreeLater() { std::free(static_cast<void *>(printers)); }
    } free_later{printers};

    // The default's printer is asked first.
    std::size_t first = count;
    if (answer->has_default) {
        const std::size_t base = std::strcspn(answer->default_name, "/");
        for (std::size_t i = 0; i < count; ++i) {
            const char *name = printers[i].name != nullptr
                                   ? ippGetString(printers[i].name, 0, nullptr)
                                   : nullptr;
            if (name != nullptr && std::strlen(name) == base &&
                std::strncmp(name, answer->default_name, base) == 0) {
                first = i;
                break;
            }
        }
    }

    // Device URIs name hosts as the scheduler's host sees them.
    DeviceChecks checks;
    const bool ask_devices = check_printers != 0 && answer->local;
    if (ask_devices && !checks.run(printers, count, first, timeout, answer_timeout, answer->user)) {
        return nullptr;
    }
    Ref remote;
    if (check_printers != 0 && !answer->local) {
        remote = Ref::steal(not_checked("remote", ""));
        if (!remote) {
            return nullptr;
        }
    }

    Keys keys;
    Ref list = Ref::steal(PyList_New(0));
    if (!list || !keys.make()) {
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Ref device;
        if (ask_devices) {
            device = Ref::steal(printers[i].device_uri == nullptr
                                    ? not_checked("no-uri", "")
                                    : device_result(checks.answer_for(i), keys));
        } else {
            device = Ref::borrow(remote ? remote.get() : Py_None);
        }
        if (!device) {
            return nullptr;
        }
        Ref printer = Ref::steal(printer_result(printers[i], device.get(), keys));
        if (!printer || PyList_Append(list.get(), printer.get()) < 0) {
            return nullptr;
        }
    }

    const bool has_default = answer->has_default;
    const bool default_known = answer->default_known;
    const char *source = source_name(answer->default_source);
    Ref result = Ref::steal(PyDict_New());
    if (!result || !put(result.get(), "server", text(answer->server)) ||
        !put(result.get(), "local", PyBool_FromLong(answer->local ? 1 : 0)) ||
        !put(result.get(), "default",
             has_default ? text(answer->default_name) : compat::new_ref(Py_None)) ||
        !put(result.get(), "default_known", PyBool_FromLong(default_known ? 1 : 0)) ||
        !put(result.get(), "default_error",
             has_default ? compat::new_ref(Py_None)
                         : text(default_known ? answer->default_error : answer->default_outcome.text)) ||
        !put(result.get(), "default_source",
             source != nullptr ? text(source) : compat::new_ref(Py_None)) ||
        !put(result.get(), "connections", PyLong_FromLong(answer->connections)) ||
        !put(result.get(), "destination_known",
             destination == nullptr ? compat::new_ref(Py_None)
                                    : PyBool_FromLong(answer->destination_known ? 1 : 0)) ||
        !put(result.get(), "printers", list.release())) {
        return nullptr;
    }
    if (keep != 0) {
        Ref snapshot = Ref::steal(snapshot_of(*answer, destination));
        if (!snapshot || !put(result.get(), "snapshot", snapshot.release())) {
            return nullptr;
        }
    }
    return result.release();
}

// The pool's threads, for tests.
PyObject *pool_state(PyObject * /*module*/, PyObject * /*unused*/) {
    const ipp::PoolCounts counts = ipp::pool_counts();
    return Py_BuildValue("{sisisisn}", "workers", counts.workers, "idle", counts.idle,
                         "orphans", counts.orphans, "queued",
                         static_cast<Py_ssize_t>(counts.queued));
}

PyMethodDef methods[] = {
    {"query_scheduler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(query_scheduler)),
     METH_VARARGS | METH_KEYWORDS,
     "query_scheduler(timeout, check_printers=True, *, printer_timeout=timeout,\n"
     "                destination=None, keep=False, known=None)\n--\n\n"
     "Asks the CUPS scheduler that the CUPS tools would ask now (CUPS_SERVER, client.conf,\n"
     "then the local socket) for its printers, with one CUPS-Get-Printers request, and for\n"
     "the default destination as lp without -d resolves it (LPDEST or PRINTER, lpoptions,\n"
     "then the scheduler's default). With check_printers, each printer's device is asked\n"
     "too, the default's first: each connects within another timeout, and a printer\n"
     "that took the connection is waited for up to printer_timeout. Get-Printer-Attributes\n"
     "for ipp, ipps, http and https (without the URI's ?options; once more in IPP/1.1 when\n"
     "the printer refuses 2.0), a connection for socket and lpd. Each request is sent once\n"
     "otherwise: a redirect or an error is the answer. With destination, only it (and a\n"
     "class's printers) is asked for, with Get-Printer-Attributes. With keep, the result\n"
     "has a snapshot of the scheduler's answer; given back as known, it stands for that\n"
     "answer (when the server is the same): only the default and the printers are asked.\n\n"
     "Returns a dict: server, local, default (or None: default_error says why),\n"
     "default_known (false when the question about the default got no answer),\n"
     "default_source (environment, lpoptions, scheduler or None), connections,\n"
     "destination_known (None without destination), and\n"
     "printers, a list of dicts: name, state, state_reasons, state_message, accepting,\n"
     "queued_jobs, type, device_uri (without user-info), members (a class's printers),\n"
     "unreadable (why the answer about it cannot be read, or None) and\n"
     "device (None when not asked for; else checked, and why not, or asked, reachable,\n"
     "timed_out, error, state, state_reasons, state_message, accepting, connected,\n"
     "tries, http_status, failure, default_source (media-col-default's media-source),\n"
     "input_trays (printer-input-tray's values), hold_default (job-hold-until-default) and\n"
     "subscribes (its operations-supported has Create-Printer-Subscriptions and\n"
     "Get-Notifications)).\n\n"
     "Raises TimeoutError when the scheduler does not answer within timeout seconds,\n"
     "an OSError of the connection's errno when it cannot be reached (ConnectionRefusedError:\n"
     "none runs there), and OSError when it refuses the request. A signal whose handler\n"
     "raises (Ctrl-C) ends the wait within 0.1 s."},
    {"_pool", pool_state, METH_NOARGS, "The IPP client's threads (for tests)."},
    JOB_METHODS
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) { return add_watch_types(module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    COMPAT_OWN_GIL_SLOT
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "ipp",
    "The CUPS scheduler's and the printers' own answers over IPP, through libcups.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ipp_module

SETUP_MODINIT_FUNC PyInit_ipp(void) { return PyModuleDef_Init(&ipp_module::definition); }
