// What a manifest must show before any of its items runs: that it was made
// for this game, and a well-formed SHA-256 for its downloads.
#pragma once

#include <cstdint>

#include "XMLConfig.h"

// The "Update" element's "game" attribute is the decimal `gameId`.
bool ManifestIsForGame(_ServerEngine::CXMLConfig* update, uint32_t gameId);

// Every download item ("File" child with "op" 0) carries "sha256" when
// `required`; a "sha256" present on a download item is 64 hexadecimal
// digits either way.
bool DownloadDigestsValid(_ServerEngine::CXMLConfig* update, bool required);
