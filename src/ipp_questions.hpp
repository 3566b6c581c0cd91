// The questions readiness asks over IPP: the scheduler's printers and
// default destination, and each printer's own state. Each is one try under
// the deadline (ipp_connection.hpp) on the bounded pool (ipp_pool.hpp).
// Nothing here touches Python: the caller releases the interpreter's lock.
#pragma once

#include "ipp_connection.hpp"

#include <cstddef>

namespace ipp {

struct Server {
    char host[HTTP_MAX_URI] = {};
    int port = 0;
    http_encryption_t encryption = HTTP_ENCRYPTION_IF_REQUESTED;
    char user[256] = {};
    char name[HTTP_MAX_URI] = {};  // "host:port" or the domain socket, for messages
};

// The server, port, encryption and user as a CUPS tool picks them when it
// starts (CUPS_SERVER, client.conf, the local socket): libcups of this
// thread, a pool thread's, reset to the environment of now. With the
// caller's lock held, which guards the environment.
void read_server(Server &server);

// Where lp looks for the default destination, read from the environment by
// the caller, which holds the interpreter's lock: os.environ may change it
// from another thread at any time.
struct DefaultSources {
    bool lpdest_set = false;
    bool printer_set = false;
    char lpdest[HTTP_MAX_URI] = {};
    char printer[HTTP_MAX_URI] = {};
    char home[1024] = {};         // empty: no home directory
    char server_root[1024] = {};  // CUPS_SERVERROOT, else /etc/cups
};

// Where the default destination was named.
enum class DefaultSource { none, environment, user_lpoptions, system_lpoptions, scheduler };

struct SchedulerAnswer {
    Outcome outcome;
    // The server as libcups picked it: "host:port" (the port as libcups
    // connects to it), or the domain socket. Empty when it was never asked.
    char server[HTTP_MAX_URI] = {};
    // The scheduler runs on this host, so its device URIs mean the same here.
    bool local = false;
    Message printers;  // the CUPS-Get-Printers answer
    char user[256] = {};

    // The default destination as lp without -d resolves it.
    bool default_known = false;  // false: the question got no answer (default_outcome)
    bool has_default = false;
    char default_name[HTTP_MAX_URI] = {};  // NAME or NAME/INSTANCE, as the scheduler spells NAME
    char default_error[kTextSize] = {};    // why there is none, as libcups says it
    DefaultSource default_source = DefaultSource::none;
    Outcome default_outcome;
    int connections = 0;  // made for this answer: a second one only when the first was closed
    // Asked about one destination: whether the scheduler knows it.
    bool destination_known = false;
};

// The scheduler's answer about its destinations, kept so that the printers
// and the default can be asked again without asking the scheduler for every
// queue (a watch does that while no event says that a queue changed).
struct Snapshot {
    char server[HTTP_MAX_URI] = {};
    char destination[HTTP_MAX_URI] = {};  // empty: every destination
    bool local = false;
    bool destination_known = false;
    Message printers;
};

// A copy of message (the snapshot's printers), or an empty Message when
// memory ran out.
Message copy_message(ipp_t *message);

// Asks the scheduler that libcups picks now (CUPS_SERVER, client.conf, the
// local socket) within timeout seconds. Called with the caller's lock held
// (see Caller), which is released while it waits. False when the caller's
// interrupted() said to stop.
// With destination (NAME, or NAME/INSTANCE), only that destination is
// asked for, and for a class also its printers: one Get-Printer-Attributes
// each instead of a CUPS-Get-Printers of every queue.
// With known (a snapshot of the same server and destination), its printers
// stand for the scheduler's answer: only the default is asked again.
bool ask_scheduler(double timeout, const DefaultSources &sources, const char *destination,
                   SchedulerAnswer &answer, const Caller *caller,
                   const Snapshot *known = nullptr);

enum class DeviceKind {
    ipp,           // Get-Printer-Attributes to the device
    tcp,           // a connection is all that can be asked
    other_scheme,  // usb, dnssd, file ...: nothing to ask from here
    service_name,  // a DNS-SD service name, resolved only by the backend
    unusable_uri,
};

struct DeviceAnswer {
    DeviceKind kind = DeviceKind::unusable_uri;
    bool checked = false;    // a question was put (or would have been)
    bool asked = false;      // it ran: false when the deadline came while it waited
    bool connected = false;  // a connection was made (ipp)
    bool reachable = false;  // connected (tcp) or answered over IPP (ipp)
    int tries = 0;           // requests sent (ipp): two after a fallback to IPP/1.1
    long same_as = -1;       // the answer of an earlier queue with the same device URI
    bool timed_out = false;
    Outcome outcome;
    char scheme[32] = {};
    Message attributes;  // the printer's own answer (ipp)
};

DeviceKind device_kind(const char *uri, char (&scheme)[32]);

// Asks every device at once, answers[i] for uris[i], uris[first] (the
// default's) before the others; as ask_scheduler() for the caller's lock.
// Each connects within timeout, and a printer that took the connection is
// waited for until answer_timeout. False when interrupted.
bool check_devices(const char *const *uris, std::size_t count, std::size_t first, double timeout,
                   double answer_timeout, const char *user, DeviceAnswer *answers,
                   const Caller *caller);

// The URI without its user-info part, where credentials live.
void strip_user_info(const char *uri, char *out, std::size_t size);

}  // namespace ipp
