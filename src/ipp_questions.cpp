#include "ipp_questions.hpp"

#include "ipp_pool.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace ipp {

namespace {

constexpr double kMostPickSeconds = 0.2;
// The most an answer may hold: a printer says a few attributes; a scheduler
// lists its printers with nine each (a few hundred bytes a printer).
constexpr std::size_t kMostPrinterAnswer = static_cast<std::size_t>(1) << 20U;
constexpr std::size_t kMostSchedulerAnswer = static_cast<std::size_t>(16) << 20U;
// A class's printers asked for, at most, when one destination is asked about.
constexpr int kMostMembers = 64;

void copy_text(char *out, std::size_t size, const char *text) {
    std::snprintf(out, size, "%s", text != nullptr ? text : "");
}

// A request made on a pool thread: ippNewRequest() would read the user's
// language from the environment there. IPP/2.0, in English, as every text
// here is.
Message new_request(ipp_op_t operation, const char *user, int major = 2, int minor = 0) {
    const LibcupsSection section;
    Message request(ippNew());
    if (request) {
        ippSetVersion(request.get(), major, minor);
        ippSetOperation(request.get(), operation);
        ippSetRequestId(request.get(), 1);
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset",
                     nullptr, "utf-8");
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_LANGUAGE,
                     "attributes-natural-language", nullptr, "en");
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                     nullptr, user);
    }
    return request;
}

// A request to the scheduler, made on the caller's thread as a CUPS tool
// makes it (the IPP version CUPS_SERVER may name, the user's language).
Message scheduler_request(ipp_op_t operation, const char *user) {
    const LibcupsSection section;
    Message request(ippNewRequest(operation));
    if (request) {
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                     nullptr, user);
    }
    return request;
}

// CUPS answers not-found when there is no printer at all.
bool usable_status(ipp_status_t status, bool none_is_fine) {
    return status <= IPP_STATUS_OK_EVENTS_COMPLETE ||
           (none_is_fine && status == IPP_STATUS_ERROR_NOT_FOUND);
}

void refused(Outcome &outcome, ipp_status_t status) {
    outcome.ipp_status = static_cast<int>(status);
    outcome.fail(Failure::ipp_status, 0, "it answered %s", ippErrorString(status));
}

// The connection's own port: libcups takes CUPS_SERVER's port modulo 65536.
void describe_server(char (&out)[HTTP_MAX_URI], const char *host, int port) {
    if (host[0] == '/') {
        copy_text(out, sizeof out, host);
    } else {
        std::snprintf(out, sizeof out, "%.1000s:%d", host, port & 0xFFFF);
    }
}

// ---------------------------------------------------- the default destination

// The first "Default NAME[/INSTANCE]" line of an lpoptions file, read as
// libcups reads it; false when there is none or it names nothing.
bool lpoptions_default(const char *path, char (&name)[HTTP_MAX_URI]) {
    cups_file_t *file = cupsFileOpen(path, "r");
    if (file == nullptr) {
        return false;
    }
    char line[8192];
    char *value = nullptr;
    int number = 0;
    name[0] = '\0';
    while (cupsFileGetConf(file, line, sizeof line, &value, &number) != nullptr) {
        if (strcasecmp(line, "default") == 0 && value != nullptr) {
            copy_text(name, sizeof name, value);
            name[std::strcspn(name, " \t")] = '\0';
            break;
        }
    }
    cupsFileClose(file);
    return name[0] != '\0' && name[0] != '/';
}

// What lp without -d names before it asks the scheduler: LPDEST, PRINTER
// (but "lp", a placeholder, names nothing), ~/.cups/lpoptions, then the
// system's lpoptions. A variable that is set names a destination even when
// it is empty.
DefaultSource local_default(const DefaultSources &sources, char (&name)[HTTP_MAX_URI]) {
    if (sources.lpdest_set) {
        copy_text(name, sizeof name, sources.lpdest);
        return DefaultSource::environment;
    }
    if (sources.printer_set && std::strcmp(sources.printer, "lp") != 0) {
        copy_text(name, sizeof name, sources.printer);
        return DefaultSource::environment;
    }
    char path[1200];
    if (sources.home[0] != '\0') {
        std::snprintf(path, sizeof path, "%s/.cups/lpoptions", sources.home);
        if (lpoptions_default(path, name)) {
            return DefaultSource::user_lpoptions;
        }
    }
    std::snprintf(path, sizeof path, "%s/lpoptions", sources.server_root);
    if (lpoptions_default(path, name)) {
        return DefaultSource::system_lpoptions;
    }
    return DefaultSource::none;
}

