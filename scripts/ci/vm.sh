#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The suite on a real kernel: virtual radios, access points and a station in
# QEMU, lumra's output and cache checked byte for byte.
set -euo pipefail
exec bash "$(dirname "$0")/../../tests/vm/run.sh" suite
