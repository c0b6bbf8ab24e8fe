// STUB (being replaced): the entry function.
#include "cli/lumra.h"
const char *const kCachePath = LUMRA_CACHE_PATH;
int lumra_main(int, char **) { return 1; }