// The scheduler's own spelling of name: it finds destinations by name in
// any case of ASCII letters, as lp then does.
const char *find_printer(ipp_t *printers, const char *name) {
    for (ipp_attribute_t *attribute = printers != nullptr ? ippFirstAttribute(printers) : nullptr;
         attribute != nullptr; attribute = ippNextAttribute(printers)) {
        const char *key = ippGetName(attribute);
        if (ippGetGroupTag(attribute) == IPP_TAG_PRINTER && key != nullptr &&
            std::strcmp(key, "printer-name") == 0) {
            const char *value = ippGetString(attribute, 0, nullptr);
            if (value != nullptr && strcasecmp(value, name) == 0) {
                return value;
            }
        }
    }
    return nullptr;
}

// ------------------------------------------------------------ the scheduler

constexpr const char *kPrinterAttributes[] = {
    "printer-name",       "printer-state",   "printer-state-reasons", "printer-state-message",
    "printer-is-accepting-jobs", "queued-job-count", "printer-type",   "device-uri",
    "member-names",
};

struct SchedulerQuestion : Question {
    DefaultSources sources;
    SchedulerAnswer answer;
    char host[HTTP_MAX_URI] = {};
    int port = 0;
    http_encryption_t encryption = HTTP_ENCRYPTION_IF_REQUESTED;
    Message printers_request;
    Message default_request;
    char destination[HTTP_MAX_URI] = {};  // empty: every destination
    // A snapshot's server and printers (a copy: the question may outlive
    // its caller), used when the server picked now is the same.
    char known_server[HTTP_MAX_URI] = {};
    bool known_local = false;
    bool known_destination = false;
    Message known_printers;

    SchedulerQuestion(double deadline, const DefaultSources &from, const char *one)
        : Question(deadline), sources(from) {
        copy_text(destination, sizeof destination, one);
        destination[std::strcspn(destination, "/")] = '\0';  // NAME/INSTANCE prints to NAME
    }

