#include "ipp_core.hpp"

#include <cups/cups.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

// libcups' global lock: exported by libcups 2 for its own tools, not
// declared in its headers; weak, so that a libcups without them still loads.
extern "C" {
void _cupsGlobalLock(void) __attribute__((weak));    // NOLINT(bugprone-reserved-identifier)
void _cupsGlobalUnlock(void) __attribute__((weak));  // NOLINT(bugprone-reserved-identifier)
}

namespace ipp {

namespace {

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;
unsigned generation = 0;  // guarded by mutex

// Read-locked by every open LibcupsSection, write-locked by fork(); it
// prefers the writer, so a stream of sections cannot keep fork() waiting.
pthread_rwlock_t gate;
// How deep this thread is in sections, in memory of its own behind a
// pthread key (thread_local would make the module need the dynamic
// loader's library for __tls_get_addr). Null when memory ran out: that
// thread's sections then take no part in the gate.
pthread_key_t depth_key;

int *depth_slot() {
    auto *slot = static_cast<int *>(pthread_getspecific(depth_key));
    if (slot == nullptr) {
        slot = static_cast<int *>(std::calloc(1, sizeof(int)));
        if (slot != nullptr && pthread_setspecific(depth_key, slot) != 0) {
            std::free(slot);
            slot = nullptr;
        }
    }
    return slot;
}

void free_depth(void *slot) { std::free(slot); }

void make_gate() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&gate, &attributes);
    pthread_rwlockattr_destroy(&attributes);
}

// Sections first, then the core lock: a section may take the core lock,
// never the other way round.
void before_fork() {
    pthread_rwlock_wrlock(&gate);
    pthread_mutex_lock(&mutex);
    // libcups' own global lock is taken, briefly, by httpInitialize() from
    // the connect and lookup calls, which run outside the gate: a fork in
    // that moment would leave it locked in the child for good. It is held
    // across the fork, last, as no thread holding it waits for ours.
    if (_cupsGlobalLock != nullptr && _cupsGlobalUnlock != nullptr) {
        _cupsGlobalLock();
    }
}

void after_fork_in_parent() {
    if (_cupsGlobalLock != nullptr && _cupsGlobalUnlock != nullptr) {
        _cupsGlobalUnlock();
    }
    pthread_mutex_unlock(&mutex);
    pthread_rwlock_unlock(&gate);
}

// The child has only the thread that forked. Both locks were taken before
// the fork, so no other thread was inside them; they are re-made rather
// than unlocked, as a lock copied across fork() may not be unlocked there.
void after_fork_in_child() {
    // The child's one thread is the one that took it (a plain mutex, which
    // libcups cannot re-make).
    if (_cupsGlobalLock != nullptr && _cupsGlobalUnlock != nullptr) {
        _cupsGlobalUnlock();
    }
    pthread_mutex_init(&mutex, nullptr);
    make_gate();
    if (int *depth = depth_slot()) {
        *depth = 0;
    }
    ++generation;
    pool_forget_after_fork();
    lookups_forget_after_fork();
    watchdog_forget_after_fork();
}

void install_fork_handlers() {
    pthread_key_create(&depth_key, free_depth);
    make_gate();
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

const char *no_password(const char * /*prompt*/, http_t * /*http*/, const char * /*method*/,
                        const char * /*resource*/, void * /*data*/) {
    return nullptr;
}

}  // namespace

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
    return left > 86400.0 ? 86400000 : static_cast<int>(left * 1000.0);
}

pthread_mutex_t &core_mutex() {
    pthread_once(&fork_handlers_once, install_fork_handlers);
    return mutex;
}

Locked::Locked() { pthread_mutex_lock(&core_mutex()); }
Locked::~Locked() { pthread_mutex_unlock(&mutex); }

void init_condition(pthread_cond_t &condition) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

bool wait_until(pthread_cond_t &condition, double deadline) {
    if (now() >= deadline) {
        return false;
    }
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline);
    until.tv_nsec = static_cast<long>((deadline - static_cast<double>(until.tv_sec)) * 1e9);
    return pthread_cond_timedwait(&condition, &mutex, &until) != ETIMEDOUT;
}

unsigned fork_generation() {
    const Locked locked;
    return generation;
}

unsigned fork_generation_locked() { return generation; }

Cut::Cut(double deadline) : deadline_(deadline), generation_(fork_generation()) {}

Cut::~Cut() {
    if (guarded_) {
        const Locked locked;
        unguard_locked(this);
    }
    unwatch();
}

bool Cut::over() const { return abandoned() || now() >= deadline(); }

// ------------------------------------------------------------ the watchdog

