// The bounded pool of threads that the IPP client's questions run on.
//
// - At most kPoolSize questions run at once, and a priority question (the
//   scheduler's, the default destination's printer) may use kReserve more,
//   so that a call can always ask the scheduler while another call's
//   printers keep the pool busy.
// - At most kPerPeer questions to one peer (host and port) run at once,
//   those given up included, so that a peer that keeps its questions open
//   cannot take the pool.
// - A question still running when its caller gives up is cut; its thread
//   then leaves the pool (up to kMostOrphans such threads), so that earlier
//   questions cannot use the pool up.
// - Threads that find nothing to do for a quarter second end; a forked child starts
//   with none.
#pragma once

#include "ipp_core.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace ipp {

constexpr int kPoolSize = 32;
constexpr int kReserve = 8;
constexpr int kPerPeer = 4;
constexpr int kMostOrphans = 64;

class Batch;
struct Worker;

struct Question {
    void (*run)(Question &question) = nullptr;
    void (*destroy)(Question *question) = nullptr;
    Cut cut;
    std::uint64_t peer = 0;  // 0: not capped
    bool priority = false;

    // The pool's, guarded by core_mutex().
    enum class State : unsigned char { unqueued, queued, running, answered, dropped };
    State state = State::unqueued;
    bool given_up = false;  // abandoned while running: its worker destroys it
    unsigned generation = 0;
    double queued_at = 0;  // when it was queued, and when a thread took it
    double began = 0;
    Batch *batch = nullptr;
    Question *previous = nullptr;
    Question *next = nullptr;
    Worker *worker = nullptr;

    bool started = false;  // guarded by core_mutex(): see mark_started()

    explicit Question(double deadline) : cut(deadline) {}

    // Tells Batch::wait_for_start() that the question's first step is done;
    // a question given up after it is given_up_started.
    void mark_started();
};

// A question of type T (derived from Question, with static void work(T &)),
// allocated without the C++ runtime. Null when memory runs out.
template <typename T, typename... Args>
T *make_question(double deadline, Args &&...args) {
    void *memory = std::calloc(1, sizeof(T));
    if (memory == nullptr) {
        return nullptr;
    }
    T *question = new (memory) T(deadline, static_cast<Args &&>(args)...);
    question->run = [](Question &base) { T::work(static_cast<T &>(base)); };
    question->destroy = [](Question *base) {
        T *self = static_cast<T *>(base);
        self->~T();
        std::free(self);
    };
    return question;
}

// A hash of host and port that names a peer for kPerPeer; never 0.
std::uint64_t peer_of(const char *host, int port);

// The questions of one call. A batch owns the questions added to it: after
// the wait each is answered (the caller may read it until the batch goes),
// not asked (the deadline came first) or given up (its thread has it now,
// and the caller must not touch it).
class Batch {
public:
    Batch();
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    Batch(Batch &&) = delete;
    Batch &operator=(Batch &&) = delete;
    ~Batch();

    // Queues question, the priority ones first, with the caller's lock held
    // (see Caller). Returns its index, or -1 (question destroyed, errno set)
    // when memory runs out or no thread could be started while none runs.
    long add(Question *question);

    // Waits until every question is answered or deadline passes, with the
    // caller's lock released and its interrupted() asked every 50 ms; then
    // gives up on the rest. False when interrupted() said so.
    bool wait(double deadline, const Caller *caller = nullptr);

    // Waits, with the caller's lock still held, until question has called
    // mark_started() or until deadline.
    void wait_for_start(Question *question, double deadline);

    // given_up_started: given up after it called mark_started() (a printer
    // that took the connection, say). given_up_late: given up before it
    // started, having run for less time than it waited for a thread (behind
    // other questions to the same peer, say): it was hardly asked.
    enum class Fate : unsigned char { answered, not_asked, given_up, given_up_started, given_up_late };
    Fate fate(std::size_t index) const;
    std::size_t size() const { return count_; }

private:
    void give_up_locked();

    friend void *worker_main(void *argument);
    friend struct Question;
    pthread_cond_t done_;
    Question **questions_ = nullptr;
    Fate *fates_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
    std::size_t pending_ = 0;  // guarded by core_mutex()
    bool waited_ = false;
};

// The pool's threads and queue, for tests that count them.
struct PoolCounts {
    int workers;
    int idle;
    int orphans;
    std::size_t queued;
};
PoolCounts pool_counts();

// Why the last thread could not be started (0: none failed).
int last_start_error();

}  // namespace ipp
