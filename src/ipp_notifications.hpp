// The scheduler's D-Bus notifier. For a subscription whose recipient is
// dbus://, cupsd sends a signal on the system bus of its own host for each
// event, at once: a listener there learns that something changed without
// asking. What is true now is asked again afterwards, since an event's
// attributes can be older than a fresh answer.
// Nothing here touches Python: the caller's lock is released through Caller.
#pragma once

#include "ipp_core.hpp"

#include <cstddef>
#include <pthread.h>
#include <sys/types.h>

struct DBusConnection;

namespace ipp {

constexpr std::size_t kBusErrorSize = 512;

// True when this build has the D-Bus notifier's listener (libdbus).
bool bus_supported();

class BusListener {
public:
    BusListener() = default;
    BusListener(const BusListener &) = delete;
    BusListener &operator=(const BusListener &) = delete;
    BusListener(BusListener &&) = delete;
    BusListener &operator=(BusListener &&) = delete;
    ~BusListener();

    enum class Opened { ok, failed, interrupted };
    // Connects to the bus at address, registers and asks for the notifier's
    // signals, all within timeout seconds; failed, with error set, when it
    // cannot, interrupted when the caller's interrupted() said to stop.
    // Called with the caller's lock held, which is released meanwhile.
    Opened open(const char *address, double timeout, const Caller *caller,
                char (&error)[kBusErrorSize]);

    enum class Waited { heard, quiet, lost, busy, interrupted };
    // Waits up to timeout seconds until at least one of the notifier's
    // signals arrives, then takes every signal already there: heard is
    // their number. lost: the bus connection ended (error says why); busy:
    // another thread waits on it already; interrupted: the caller's
    // interrupted() said to stop. Called with the caller's lock held.
    Waited wait(double timeout, const Caller *caller, long &heard,
                char (&error)[kBusErrorSize]);

    // Ends the connection, now or, when a wait is under way, as it ends.
    void close();
    bool is_open() const;

private:
    void close_locked();

    mutable pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    DBusConnection *connection_ = nullptr;
    pid_t owner_ = 0;  // a forked child leaves its parent's connection alone
    bool waiting_ = false;
    bool closing_ = false;
};

}  // namespace ipp
