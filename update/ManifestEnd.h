// Whether a manifest arrived whole. A manifest cut short in transit (a stale
// Content-Length after a rewrite, a proxy dropping the end) still parses, as
// the XML reader is lenient, and would run the items that arrived and then
// record the new version although the rest was never installed.
#pragma once

#include <cstddef>

// True when the first "Update" element of the manifest bytes is closed:
// either by "/>" or by its end tag "</Update>". Reads the markup in UTF-16
// of either byte order and in every 8-bit encoding the reader accepts.
bool UpdateElementClosed(const char* data, size_t size);
