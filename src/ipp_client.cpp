// Each question runs on a detached thread of its own, for two reasons:
// - libcups keeps the server, port, encryption and user it picked per
//   thread, so a new thread reads CUPS_SERVER and client.conf afresh, as a
//   CUPS tool does when it starts;
// - name lookups and TLS handshakes are not bounded by libcups' time limits,
//   so the caller waits for the deadline only, and a thread still running
//   then is abandoned: it frees its own job when it ends.
// Threads are started with pthreads and jobs allocated with calloc, so the
// module needs no C++ runtime.
#include "ipp_client.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ipp_client {

namespace {

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int milliseconds_left(double deadline) {
    const double left = deadline - now();
    if (left <= 0.001) {
        return 1;
    }
    return left > 1e6 ? 1000000000 : static_cast<int>(left * 1000.0);
}

void copy_text(char *out, std::size_t size, const char *text) {
    std::snprintf(out, size, "%s", text != nullptr ? text : "");
}

// A password prompt would read the terminal from a thread nobody waits for.
const char *no_password(const char * /*prompt*/, http_t * /*http*/, const char * /*method*/,
                        const char * /*resource*/, void * /*data*/) {
    return nullptr;
}


// Connects to host and port with a socket of our own, for the reason a
// connection fails: libcups reports every failure alike. Returns 0 when a
// connection was made, else the errno of the last address tried, or -1
// when the name has no address.
int try_connect(const char *host, int port, double deadline) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    http_addrlist_t *addresses = httpAddrGetList(host, AF_UNSPEC, service);
    if (addresses == nullptr) {
        return -1;
    }
    int error = ETIMEDOUT;
    for (http_addrlist_t *address = addresses; address != nullptr; address = address->next) {
        const int fd = socket(address->addr.addr.sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (connect(fd, &address->addr.addr, static_cast<socklen_t>(httpAddrLength(&address->addr))) == 0) {
            error = 0;
        } else if (errno != EINPROGRESS) {
            error = errno;
        } else {
            pollfd waiting{fd, POLLOUT, 0};
            const int ready = poll(&waiting, 1, milliseconds_left(deadline));
            socklen_t size = sizeof error;
            if (ready <= 0) {
                error = ready == 0 ? ETIMEDOUT : errno;
            } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
        }
        close(fd);
        if (error == 0 || now() >= deadline) {
            break;
        }
    }
    httpAddrFreeList(addresses);
    return error;
}

void describe_failure(int error, const char *host, char *text, std::size_t size) {
    if (error < 0) {
        std::snprintf(text, size, "cannot find the address of %s", host);
    } else {
        copy_text(text, size, std::strerror(error));
    }
}

// ------------------------------------------------------------------ jobs

struct Batch;

struct Job {
    void (*run)(Job &job) = nullptr;
    void (*destroy)(Job *job) = nullptr;
    Batch *batch = nullptr;
    double deadline = 0;
    bool finished = false;   // guarded by batch->mutex
    bool abandoned = false;  // guarded by batch->mutex
    int socket = -1;         // guarded by batch->mutex: the connection to cut at the deadline
};

struct Batch {
    pthread_mutex_t mutex;
    pthread_cond_t done;
    std::size_t pending;
    std::size_t references;  // the caller's and one per running thread
};

Batch *new_batch() {
    auto *batch = static_cast<Batch *>(std::calloc(1, sizeof(Batch)));
    if (batch == nullptr) {
        return nullptr;
    }
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&batch->done, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_mutex_init(&batch->mutex, nullptr);
    batch->references = 1;
    return batch;
}

void free_batch(Batch *batch) {
    pthread_cond_destroy(&batch->done);
    pthread_mutex_destroy(&batch->mutex);
    std::free(batch);
}

// Drops one reference; the last one frees the batch.
void release(Batch *batch) {
    pthread_mutex_lock(&batch->mutex);
    const bool last = --batch->references == 0;
    pthread_mutex_unlock(&batch->mutex);
    if (last) {
        free_batch(batch);
    }
}

// Threads of this process's questions that have not ended, abandoned ones
// included. A peer that holds a TLS handshake open, which happens before
// there is a connection to cut, keeps its thread; the cap keeps such peers
// from piling up threads without end: past it, a question is not asked.
std::atomic<int> live_threads{0};
constexpr int kMostLiveThreads = 512;

void *run_job(void *argument) {
    Job *job = static_cast<Job *>(argument);
    cupsSetPasswordCB2(no_password, nullptr);
    job->run(*job);
    Batch *batch = job->batch;
    pthread_mutex_lock(&batch->mutex);
    job->finished = true;
    const bool abandoned = job->abandoned;
    --batch->pending;
    pthread_cond_signal(&batch->done);
    pthread_mutex_unlock(&batch->mutex);
    if (abandoned) {
        job->destroy(job);
    }
    release(batch);
    live_threads.fetch_sub(1);
    return nullptr;
}

// Starts job on a thread of its own; false (with errno) when none can be made.
bool start(Batch *batch, Job *job) {
    if (live_threads.fetch_add(1) >= kMostLiveThreads) {
        live_threads.fetch_sub(1);
        errno = EAGAIN;
        return false;
    }
    job->batch = batch;
    pthread_mutex_lock(&batch->mutex);
    ++batch->pending;
    ++batch->references;
    pthread_mutex_unlock(&batch->mutex);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Name lookups and TLS need more than the smallest stacks, far less
    // than the default 8 MiB: hundreds of printers may be asked at once.
    pthread_attr_setstacksize(&attributes, static_cast<std::size_t>(1) << 20U);
    pthread_t thread{};
    const int failed = pthread_create(&thread, &attributes, run_job, job);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        pthread_mutex_lock(&batch->mutex);
        --batch->pending;
        --batch->references;
        pthread_mutex_unlock(&batch->mutex);
        live_threads.fetch_sub(1);
        errno = failed;
        return false;
    }
    return true;
}

