#include "ipp_jobs.hpp"

#include "ipp_pool.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace ipp {

namespace {

constexpr std::size_t kMostAnswer = static_cast<std::size_t>(16) << 20U;
constexpr std::size_t kPiece = 65536;
// A job made but not whole is cancelled within this, or the caller's
// timeout if shorter: the cancel must not be what keeps a stopped program
// waiting. A job the cancel misses gets no document, and the scheduler
// ends it itself (MultipleOperationTimeout).
constexpr double kCancelSeconds = 2.0;
constexpr double kCreateGrace = 1.0;

void copy_text(char *out, std::size_t size, const char *text) {
    std::snprintf(out, size, "%s", text != nullptr ? text : "");
}

}  // namespace

Message new_request(ipp_op_t operation) {
    const LibcupsSection section;
    Message request(ippNew());
    if (request) {
        ippSetVersion(request.get(), 2, 0);
        ippSetOperation(request.get(), operation);
        ippSetRequestId(request.get(), 1);
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset",
                     nullptr, "utf-8");
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_LANGUAGE,
                     "attributes-natural-language", nullptr, "en");
    }
    return request;
}

namespace {

// A request about the job on queue: printer-uri, and job-id once it has one.
Message job_request(ipp_op_t operation, const Server &server, const char *queue, int job_id) {
    Message request = new_request(operation);
    if (request) {
        const LibcupsSection section;
        char uri[HTTP_MAX_URI];
        httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                         "/printers/%s", queue);
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
        if (job_id > 0) {
            ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
        }
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                     nullptr, server.user);
    }
    return request;
}

struct PickQuestion : Question {
    Server server;

    explicit PickQuestion(double deadline) : Question(deadline) {}

    static void work(PickQuestion &question) { read_server(question.server); }
};

void read_refusal(Submitted &submitted, const char *step, Message &answer) {
    const ipp_status_t status = ippGetStatusCode(answer.get());
    submitted.step = step;
    if (status > IPP_STATUS_OK_EVENTS_COMPLETE) {
        submitted.ipp_status = static_cast<int>(status);
        ipp_attribute_t *text = ippFindAttribute(answer.get(), "status-message", IPP_TAG_TEXT);
        copy_text(submitted.status_message, sizeof submitted.status_message,
                  text != nullptr ? ippGetString(text, 0, nullptr) : "");
        submitted.refusal = static_cast<Message &&>(answer);
    }
}

void note_http_failure(Submitted &submitted, const Connection &connection, const char *step) {
    submitted.step = step;
    submitted.http_status = submitted.outcome.http_status;
    if (submitted.http_status == HTTP_STATUS_UNAUTHORIZED) {
        copy_text(submitted.authenticate, sizeof submitted.authenticate,
                  connection.field(HTTP_FIELD_WWW_AUTHENTICATE));
    }
}

struct Buffer {
    char *bytes = static_cast<char *>(std::malloc(kPiece));
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    Buffer(Buffer &&) = delete;
    Buffer &operator=(Buffer &&) = delete;
    ~Buffer() { std::free(bytes); }
};

// Sends the document of a made job: false with submitted's outcome, read
// error or refusal set when it is not whole at the scheduler.
bool send_document(Connection &connection, Cut &cut, const Server &server, const JobOrder &order,
                   Source &source, double timeout, double idle_timeout, Submitted &submitted) {
    submitted.step = "Send-Document";
    Message request = job_request(IPP_OP_SEND_DOCUMENT, server, order.queue, submitted.job_id);
    Buffer buffer;
    if (!request || buffer.bytes == nullptr) {
        submitted.outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return false;
    }
    {
        const LibcupsSection section;
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "document-name", nullptr,
                     order.title);
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format",
                     nullptr, order.format != nullptr ? order.format : "application/octet-stream");
        ippAddBoolean(request.get(), IPP_TAG_OPERATION, "last-document", 1);
    }
    char resource[HTTP_MAX_URI];
    std::snprintf(resource, sizeof resource, "/printers/%s", order.queue);
    cut.move_to(now() + timeout);
    if (!connection.begin(request.get(), resource, true, submitted.outcome)) {
        return false;
    }
    for (;;) {
        cut.move_to(now() + idle_timeout);
        submitted.limit = idle_timeout;
        int error = 0;
        const long got = source.read(source.context, buffer.bytes, kPiece, cut, error);
        cut.ask_caller();
        if (cut.interrupted()) {
            return false;
        }
        if (got < 0 || cut.over()) {
            // The document, not the scheduler, kept it waiting.
            submitted.read_error = got >= 0 || error == 0 ? ETIMEDOUT : error;
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!connection.write_body(buffer.bytes, static_cast<std::size_t>(got),
                                   submitted.outcome)) {
            if (!cut.interrupted() && submitted.outcome.failure == Failure::timed_out) {
                submitted.outcome.fail(Failure::timed_out, 0, "the document was not taken in time");
            }
            return false;
        }
    }
    cut.move_to(now() + timeout);
    submitted.limit = timeout;
    Message answer;
    if (!connection.finish(answer, submitted.outcome, kMostAnswer)) {
        note_http_failure(submitted, connection, "Send-Document");
        return false;
    }
    read_refusal(submitted, "Send-Document", answer);
    submitted.sent = submitted.ipp_status == 0;
    return submitted.sent;
}

