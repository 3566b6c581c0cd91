// One try under a deadline: look up, connect, send one IPP request, read its
// answer, through libcups, with nothing retried behind the caller's back.
//
// libcups' cupsDoRequest follows HTTP 3xx answers, authenticates, upgrades
// to TLS and reconnects after "Connection: close" on its own, each time on a
// new connection out of reach of any cut. Here the request goes out once
// (httpPost, ippWrite, httpUpdate, ippReadIO), and whatever comes back is the
// answer: a 3xx, 401, 426 or 503 included. A second try is the caller's to
// make, explicitly, under the same deadline.
#pragma once

#include "ipp_core.hpp"
#include "owner.hpp"

#include <cups/cups.h>

#include <cstddef>

namespace ipp {

using Http = Owner<http_t, httpClose>;
using Message = Owner<ipp_t, delete_message>;
using Addresses = Owner<http_addrlist_t, httpAddrFreeList>;

enum class Failure : unsigned char {
    none,
    not_asked,       // no thread, no descriptor or no lookup could be had: text says which
    no_address,      // the name has no address
    cannot_connect,  // error_number says why
    timed_out,       // the deadline came first, or the question was given up
    tls,             // the TLS handshake or upgrade failed
    http_status,     // an HTTP status other than 200 (http_status)
    ipp_status,      // an IPP status that refuses the request (ipp_status)
    closed,          // the peer closed the connection before its answer was whole
    not_http,
    not_ipp,
    io,  // a read or write failed: error_number
    too_large,  // the answer is larger than it can be
    no_memory,
};

// How one try ended. error_number is set only where a system call said it;
// text is a phrase for people ("Connection refused", "it answered HTTP 301
// (Moved Permanently), not IPP").
struct Outcome {
    Failure failure = Failure::none;
    int error_number = 0;
    int http_status = 0;
    int ipp_status = 0;
    char text[kTextSize] = {};

    bool ok() const { return failure == Failure::none; }
    void fail(Failure why, int error, const char *format, ...) __attribute__((format(printf, 4, 5)));
};

// The addresses of host at port: a name, a numeric address or a domain
// socket's path. While a name is being looked up, every other question for
// it waits for that lookup instead of starting its own, so a resolver that
// hangs holds one thread per name however often it is asked. A waiter stops
// at its cut; the lookup itself cannot be cut.
Addresses lookup(const char *host, int port, Cut &cut, Outcome &outcome);

// Connects to addresses on a socket of our own, for the errno of a failure
// (libcups reports every failed connection alike). 0 when it connected.
int probe_connection(http_addrlist_t *addresses, Cut &cut);

class Connection {
public:
    explicit Connection(Cut &cut) : cut_(cut) {}
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Connection(Connection &&) = delete;
    Connection &operator=(Connection &&) = delete;
    ~Connection();

    // One connection, to any of host's addresses (libcups tries them all at
    // once), with TLS for HTTP_ENCRYPTION_ALWAYS, within the cut's deadline.
    bool open(const char *host, int port, http_encryption_t encryption, Outcome &outcome);

    // One request and its answer, of at most most_bytes. A connection is
    // spent after anything but a whole 200 answer that keeps it open.
    bool exchange(Message request, const char *resource, Message &response, Outcome &outcome,
                  std::size_t most_bytes);

    // The same in steps, for a request followed by a document of unknown
    // length (chunked): the message, then the document's pieces, then the
    // answer. Each step ends at the cut, whose deadline the caller may move.
    bool begin(ipp_t *request, const char *resource, bool body_follows, Outcome &outcome);
    bool write_body(const char *data, std::size_t bytes, Outcome &outcome);
    bool finish(Message &response, Outcome &outcome, std::size_t most_bytes);

    // Basic credentials (base64 of "user:password") sent with every request.
    void set_authorization(const char *basic) {
        if (http_ && basic != nullptr) {
            httpSetAuthString(http_.get(), "Basic", basic);
        }
    }
    // A field of the last answer ("" when it has none).
    const char *field(http_field_t name) const {
        return http_ ? httpGetField(http_.get(), name) : "";
    }

    // The peer keeps the connection open for another request.
    bool reusable() const { return reusable_; }
    // The peer is on this host (the domain socket or a loopback address).
    bool local() const;

private:
    void io_failure(Outcome &outcome, const char *doing);
    void close_now();

    Cut &cut_;
    Http http_;
    bool reusable_ = false;
};

}  // namespace ipp
