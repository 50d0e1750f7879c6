#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "publisher/release_keys.h"
#include "publisher/smaller_forms.h"

// The earlier releases a new one is published after, as --previous names
// them: read, ordered newest first, and the newest's signature held against
// this release's key.

// Reads the package.json of each of paths (UTF-8) into earlier, newest first:
// the first is the one this release continues. warnings gets a line when the
// newest is signed and this release will not be, or is signed with another
// key. 0, or an exit code with the message printed to err: 2 two of them are
// the same version, 3 one is not a package manifest, 4 one cannot be read.
int LoadEarlierReleases(const std::vector<std::string>& paths, const SigningKey& key,
                        std::vector<EarlierRelease>& earlier, std::vector<std::string>& warnings, std::ostream& err);
