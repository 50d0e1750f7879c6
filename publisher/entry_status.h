#pragma once

// What became of one install path against the previous release: the word
// zq_publish prints for it ("new", "changed", "same", "deleted").
enum class EntryStatus { kNew, kChanged, kSame, kDeleted };