void wait_until(Batch *batch, double deadline) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline);
    until.tv_nsec = static_cast<long>((deadline - static_cast<double>(until.tv_sec)) * 1e9);
    pthread_mutex_lock(&batch->mutex);
    while (batch->pending > 0) {
        if (pthread_cond_timedwait(&batch->done, &batch->mutex, &until) == ETIMEDOUT) {
            break;
        }
    }
    pthread_mutex_unlock(&batch->mutex);
}

// True when job finished and is the caller's to read and destroy; otherwise
// it is abandoned to its thread, and its connection is cut so that a peer
// that answers slowly or never cannot keep the thread.
bool claim(Batch *batch, Job *job) {
    pthread_mutex_lock(&batch->mutex);
    const bool finished = job->finished;
    job->abandoned = !finished;
    if (!finished && job->socket >= 0) {
        shutdown(job->socket, SHUT_RDWR);
    }
    pthread_mutex_unlock(&batch->mutex);
    return finished;
}

// Reads and waits on a connection are cut at the deadline by claim(): that
// costs nothing per read, where libcups' own time-out polls before each.
// claim() shuts down a duplicate of the connection's descriptor, which this
// owner closes: a descriptor of libcups' that was closed and reused
// elsewhere in the process is never touched. (Should libcups reconnect on
// its own, the new connection is not cut; the answer is still bounded.)
class Watched {
public:
    Watched(Job &job, http_t *http) : job_(job) {
        const int copy = fcntl(httpGetFd(http), F_DUPFD_CLOEXEC, 0);
        pthread_mutex_lock(&job_.batch->mutex);
        job_.socket = copy;
        if (job_.abandoned && copy >= 0) {
            shutdown(copy, SHUT_RDWR);
        }
        pthread_mutex_unlock(&job_.batch->mutex);
    }
    Watched(const Watched &) = delete;
    Watched &operator=(const Watched &) = delete;
    Watched(Watched &&) = delete;
    Watched &operator=(Watched &&) = delete;
    // True once the caller gave up: a request sent now on the cut
    // connection would make libcups connect again, out of reach of the cut.
    bool abandoned() const {
        pthread_mutex_lock(&job_.batch->mutex);
        const bool gone = job_.abandoned;
        pthread_mutex_unlock(&job_.batch->mutex);
        return gone;
    }
    ~Watched() {
        pthread_mutex_lock(&job_.batch->mutex);
        const int copy = std::exchange(job_.socket, -1);
        pthread_mutex_unlock(&job_.batch->mutex);
        if (copy >= 0) {
            close(copy);
        }
    }

private:
    Job &job_;
};

