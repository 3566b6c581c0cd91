// Asking a CUPS scheduler and its printers over IPP through libcups, within
// a deadline. Nothing here touches Python: the work runs on threads of its
// own, with the interpreter's lock released by the caller.
#pragma once

#include "owner.hpp"

#include <cups/cups.h>

#include <cstddef>

namespace ipp_client {

using Http = Owner<http_t, httpClose>;
using Message = Owner<ipp_t, ippDelete>;

constexpr std::size_t kTextSize = 1024;

enum class Outcome {
    answered,
    cannot_connect,  // error_number says why (ECONNREFUSED: nothing listens)
    timed_out,
    failed,  // connected, but no usable answer: error says why
};

struct SchedulerAnswer {
    Outcome outcome = Outcome::failed;
    int error_number = 0;
    char error[kTextSize] = {};
    // The server as libcups picked it: "host:port", or the domain socket.
    char server[HTTP_MAX_URI] = {};
    // The scheduler runs on this host (domain socket or loopback), so its
    // device URIs mean the same here.
    bool local = false;
    Message printers;  // the CUPS-Get-Printers response
    bool has_default = false;
    char default_name[HTTP_MAX_URI] = {};  // NAME or NAME/INSTANCE
    ipp_status_t default_status = IPP_STATUS_OK;
    char default_error[kTextSize] = {};
};

// Asks the scheduler that libcups picks now from the environment
// (CUPS_SERVER, client.conf, then the local domain socket) for the printers'
// attributes that readiness needs, and for the default destination as lp
// resolves it. Returns within about timeout seconds whatever the network does.
void ask_scheduler(double timeout, SchedulerAnswer &answer);

enum class DeviceKind {
    ipp,            // Get-Printer-Attributes to the device
    tcp,            // a connection is all that can be asked
    other_scheme,   // usb, dnssd, file ...: nothing to ask from here
    service_name,   // a DNS-SD service name, resolved only by the backend
    unusable_uri,
    no_thread,      // no thread could be had to ask it
};

struct DeviceAnswer {
    DeviceKind kind = DeviceKind::unusable_uri;
    bool checked = false;    // a check ran (or ran out of time)
    bool reachable = false;  // connected (tcp) or answered over IPP (ipp)
    bool timed_out = false;
    int error_number = 0;
    char error[kTextSize] = {};
    char scheme[32] = {};
    Message attributes;  // the printer's own answer (ipp)
};

DeviceKind device_kind(const char *uri, char (&scheme)[32]);

// Checks all devices at once; answers[i] is for uris[i].
void check_devices(const char *const *uris, std::size_t count, double timeout,
                   DeviceAnswer *answers);

// The URI without its user-info part, where credentials live.
void strip_user_info(const char *uri, char *out, std::size_t size);

}  // namespace ipp_client
