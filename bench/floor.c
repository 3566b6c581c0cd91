/* The least a readiness answer can cost through libcups: a new connection to
 * the scheduler, one CUPS-Get-Printers request for the attributes readiness
 * looks at (its body read in large pieces), every attribute of every printer
 * copied into memory, and the default destination as `lp` would resolve it;
 * then the connection closes.
 * bench/readiness.py builds and runs it against a private scheduler.
 *
 *     floor N [W]  N answers in a loop, after W untimed ones (none by
 *                  default); prints the elapsed time of the N alone, so that
 *                  process start and libcups' first-use costs do not count
 *
 * It also prints what it found (the number of printers and the default), so
 * the benchmark can check that it asked the scheduler it meant to. Exit
 * status 1 when an answer fails.
 */

#include <cups/cups.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char *const requested[] = {
    "printer-name",        "printer-state",  "printer-state-reasons",
    "printer-state-message", "printer-is-accepting-jobs", "queued-job-count",
    "printer-type",        "device-uri",     "member-names",
};

typedef struct {
  char *name;
  int state;
  char **reasons;
  int num_reasons;
  char *message;
  int accepting;
  int queued;
  int type;
  char *uri;
} printer_t;

typedef struct {
  printer_t *printers;
  int num_printers;
  char *default_name;
} answer_t;

static char *copy(const char *text) { return strdup(text ? text : ""); }

static void release(answer_t *answer) {
  for (int i = 0; i < answer->num_printers; i++) {
    printer_t *p = &answer->printers[i];
    free(p->name);
    free(p->message);
    free(p->uri);
    for (int r = 0; r < p->num_reasons; r++) free(p->reasons[r]);
    free(p->reasons);
  }
  free(answer->printers);
  free(answer->default_name);
  memset(answer, 0, sizeof(*answer));
}

/* Copies the attributes of the printer group that starts at attr into p and
 * returns the first attribute after it. */
static ipp_attribute_t *read_printer(ipp_t *response, ipp_attribute_t *attr, printer_t *p) {
  for (; attr && ippGetGroupTag(attr) == IPP_TAG_PRINTER; attr = ippNextAttribute(response)) {
    const char *name = ippGetName(attr);
    if (!name) continue;
    if (!strcmp(name, "printer-name")) {
      free(p->name);
      p->name = copy(ippGetString(attr, 0, NULL));
    } else if (!strcmp(name, "printer-state")) {
      p->state = ippGetInteger(attr, 0);
    } else if (!strcmp(name, "printer-state-reasons")) {
      int count = ippGetCount(attr);
      for (int r = 0; r < p->num_reasons; r++) free(p->reasons[r]);
      free(p->reasons);
      p->reasons = calloc((size_t)count, sizeof(char *));
      p->num_reasons = p->reasons ? count : 0;
      for (int r = 0; r < p->num_reasons; r++) p->reasons[r] = copy(ippGetString(attr, r, NULL));
    } else if (!strcmp(name, "printer-state-message")) {
      free(p->message);
      p->message = copy(ippGetString(attr, 0, NULL));
    } else if (!strcmp(name, "printer-is-accepting-jobs")) {
      p->accepting = ippGetBoolean(attr, 0);
    } else if (!strcmp(name, "queued-job-count")) {
      p->queued = ippGetInteger(attr, 0);
    } else if (!strcmp(name, "printer-type")) {
      p->type = ippGetInteger(attr, 0);
    } else if (!strcmp(name, "device-uri")) {
      free(p->uri);
      p->uri = copy(ippGetString(attr, 0, NULL));
    }
  }
  return attr;
}

/* ippRead() on a connection reads a body a few bytes per recv(): the body is
 * read in large pieces for ippReadIO() instead, as the IPP client does. */
typedef struct {
  http_t *http;
  size_t start, end;
  char buffer[32768];
} reader_t;

static ssize_t read_body(void *context, ipp_uchar_t *out, size_t bytes) {
  reader_t *reader = context;
  size_t got = 0;
  while (got < bytes) {
    if (reader->start == reader->end) {
      ssize_t count = httpRead2(reader->http, reader->buffer, sizeof(reader->buffer));
      if (count <= 0) return got ? (ssize_t)got : -1;
      reader->start = 0;
      reader->end = (size_t)count;
    }
    size_t take = bytes - got < reader->end - reader->start ? bytes - got : reader->end - reader->start;
    memcpy(out + got, reader->buffer + reader->start, take);
    reader->start += take;
    got += take;
  }
  return (ssize_t)got;
}

