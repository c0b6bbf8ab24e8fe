// SPDX-License-Identifier: MIT
// Small helpers for Wireless Extensions requests.
#pragma once

#include <errno.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include <iwlib.h>

#include "backend/we/we.h"

// A request on the operation's socket, wrq (zeroed, its data set by the
// caller) named after the interface (backend_open allows no name of
// IFNAMSIZ bytes or more); the ioctl's result.
int we_ioctl(backend_ctx *ctx, unsigned long request, iwreq *wrq);