    // Get-Printer-Attributes about one destination of the scheduler.
    Message one_printer_request(const char *name) const {
        Message request = scheduler_request(IPP_OP_GET_PRINTER_ATTRIBUTES, answer.user);
        if (request) {
            const LibcupsSection section;
            char uri[HTTP_MAX_URI];
            httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                             "/printers/%s", name);
            ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                         uri);
            ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD,
                          "requested-attributes",
                          static_cast<int>(sizeof kPrinterAttributes / sizeof *kPrinterAttributes),
                          nullptr, kPrinterAttributes);
        }
        return request;
    }

    // The server, port, encryption and user as a CUPS tool picks them when
    // it starts (CUPS_SERVER, client.conf, the local socket), and the
    // requests, on the pool thread (whose libcups was started on this
    // environment), while the caller holds the interpreter's lock: libcups
    // reads the environment here, and the interpreter changes it under that
    // lock. The caller's own thread is never touched: resetting its libcups
    // would undo what a program set there (cupsSetServer), and make libcups
    // use pointers it kept into an environment changed since.
    void pick() {
        Server server;
        read_server(server);
        copy_text(host, sizeof host, server.host);
        port = server.port;
        encryption = server.encryption;
        copy_text(answer.user, sizeof answer.user, server.user);
        copy_text(answer.server, sizeof answer.server, server.name);
        printers_request = destination[0] != '\0'
                               ? one_printer_request(destination)
                               : scheduler_request(IPP_OP_CUPS_GET_PRINTERS, answer.user);
        if (printers_request && destination[0] == '\0') {
            ippAddStrings(printers_request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD,
                          "requested-attributes",
                          static_cast<int>(sizeof kPrinterAttributes / sizeof *kPrinterAttributes),
                          nullptr, kPrinterAttributes);
        }
        default_request = scheduler_request(IPP_OP_CUPS_GET_DEFAULT, answer.user);
        if (default_request) {
            ippAddString(default_request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD,
                         "requested-attributes", nullptr, "printer-name");
        }
    }

    static void work(SchedulerQuestion &question) {
        SchedulerAnswer &answer = question.answer;
        question.pick();
        question.mark_started();
        const char *host = question.host;
        const int port = question.port;
        const http_encryption_t encryption = question.encryption;

        Connection connection(question.cut);
        if (question.known_printers && std::strcmp(question.known_server, answer.server) == 0) {
            // The scheduler must still be there: a connection is taken, and
            // a default that could not be asked is a failed answer, as the
            // destinations' would be.
            if (!connection.open(host, port, encryption, answer.outcome)) {
                return;
            }
            answer.connections = 1;
            answer.local = question.known_local;
            answer.destination_known = question.known_destination;
            answer.printers = static_cast<Message &&>(question.known_printers);
            find_default(question, connection, host, port, encryption, true);
            if (!answer.default_known && answer.default_outcome.failure != Failure::none) {
                answer.outcome = answer.default_outcome;
            }
            return;
        }
        if (!connection.open(host, port, encryption, answer.outcome)) {
            return;
        }
        answer.connections = 1;
        answer.local = connection.local();

        Message printers;
        if (!connection.exchange(static_cast<Message &&>(question.printers_request), "/", printers,
                                 answer.outcome, kMostSchedulerAnswer)) {
            return;
        }
        const ipp_status_t status = ippGetStatusCode(printers.get());
        if (!usable_status(status, true)) {
            refused(answer.outcome, status);
            return;
        }
        answer.printers = static_cast<Message &&>(printers);
        if (question.destination[0] != '\0') {
            answer.destination_known = status != IPP_STATUS_ERROR_NOT_FOUND &&
                                       find_printer(answer.printers.get(), question.destination);
            if (answer.destination_known && !ask_members(question, connection)) {
                return;
            }
        }
        find_default(question, connection, host, port, encryption);
    }

    // A class's printers, each with one Get-Printer-Attributes on the same
    // connection, their groups added to the answer: false, with the outcome
    // set, when one cannot be had.
    static bool ask_members(SchedulerQuestion &question, Connection &connection) {
        SchedulerAnswer &answer = question.answer;
        ipp_attribute_t *members = ippFindAttribute(answer.printers.get(), "member-names",
                                                    IPP_TAG_ZERO);
        const ipp_tag_t tag = members != nullptr ? ippGetValueTag(members) : IPP_TAG_ZERO;
        const int count =
            tag == IPP_TAG_NAME || tag == IPP_TAG_NAMELANG ? ippGetCount(members) : 0;
        for (int i = 0; i < count && i < kMostMembers; ++i) {
            const char *name = ippGetString(members, i, nullptr);
            if (name == nullptr) {
                continue;
            }
            if (!connection.reusable()) {
                answer.outcome.fail(Failure::closed, 0,
                                    "the scheduler closed the connection between two answers");
                return false;
            }
            Message reply;
            if (!connection.exchange(question.one_printer_request(name), "/", reply,
                                     answer.outcome, kMostPrinterAnswer)) {
                return false;
            }
            if (ippGetStatusCode(reply.get()) == IPP_STATUS_ERROR_NOT_FOUND) {
                continue;  // gone since: the class is judged without it
            }
            const LibcupsSection section;
            ippAddSeparator(answer.printers.get());
            for (ipp_attribute_t *attribute = ippFirstAttribute(reply.get()); attribute != nullptr;
                 attribute = ippNextAttribute(reply.get())) {
                if (ippGetGroupTag(attribute) == IPP_TAG_PRINTER) {
                    ippCopyAttribute(answer.printers.get(), attribute, 0);
                }
            }
        }
        return true;
    }

    // first_unused: first was opened for this question and has carried
    // nothing yet, so it can carry it.
    static void find_default(SchedulerQuestion &question, Connection &first, const char *host,
                             int port, http_encryption_t encryption, bool first_unused = false) {
        SchedulerAnswer &answer = question.answer;
        char name[HTTP_MAX_URI];
        const DefaultSource source = local_default(question.sources, name);
        answer.default_source = source;
        if (source != DefaultSource::none) {
            answer.default_known = true;
            char *slash = std::strchr(name, '/');
            const char *instance = nullptr;
            if (slash != nullptr) {
                *slash = '\0';
                instance = slash + 1;
            }
            const char *found = find_printer(answer.printers.get(), name);
            if (found == nullptr && question.destination[0] != '\0') {
                found = name;  // not among the one asked for: not checked here
            }
            if (found != nullptr) {
                answer.has_default = true;
                copy_text(answer.default_name, sizeof answer.default_name, found);
                const std::size_t used = std::strlen(answer.default_name);
                if (instance != nullptr && used + 1 < sizeof answer.default_name) {
                    answer.default_name[used] = '/';
                    copy_text(answer.default_name + used + 1,
                              sizeof answer.default_name - used - 1, instance);
                }
                return;
            }
            // libcups' own words.
            copy_text(answer.default_error, sizeof answer.default_error,
                      source == DefaultSource::user_lpoptions
                          ? "~/.cups/lpoptions file names default destination that does not exist."
                      : source == DefaultSource::system_lpoptions
                          ? "/etc/cups/lpoptions file names default destination that does not exist."
                      : question.sources.lpdest_set
                          ? "LPDEST environment variable names default destination that does not exist."
                          : "PRINTER environment variable names default destination that does not "
                            "exist.");
            return;
        }

        // The scheduler's default: on the same connection when the scheduler
        // kept it, else on a second one, under the same deadline.
        answer.default_source = DefaultSource::scheduler;
        Connection second(question.cut);
        Connection *connection = &first;
        if (!first.reusable() && !first_unused) {
            if (!second.open(host, port, encryption, answer.default_outcome)) {
                return;
            }
            answer.connections = 2;
            connection = &second;
        }
        Message reply;
        if (!connection->exchange(static_cast<Message &&>(question.default_request), "/", reply,
                                  answer.default_outcome, kMostPrinterAnswer)) {
            return;
        }
        const ipp_status_t status = ippGetStatusCode(reply.get());
        if (status == IPP_STATUS_ERROR_NOT_FOUND) {
            answer.default_known = true;
            copy_text(answer.default_error, sizeof answer.default_error, "No default destination.");
            return;
        }
        if (!usable_status(status, false)) {
            refused(answer.default_outcome, status);
            return;
        }
        ipp_attribute_t *attribute = ippFindAttribute(reply.get(), "printer-name", IPP_TAG_NAME);
        const char *value = attribute != nullptr ? ippGetString(attribute, 0, nullptr) : nullptr;
        if (value == nullptr || ippGetCount(attribute) != 1) {
            answer.default_outcome.fail(Failure::not_ipp, 0,
                                        "its answer about the default destination names none");
            return;
        }
        answer.default_known = true;
        answer.has_default = true;
        copy_text(answer.default_name, sizeof answer.default_name, value);
    }
};

