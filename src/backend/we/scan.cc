// STUB (being replaced)
#include "backend/we/we.h"
int we_scan(backend_ctx *) { return -1; }
int we_scan_once(backend_ctx *, int, const void *, int, const struct iw_freq *) { return -1; }
