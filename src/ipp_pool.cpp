#include "ipp_pool.hpp"

#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <cstdlib>
#include <cstring>

namespace ipp {

struct Worker {
    bool used;
    bool orphan;  // left the pool when its question was given up
    bool ready;   // libcups has read the environment on this thread
    bool idle;    // counted in pool.idle
    Question *current;
};

namespace {

constexpr double kIdleSeconds = 0.25;
constexpr double kCheckInterval = 0.05;
constexpr double kMostStartSeconds = 2.0;
constexpr int kMostThreads = kPoolSize + kReserve + kMostOrphans;

// All guarded by core_mutex().
struct Pool {
    Question *head;
    Question *tail;
    std::size_t queued;
    int workers;  // in the pool: not orphans
    int idle;
    int orphans;
    int running_normal;
    // How many running questions each peer has, given-up ones included: one
    // entry per peer with any, in no order.
    struct PeerCount {
        std::uint64_t peer;
        int count;
    } peers[kMostThreads];
    int peer_entries;
    int start_error;
    bool ready;
    // The environment that libcups on the pool's threads was started on
    // (see environment_of()).
    std::uintptr_t environment;
    pthread_cond_t work;
    pthread_cond_t started;
    Worker slots[kMostThreads];
} pool;

void ready_locked() {
    if (!pool.ready) {
        init_condition(pool.work);
        init_condition(pool.started);
        pool.ready = true;
    }
}

Pool::PeerCount *peer_entry(std::uint64_t peer) {
    Pool::PeerCount *end = pool.peers + pool.peer_entries;
    Pool::PeerCount *found = std::find_if(
        pool.peers, end, [peer](const Pool::PeerCount &entry) { return entry.peer == peer; });
    return found != end ? found : nullptr;
}

int running_for(std::uint64_t peer) {
    const Pool::PeerCount *entry = peer_entry(peer);
    return entry != nullptr ? entry->count : 0;
}

void count_peer(std::uint64_t peer, int change) {
    if (peer == 0) {
        return;
    }
    Pool::PeerCount *entry = peer_entry(peer);
    if (entry == nullptr) {
        if (change < 0 || pool.peer_entries == kMostThreads) {
            return;
        }
        entry = &pool.peers[pool.peer_entries++];
        *entry = Pool::PeerCount{peer, 0};
    }
    entry->count += change;
    if (entry->count <= 0) {
        *entry = pool.peers[--pool.peer_entries];
    }
}

// Whether question could run now, were a thread free.
bool may_run_locked(const Question *question) {
    // The priority questions (one per call: the scheduler, the default's
    // printer) may go past a peer's cap by the reserve, so that calls at
    // once from several threads still each have their default asked.
    return (question->priority || pool.running_normal < kPoolSize) &&
           (question->peer == 0 ||
            running_for(question->peer) < kPerPeer + (question->priority ? kReserve : 0));
}

void enqueue_locked(Question *question) {
    question->state = Question::State::queued;
    question->generation = fork_generation_locked();
    question->queued_at = now();
    if (question->priority) {
        // After the priority questions already waiting, before the rest.
        Question *after = nullptr;
        for (Question *q = pool.head; q != nullptr && q->priority; q = q->next) {
            after = q;
        }
        question->previous = after;
        question->next = after != nullptr ? after->next : pool.head;
    } else {
        question->previous = pool.tail;
        question->next = nullptr;
    }
    (question->previous != nullptr ? question->previous->next : pool.head) = question;
    (question->next != nullptr ? question->next->previous : pool.tail) = question;
    ++pool.queued;
}

void unqueue_locked(Question *question) {
    (question->previous != nullptr ? question->previous->next : pool.head) = question->next;
    (question->next != nullptr ? question->next->previous : pool.tail) = question->previous;
    question->previous = question->next = nullptr;
    --pool.queued;
}

// The first queued question that may run now.
Question *takeable_locked() {
    for (Question *q = pool.head; q != nullptr; q = q->next) {
        if (may_run_locked(q)) {
            return q;
        }
    }
    return nullptr;
}

void *run_worker(void *argument);

// Starts threads while questions wait and no idle thread can take them.
// Threads block every signal: the interpreter's handlers run on its main
// thread, and a write to a peer that has gone raises SIGPIPE on the writing
// thread, where it stays pending instead of ending the process.
void start_workers_locked() {
    bool priority_waiting = pool.head != nullptr && pool.head->priority;
    while (pool.queued > static_cast<std::size_t>(pool.idle)) {
        const int limit = priority_waiting ? kPoolSize + kReserve : kPoolSize;
        if (pool.workers >= limit) {
            return;
        }
        Worker *slot = std::find_if(std::begin(pool.slots), std::end(pool.slots),
                                    [](const Worker &candidate) { return !candidate.used; });
        if (slot == std::end(pool.slots)) {
            return;
        }
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // libcups reads lines into 32 KiB on the stack; name lookups and TLS
        // want more than the smallest stacks, far less than the default 8 MiB.
        pthread_attr_setstacksize(&attributes, static_cast<std::size_t>(1) << 20U);
        pthread_t thread{};
        *slot = Worker{true, false, false, true, nullptr};
        const int failed = pthread_create(&thread, &attributes, run_worker, slot);
        pthread_attr_destroy(&attributes);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (failed != 0) {
            slot->used = false;
            pool.start_error = failed;
            return;
        }
        pool.start_error = 0;
        ++pool.workers;
        ++pool.idle;  // counted idle until it takes a question
        priority_waiting = false;
        // Its libcups reads the environment while the caller still holds
        // the interpreter's lock.
        const double until = now() + kMostStartSeconds;
        while (!slot->ready && wait_until(pool.started, until)) {
        }
    }
}

void leave_idle_locked(Worker &worker) {
    if (worker.idle) {
        worker.idle = false;
        --pool.idle;
    }
}

// Leaves a thread outside the pool's count: it ends after its question, or
// at once when it has none.
void retire_locked(Worker &worker) {
    leave_idle_locked(worker);
    worker.orphan = true;
    --pool.workers;
    ++pool.orphans;
}

// A question's thread whose question was given up. Past kMostOrphans it
// stays counted, and the pool is smaller until it ends.
void orphan_locked(Worker *worker) {
    if (worker == nullptr || worker->orphan || pool.orphans >= kMostOrphans) {
        return;
    }
    retire_locked(*worker);
}

}  // namespace

void pool_forget_after_fork() {
    std::memset(static_cast<void *>(&pool), 0, sizeof pool);
}

std::uint64_t peer_of(const char *host, int port) {
    // FNV-1a, folding case as host names compare.
    std::uint64_t hash = 1469598103934665603ULL;
    for (const char *c = host; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        hash = (hash ^ static_cast<std::uint64_t>(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte)) *
               1099511628211ULL;
    }
    hash = (hash ^ static_cast<std::uint64_t>(static_cast<unsigned>(port))) * 1099511628211ULL;
    return hash == 0 ? 1 : hash;
}

// The environment as libcups keeps it: the addresses of the values whose
// pointers it keeps from when a thread first uses it (what it copies, such
// as CUPS_SERVER, does not matter here). A value the interpreter replaced or
// removed has a new address (or none), and the old one may be freed.
std::uintptr_t environment_of() {
    static const char *const names[] = {"CUPS_DATADIR", "CUPS_SERVERBIN", "CUPS_SERVERROOT",
                                        "CUPS_STATEDIR", "LOCALEDIR", "HOME"};
    std::uintptr_t hash = 0;
    for (const char *name : names) {
        hash = hash * 1000003U ^ reinterpret_cast<std::uintptr_t>(std::getenv(name));
    }
    return hash;
}

void *worker_main(void *argument) {
    auto *self = static_cast<Worker *>(argument);
    // Everything libcups reads from the environment and client.conf on a
    // thread, read now: the per-thread state, then the defaults that the
    // first IPP message asks for.
    refuse_passwords();
    {
        const LibcupsSection section;
        ippDelete(ippNew());
    }
    pthread_mutex_lock(&core_mutex());
    self->ready = true;
    pthread_cond_broadcast(&pool.started);
    leave_idle_locked(*self);
    for (;;) {
        if (self->orphan) {
            break;
        }
        Question *question = takeable_locked();
        if (question == nullptr) {
            self->idle = true;
            ++pool.idle;
            const bool woken = wait_until(pool.work, now() + kIdleSeconds);
            leave_idle_locked(*self);
            if (!woken && takeable_locked() == nullptr) {
                break;
            }
            continue;
        }
        unqueue_locked(question);
        question->state = Question::State::running;
        question->began = now();
        question->worker = self;
        self->current = question;
        if (!question->priority) {
            ++pool.running_normal;
        }
        count_peer(question->peer, 1);
        pthread_mutex_unlock(&core_mutex());

        question->run(*question);

        pthread_mutex_lock(&core_mutex());
        self->current = nullptr;
        // A given-up question left its place in the pool when it was given
        // up; its place for its peer it keeps until now.
        if (!question->priority && !question->given_up) {
            --pool.running_normal;
        }
        count_peer(question->peer, -1);
        Question *to_destroy = nullptr;
        if (question->given_up) {
            to_destroy = question;
        } else {
            question->state = Question::State::answered;
            question->worker = nullptr;
            Batch *batch = question->batch;
            if (--batch->pending_ == 0) {
                pthread_cond_signal(&batch->done_);
            }
        }
        // What this question held (a place in the pool, a place for its
        // peer) may let another thread take a question it had to skip.
        if (pool.queued > 0) {
            pthread_cond_signal(&pool.work);
        }
        if (to_destroy != nullptr) {
            pthread_mutex_unlock(&core_mutex());
            to_destroy->destroy(to_destroy);
            pthread_mutex_lock(&core_mutex());
        }
        if (self->orphan) {
            break;
        }
    }
    if (self->orphan) {
        --pool.orphans;
    } else {
        --pool.workers;
    }
    self->used = false;
    self->current = nullptr;
    pthread_mutex_unlock(&core_mutex());
    return nullptr;
}

namespace {
void *run_worker(void *argument) { return worker_main(argument); }
}  // namespace

Batch::Batch() { init_condition(done_); }

Batch::~Batch() {
    if (!waited_) {
        wait(now());
    }
    for (std::size_t i = 0; i < count_; ++i) {
        if (questions_[i] != nullptr) {
            questions_[i]->destroy(questions_[i]);
        }
    }
    std::free(static_cast<void *>(questions_));
    std::free(static_cast<void *>(fates_));
    pthread_cond_destroy(&done_);
}

long Batch::add(Question *question) {
    if (count_ == capacity_) {
        const std::size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
        // An array of pointers: each entry is one.
        // NOLINTNEXTLINE(bugprone-sizeof-expression)
        void *grown = std::realloc(static_cast<void *>(questions_), capacity * sizeof(Question *));
        if (grown != nullptr) {
            questions_ = static_cast<Question **>(grown);
            grown = std::realloc(static_cast<void *>(fates_), capacity * sizeof(Fate));
        }
        if (grown == nullptr) {
            question->destroy(question);
            errno = ENOMEM;
            return -1;
        }
        fates_ = static_cast<Fate *>(grown);
        capacity_ = capacity;
    }
    const Locked locked;
    ready_locked();
    const std::uintptr_t environment = environment_of();
    if (environment != pool.environment) {
        // libcups on the threads so far may hold pointers to values the
        // interpreter has since freed: they end, and new ones read afresh.
        pool.environment = environment;
        for (Worker &slot : pool.slots) {
            if (slot.used && !slot.orphan) {
                retire_locked(slot);
            }
        }
        pthread_cond_broadcast(&pool.work);
    }
    question->batch = this;
    enqueue_locked(question);
    start_workers_locked();
    if (pool.workers == 0 && pool.orphans == 0 && pool.start_error != 0) {
        unqueue_locked(question);
        question->state = Question::State::unqueued;
        question->destroy(question);
        errno = pool.start_error;
        return -1;
    }
    // A question that cannot run yet is taken when a running one ends.
    if (pool.idle > 0 && may_run_locked(question)) {
        pthread_cond_signal(&pool.work);
    }
    questions_[count_] = question;
    fates_[count_] = Fate::not_asked;
    ++pending_;
    return static_cast<long>(count_++);
}

bool Batch::wait(double deadline, const Caller *caller) {
    bool kept = true;
    if (caller != nullptr) {
        caller->release(caller->context);
    }
    pthread_mutex_lock(&core_mutex());
    while (pending_ > 0) {
        const double slice = now() + kCheckInterval;
        wait_until(done_, caller != nullptr && slice < deadline ? slice : deadline);
        // Workers change pending_ while the lock is released in the wait.
        // cppcheck-suppress knownConditionTrueFalse
        if (pending_ == 0 || now() >= deadline) {
            break;
        }
        if (caller != nullptr) {
            pthread_mutex_unlock(&core_mutex());
            caller->acquire(caller->context);
            const bool stop = caller->interrupted(caller->context);
            caller->release(caller->context);
            pthread_mutex_lock(&core_mutex());
            if (stop) {
                kept = false;
                break;
            }
        }
    }
    // Giving up may start threads for other calls' questions: with the
    // caller's lock held, never while holding the core lock to take it.
    if (caller != nullptr) {
        pthread_mutex_unlock(&core_mutex());
        caller->acquire(caller->context);
        pthread_mutex_lock(&core_mutex());
    }
    give_up_locked();
    pthread_mutex_unlock(&core_mutex());
    waited_ = true;
    return kept;
}

// Every question not answered yet: a queued one is never asked, a running
// one is cut and left to its thread.
void Batch::give_up_locked() {
    const unsigned generation = fork_generation_locked();
    // Queued ones first, all of them: a thread freed below must not take
    // a question of this batch that is being given up.
    for (std::size_t i = 0; i < count_; ++i) {
        Question *question = questions_[i];
        if (question != nullptr && question->state == Question::State::queued) {
            // Queued before a fork: the child's queue never held it.
            if (question->generation == generation) {
                unqueue_locked(question);
            }
            question->state = Question::State::dropped;
        }
    }
    bool freed = false;
    for (std::size_t i = 0; i < count_; ++i) {
        Question *question = questions_[i];
        if (question == nullptr) {
            continue;
        }
        switch (question->state) {
        case Question::State::answered:
            fates_[i] = Fate::answered;
            break;
        case Question::State::running:
            question->given_up = true;
            question->cut.abandon_locked();
            if (question->generation == generation) {
                orphan_locked(question->worker);
                if (!question->priority) {
                    --pool.running_normal;  // it no longer holds a place in the pool
                }
                freed = true;
            }
            questions_[i] = nullptr;
            fates_[i] = question->started ? Fate::given_up_started
                        : now() - question->began < question->began - question->queued_at
                            ? Fate::given_up_late
                            : Fate::given_up;
            break;
        default:
            fates_[i] = Fate::not_asked;
            break;
        }
    }
    pending_ = 0;
    if (freed && pool.queued > 0) {
        start_workers_locked();
        pthread_cond_broadcast(&pool.work);
    }
}

void Question::mark_started() {
    const Locked locked;
    started = true;
    if (batch != nullptr && !given_up) {
        pthread_cond_broadcast(&batch->done_);
    }
}

void Batch::wait_for_start(Question *question, double deadline) {
    const Locked locked;
    while (!question->started && question->state != Question::State::answered &&
           wait_until(done_, deadline)) {
    }
}

Batch::Fate Batch::fate(std::size_t index) const { return fates_[index]; }

PoolCounts pool_counts() {
    const Locked locked;
    return PoolCounts{pool.workers, pool.idle, pool.orphans, pool.queued};
}

int last_start_error() {
    const Locked locked;
    return pool.start_error;
}

}  // namespace ipp