bool separate(const char *uri, char (&scheme)[32], char (&host)[HTTP_MAX_HOST],
              char (&resource)[HTTP_MAX_URI], int &port) {
    char user[HTTP_MAX_VALUE];
    return httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host,
                           sizeof host, &port, resource, sizeof resource) >= HTTP_URI_STATUS_OK;
}

// ---------------------------------------------------------------- devices

// The options of the ipp backend that a device URI may carry after "?"
// ("?waitjob=false&version=1.1"). The backend takes them off before it talks
// to the printer, which knows no such resource; of them, the IPP version and
// the encryption change how it asks.
struct UriOptions {
    int major = 2;
    int minor = 0;
    bool encryption_given = false;
    http_encryption_t encryption = HTTP_ENCRYPTION_IF_REQUESTED;
};

UriOptions take_uri_options(char (&resource)[HTTP_MAX_URI]) {
    UriOptions options;
    char *query = std::strchr(resource, '?');
    if (query == nullptr) {
        return options;
    }
    *query++ = '\0';
    char *saved = nullptr;
    for (char *pair = strtok_r(query, "&+", &saved); pair != nullptr;
         pair = strtok_r(nullptr, "&+", &saved)) {
        char *value = std::strchr(pair, '=');
        if (value == nullptr) {
            continue;
        }
        *value++ = '\0';
        if (strcasecmp(pair, "version") == 0) {
            static const struct {
                const char *text;
                int major, minor;
            } versions[] = {{"1.0", 1, 0}, {"1.1", 1, 1}, {"2.0", 2, 0}, {"2.1", 2, 1},
                            {"2.2", 2, 2}};
            for (const auto &version : versions) {
                if (std::strcmp(value, version.text) == 0) {
                    options.major = version.major;
                    options.minor = version.minor;
                }
            }
        } else if (strcasecmp(pair, "encryption") == 0) {
            static const struct {
                const char *text;
                http_encryption_t encryption;
            } modes[] = {{"always", HTTP_ENCRYPTION_ALWAYS},
                         {"ifrequested", HTTP_ENCRYPTION_IF_REQUESTED},
                         {"never", HTTP_ENCRYPTION_NEVER},
                         {"required", HTTP_ENCRYPTION_REQUIRED}};
            for (const auto &mode : modes) {
                if (strcasecmp(value, mode.text) == 0) {
                    options.encryption = mode.encryption;
                    options.encryption_given = true;
                }
            }
        }
    }
    return options;
}

bool secure_scheme(const char *scheme) {
    return std::strcmp(scheme, "ipps") == 0 || std::strcmp(scheme, "https") == 0;
}

// The encryption a device is first asked with: the URI's encryption= wins
// over its scheme, as in the backend.
http_encryption_t first_encryption(const UriOptions &options, bool secure) {
    return options.encryption_given ? options.encryption
           : secure                 ? HTTP_ENCRYPTION_ALWAYS
                                    : HTTP_ENCRYPTION_IF_REQUESTED;
}

struct DeviceQuestion : Question {
    char uri[HTTP_MAX_URI] = {};
    char user[256] = {};
    // Until a connection is made the question has the query limit; a printer
    // that took the connection is waited for until this (waking from sleep,
    // a printer answers within seconds).
    double answer_deadline;
    DeviceAnswer answer;

    DeviceQuestion(double deadline, double answer_deadline)
        : Question(deadline), answer_deadline(answer_deadline) {}

