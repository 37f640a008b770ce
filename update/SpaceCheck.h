// Whether the game folder's volume has room for a run, asked before its
// first download, so that a full disk never leaves half an update behind.
#pragma once

#include <deque>
#include <set>
#include <string>

#include "UpdatePlan.h"

// The queued items' peak extra space (PeakExtraSpace, from the sizes of the
// files they touch) fits in the free space of the current folder's volume.
// `installed` are the manifest's InstalledNames. True when the free space
// cannot be read: the run then goes on as it always did.
bool EnoughSpace(const std::deque<ManifestItem>& queue, const std::set<std::wstring>& installed);
