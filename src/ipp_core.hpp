// What every question of the IPP client shares: the clock, the one lock that
// guards the client's process-wide state, and the cut, by which whoever waits
// for a question ends it at its deadline or earlier.
//
// Nothing here touches Python, and nothing needs the C++ runtime.
#pragma once

#include <cups/ipp.h>

#include <atomic>
#include <cstddef>

#include <pthread.h>

namespace ipp {

constexpr std::size_t kTextSize = 1024;

// Seconds on the monotonic clock.
double now();

// Milliseconds left until deadline, at least 1 and at most a day.
int milliseconds_left(double deadline);

// The lock of the pool, the name lookups and every cut. It is held for a few
// instructions at a time, never across a wait for the network, so that a
// fork() can take it first and the child starts with it free.
class Locked {
public:
    Locked();
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
    Locked(Locked &&) = delete;
    Locked &operator=(Locked &&) = delete;
    ~Locked();
};
pthread_mutex_t &core_mutex();

// A condition variable on the monotonic clock, used with core_mutex().
void init_condition(pthread_cond_t &condition);
// Waits on condition (core_mutex() held) until it is signalled or until
// deadline; false once the deadline has passed.
bool wait_until(pthread_cond_t &condition, double deadline);

// Counts the forks seen in this process: a child has none of the threads of
// its parent, and sockets it inherited are still the parent's.
unsigned fork_generation();
unsigned fork_generation_locked();  // with core_mutex() held

// Each part with state of its own re-makes it in a forked child. Called in
// the child, with no other thread running and core_mutex() re-made.
void pool_forget_after_fork();
void lookups_forget_after_fork();
void watchdog_forget_after_fork();

// libcups takes locks of its own (its string pool, its request counter, its
// catalogue of languages) inside the calls that build, read and free IPP
// messages. A fork() while another thread holds one leaves that lock held
// for good in the child, whose libcups then hangs. Such calls run inside a
// LibcupsSection, and fork() waits until none is open; a section never
// waits for the network (Pause leaves it while a read waits).
class LibcupsSection {
public:
    LibcupsSection();
    LibcupsSection(const LibcupsSection &) = delete;
    LibcupsSection &operator=(const LibcupsSection &) = delete;
    LibcupsSection(LibcupsSection &&) = delete;
    LibcupsSection &operator=(LibcupsSection &&) = delete;
    ~LibcupsSection();

    // Leaves the sections this thread is in for as long as it lives.
    class Pause {
    public:
        Pause();
        Pause(const Pause &) = delete;
        Pause &operator=(const Pause &) = delete;
        Pause(Pause &&) = delete;
        Pause &operator=(Pause &&) = delete;
        ~Pause();

    private:
        int depth_;
    };
};

// ippDelete() inside a section: the Free of Owner<ipp_t>.
void delete_message(ipp_t *message);

struct Caller;
class Cut;

// Takes a guarded cut off the watchdog's list (core_mutex() held).
void unguard_locked(const Cut *cut);

// The end of one question: its deadline, and an abandonment by whoever waits
// for it (at the deadline, on Ctrl-C, or when it is no longer wanted). An
// abandoned question's watched connection is shut down at once, so that no
// read or write of libcups on it can go on, however the peer behaves.
class Cut {
public:
    explicit Cut(double deadline);
    Cut(const Cut &) = delete;
    Cut &operator=(const Cut &) = delete;
    Cut(Cut &&) = delete;
    Cut &operator=(Cut &&) = delete;
    ~Cut();

    double deadline() const { return deadline_.load(std::memory_order_acquire); }
    // A later deadline, once the peer has shown itself; called only by the
    // question's own thread.
    void extend(double later) {
        if (later > deadline()) {
            deadline_.store(later, std::memory_order_release);
        }
    }
    // Any deadline, for a guarded cut (a job on the caller's thread): its
    // steps and the pieces of a document each have their own.
    void move_to(double deadline);

    // A cut that no pool waiter watches (one on the caller's own thread) is
    // guarded for as long as it lives: the process's watchdog abandons it
    // when its deadline passes, so that a peer dripping bytes cannot keep a
    // libcups read going past it.
    void guard();
    // Abandoned, or past the deadline: nothing more is to be sent or waited for.
    bool over() const;
    bool abandoned() const { return abandoned_.load(std::memory_order_acquire); }

    // With core_mutex() held.
    void abandon_locked();

    // Watches a connected socket: a duplicate of it is kept, and shut down
    // when the question is abandoned. libcups may close its own descriptor
    // (after a failed TLS upgrade, say) and the process reuse the number;
    // the duplicate is ours alone, so the cut never reaches another
    // connection. False, with errno, when no descriptor is left.
    bool watch(int socket);
    void unwatch();

    // For httpAddrConnect2, which polls it while it connects.
    int *cancel_flag() { return &cancel_; }

    // A question on the caller's own thread (a job sent, a job followed),
    // with the caller's lock released: libcups' waits on its connection ask
    // the caller each slice whether to stop (Ctrl-C), and a stop abandons
    // the cut. Never asked inside a LibcupsSection: fork() waits for those
    // with the caller's lock held.
    // With grace, a stop does not cut at once: the deadline comes within
    // grace seconds, for an answer that must not be lost (a job's id).
    void listen_to(const Caller *caller, double grace = 0) {
        caller_ = caller;
        grace_ = grace;
    }
    void ask_caller();
    bool interrupted() const { return interrupted_; }

private:
    std::atomic<double> deadline_;
    std::atomic<bool> abandoned_{false};
    bool guarded_ = false;
    int cancel_ = 0;     // written under the lock, read by libcups
    int watched_ = -1;   // guarded by core_mutex()
    unsigned generation_;
    const Caller *caller_ = nullptr;
    double grace_ = 0;
    bool interrupted_ = false;
};

// The caller's side of a wait. libcups reads the environment, and keeps
// pointers into it, whenever a thread first uses it, and the interpreter
// changes the environment under its own lock: so questions are queued and
// threads started with the caller's lock (the interpreter's) held, and the
// lock is released only for the wait itself.
struct Caller {
    void (*release)(void *context);
    void (*acquire)(void *context);
    // With the lock held: true when the wait is to end now (a signal
    // handler raised).
    bool (*interrupted)(void *context);
    void *context;
};

// The caller's lock released for as long as this lives.
class Released {
public:
    explicit Released(const Caller *caller) : caller_(caller) {
        if (caller_ != nullptr) {
            caller_->release(caller_->context);
        }
    }
    Released(const Released &) = delete;
    Released &operator=(const Released &) = delete;
    Released(Released &&) = delete;
    Released &operator=(Released &&) = delete;
    ~Released() {
        if (caller_ != nullptr) {
            caller_->acquire(caller_->context);
        }
    }

private:
    const Caller *caller_;
};

// libcups answers a password prompt with nothing on our threads: a prompt
// would read the terminal from a thread nobody waits for.
void refuse_passwords();

}  // namespace ipp