    static void work(DeviceQuestion &question) {
        DeviceAnswer &answer = question.answer;
        answer.asked = true;
        char scheme[32];
        char host[HTTP_MAX_HOST];
        char resource[HTTP_MAX_URI];
        int port = 0;
        if (!separate(question.uri, scheme, host, resource, port)) {
            answer.outcome.fail(Failure::not_asked, 0, "the device URI cannot be parsed");
            return;
        }
        if (answer.kind == DeviceKind::tcp) {
            connect_only(question, host, port);
        } else {
            ask_printer(question, scheme, host, port, resource);
        }
        answer.timed_out = answer.outcome.failure == Failure::timed_out;
    }

    static void connect_only(DeviceQuestion &question, const char *host, int port) {
        DeviceAnswer &answer = question.answer;
        Addresses addresses = lookup(host, port, question.cut, answer.outcome);
        if (!addresses) {
            return;
        }
        const int error = probe_connection(addresses.get(), question.cut);
        if (error == 0) {
            answer.reachable = true;
        } else if (error == EMFILE || error == ENFILE) {
            answer.outcome.fail(Failure::not_asked, error, "not asked: %s", std::strerror(error));
        } else if (error == ETIMEDOUT || question.cut.over()) {
            answer.outcome.fail(Failure::timed_out, 0, "no connection in time");
        } else {
            answer.outcome.fail(Failure::cannot_connect, error, "%s", std::strerror(error));
        }
    }

    static void ask_printer(DeviceQuestion &question, const char *scheme, const char *host,
                            int port, char (&resource)[HTTP_MAX_URI]) {
        DeviceAnswer &answer = question.answer;
        UriOptions options = take_uri_options(resource);
        const bool secure = secure_scheme(scheme);
        http_encryption_t encryption = first_encryption(options, secure);
        char printer_uri[HTTP_MAX_URI];
        httpAssembleURI(HTTP_URI_CODING_ALL, printer_uri, sizeof printer_uri,
                        secure ? "ipps" : "ipp", nullptr, host, port, resource);
        // One deliberate second try, within the same deadline, where the
        // backend would go on to print: a printer that speaks IPP/1.1 alone
        // refuses a 2.0 request (HTTP 400, or server-error-version-not-
        // supported), and one that wants TLS answers 426 (Upgrade Required).
        // The backend falls back from a 2.x version that the URI names too.
        for (answer.tries = 1;; ++answer.tries) {
            answer.outcome = Outcome();
            answer.attributes = Message();
            if (!ask_once(question, host, port, encryption, printer_uri, resource, options)) {
                return;
            }
            const int http_status =
                answer.outcome.failure == Failure::http_status ? answer.outcome.http_status : 0;
            const bool refused_version =
                http_status == HTTP_STATUS_BAD_REQUEST ||
                (answer.outcome.ok() && ippGetStatusCode(answer.attributes.get()) ==
                                            IPP_STATUS_ERROR_VERSION_NOT_SUPPORTED);
            const bool wants_tls = http_status == HTTP_STATUS_UPGRADE_REQUIRED &&
                                   encryption != HTTP_ENCRYPTION_ALWAYS &&
                                   encryption != HTTP_ENCRYPTION_REQUIRED;
            if (answer.tries > 1 || question.cut.over()) {
                break;
            }
            if (wants_tls) {
                encryption = HTTP_ENCRYPTION_REQUIRED;
            } else if (refused_version && options.major >= 2) {
                options.major = 1;
                options.minor = 1;
            } else {
                break;
            }
        }
        if (answer.outcome.ok()) {
            const ipp_status_t status = ippGetStatusCode(answer.attributes.get());
            if (!usable_status(status, false)) {
                refused(answer.outcome, status);
            }
        }
    }

    // One connection and one Get-Printer-Attributes; false when no
    // connection was had.
    static bool ask_once(DeviceQuestion &question, const char *host, int port,
                         http_encryption_t encryption, const char *printer_uri,
                         const char *resource, const UriOptions &options) {
        DeviceAnswer &answer = question.answer;
        Connection connection(question.cut);
        if (!connection.open(host, port, encryption, answer.outcome)) {
            return false;
        }
        answer.connected = true;
        question.mark_started();
        question.cut.extend(question.answer_deadline);
        Message request = new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, question.user, options.major,
                                      options.minor);
        static const char *const wanted[] = {
            "printer-state",      "printer-state-reasons", "printer-state-message",
            "printer-is-accepting-jobs", "media-col-default", "printer-input-tray",
            "job-hold-until-default", "operations-supported"};
        if (request) {
            const LibcupsSection section;
            ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                         printer_uri);
            ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD,
                          "requested-attributes", sizeof wanted / sizeof wanted[0], nullptr,
                          wanted);
        }
        if (!connection.exchange(static_cast<Message &&>(request), resource, answer.attributes,
                                 answer.outcome, kMostPrinterAnswer)) {
            // An HTTP answer is an answer: the printer is there.
            answer.reachable = answer.outcome.failure == Failure::http_status;
            return true;
        }
        answer.reachable = true;
        return true;
    }
};

}  // namespace