// libcups reports a connection that closed or an answer that is not IPP
// with the text of errno 0.
const char *no_answer() {
    const char *text = cupsLastErrorString();
    if (cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE || text == nullptr ||
        std::strcmp(text, std::strerror(0)) == 0) {
        return "no IPP answer: the connection closed, or the answer was not IPP";
    }
    return text;
}

template <typename T>
T *new_job() {
    void *memory = std::calloc(1, sizeof(T));
    if (memory == nullptr) {
        return nullptr;
    }
    T *job = new (memory) T();
    job->run = [](Job &base) { T::work(static_cast<T &>(base)); };
    job->destroy = [](Job *base) {
        T *self = static_cast<T *>(base);
        self->~T();
        std::free(self);
    };
    return job;
}

// -------------------------------------------------------------- scheduler

constexpr const char *kPrinterAttributes[] = {
    "printer-name",       "printer-state",   "printer-state-reasons", "printer-state-message",
    "printer-is-accepting-jobs", "queued-job-count", "printer-type",   "device-uri",
    "member-names",
};

Message new_request(ipp_op_t operation) {
    Message request(ippNewRequest(operation));
    if (request) {
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                     nullptr, cupsUser());
    }
    return request;
}

// CUPS answers not-found when there is no printer at all.
bool usable_status(ipp_status_t status, bool none_is_fine) {
    return status <= IPP_STATUS_OK_EVENTS_COMPLETE ||
           (none_is_fine && status == IPP_STATUS_ERROR_NOT_FOUND);
}

struct SchedulerJob : Job {
    SchedulerAnswer answer;

    static void work(SchedulerJob &job) {
        SchedulerAnswer &answer = job.answer;
        const char *host = cupsServer();
        const int port = ippPort();
        if (host[0] == '/') {
            copy_text(answer.server, sizeof answer.server, host);
        } else {
            std::snprintf(answer.server, sizeof answer.server, "%s:%d", host, port);
        }
        Http http(httpConnect2(host, port, nullptr, AF_UNSPEC, cupsEncryption(), 1,
                               milliseconds_left(job.deadline), nullptr));
        if (!http) {
            const int error = try_connect(host, port, job.deadline);
            answer.error_number = error > 0 ? error : 0;
            if (error == 0) {  // something listens, but the connection libcups wants fails
                copy_text(answer.error, sizeof answer.error,
                          "the connection failed (no TLS where encryption is required?)");
                answer.outcome = now() >= job.deadline ? Outcome::timed_out : Outcome::failed;
                return;
            }
            describe_failure(error, host, answer.error, sizeof answer.error);
            answer.outcome = now() >= job.deadline || error == ETIMEDOUT ? Outcome::timed_out
                                                                         : Outcome::cannot_connect;
            return;
        }
        answer.local = httpAddrLocalhost(httpGetAddress(http.get())) != 0;
        const Watched watched(job, http.get());

        Message request = new_request(IPP_OP_CUPS_GET_PRINTERS);
        if (!request) {
            copy_text(answer.error, sizeof answer.error, "out of memory");
            return;
        }
        ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                      static_cast<int>(sizeof kPrinterAttributes / sizeof *kPrinterAttributes),
                      nullptr, kPrinterAttributes);
        if (watched.abandoned()) {
            return;
        }
        answer.printers.reset(cupsDoRequest(http.get(), request.release(), "/"));
        if (now() >= job.deadline) {
            answer.outcome = Outcome::timed_out;
            return;
        }
        if (!answer.printers) {
            copy_text(answer.error, sizeof answer.error, no_answer());
            return;
        }
        if (!usable_status(ippGetStatusCode(answer.printers.get()), true)) {
            copy_text(answer.error, sizeof answer.error,
                      ippErrorString(ippGetStatusCode(answer.printers.get())));
            answer.printers.reset();
            return;
        }

