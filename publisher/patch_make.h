#pragma once

#include <string>

// The publisher's side of the patch form (update/delta/patch_format.h,
// applied by update/delta/patch_apply.h): a delta of approximate matches,
// where a stretch of the target that mostly agrees with a stretch of the
// base is stored as byte-wise differences, mostly zeros, so that code whose
// addresses moved by a few bytes still costs little. Pure functions of
// bytes; any thread. Memory: about six times the base plus four times the
// target (the suffix array, the streams, rewritten copies of program images).

// The largest base and target MakePatch takes; the publisher's deltas stop
// well below it.
inline constexpr long long kMaxPatchFileBytes = 1LL << 30;

// How references of program images are matched. kAlways: branches in
// absolute form (update/delta/x86_branches.h), which read the same where a
// callee stayed and its caller moved. kLabels: branch targets and relocated
// addresses named by labels (update/delta/reference_labels.h), which read
// the same wherever the same function or data went; such a patch is of
// version 2, which only clients that read its manifest key take, and images
// that cannot take labels get the plain patch. kNever: bytes as they are.
// Which is smallest depends on the relink, so kSmaller makes all three.
enum class BranchRewriting { kSmaller, kNever, kAlways, kLabels };

// The patch that turns base into target, its streams compressed at zstd
// level. Branches are rewritten as rewriting says when both are x86 or
// x86-64 program images (pe_code_ranges.h); anything else is matched as it
// is. False when either is larger than kMaxPatchFileBytes or zstd fails.
bool MakePatch(const std::string& base, const std::string& target, int level, std::string& patch,
               BranchRewriting rewriting = BranchRewriting::kSmaller);