// ------------------------------------------------------------------ public

void read_server(Server &server) {
    const LibcupsSection section;
    cupsSetServer(nullptr);
    cupsSetUser(nullptr);
    cupsSetEncryption(static_cast<http_encryption_t>(-1));
    copy_text(server.host, sizeof server.host, cupsServer());
    server.port = ippPort();
    server.encryption = cupsEncryption();
    copy_text(server.user, sizeof server.user, cupsUser());
    describe_server(server.name, server.host, server.port);
}

Message copy_message(ipp_t *message) {
    const LibcupsSection section;
    Message copy(ippNew());
    if (copy && message != nullptr &&
        ippCopyAttributes(copy.get(), message, 0, nullptr, nullptr) == 0) {
        return Message();
    }
    return copy;
}

bool ask_scheduler(double timeout, const DefaultSources &sources, const char *destination,
                   SchedulerAnswer &answer, const Caller *caller, const Snapshot *known) {
    const double deadline = now() + timeout;
    auto *question = make_question<SchedulerQuestion>(deadline, sources, destination);
    if (question == nullptr) {
        answer.outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return true;
    }
    if (known != nullptr && known->printers &&
        std::strcmp(known->destination, destination != nullptr ? destination : "") == 0) {
        question->known_printers = copy_message(known->printers.get());
        copy_text(question->known_server, sizeof question->known_server, known->server);
        question->known_local = known->local;
        question->known_destination = known->destination_known;
        if (!question->known_printers) {
            question->destroy(question);
            answer.outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
            return true;
        }
    }
    question->priority = true;
    Batch batch;
    const long index = batch.add(question);
    if (index < 0) {
        const int error = errno;
        answer.outcome.fail(Failure::not_asked, error, "cannot start a thread: %s",
                            std::strerror(error));
        return true;
    }
    // The lock stays with the caller while the question picks its server;
    // a pool too busy to start it soon does not keep the interpreter waiting.
    batch.wait_for_start(question, now() + kMostPickSeconds < deadline ? now() + kMostPickSeconds
                                                                      : deadline);
    const bool kept = batch.wait(deadline, caller);
    const auto place = static_cast<std::size_t>(index);
    if (batch.fate(place) != Batch::Fate::answered) {
        if (batch.fate(place) == Batch::Fate::not_asked) {
            const int error = last_start_error();
            if (error != 0) {
                answer.outcome.fail(Failure::not_asked, error, "cannot start a thread: %s",
                                    std::strerror(error));
            } else {
                answer.outcome.fail(Failure::not_asked, 0,
                                    "not asked: every thread of the IPP client was busy");
            }
        } else {
            answer.outcome.fail(Failure::timed_out, 0, "no answer in time");
        }
        return kept;
    }
    SchedulerAnswer &got = question->answer;  // answered: still the batch's
    // A default still unknown at the deadline means the question ended
    // there; whether its thread got to say so before the wait above ended
    // is a race, and the answer must not depend on it.
    if (got.outcome.ok() && got.default_outcome.failure == Failure::timed_out) {
        answer.outcome.fail(Failure::timed_out, 0, "no answer in time");
        return kept;
    }
    answer.outcome = got.outcome;
    std::memcpy(answer.server, got.server, sizeof answer.server);
    answer.local = got.local;
    answer.printers = static_cast<Message &&>(got.printers);
    std::memcpy(answer.user, got.user, sizeof answer.user);
    answer.default_known = got.default_known;
    answer.has_default = got.has_default;
    std::memcpy(answer.default_name, got.default_name, sizeof answer.default_name);
    std::memcpy(answer.default_error, got.default_error, sizeof answer.default_error);
    answer.default_outcome = got.default_outcome;
    answer.default_source = got.default_source;
    answer.connections = got.connections;
    answer.destination_known = got.destination_known;
    return kept;
}

DeviceKind device_kind(const char *uri, char (&scheme)[32]) {
    char host[HTTP_MAX_HOST];
    char resource[HTTP_MAX_URI];
    int port = 0;
    scheme[0] = '\0';
    if (!separate(uri, scheme, host, resource, port)) {
        // The scheme alone still tells why a usb: or file: device is not asked.
        const char *colon = std::strchr(uri, ':');
        if (colon != nullptr && static_cast<std::size_t>(colon - uri) < sizeof scheme) {
            std::memcpy(scheme, uri, static_cast<std::size_t>(colon - uri));
            scheme[colon - uri] = '\0';
            if (std::strcmp(scheme, "ipp") != 0 && std::strcmp(scheme, "ipps") != 0 &&
                std::strcmp(scheme, "http") != 0 && std::strcmp(scheme, "https") != 0 &&
                std::strcmp(scheme, "socket") != 0 && std::strcmp(scheme, "lpd") != 0) {
                return DeviceKind::other_scheme;
            }
        }
        return DeviceKind::unusable_uri;
    }
    const bool ipp = std::strcmp(scheme, "ipp") == 0 || std::strcmp(scheme, "ipps") == 0 ||
                     std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0;
    const bool tcp = std::strcmp(scheme, "socket") == 0 || std::strcmp(scheme, "lpd") == 0;
    if (!ipp && !tcp) {
        return DeviceKind::other_scheme;
    }
    if (host[0] == '\0') {
        return DeviceKind::unusable_uri;
    }
    if (std::strstr(host, "._tcp") != nullptr || std::strstr(host, "._udp") != nullptr) {
        return DeviceKind::service_name;
    }
    return ipp ? DeviceKind::ipp : DeviceKind::tcp;
}

