#pragma once

#include <string>
#include <vector>

#include "update/manifest/package_manifest.h"

// A URL under which a release served a file, a compressed copy or a delta
// names those bytes for ever: a cache at a school or a CDN keeps them a year
// by the URL alone, so other bytes published there later would reach the PCs
// behind it as the old ones (each then fails its proof, or its road). Pure;
// any thread.

// False, with refusal set to one line that names the file and the URL, when
// release names under such a URL of one of earlier (newest first) other
// bytes than that release named there, by the digests both name. The
// installer's URL is left out: caches revalidate it, and a later release
// may reuse it.
bool KeepsEarlierUrls(const PackageManifest& release, const std::vector<PackageManifest>& earlier,
                      std::string& refusal);
