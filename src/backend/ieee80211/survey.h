// SPDX-License-Identifier: MIT
// What a cell's elements tell a site survey beside its descriptors: the
// channel's width and centre, the newest standard, BSS Load, country, WPS
// and the security as values, read straight into the entry's record.
#pragma once

#include <cstdint>
#include <span>

#include "netlist/survey_record.h"

// Reads the elements of a cell's security reports (each a buffer of
// elements, empty for "off"; a last element cut short is read as far as it
// goes) into *out, which holds nothing of theirs yet. primary_mhz: the
// frequency the cell was heard on, 0 when not known (the width only then, no
// centre). WPS is given wherever there are elements.
//
// An element that describes the channel but is malformed or cut short
// leaves the width unknown; without any, a cell that has rates is 20 MHz.
// A centre whose channel leaves out the primary is none. 80+80 MHz is 160,
// centred on the segment with the primary.
//
// Of an RSN or WPA element, the fields after a whole one that ends the
// element are not given (no names; PMF "no", as its capability bits are
// then 0); a field cut short is "unknown", and so is every later one (PMF
// not given). The AKM names are those of the RSN element, then the WPA
// element's, each once; the group cipher the RSN element's, else the WPA
// element's; PMF "no" for a WPA element alone.
void survey_parse(std::span<const std::span<const uint8_t>> reports, long primary_mhz,
                  network_survey *out);