namespace {

// What a device URI makes us ask, as text that two URIs share only when
// they are asked alike: its scheme (which the answer reports), host (in any
// case) and port; for IPP, also its resource without the backend's options,
// and the version and encryption that those options choose. Queues whose
// URIs differ only in other options ("?waitjob=false") ask the same printer
// the same question. Fields carry their lengths, so that no decoded host or
// resource can pass for another split. Devices not asked have no key.
constexpr std::size_t kKeySize = 32 + HTTP_MAX_HOST + HTTP_MAX_URI + 96;

void question_key(const char *uri, char (&key)[kKeySize]) {
    key[0] = '\0';
    char scheme[32];
    const DeviceKind kind = device_kind(uri, scheme);
    char host[HTTP_MAX_HOST];
    char resource[HTTP_MAX_URI];
    int port = 0;
    if ((kind != DeviceKind::ipp && kind != DeviceKind::tcp) ||
        !separate(uri, scheme, host, resource, port)) {
        return;
    }
    for (char *c = host; *c != '\0'; ++c) {  // names of hosts know no case
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    if (kind == DeviceKind::tcp) {  // a connection only: no resource is asked
        std::snprintf(key, sizeof key, "%zu:%s%zu:%s%d", std::strlen(scheme), scheme,
                      std::strlen(host), host, port);
        return;
    }
    const UriOptions options = take_uri_options(resource);
    const http_encryption_t encryption = first_encryption(options, secure_scheme(scheme));
    std::snprintf(key, sizeof key, "%zu:%s%zu:%s%d %zu:%s%d.%d %d", std::strlen(scheme), scheme,
                  std::strlen(host), host, port, std::strlen(resource), resource, options.major,
                  options.minor, static_cast<int>(encryption));
}

// Queues that share a device share its question: a printer with eight
// queues is asked once, not eight times in a row behind its per-peer cap,
// nor the same question several times at once, which some printers garble
// (ippeveprinter 2.4.2 cuts short concurrent answers that hold
// media-col-default, leaving the reader to wait for bytes that never come).
// The one asked is the default's where it is among them, else the first.
void mark_same_devices(const char *const *uris, std::size_t count, std::size_t first,
                       DeviceAnswer *answers) {
    using Key = char[kKeySize];
    auto *order = static_cast<std::size_t *>(std::calloc(count + 1, sizeof(std::size_t)));
    auto *keys = static_cast<Key *>(std::calloc(count + 1, sizeof(Key)));
    if (order == nullptr || keys == nullptr) {
        std::free(static_cast<void *>(order));
        std::free(static_cast<void *>(keys));
        return;  // each is asked on its own
    }
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = i;
        question_key(uris[i], keys[i]);
    }
    std::sort(order, order + count, [keys, first](std::size_t a, std::size_t b) {
        const int compared = std::strcmp(keys[a], keys[b]);
        if (compared != 0) {
            return compared < 0;
        }
        return a != b && (a == first || (b != first && a < b));
    });
    for (std::size_t k = 1; k < count; ++k) {
        if (keys[order[k]][0] != '\0' && std::strcmp(keys[order[k]], keys[order[k - 1]]) == 0) {
            const long primary = answers[order[k - 1]].same_as >= 0
                                     ? answers[order[k - 1]].same_as
                                     : static_cast<long>(order[k - 1]);
            answers[order[k]].same_as = primary;
        }
    }
    std::free(static_cast<void *>(order));
    std::free(static_cast<void *>(keys));
}

}  // namespace