void cancel(const Server &server, const JobOrder &order, int job_id, double timeout) {
    Cut cut(now() + (timeout < kCancelSeconds ? timeout : kCancelSeconds));
    cut.guard();
    Connection connection(cut);
    Outcome outcome;
    if (!connection.open(server.host, server.port, server.encryption, outcome)) {
        return;
    }
    connection.set_authorization(order.authorization);
    Message answer;
    char resource[HTTP_MAX_URI];
    std::snprintf(resource, sizeof resource, "/printers/%s", order.queue);
    connection.exchange(job_request(IPP_OP_CANCEL_JOB, server, order.queue, job_id), resource,
                        answer, outcome, kMostAnswer);
}


}  // namespace

bool pick_server(double timeout, Server &server, Outcome &outcome, const Caller *caller) {
    auto *question = make_question<PickQuestion>(now() + timeout);
    if (question == nullptr) {
        outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return true;
    }
    question->priority = true;
    Batch batch;
    const long index = batch.add(question);
    if (index < 0) {
        const int error = errno;
        outcome.fail(Failure::not_asked, error, "cannot start a thread: %s", std::strerror(error));
        return true;
    }
    const bool kept = batch.wait(question->cut.deadline(), caller);
    if (batch.fate(static_cast<std::size_t>(index)) != Batch::Fate::answered) {
        outcome.fail(Failure::not_asked, 0, "not asked: every thread of the IPP client was busy");
        return kept;
    }
    server = question->server;
    return kept;
}

bool peer_of_uri(const char *uri, http_encryption_t encryption, Peer &peer) {
    char scheme[32];
    char user[256];
    char resource[HTTP_MAX_URI];
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user,
                        peer.host, sizeof peer.host, &peer.port, resource,
                        sizeof resource) < HTTP_URI_STATUS_OK) {
        return false;
    }
    const bool tls = strcasecmp(scheme, "ipps") == 0 || strcasecmp(scheme, "https") == 0;
    if (!tls && strcasecmp(scheme, "ipp") != 0 && strcasecmp(scheme, "http") != 0) {
        return false;
    }
    resource[std::strcspn(resource, "?")] = '\0';  // the ipp backend's own options
    copy_text(peer.resource, sizeof peer.resource, resource[0] != '\0' ? resource : "/");
    peer.encryption = tls ? HTTP_ENCRYPTION_ALWAYS : encryption;
    return true;
}

bool ask_once(const Peer &peer, Message request, Message &answer, Outcome &outcome,
              double timeout, const Caller *caller) {
    Cut cut(now() + timeout);
    cut.guard();
    cut.listen_to(caller);
    {
        const Released released(caller);
        Connection connection(cut);
        if (connection.open(peer.host, peer.port, peer.encryption, outcome)) {
            connection.exchange(static_cast<Message &&>(request), peer.resource, answer, outcome,
                                kMostAnswer);
        }
    }
    return !cut.interrupted();
}

bool submit(const Server &server, const JobOrder &order, Source &source, double timeout,
            double idle_timeout, Submitted &submitted, const Caller *caller) {
    Cut cut(now() + timeout);
    cut.guard();
    cut.listen_to(caller);
    const Released released(caller);
    submitted.limit = timeout;
    {
        Connection connection(cut);
        submitted.step = "Create-Job";
        if (!connection.open(server.host, server.port, server.encryption, submitted.outcome)) {
            return !cut.interrupted();
        }
        connection.set_authorization(order.authorization);
        Message create = job_request(IPP_OP_CREATE_JOB, server, order.queue, 0);
        if (!create) {
            submitted.outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
            return true;
        }
        {
            const LibcupsSection section;
            ippAddString(create.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                         order.title);
            // As lp sends them: each option where IPP puts it.
            cupsEncodeOptions2(create.get(), order.option_count, order.options, IPP_TAG_OPERATION);
            cupsEncodeOptions2(create.get(), order.option_count, order.options, IPP_TAG_JOB);
        }
        char resource[HTTP_MAX_URI];
        std::snprintf(resource, sizeof resource, "/printers/%s", order.queue);
        Message answer;
        // Ctrl-C gives Create-Job's answer a second more: cut before it,
        // the scheduler may have made a job whose id we never learn.
        cut.listen_to(caller, kCreateGrace);
        const bool answered = connection.exchange(static_cast<Message &&>(create), resource,
                                                  answer, submitted.outcome, kMostAnswer);
        cut.listen_to(caller);
        if (!answered) {
            note_http_failure(submitted, connection, "Create-Job");
        } else {
            ipp_attribute_t *id = ippFindAttribute(answer.get(), "job-id", IPP_TAG_INTEGER);
            read_refusal(submitted, "Create-Job", answer);
            if (submitted.ipp_status != 0) {
                return true;
            }
            if (id == nullptr || ippGetInteger(id, 0) <= 0) {
                submitted.outcome.fail(Failure::not_ipp, 0,
                                       "the scheduler made a job with no job-id");
                return true;
            }
            submitted.job_id = ippGetInteger(id, 0);
            submitted.created = true;
            bool whole = false;
            if (cut.interrupted()) {
                // Ctrl-C came during Create-Job: the job is known, and goes.
            } else if (connection.reusable() ||
                connection.open(server.host, server.port, server.encryption, submitted.outcome)) {
                connection.set_authorization(order.authorization);
                whole = send_document(connection, cut, server, order, source, timeout,
                                      idle_timeout, submitted);
            }
            if (whole) {
                return true;
            }
        }
    }
    // Nothing half-made stays behind: the job would wait for a document.
    if (submitted.created) {
        cancel(server, order, submitted.job_id, timeout);
        submitted.cancelled = true;
    }
    submitted.interrupted = cut.interrupted();
    return !cut.interrupted();
}

}  // namespace ipp
