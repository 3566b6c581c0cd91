// Jobs over IPP: the scheduler picked as a CUPS tool picks it, one request
// to it or to a printer, and a job created with its document streamed.
//
// These run on the caller's own thread, with the caller's lock released: a
// document read from the caller's file object needs that thread, and the
// connection's waits ask the caller each slice whether to stop (Ctrl-C).
// Nothing here touches Python.
#pragma once

#include "ipp_questions.hpp"

#include <cups/cups.h>

#include <cstddef>

namespace ipp {

// The scheduler, port, encryption and user as a CUPS tool picks them when
// it starts (CUPS_SERVER, client.conf, the local socket), picked on a pool
// thread so that the caller's own libcups settings stay as they are. Called
// with the caller's lock held; false when the caller's interrupted() said so.
bool pick_server(double timeout, Server &server, Outcome &outcome, const Caller *caller);

// A request in IPP/2.0 and English, as every text of the client is:
// ippNewRequest() would take the caller's language.
Message new_request(ipp_op_t operation);

// Where a request goes: the scheduler, or a printer's URI.
struct Peer {
    char host[HTTP_MAX_URI] = {};
    int port = 0;
    http_encryption_t encryption = HTTP_ENCRYPTION_IF_REQUESTED;
    char resource[HTTP_MAX_URI] = {};
};
// A device or printer URI's peer, without the ipp backend's ?options;
// false when it is not an ipp, ipps, http or https URI.
bool peer_of_uri(const char *uri, http_encryption_t encryption, Peer &peer);

// One request and its answer (at most 16 MiB), within timeout. False when
// the caller said to stop; outcome says any other failure.
bool ask_once(const Peer &peer, Message request, Message &answer, Outcome &outcome,
              double timeout, const Caller *caller);

// A document's bytes, read in pieces on the caller's thread with its lock
// released. Returns the bytes read, 0 at the end, or -1 with error set. A
// read that waits asks cut (ask_caller()) and gives up once it is over().
struct Source {
    long (*read)(void *context, char *buffer, std::size_t bytes, Cut &cut, int &error);
    void *context;
};

struct JobOrder {
    const char *queue = nullptr;   // NAME, as the scheduler spells it
    const char *title = nullptr;   // job-name, document-name
    const char *format = nullptr;  // null: the scheduler detects it
    int option_count = 0;
    cups_option_t *options = nullptr;
    const char *authorization = nullptr;  // "Basic ..." after a 401, or null
};

struct Submitted {
    Outcome outcome;   // the connection's failure; ok when the scheduler answered
    int http_status = 0;
    const char *step = "";  // "Create-Job" or "Send-Document": where it ended
    int ipp_status = 0;     // the refusing answer's status, 0 when the job was made
    char status_message[kTextSize] = {};
    char authenticate[kTextSize] = {};  // WWW-Authenticate of a 401
    Message refusal;                    // the refusing answer (its unsupported attributes)
    int job_id = 0;
    bool created = false;    // Create-Job made the job
    bool sent = false;       // the scheduler has the whole document
    bool cancelled = false;  // made, then cancelled: stopped, or the document failed
    int read_error = 0;      // the document could not be read: errno (ETIMEDOUT: it gave
                             // nothing within idle_timeout)
    bool interrupted = false;
    double limit = 0;  // the bound of the step it ended in: timeout, or idle_timeout
};

// Creates a job on the scheduler's queue and streams the document to it:
// each step within timeout, each piece of the document within
// idle_timeout. A job made but not whole (a stop, a read error, a refused
// document) is cancelled. Ctrl-C waits for Create-Job's answer, so that a
// job made is known and can be. False when the caller said to stop.
bool submit(const Server &server, const JobOrder &order, Source &source, double timeout,
            double idle_timeout, Submitted &submitted, const Caller *caller);

}  // namespace ipp
