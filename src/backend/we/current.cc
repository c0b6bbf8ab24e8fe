// STUB (being replaced)
#include "backend/we/we.h"
int we_current(backend_ctx *, int *) { return -1; }