/* One request and its answer, as cupsDoRequest() sends it when nothing goes
 * wrong. */
static ipp_t *exchange(http_t *http, ipp_t *request, const char *resource) {
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
  httpSetLength(http, ippLength(request));
  ipp_state_t state = IPP_STATE_ERROR;
  if (httpPost(http, resource) == 0) {
    while ((state = ippWrite(http, request)) != IPP_STATE_DATA && state != IPP_STATE_ERROR) {
    }
  }
  ippDelete(request);
  if (state != IPP_STATE_DATA) return NULL;
  http_status_t status;
  while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
  }
  if (status != HTTP_STATUS_OK) return NULL;
  static reader_t reader;
  reader.http = http;
  reader.start = reader.end = 0;
  ipp_t *response = ippNew();
  if (ippReadIO(&reader, read_body, 1, NULL, response) != IPP_STATE_DATA) {
    ippDelete(response);
    return NULL;
  }
  while (httpGetState(http) != HTTP_STATE_WAITING && httpRead2(http, reader.buffer, sizeof(reader.buffer)) > 0) {
  }
  return response;
}

static int answer_once(answer_t *answer) {
  http_t *http = httpConnect2(cupsServer(), ippPort(), NULL, AF_UNSPEC, cupsEncryption(), 1,
                              30000, NULL);
  if (!http) {
    fprintf(stderr, "floor: cannot connect to %s:%d: %s\n", cupsServer(), ippPort(),
            cupsLastErrorString());
    return -1;
  }
  ipp_t *request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                (int)(sizeof(requested) / sizeof(requested[0])), NULL, requested);
  ipp_t *response = exchange(http, request, "/");
  if (!response || ippGetStatusCode(response) > IPP_STATUS_OK_CONFLICTING) {
    /* An empty scheduler answers client-error-not-found: no printers. */
    if (!response || ippGetStatusCode(response) != IPP_STATUS_ERROR_NOT_FOUND) {
      fprintf(stderr, "floor: CUPS-Get-Printers failed\n");
      ippDelete(response);
      httpClose(http);
      return -1;
    }
  }
  int capacity = 0;
  for (ipp_attribute_t *attr = response ? ippFirstAttribute(response) : NULL; attr;) {
    if (ippGetGroupTag(attr) != IPP_TAG_PRINTER) {
      attr = ippNextAttribute(response);
      continue;
    }
    if (answer->num_printers == capacity) {
      capacity = capacity ? 2 * capacity : 16;
      printer_t *grown = realloc(answer->printers, (size_t)capacity * sizeof(printer_t));
      if (!grown) {
        ippDelete(response);
        httpClose(http);
        return -1;
      }
      answer->printers = grown;
    }
    printer_t *p = &answer->printers[answer->num_printers++];
    memset(p, 0, sizeof(*p));
    attr = read_printer(response, attr, p);
  }
  ippDelete(response);

  cups_dest_t *dest = cupsGetNamedDest(http, NULL, NULL);
  answer->default_name = dest ? copy(dest->name) : NULL;
  cupsFreeDests(dest ? 1 : 0, dest);
  httpClose(http);
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3 || atoi(argv[1]) < 1 || (argc == 3 && atoi(argv[2]) < 0)) {
    fprintf(stderr, "usage: floor N [W]\n");
    return 2;
  }
  int n = atoi(argv[1]);
  int warm = argc == 3 ? atoi(argv[2]) : 0;
  answer_t answer = {0};
  for (int i = 0; i < warm; i++) {
    if (answer_once(&answer) != 0) return 1;
    release(&answer);
  }
  int printers = 0;
  char default_name[256] = "";
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 0; i < n; i++) {
    if (answer_once(&answer) != 0) return 1;
    printers = answer.num_printers;
    snprintf(default_name, sizeof(default_name), "%s",
             answer.default_name ? answer.default_name : "-");
    release(&answer);
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("printers %d default %s seconds %.9f\n", printers, default_name, seconds);
  return 0;
}
