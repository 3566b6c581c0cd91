#include "ipp_notifications.hpp"
#include "owner.hpp"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#ifdef SETUP_WITH_DBUS
#include <dbus/dbus.h>
#endif

namespace ipp {

namespace {

// The listener's own lock (std::mutex would bring in libstdc++).
struct ListenerLock {
    pthread_mutex_t &mutex;
    explicit ListenerLock(pthread_mutex_t &held) : mutex(held) { pthread_mutex_lock(&mutex); }
    ListenerLock(const ListenerLock &) = delete;
    ListenerLock &operator=(const ListenerLock &) = delete;
    ListenerLock(ListenerLock &&) = delete;
    ListenerLock &operator=(ListenerLock &&) = delete;
    ~ListenerLock() { pthread_mutex_unlock(&mutex); }
};

#ifdef SETUP_WITH_DBUS
constexpr const char *kNotifierInterface = "org.cups.cupsd.Notifier";
constexpr const char *kNotifierSignals =
    "type='signal',interface='org.cups.cupsd.Notifier',path='/org/cups/cupsd/Notifier'";
constexpr double kSliceSeconds = 0.1;  // how soon Ctrl-C and close() are seen

struct BusError {
    DBusError error;
    BusError() { dbus_error_init(&error); }
    BusError(const BusError &) = delete;
    BusError &operator=(const BusError &) = delete;
    BusError(BusError &&) = delete;
    BusError &operator=(BusError &&) = delete;
    ~BusError() { dbus_error_free(&error); }
    void describe(const char *doing, char (&out)[kBusErrorSize]) const {
        std::snprintf(out, sizeof out, "%s: %s", doing,
                      dbus_error_is_set(&error) != 0 && error.message != nullptr ? error.message
                                                                                 : "no reason given");
    }
};

using BusMessage = Owner<DBusMessage, dbus_message_unref>;

void close_private(DBusConnection *connection) {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}
using BusConnection = Owner<DBusConnection, close_private>;

int milliseconds(double seconds) {
    const double ms = seconds * 1000.0;
    return ms < 1 ? 1 : ms > 86400000.0 ? 86400000 : static_cast<int>(ms);
}

enum class Called { ok, failed, interrupted };

// One method call to the bus itself, its reply read in slices until the
// deadline: libdbus' own blocking calls wait without a bound while the
// connection is not yet authenticated, and dbus_bus_register() waits 25 s.
// Between slices the caller's interrupted() is asked, with its lock. Called
// with the caller's lock released.
Called call_bus(DBusConnection *connection, const char *method, const char *argument,
                double deadline, const Caller *caller, BusMessage &reply,
                char (&error)[kBusErrorSize]) {
    const BusMessage call(dbus_message_new_method_call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method));
    dbus_uint32_t serial = 0;
    if (!call ||
        (argument != nullptr && dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &argument,
                                                         DBUS_TYPE_INVALID) == 0) ||
        dbus_connection_send(connection, call.get(), &serial) == 0) {
        std::snprintf(error, sizeof error, "out of memory");
        return Called::failed;
    }
    for (;;) {
        // Anything but the reply is dropped: nothing is listened to yet.
        for (BusMessage message(dbus_connection_pop_message(connection)); message;
             message = BusMessage(dbus_connection_pop_message(connection))) {
            const int type = dbus_message_get_type(message.get());
            if ((type != DBUS_MESSAGE_TYPE_METHOD_RETURN && type != DBUS_MESSAGE_TYPE_ERROR) ||
                dbus_message_get_reply_serial(message.get()) != serial) {
                continue;
            }
            if (type == DBUS_MESSAGE_TYPE_ERROR) {
                const char *name = dbus_message_get_error_name(message.get());
                std::snprintf(error, sizeof error, "the bus refused %s: %s", method,
                              name != nullptr ? name : "no reason given");
                return Called::failed;
            }
            reply = static_cast<BusMessage &&>(message);
            return Called::ok;
        }
        const double left = deadline - now();
        if (left <= 0) {
            std::snprintf(error, sizeof error, "the bus did not answer %s in time", method);
            return Called::failed;
        }
        if (dbus_connection_read_write(connection,
                                       milliseconds(left < kSliceSeconds ? left : kSliceSeconds)) == 0) {
            std::snprintf(error, sizeof error, "the bus closed the connection");
            return Called::failed;
        }
        caller->acquire(caller->context);
        const bool stop = caller->interrupted(caller->context);
        caller->release(caller->context);
        if (stop) {
            return Called::interrupted;
        }
    }
}

// Hello and AddMatch for the notifier's signals, as call_bus() calls.
Called register_with(DBusConnection *connection, double deadline, const Caller *caller,
                     char (&error)[kBusErrorSize]) {
    BusMessage hello;
    Called called = call_bus(connection, "Hello", nullptr, deadline, caller, hello, error);
    if (called != Called::ok) {
        return called;
    }
    const char *name = nullptr;
    BusError bad;
    if (dbus_message_get_args(hello.get(), &bad.error, DBUS_TYPE_STRING, &name,
                              DBUS_TYPE_INVALID) == 0 ||
        dbus_bus_set_unique_name(connection, name) == 0) {
        bad.describe("the bus answered Hello without a name", error);
        return Called::failed;
    }
    BusMessage added;
    return call_bus(connection, "AddMatch", kNotifierSignals, deadline, caller, added, error);
}
#endif

}  // namespace

