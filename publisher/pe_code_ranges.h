#pragma once

// Where a Windows program image (x86 or x86-64) keeps its code: the file
// ranges of its executable sections and the addresses they load at, for the
// patch maker's branch rewriting. Values only; any thread.

#include <string>
#include <vector>

#include "update/delta/patch_format.h"

// True and ranges set (sorted, disjoint, at most kMaxPatchRanges) when image
// is a PE image for x86 or x86-64 whose section table and executable
// sections lie within it; false for anything else, which takes the plain
// patch.
bool PeCodeRanges(const std::string& image, std::vector<PatchRange>& ranges);
