/* Stands in for the Avahi client calls that ippeveprinter makes, so that it
 * starts without a DNS-SD daemon, which would multicast beyond loopback. It
 * announces nothing: clients reach the printer by its loopback URI.
 * tests/lab/printer.py builds it and preloads it into ippeveprinter. */
#include <stdint.h>

static int stub;

void *avahi_threaded_poll_new(void) { return &stub; }
const void *avahi_threaded_poll_get(void *poll) { (void)poll; return &stub; }
int avahi_threaded_poll_start(void *poll) { (void)poll; return 0; }
void avahi_threaded_poll_lock(void *poll) { (void)poll; }
void avahi_threaded_poll_unlock(void *poll) { (void)poll; }

void *avahi_client_new(const void *poll, int flags, void *callback, void *data, int *error) {
  (void)poll, (void)flags, (void)callback, (void)data;
  if (error) *error = 0;
  return &stub;
}
int avahi_client_errno(void *client) { (void)client; return 0; }
const char *avahi_client_get_host_name_fqdn(void *client) { (void)client; return 0; }

void *avahi_entry_group_new(void *client, void *callback, void *data) {
  (void)client, (void)callback, (void)data;
  return &stub;
}
int avahi_entry_group_add_service_strlst(void *group, int interface, int protocol, int flags,
                                         const char *name, const char *type, const char *domain,
                                         const char *host, uint16_t port, void *txt) {
  (void)group, (void)interface, (void)protocol, (void)flags, (void)name, (void)type;
  (void)domain, (void)host, (void)port, (void)txt;
  return 0;
}
int avahi_entry_group_add_service_subtype(void *group, int interface, int protocol, int flags,
                                          const char *name, const char *type, const char *domain,
                                          const char *subtype) {
  (void)group, (void)interface, (void)protocol, (void)flags, (void)name, (void)type;
  (void)domain, (void)subtype;
  return 0;
}
int avahi_entry_group_commit(void *group) { (void)group; return 0; }
int avahi_entry_group_free(void *group) { (void)group; return 0; }

void *avahi_string_list_add_printf(void *list, const char *format, ...) {
  (void)list, (void)format;
  return &stub;
}
void avahi_string_list_free(void *list) { (void)list; }