#ifdef SETUP_WITH_DBUS

bool bus_supported() { return true; }

BusListener::~BusListener() {
    const ListenerLock lock(mutex_);
    close_locked();
}

bool BusListener::is_open() const {
    const ListenerLock lock(mutex_);
    return connection_ != nullptr && !closing_;
}

void BusListener::close_locked() {
    if (connection_ != nullptr && owner_ == getpid()) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
    }
    // In a forked child the connection is left as it is: its locks may have
    // been held by a thread that the child does not have.
    connection_ = nullptr;
}

void BusListener::close() {
    const ListenerLock lock(mutex_);
    if (waiting_) {
        closing_ = true;
    } else {
        close_locked();
    }
}

BusListener::Opened BusListener::open(const char *address, double timeout, const Caller *caller,
                                      char (&error)[kBusErrorSize]) {
    {
        const ListenerLock lock(mutex_);
        if (connection_ != nullptr || waiting_) {
            std::snprintf(error, sizeof error, "already open");
            return Opened::failed;
        }
    }
    const double deadline = now() + timeout;
    BusConnection connection;
    Called called = Called::failed;
    {
        const Released released(caller);
        dbus_threads_init_default();
        BusError failure;
        connection.reset(dbus_connection_open_private(address, &failure.error));
        if (connection) {
            dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
            called = register_with(connection.get(), deadline, caller, error);
        } else {
            failure.describe("cannot connect to the bus", error);
        }
    }
    // A signal (Ctrl-C) ends a connect that waits: its handler's exception
    // is the answer, not the connect's EINTR.
    if (called == Called::interrupted || (!connection && caller->interrupted(caller->context))) {
        return Opened::interrupted;
    }
    if (called != Called::ok) {
        return Opened::failed;
    }
    const ListenerLock lock(mutex_);
    connection_ = connection.release();
    owner_ = getpid();
    closing_ = false;
    return Opened::ok;
}

BusListener::Waited BusListener::wait(double timeout, const Caller *caller, long &heard,
                                      char (&error)[kBusErrorSize]) {
    heard = 0;
    DBusConnection *connection = nullptr;
    {
        const ListenerLock lock(mutex_);
        if (waiting_) {
            return Waited::busy;
        }
        if (connection_ == nullptr || closing_ || owner_ != getpid()) {
            std::snprintf(error, sizeof error, owner_ != getpid() && connection_ != nullptr
                                                   ? "the bus connection is the parent process's"
                                                   : "the bus connection is closed");
            return Waited::lost;
        }
        waiting_ = true;
        connection = connection_;
    }
    const double deadline = now() + timeout;
    Waited result = Waited::quiet;
    caller->release(caller->context);
    for (;;) {
        const double left = deadline - now();
        const bool connected = dbus_connection_read_write(
                                   connection, milliseconds(left < kSliceSeconds ? left : kSliceSeconds)) != 0;
        for (BusMessage message(dbus_connection_pop_message(connection)); message;
             message = BusMessage(dbus_connection_pop_message(connection))) {
            if (dbus_message_get_type(message.get()) == DBUS_MESSAGE_TYPE_SIGNAL) {
                if (dbus_message_has_interface(message.get(), kNotifierInterface) != 0) {
                    ++heard;
                } else if (dbus_message_is_signal(message.get(), DBUS_INTERFACE_LOCAL,
                                                  "Disconnected") != 0) {
                    result = Waited::lost;
                }
            }
        }
        if (!connected || dbus_connection_get_is_connected(connection) == 0) {
            result = Waited::lost;
        }
        if (result == Waited::lost) {
            std::snprintf(error, sizeof error, "the bus closed the connection");
            break;
        }
        if (heard > 0) {
            result = Waited::heard;
            break;
        }
        caller->acquire(caller->context);
        const bool stop = caller->interrupted(caller->context);
        bool closing = false;
        {
            const ListenerLock lock(mutex_);
            closing = closing_;
        }
        if (stop || closing || now() >= deadline) {
            result = stop ? Waited::interrupted : closing ? Waited::lost : Waited::quiet;
            if (closing) {
                std::snprintf(error, sizeof error, "the bus connection is closed");
            }
            const ListenerLock lock(mutex_);
            waiting_ = false;
            if (closing_) {
                close_locked();
            }
            return result;
        }
        caller->release(caller->context);
    }
    caller->acquire(caller->context);
    const ListenerLock lock(mutex_);
    waiting_ = false;
    if (closing_ || result == Waited::lost) {
        close_locked();
        closing_ = false;
    }
    return result;
}

#else  // built without libdbus: every watch asks for its events instead

bool bus_supported() { return false; }
BusListener::~BusListener() = default;
bool BusListener::is_open() const { return false; }
void BusListener::close_locked() {}
void BusListener::close() {}
BusListener::Opened BusListener::open(const char * /*address*/, double /*timeout*/,
                                      const Caller * /*caller*/, char (&error)[kBusErrorSize]) {
    std::snprintf(error, sizeof error, "built without libdbus");
    return Opened::failed;
}
BusListener::Waited BusListener::wait(double /*timeout*/, const Caller * /*caller*/, long &heard,
                                      char (&error)[kBusErrorSize]) {
    heard = 0;
    std::snprintf(error, sizeof error, "built without libdbus");
    return Waited::lost;
}

#endif

}  // namespace ipp
