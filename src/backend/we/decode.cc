// STUB (being replaced)
#include "backend/we/we.h"
int we_decode_scan(backend_ctx *, char *, int, const struct iw_range *) { return -1; }