namespace {

constexpr int kMostGuarded = 4096;
constexpr double kWatchdogIdle = 0.5;  // seconds with nothing guarded before it ends

// Guarded by core_mutex().
struct Watchdog {
    bool running;
    bool ready;
    pthread_cond_t wake;
    int count;
    Cut *cuts[kMostGuarded];
} watchdog;

void *watchdog_main(void * /*unused*/) {
    pthread_mutex_lock(&core_mutex());
    double idle_since = now();
    for (;;) {
        const double at = now();
        double earliest = at + kWatchdogIdle;
        for (int i = 0; i < watchdog.count;) {
            Cut *cut = watchdog.cuts[i];
            if (at >= cut->deadline()) {
                cut->abandon_locked();
                watchdog.cuts[i] = watchdog.cuts[--watchdog.count];
                continue;
            }
            earliest = cut->deadline() < earliest ? cut->deadline() : earliest;
            ++i;
        }
        if (watchdog.count > 0) {
            idle_since = at;
        } else if (at - idle_since >= kWatchdogIdle) {
            break;
        }
        wait_until(watchdog.wake, earliest);
    }
    watchdog.running = false;
    pthread_mutex_unlock(&core_mutex());
    return nullptr;
}

}  // namespace

void unguard_locked(const Cut *cut) {
    for (int i = 0; i < watchdog.count; ++i) {
        if (watchdog.cuts[i] == cut) {
            watchdog.cuts[i] = watchdog.cuts[--watchdog.count];
            return;
        }
    }
}

void watchdog_forget_after_fork() {
    // The child has no watchdog thread, and its cuts are the parent's.
    watchdog.running = false;
    watchdog.count = 0;
    if (watchdog.ready) {
        init_condition(watchdog.wake);
    }
}

void Cut::guard() {
    const Locked locked;
    if (!watchdog.ready) {
        init_condition(watchdog.wake);
        watchdog.ready = true;
    }
    if (watchdog.count >= kMostGuarded) {
        return;  // as unguarded as before: libcups' own waits still ask the cut
    }
    if (!watchdog.running) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread{};
        const bool started = pthread_create(&thread, &attributes, watchdog_main, nullptr) == 0;
        pthread_attr_destroy(&attributes);
        if (!started) {
            return;
        }
        watchdog.running = true;
    }
    watchdog.cuts[watchdog.count++] = this;
    guarded_ = true;
    pthread_cond_signal(&watchdog.wake);
}

void Cut::move_to(double deadline) {
    const double before = this->deadline();
    deadline_.store(deadline, std::memory_order_release);
    if (guarded_ && deadline < before) {
        const Locked locked;
        pthread_cond_signal(&watchdog.wake);  // it may sleep until the later one
    }
}

void Cut::abandon_locked() {
    abandoned_.store(true, std::memory_order_release);
    __atomic_store_n(&cancel_, 1, __ATOMIC_RELEASE);
    // A socket inherited across fork() is shared with the parent, whose
    // question it still serves.
    if (watched_ >= 0 && generation_ == generation) {
        shutdown(watched_, SHUT_RDWR);
    }
}

void Cut::ask_caller() {
    if (caller_ == nullptr || interrupted_) {
        return;
    }
    caller_->acquire(caller_->context);
    const bool stop = caller_->interrupted(caller_->context);
    caller_->release(caller_->context);
    if (stop) {
        interrupted_ = true;
        if (grace_ > 0) {
            if (now() + grace_ < deadline()) {
                move_to(now() + grace_);
            }
            return;
        }
        const Locked locked;
        abandon_locked();
    }
}

bool Cut::watch(int socket) {
    const int copy = fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return false;
    }
    int old = -1;
    {
        const Locked locked;
        old = watched_;
        watched_ = copy;
        if (abandoned()) {
            shutdown(copy, SHUT_RDWR);
        }
    }
    if (old >= 0) {
        close(old);
    }
    return true;
}

void Cut::unwatch() {
    int old = -1;
    {
        const Locked locked;
        old = watched_;
        watched_ = -1;
    }
    if (old >= 0) {
        close(old);
    }
}

LibcupsSection::LibcupsSection() {
    pthread_once(&fork_handlers_once, install_fork_handlers);
    int *depth = depth_slot();
    if (depth != nullptr && (*depth)++ == 0) {
        pthread_rwlock_rdlock(&gate);
    }
}

LibcupsSection::~LibcupsSection() {
    int *depth = depth_slot();
    if (depth != nullptr && --*depth == 0) {
        pthread_rwlock_unlock(&gate);
    }
}

LibcupsSection::Pause::Pause() {
    int *depth = depth_slot();
    depth_ = depth != nullptr ? *depth : 0;
    if (depth_ > 0) {
        *depth = 0;
        pthread_rwlock_unlock(&gate);
    }
}

LibcupsSection::Pause::~Pause() {
    if (depth_ > 0) {
        pthread_rwlock_rdlock(&gate);
        *depth_slot() = depth_;
    }
}

void delete_message(ipp_t *message) {
    const LibcupsSection section;
    ippDelete(message);
}

void refuse_passwords() { cupsSetPasswordCB2(no_password, nullptr); }

}  // namespace ipp