        // lp without -d: PRINTER or LPDEST, lpoptions, then the scheduler's
        // default, and libcups' own message when the one named is missing.
        cups_dest_t *dest = cupsGetNamedDest(http.get(), nullptr, nullptr);
        if (now() >= job.deadline) {
            cupsFreeDests(dest != nullptr ? 1 : 0, dest);
            answer.printers.reset();
            answer.outcome = Outcome::timed_out;
            return;
        }
        if (dest != nullptr) {
            answer.has_default = true;
            if (dest->instance != nullptr) {
                std::snprintf(answer.default_name, sizeof answer.default_name, "%s/%s",
                              dest->name, dest->instance);
            } else {
                copy_text(answer.default_name, sizeof answer.default_name, dest->name);
            }
            cupsFreeDests(1, dest);
        } else {
            answer.default_status = cupsLastError();
            copy_text(answer.default_error, sizeof answer.default_error, cupsLastErrorString());
        }
        answer.outcome = Outcome::answered;
    }
};

// ---------------------------------------------------------------- devices

struct DeviceJob : Job {
    char uri[HTTP_MAX_URI];
    DeviceAnswer answer;

    static void work(DeviceJob &job) {
        DeviceAnswer &answer = job.answer;
        char scheme[32];
        char user[HTTP_MAX_VALUE];
        char host[HTTP_MAX_HOST];
        char resource[HTTP_MAX_URI];
        int port = 0;
        if (httpSeparateURI(HTTP_URI_CODING_ALL, job.uri, scheme, sizeof scheme, user,
                            sizeof user, host, sizeof host, &port, resource,
                            sizeof resource) < HTTP_URI_STATUS_OK) {
            copy_text(answer.error, sizeof answer.error, "the device URI cannot be parsed");
            return;
        }
        if (answer.kind == DeviceKind::tcp) {
            connect_only(job, host, port);
        } else {
            ask_printer(job, scheme, host, port, resource);
        }
    }

    static void connect_only(DeviceJob &job, const char *host, int port) {
        DeviceAnswer &answer = job.answer;
        const int error = try_connect(host, port, job.deadline);
        answer.reachable = error == 0;
        if (error != 0) {
            answer.error_number = error > 0 ? error : 0;
            answer.timed_out = error == ETIMEDOUT || now() >= job.deadline;
            describe_failure(error, host, answer.error, sizeof answer.error);
        }
    }

    static void ask_printer(DeviceJob &job, const char *scheme, const char *host, int port,
                            const char *resource) {
        DeviceAnswer &answer = job.answer;
        const bool secure = std::strcmp(scheme, "ipps") == 0 || std::strcmp(scheme, "https") == 0;
        Http http(httpConnect2(host, port, nullptr, AF_UNSPEC,
                               secure ? HTTP_ENCRYPTION_ALWAYS : HTTP_ENCRYPTION_IF_REQUESTED, 1,
                               milliseconds_left(job.deadline), nullptr));
        if (!http) {
            connect_only(job, host, port);
            if (answer.reachable) {  // it took a connection only now
                answer.reachable = false;
                copy_text(answer.error, sizeof answer.error, "the connection failed");
            }
            return;
        }
        const Watched watched(job, http.get());
        char printer_uri[HTTP_MAX_URI];
        httpAssembleURI(HTTP_URI_CODING_ALL, printer_uri, sizeof printer_uri,
                        secure ? "ipps" : "ipp", nullptr, host, port, resource);
        Message request = new_request(IPP_OP_GET_PRINTER_ATTRIBUTES);
        if (!request) {
            copy_text(answer.error, sizeof answer.error, "out of memory");
            return;
        }
        static const char *const wanted[] = {"printer-state", "printer-state-reasons",
                                             "printer-state-message"};
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printer_uri);
        ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                      3, nullptr, wanted);
        if (watched.abandoned()) {
            return;
        }
        answer.attributes.reset(cupsDoRequest(http.get(), request.release(), resource));
        if (!answer.attributes) {
            answer.timed_out = now() >= job.deadline;
            copy_text(answer.error, sizeof answer.error, no_answer());
            return;
        }
        answer.reachable = true;
        const ipp_status_t status = ippGetStatusCode(answer.attributes.get());
        if (!usable_status(status, false)) {
            std::snprintf(answer.error, sizeof answer.error, "it answered %s", ippErrorString(status));
        }
    }
};

}  // namespace

