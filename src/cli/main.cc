// SPDX-License-Identifier: MIT
#include "cli/lumra.h"

int main(int argc, char **argv) { return lumra_main(argc, argv); }
