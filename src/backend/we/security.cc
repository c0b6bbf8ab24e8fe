// STUB (being replaced)
#include "backend/we/we.h"
int parse_security_ies(backend_ctx *, const unsigned char *, int) { return -1; }
void parse_wpa_ie(backend_ctx *, int, const unsigned char *, int) {}
void add_unknown_security(network_entry *) {}
