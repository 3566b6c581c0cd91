#include "ipp_connection.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ipp {

namespace {

// How often libcups' waits on a connection ask whether the question is over.
// The cut ends them at once when it is given up; this bounds the rest.
constexpr double kSlice = 0.1;
constexpr int kPollSlice = 50;  // ms
constexpr int kMostLookups = 32;
constexpr std::size_t kMostDrained = 65536;

int keep_waiting(http_t * /*http*/, void *context) {
    auto *cut = static_cast<Cut *>(context);
    cut->ask_caller();
    return cut->over() ? 0 : 1;
}

// ------------------------------------------------------------ name lookups

struct Lookup {
    bool used;
    bool done;
    int port;
    int references;  // the one looking up and every waiter
    http_addrlist_t *result;
    char host[HTTP_MAX_HOST];
};

// Guarded by core_mutex().
struct Lookups {
    bool ready;
    pthread_cond_t finished;
    Lookup entries[kMostLookups];
} lookups;

// libcups answers these without a resolver: a domain socket, "localhost",
// and numeric addresses.
bool answered_at_once(const char *host) {
    if (host[0] == '/' || strcasecmp(host, "localhost") == 0) {
        return true;
    }
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

void release_locked(Lookup &entry) {
    if (--entry.references == 0) {
        httpAddrFreeList(entry.result);
        entry = Lookup{};
    }
}

// The status texts of HTTP, in English like every other text here (libcups'
// httpStatus() speaks the user's language).
const char *status_text(int status) {
    switch (status) {
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Request Entity Too Large";
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 426: return "Upgrade Required";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return nullptr;
    }
}

// Reads an answer's body for ippReadIO, which asks for a few bytes at a
// time: httpRead2() would make each of those a recv() of its own, so the
// body is read in large pieces here, and the cut asked before each.
struct BodyReader {
    http_t *http;
    Cut *cut;
    bool ended;  // the body, or the connection, ended early
    bool too_large;
    int error;
    std::size_t most;  // bytes
    std::size_t read;
    std::size_t start;
    std::size_t end;
    char buffer[32768];
};

ssize_t read_body(void *context, ipp_uchar_t *out, size_t bytes) {
    auto &reader = *static_cast<BodyReader *>(context);
    size_t got = 0;
    while (got < bytes) {
        if (reader.start == reader.end) {
            if (reader.cut->over()) {
                return -1;
            }
            if (reader.read >= reader.most) {
                reader.too_large = true;
                return -1;
            }
            ssize_t count = 0;
            {
                // ippReadIO holds none of libcups' locks while it waits here.
                const LibcupsSection::Pause waiting;
                // A peer that drips the body never lets libcups' wait time
                // out and ask: the caller (Ctrl-C) is asked here too.
                reader.cut->ask_caller();
                if (reader.cut->over()) {
                    return -1;
                }
                count = httpRead2(reader.http, reader.buffer, sizeof reader.buffer);
            }
            if (count <= 0) {
                const int error = httpError(reader.http);
                if (count == 0 || error == EPIPE || error == 0) {
                    reader.ended = true;
                } else {
                    reader.error = error;
                }
                return got > 0 ? static_cast<ssize_t>(got) : -1;
            }
            reader.start = 0;
            reader.end = static_cast<std::size_t>(count);
            reader.read += reader.end;
        }
        const std::size_t take = bytes - got < reader.end - reader.start ? bytes - got
                                                                         : reader.end - reader.start;
        std::memcpy(out + got, reader.buffer + reader.start, take);
        reader.start += take;
        got += take;
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

void lookups_forget_after_fork() {
    std::memset(static_cast<void *>(&lookups), 0, sizeof lookups);
}

void Outcome::fail(Failure why, int error, const char *format, ...) {
    failure = why;
    error_number = error;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
}

Addresses lookup(const char *host, int port, Cut &cut, Outcome &outcome) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    if (answered_at_once(host)) {
        Addresses addresses(httpAddrGetList(host, AF_UNSPEC, service));
        if (!addresses) {
            outcome.fail(Failure::no_address, 0, "cannot find the address of %s", host);
        }
        return addresses;
    }

    pthread_mutex_lock(&core_mutex());
    if (!lookups.ready) {
        init_condition(lookups.finished);
        lookups.ready = true;
    }
    Lookup *entry = nullptr;
    Lookup *free_entry = nullptr;
    for (Lookup &candidate : lookups.entries) {
        if (candidate.used && candidate.port == port && strcasecmp(candidate.host, host) == 0) {
            entry = &candidate;
            break;
        }
        if (!candidate.used && free_entry == nullptr) {
            free_entry = &candidate;
        }
    }
    if (entry == nullptr) {
        if (free_entry == nullptr || std::strlen(host) >= sizeof free_entry->host) {
            pthread_mutex_unlock(&core_mutex());
            outcome.fail(Failure::not_asked, 0,
                         "not asked: too many name lookups of earlier questions have not ended");
            return Addresses();
        }
        entry = free_entry;
        *entry = Lookup{true, false, port, 1, nullptr, {}};
        std::memcpy(entry->host, host, std::strlen(host) + 1);
        pthread_mutex_unlock(&core_mutex());
        http_addrlist_t *result = httpAddrGetList(host, AF_UNSPEC, service);
        pthread_mutex_lock(&core_mutex());
        entry->result = result;
        entry->done = true;
        pthread_cond_broadcast(&lookups.finished);
    } else {
        ++entry->references;
        while (!entry->done && !cut.over()) {
            const double slice = now() + static_cast<double>(kPollSlice) / 1000.0;
            wait_until(lookups.finished, slice < cut.deadline() ? slice : cut.deadline());
        }
        if (!entry->done) {
            release_locked(*entry);
            pthread_mutex_unlock(&core_mutex());
            outcome.fail(Failure::timed_out, 0, "the name lookup of %s has not ended", host);
            return Addresses();
        }
    }
    Addresses addresses(entry->result != nullptr ? httpAddrCopyList(entry->result) : nullptr);
    const bool found = entry->result != nullptr;
    release_locked(*entry);
    pthread_mutex_unlock(&core_mutex());
    if (!addresses) {
        if (found) {
            outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        } else {
            outcome.fail(Failure::no_address, 0, "cannot find the address of %s", host);
        }
    }
    return addresses;
}

int probe_connection(http_addrlist_t *addresses, Cut &cut) {
    int error = ETIMEDOUT;
    for (http_addrlist_t *address = addresses; address != nullptr; address = address->next) {
        const int fd = socket(httpAddrFamily(&address->addr), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            error = errno;
            if (error == EMFILE || error == ENFILE) {
                return error;
            }
            continue;
        }
        if (connect(fd, &address->addr.addr, static_cast<socklen_t>(httpAddrLength(&address->addr))) == 0) {
            error = 0;
        } else if (errno != EINPROGRESS) {
            error = errno;
        } else {
            error = ETIMEDOUT;
            while (!cut.over()) {
                pollfd waiting{fd, POLLOUT, 0};
                const int ready = poll(&waiting, 1, kPollSlice);
                if (ready < 0 && errno != EINTR) {
                    error = errno;
                    break;
                }
                if (ready > 0) {
                    socklen_t size = sizeof error;
                    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                        error = errno;
                    }
                    break;
                }
            }
        }
        close(fd);
        if (error == 0 || cut.over()) {
            break;
        }
    }
    return error;
}

Connection::~Connection() { close_now(); }

void Connection::close_now() {
    // The duplicate goes first: the cut must never shut down a descriptor
    // number that httpClose() has given back to the process.
    cut_.unwatch();
    http_.reset();
    reusable_ = false;
}

bool Connection::open(const char *host, int port, http_encryption_t encryption, Outcome &outcome) {
    close_now();
    Addresses addresses = lookup(host, port, cut_, outcome);
    if (!addresses) {
        return false;
    }
    if (cut_.over()) {
        outcome.fail(Failure::timed_out, 0, "no connection in time");
        return false;
    }
    // Made without connecting, so that the waits of the TLS handshake
    // already ask the cut whether to go on. An upgrade to TLS (encryption
    // required) is an HTTP exchange of its own, which a peer can drag out
    // without end: it is made only once the socket is watched, below.
    const bool upgrade = encryption == HTTP_ENCRYPTION_REQUIRED;
    Http http(httpConnect2(host, port, addresses.get(), AF_UNSPEC,
                           upgrade ? HTTP_ENCRYPTION_IF_REQUESTED : encryption, 1, 0, nullptr));
    if (!http) {
        outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return false;
    }
    httpSetTimeout(http.get(), kSlice, keep_waiting, &cut_);
    if (httpReconnect2(http.get(), milliseconds_left(cut_.deadline()), cut_.cancel_flag()) != 0) {
        const int error = httpError(http.get());
        const bool tls = encryption == HTTP_ENCRYPTION_ALWAYS ||
                         encryption == HTTP_ENCRYPTION_REQUIRED;
        if (cut_.over()) {
            outcome.fail(Failure::timed_out, 0, "no connection in time");
        } else if (error == EMFILE || error == ENFILE) {
            outcome.fail(Failure::not_asked, error, "not asked: %s", std::strerror(error));
        } else if (error == EIO && encryption == HTTP_ENCRYPTION_ALWAYS) {
            outcome.fail(Failure::tls, 0, "the TLS handshake failed");
        } else {
            const int why = probe_connection(addresses.get(), cut_);
            if (why == EMFILE || why == ENFILE) {
                outcome.fail(Failure::not_asked, why, "not asked: %s", std::strerror(why));
            } else if (why == 0 && tls) {
                // Something listens, but the connection libcups wants fails.
                outcome.fail(Failure::tls, 0, encryption == HTTP_ENCRYPTION_REQUIRED
                                                  ? "the connection failed (encryption is "
                                                    "required, and the server offers no TLS)"
                                                  : "the TLS handshake failed");
            } else if (why == 0) {
                // libcups failed where a connection of our own then worked:
                // nothing was learnt of the peer (libcups says EHOSTDOWN for
                // a socket it could not have, descriptors running out).
                outcome.fail(Failure::not_asked, 0,
                             "not asked: the connection failed, though the peer takes connections");
            } else if (cut_.over() || why == ETIMEDOUT) {
                outcome.fail(Failure::timed_out, 0, "no connection in time");
            } else {
                outcome.fail(Failure::cannot_connect, why, "%s", std::strerror(why));
            }
        }
        return false;
    }
    if (!cut_.watch(httpGetFd(http.get()))) {
        const int error = errno;
        outcome.fail(Failure::not_asked, error, "not asked: %s", std::strerror(error));
        return false;
    }
    http_ = static_cast<Http &&>(http);
    if (upgrade && httpEncryption(http_.get(), HTTP_ENCRYPTION_REQUIRED) != 0) {
        if (cut_.over()) {
            outcome.fail(Failure::timed_out, 0, "no connection in time");
        } else {
            outcome.fail(Failure::tls, 0,
                         "the connection failed (encryption is required, and the upgrade to "
                         "TLS failed)");
        }
        close_now();
        return false;
    }
    return true;
}

bool Connection::local() const {
    return http_ && httpAddrLocalhost(httpGetAddress(http_.get())) != 0;
}

void Connection::io_failure(Outcome &outcome, const char *doing) {
    const int error = httpError(http_.get());
    if (cut_.over()) {
        outcome.fail(Failure::timed_out, 0, "no answer in time");
    } else if (error == EPIPE || error == ECONNRESET || error == 0) {
        outcome.fail(Failure::closed, 0, "the connection closed before %s", doing);
    } else if (error == EINVAL) {
        outcome.fail(Failure::not_http, 0, "the answer is not HTTP");
    } else {
        outcome.fail(Failure::io, error, "%s", std::strerror(error));
    }
}

bool Connection::exchange(Message request, const char *resource, Message &response,
                          Outcome &outcome, std::size_t most_bytes) {
    response.reset();
    if (!request) {
        outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return false;
    }
    return begin(request.get(), resource, false, outcome) &&
           finish(response, outcome, most_bytes);
}

bool Connection::begin(ipp_t *request, const char *resource, bool body_follows,
                       Outcome &outcome) {
    if (!http_ || request == nullptr) {
        outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return false;
    }
    reusable_ = false;
    if (cut_.over()) {
        outcome.fail(Failure::timed_out, 0, "no answer in time");
        return false;
    }
    http_t *http = http_.get();
    httpClearFields(http);
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
    // A document after the message goes chunked: its length is not known.
    if (body_follows) {
        httpSetLength(http, 0);
    } else {
        httpSetLength(http, ippLength(request));
    }
    if (httpPost(http, resource) != 0) {
        io_failure(outcome, "the request was sent");
        return false;
    }
    for (;;) {
        const ipp_state_t state = ippWrite(http, request);
        if (state == IPP_STATE_DATA) {
            break;
        }
        cut_.ask_caller();
        if (state == IPP_STATE_ERROR || cut_.over()) {
            io_failure(outcome, "the request was sent");
            return false;
        }
    }
    return true;
}

bool Connection::write_body(const char *data, std::size_t bytes, Outcome &outcome) {
    while (bytes > 0) {
        const ssize_t wrote = httpWrite2(http_.get(), data, bytes);
        if (wrote <= 0 || cut_.over()) {
            io_failure(outcome, "the document was sent");
            return false;
        }
        data += wrote;
        bytes -= static_cast<std::size_t>(wrote);
    }
    return true;
}

bool Connection::finish(Message &response, Outcome &outcome, std::size_t most_bytes) {
    response.reset();
    http_t *http = http_.get();
    if (httpGetState(http) == HTTP_STATE_POST_RECV && httpWrite2(http, "", 0) < 0) {
        io_failure(outcome, "the document was sent");
        return false;
    }
    http_status_t status = HTTP_STATUS_CONTINUE;
    do {
        status = httpUpdate(http);
        cut_.ask_caller();  // between header lines, however slowly they come
    } while (status == HTTP_STATUS_CONTINUE && !cut_.over());
    if (status == HTTP_STATUS_CONTINUE) {
        outcome.fail(Failure::timed_out, 0, "no answer in time");
        return false;
    }
    if (status == HTTP_STATUS_ERROR) {
        io_failure(outcome, "an answer came");
        return false;
    }
    if (status != HTTP_STATUS_OK) {
        const char *name = status_text(status);
        outcome.http_status = status;
        if (name != nullptr) {
            outcome.fail(Failure::http_status, 0, "it answered HTTP %d (%s), not IPP", status, name);
        } else {
            outcome.fail(Failure::http_status, 0, "it answered HTTP %d, not IPP", status);
        }
        return false;
    }

    const LibcupsSection section;
    Message answer(ippNew());
    if (!answer) {
        outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return false;
    }
    auto *reader_memory = static_cast<BodyReader *>(std::calloc(1, sizeof(BodyReader)));
    if (reader_memory == nullptr) {
        outcome.fail(Failure::no_memory, ENOMEM, "out of memory");
        return false;
    }
    struct FreeReader {
        BodyReader *reader;
        FreeReader(const FreeReader &) = delete;
        FreeReader &operator=(const FreeReader &) = delete;
        FreeReader(FreeReader &&) = delete;
        FreeReader &operator=(FreeReader &&) = delete;
        ~FreeReader() { std::free(static_cast<void *>(reader)); }
    } free_reader{reader_memory};
    BodyReader &reader = *reader_memory;
    reader.http = http;
    reader.cut = &cut_;
    reader.most = most_bytes;
    const ipp_state_t read = ippReadIO(&reader, read_body, 1, nullptr, answer.get());
    // Bytes after the IPP message are part of its body, not a next answer.
    const bool whole = reader.start == reader.end;
    if (read != IPP_STATE_DATA) {
        if (cut_.over()) {
            outcome.fail(Failure::timed_out, 0, "no answer in time");
        } else if (reader.too_large) {
            outcome.fail(Failure::too_large, 0, "the answer is larger than %zu MiB", most_bytes >> 20U);
        } else if (reader.error != 0) {
            outcome.fail(Failure::io, reader.error, "%s", std::strerror(reader.error));
        } else if (reader.ended && httpGetState(http) == HTTP_STATE_WAITING) {
            // The whole body came, and the IPP message runs past its end.
            outcome.fail(Failure::not_ipp, 0, "the answer is not IPP, or is cut short");
        } else if (reader.ended) {
            outcome.fail(Failure::closed, 0, "the connection closed before the answer was whole");
        } else {
            outcome.fail(Failure::not_ipp, 0, "the answer is not IPP");
        }
        return false;
    }
    response = static_cast<Message &&>(answer);

    // Another request may follow only on a connection the peer keeps, once
    // the rest of this body (a chunked body's last chunk) is read.
    const char *connection = httpGetField(http, HTTP_FIELD_CONNECTION);
    const bool kept = httpGetVersion(http) >= HTTP_VERSION_1_1
                          ? strcasecmp(connection, "close") != 0
                          : strcasecmp(connection, "keep-alive") == 0;
    std::size_t drained = 0;
    char rest[4096];
    const LibcupsSection::Pause waiting;
    while (kept && httpGetState(http) != HTTP_STATE_WAITING && drained < kMostDrained &&
           !cut_.over()) {
        const ssize_t count = httpRead2(http, rest, sizeof rest);
        if (count <= 0) {
            break;
        }
        drained += static_cast<std::size_t>(count);
    }
    reusable_ = kept && whole && httpGetState(http) == HTTP_STATE_WAITING && httpGetFd(http) >= 0;
    return true;
}

}  // namespace ipp