bool check_devices(const char *const *uris, std::size_t count, std::size_t first, double timeout,
                   double answer_timeout, const char *user, DeviceAnswer *answers,
                   const Caller *caller) {
    const double deadline = now() + timeout;
    const double answer_deadline = now() + (answer_timeout > timeout ? answer_timeout : timeout);
    Batch batch;
    auto *places = static_cast<long *>(std::calloc(count + 1, sizeof(long)));
    // The questions as made; one is read only once the batch says it was
    // answered, and is still the batch's then.
    auto *questions = static_cast<DeviceQuestion **>(std::calloc(count + 1, sizeof(void *)));
    if (places == nullptr || questions == nullptr) {
        std::free(static_cast<void *>(places));
        places = nullptr;
    }
    for (std::size_t i = 0; places != nullptr && i < count; ++i) {
        places[i] = -1;
    }
    mark_same_devices(uris, count, first, answers);
    for (std::size_t step = 0; step < count; ++step) {
        // The default's printer first, then the others in their order.
        std::size_t i = step;
        if (first < count) {
            i = step == 0 ? first : step <= first ? step - 1 : step;
        }
        DeviceAnswer &answer = answers[i];
        answer.kind = device_kind(uris[i], answer.scheme);
        if (answer.same_as >= 0 ||
            (answer.kind != DeviceKind::ipp && answer.kind != DeviceKind::tcp)) {
            continue;
        }
        answer.checked = true;
        auto *question =
            places != nullptr ? make_question<DeviceQuestion>(deadline, answer_deadline) : nullptr;
        if (question == nullptr) {
            answer.outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
            continue;
        }
        question->answer.kind = answer.kind;
        copy_text(question->uri, sizeof question->uri, uris[i]);
        copy_text(question->user, sizeof question->user, user);
        char scheme[32];
        char host[HTTP_MAX_HOST];
        char resource[HTTP_MAX_URI];
        int port = 0;
        if (separate(uris[i], scheme, host, resource, port)) {
            question->peer = peer_of(host, port);
        }
        question->priority = i == first;
        questions[i] = question;
        places[i] = batch.add(question);
        if (places[i] < 0) {
            const int error = errno;
            answer.outcome.fail(Failure::not_asked, error, "not asked: %s", std::strerror(error));
        }
    }
    const bool kept = batch.wait(answer_deadline, caller);
    for (std::size_t i = 0; places != nullptr && i < count; ++i) {
        if (!answers[i].checked || places[i] < 0) {
            continue;
        }
        const auto place = static_cast<std::size_t>(places[i]);
        DeviceAnswer &answer = answers[i];
        switch (batch.fate(place)) {
        case Batch::Fate::answered: {
            DeviceAnswer &got = questions[i]->answer;
            answer.asked = got.asked;
            answer.connected = got.connected;
            answer.tries = got.tries;
            answer.reachable = got.reachable;
            answer.timed_out = got.timed_out;
            answer.outcome = got.outcome;
            answer.attributes = static_cast<Message &&>(got.attributes);
            break;
        }
        case Batch::Fate::not_asked: {
            const int error = last_start_error();
            if (error != 0) {
                answer.outcome.fail(Failure::not_asked, error, "not asked: no thread could be started (%s)",
                                    std::strerror(error));
            } else {
                answer.outcome.fail(Failure::not_asked, 0,
                                    "not asked in time: the IPP client was busy with other printers");
            }
            break;
        }
        case Batch::Fate::given_up_late:
            answer.outcome.fail(Failure::not_asked, 0,
                                "not asked in time: the IPP client was busy with other "
                                "questions to this printer");
            break;
        case Batch::Fate::given_up:
        case Batch::Fate::given_up_started:
            answer.asked = true;
            answer.connected = batch.fate(place) == Batch::Fate::given_up_started;
            answer.timed_out = true;
            answer.outcome.fail(Failure::timed_out, 0, "no answer in time");
            break;
        }
    }
    std::free(static_cast<void *>(places));
    std::free(static_cast<void *>(questions));
    return kept;
}

void strip_user_info(const char *uri, char *out, std::size_t size) {
    // libcups takes all up to the first "@" of the authority for user-info,
    // "#" and "?" included: a URI it parses is put together again from its
    // parts without it.
    char scheme[32];
    char user[HTTP_MAX_VALUE];
    char host[HTTP_MAX_HOST];
    char resource[HTTP_MAX_URI];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_NONE, uri, scheme, sizeof scheme, user, sizeof user,
                        host, sizeof host, &port, resource, sizeof resource) >= HTTP_URI_STATUS_OK) {
        if (user[0] == '\0') {
            copy_text(out, size, uri);
        } else {
            httpAssembleURI(HTTP_URI_CODING_NONE, out, static_cast<int>(size), scheme, nullptr,
                            host, port, resource);
        }
        return;
    }
    // Not a URI libcups reads (too long, say): everything up to the last
    // "@" goes, since a password may hold "/" too.
    const char *authority = std::strstr(uri, "://");
    if (authority == nullptr) {
        copy_text(out, size, uri);
        return;
    }
    authority += 3;
    const char *at = std::strrchr(authority, '@');
    if (at == nullptr) {
        copy_text(out, size, uri);
        return;
    }
    std::snprintf(out, size, "%.*s%s", static_cast<int>(authority - uri), uri, at + 1);
}

}  // namespace ipp