// ------------------------------------------------------------------ public

void ask_scheduler(double timeout, SchedulerAnswer &answer) {
    const double deadline = now() + timeout;
    Batch *batch = new_batch();
    SchedulerJob *job = batch != nullptr ? new_job<SchedulerJob>() : nullptr;
    if (job == nullptr) {
        if (batch != nullptr) {
            release(batch);
        }
        copy_text(answer.error, sizeof answer.error, "out of memory");
        return;
    }
    job->deadline = deadline;
    if (!start(batch, job)) {
        std::snprintf(answer.error, sizeof answer.error, "cannot start a thread: %s",
                      errno == EAGAIN ? "too many earlier questions have not ended"
                                      : std::strerror(errno));
        job->destroy(job);
        release(batch);
        return;
    }
    wait_until(batch, deadline);
    if (claim(batch, job)) {
        SchedulerAnswer &got = job->answer;
        answer.outcome = got.outcome;
        answer.error_number = got.error_number;
        answer.local = got.local;
        answer.has_default = got.has_default;
        answer.default_status = got.default_status;
        answer.printers = std::move(got.printers);
        std::memcpy(answer.error, got.error, sizeof answer.error);
        std::memcpy(answer.server, got.server, sizeof answer.server);
        std::memcpy(answer.default_name, got.default_name, sizeof answer.default_name);
        std::memcpy(answer.default_error, got.default_error, sizeof answer.default_error);
        job->destroy(job);
    } else {
        answer.outcome = Outcome::timed_out;
    }
    release(batch);
}

DeviceKind device_kind(const char *uri, char (&scheme)[32]) {
    char user[HTTP_MAX_VALUE];
    char host[HTTP_MAX_HOST];
    char resource[HTTP_MAX_URI];
    int port = 0;
    scheme[0] = '\0';
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user,
                        host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
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

void check_devices(const char *const *uris, std::size_t count, double timeout,
                   DeviceAnswer *answers) {
    const double deadline = now() + timeout;
    Batch *batch = new_batch();
    if (batch == nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            copy_text(answers[i].error, sizeof answers[i].error, "out of memory");
        }
        return;
    }
    DeviceJob **jobs = static_cast<DeviceJob **>(std::calloc(count + 1, sizeof(void *)));
    for (std::size_t i = 0; i < count; ++i) {
        DeviceAnswer &answer = answers[i];
        answer.kind = device_kind(uris[i], answer.scheme);
        if (answer.kind != DeviceKind::ipp && answer.kind != DeviceKind::tcp) {
            continue;
        }
        answer.checked = true;
        DeviceJob *job = jobs != nullptr ? new_job<DeviceJob>() : nullptr;
        if (job == nullptr) {
            copy_text(answer.error, sizeof answer.error, "out of memory");
            continue;
        }
        job->deadline = deadline;
        job->answer.kind = answer.kind;
        copy_text(job->uri, sizeof job->uri, uris[i]);
        if (!start(batch, job)) {
            // Not asked is not unreachable: the printer may be fine.
            answer.checked = false;
            answer.kind = DeviceKind::no_thread;
            job->destroy(job);
            continue;
        }
        jobs[i] = job;
    }
    wait_until(batch, deadline);
    for (std::size_t i = 0; jobs != nullptr && i < count; ++i) {
        DeviceJob *job = jobs[i];
        if (job == nullptr) {
            continue;
        }
        DeviceAnswer &answer = answers[i];
        if (claim(batch, job)) {
            DeviceAnswer &got = job->answer;
            answer.reachable = got.reachable;
            answer.timed_out = got.timed_out;
            answer.error_number = got.error_number;
            std::memcpy(answer.error, got.error, sizeof answer.error);
            answer.attributes = std::move(got.attributes);
            job->destroy(job);
        } else {
            answer.timed_out = true;
        }
    }
    std::free(static_cast<void *>(jobs));
    release(batch);
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

}  // namespace ipp_client
