#!/usr/bin/env python3
"""A trial of matching program images with their references as labels.

    label_trial.py OLD NEW OLD_OUT NEW_OUT TABLE_OUT [b][r][p]

Rewrites, in both images, each rel32 branch operand (b: E8, E9, 0F 8x, the
scan of update/delta/x86_branches.h), each absolute address of the base
relocation table (r: HIGHLOW, DIR64) and, in x86-64 images, each disp32 of
the common RIP-relative instruction forms (p: RIP_FORMS, found by the same
pass as the branches) to a label: in OLD, the index of its target among
OLD's distinct targets in address order; in NEW, the label of the OLD
target it is aligned with, where the runs of gaps between targets agree,
and a fresh label past OLD's otherwise. TABLE_OUT gets what an
applier would need to turn NEW's labels back into addresses (for each of
NEW's targets in address order, its label's step from the one before and
its shift from the aligned OLD target, zigzag LEB128). Then undoes NEW's
rewriting from its labels and that table alone and checks the bytes come
back. Making a patch of OLD_OUT and NEW_OUT (delta_make --patch) and adding
the compressed TABLE_OUT estimates what labels would save. Prints the
counts of NEW's references by kind (relocation, branch, or a RIP form's
opcode).

A branch or RIP candidate whose operand overlaps a relocated address is
left alone, so the scan judges the same bytes in both directions.

With a seventh argument, a patch of OLD and NEW as they are, NEW's targets
are aligned by that patch's matching instead: a target whose bytes a copy
takes from where an OLD target lies takes that target's label. With the
word "anchors" there, the runs of gaps are found in linear time instead,
from runs of four gaps that occur once in each file, grown both ways, and
the targets between two partners paired in order where both sides have as
many.

    label_trial.py copied OLD NEW NEW_OUT PATCH KEPT_OUT

An applier finds the output's relocation table only at its end, after the
addresses it lists. So, given PATCH made of OLD_OUT and NEW_OUT, KEPT_OUT is
NEW_OUT with only those relocated addresses left as labels that a copy of
PATCH takes whole from a relocated address of OLD, which the applier knows
from OLD's own table; the others get their bytes back. A patch of OLD_OUT
and KEPT_OUT is what that rule would cost.
"""
import bisect
import collections
import difflib
import subprocess
import sys


def u(b, at, n):
    return int.from_bytes(b[at:at + n], 'little')


def headers(b):
    pe_at = u(b, 0x3c, 4)
    sections, optional = u(b, pe_at + 6, 2), u(b, pe_at + 20, 2)
    o = pe_at + 24
    pe32 = u(b, o, 2) == 0x10b
    image_base = u(b, o + 28, 4) if pe32 else u(b, o + 24, 8)
    directory = o + (96 if pe32 else 112) + 5 * 8
    reloc = (u(b, directory, 4), u(b, directory + 4, 4))
    table = [tuple(u(b, o + optional + 40 * i + k, 4) for k in (12, 16, 20, 36)) for i in range(sections)]
    return image_base, reloc, table


def file_offset(sections, rva):
    for address, raw_size, raw_at, _ in sections:
        if address <= rva < address + raw_size:
            return raw_at + rva - address
    return None


def relocations(b, image_base, reloc, sections):
    """(file offset, width, target address) of each relocated address."""
    sites = []
    at = file_offset(sections, reloc[0])
    end = (at or 0) + reloc[1]
    while at is not None and at + 8 <= end:
        page, size = u(b, at, 4), u(b, at + 4, 4)
        if size < 8:
            break
        for k in range((size - 8) // 2):
            entry = u(b, at + 8 + 2 * k, 2)
            kind, width = entry >> 12, {3: 4, 10: 8}.get(entry >> 12)
            site = file_offset(sections, page + (entry & 0xfff))
            if width and site is not None and site + width <= len(b):
                sites.append((site, width, (u(b, site, width) - image_base) & 0xFFFFFFFF))
        at += size
    return sites


# RIP-relative forms of x86-64 (ModRM mod 00, rm 101: the operand is a disp32
# from the instruction's end): opcode -> (immediate bytes, legacy prefixes it
# may follow, the ModRM reg fields it takes or None for any). A small set of
# the forms compilers emit most, not a decoder. Before its ModRM a match reads
# only prefixes, REX, 0F and a second opcode byte, none of them E8, E9, 8x or
# such a ModRM; so no operand of a later candidate starts inside the bytes a
# failed match has read, and labels there cannot change its answer.
ANY, PLAIN, SSE = None, (None, 0x66), (None, 0x66, 0xF2, 0xF3)
RIP_FORMS = {
    **{(op,): (0, PLAIN, ANY)
       for op in (0x8B, 0x89, 0x8D, 0x8A, 0x88, 0x63, 0x03, 0x01, 0x2B, 0x29, 0x3B, 0x39, 0x33, 0x31, 0x0B, 0x09,
                  0x23, 0x21, 0x85, 0x84, 0x38, 0x3A)},
    (0x83,): (1, PLAIN, ANY),
    (0x80,): (1, PLAIN, ANY),
    (0xC6,): (1, PLAIN, (0,)),
    (0x81,): (4, PLAIN, ANY),
    (0xC7,): (4, PLAIN, (0,)),
    (0xFF,): (0, PLAIN, (0, 1, 2, 4, 6)),
    **{(0x0F, op): (0, PLAIN, ANY) for op in (0xB6, 0xB7, 0xBE, 0xBF, 0xAF, *range(0x40, 0x50))},
    **{(0x0F, op): (0, SSE, ANY)
       for op in (0x10, 0x11, 0x28, 0x29, 0x2A, 0x2E, 0x2F, 0x54, 0x57, 0x58, 0x59, 0x5A, 0x5C, 0x5E, 0x6E, 0x6F,
                  0x7E, 0x7F, 0xD6, 0xEF)},
}


def rip_form(b, p, end):
    """(length, immediate bytes, opcode) of the RIP-relative instruction at p, or (0, 0, None)."""
    q, prefix = p, None
    if b[q] in (0x66, 0xF2, 0xF3):
        prefix, q = b[q], q + 1
    wide = q < end and b[q] & 0xF8 == 0x48
    if q < end and b[q] & 0xF0 == 0x40:
        q += 1
    if q >= end or (b[q] == 0x0F and q + 1 >= end):
        return 0, 0, None
    opcode = (0x0F, b[q + 1]) if b[q] == 0x0F else (b[q],)
    q += len(opcode)
    form = RIP_FORMS.get(opcode)
    if form is None or prefix not in form[1] or q >= end or b[q] & 0xC7 != 0x05:
        return 0, 0, None
    immediate, _, fields = form
    if fields is not None and (b[q] >> 3) & 7 not in fields:
        return 0, 0, None
    if immediate == 4 and prefix == 0x66 and not wide:
        immediate = 2
    length = q + 5 + immediate - p
    return (length, immediate, opcode) if p + length <= end else (0, 0, None)


def code_operands(b, sections, taken, value_of, rip=False):
    """(file offset, end address, kind) of each operand the scan rewrites.

    One pass left to right over the code ranges: rel32 branches (E8, E9,
    0F 8x) and, with rip, the forms of RIP_FORMS. Each candidate is judged
    by opcode bytes the rewriting leaves alone and its operand's top byte,
    and passed over whole, so both directions find the same operands.
    """
    sites = []
    for address, raw_size, raw_at, flags in sections:
        if not flags & 0x20000020 or raw_size == 0:
            continue
        p, end = raw_at, min(raw_at + raw_size, len(b))
        while p < end:
            length, immediate, kind = 0, 0, 'branch'
            if b[p] in (0xE8, 0xE9) and end - p >= 5:
                length = 5
            elif b[p] == 0x0F and end - p >= 6 and (b[p + 1] & 0xF0) == 0x80:
                length = 6
            elif rip:
                length, immediate, opcode = rip_form(b, p, end)
                kind = opcode and ' '.join(f'{x:02X}' for x in opcode)
            if length:
                operand = p + length - immediate - 4
                if value_of(operand) >> 24 in (0, 0xFF) and not any(i in taken for i in range(operand, operand + 4)):
                    sites.append((operand, address + p + length - raw_at, kind))
                p += length
            else:
                p += 1
    return sites


def relocated(b, mode):
    """The image's base and sections, its relocated addresses, and the bytes they cover."""
    image_base, reloc, sections = headers(b)
    sites = relocations(b, image_base, reloc, sections) if 'r' in mode else []
    taken = {i for site, width, _ in sites for i in range(site, site + width)}
    return image_base, sections, sites, taken


def scanned(b, sections, taken, value_of, mode):
    """(file offset, end address, kind) of the code operands mode labels."""
    if not {'b', 'p'} & set(mode):
        return []
    # x86 code addresses data by absolute addresses, which the relocation
    # table lists; only x86-64's ModRM form of them is relative.
    rip = 'p' in mode and u(b, u(b, 0x3c, 4) + 24, 2) == 0x20b
    found = code_operands(b, sections, taken, value_of, rip)
    return [site for site in found if ('b' if site[2] == 'branch' else 'p') in mode]


def references(b, mode):
    """(offset, width, target, kind) of each reference to label."""
    image_base, sections, sites, taken = relocated(b, mode)
    found = [(site, width, target, 'relocation') for site, width, target in sites]
    for operand, end, kind in scanned(b, sections, taken, lambda at: u(b, at, 4), mode):
        found.append((operand, 4, (end + u(b, operand, 4)) & 0xFFFFFFFF, kind))
    return found


def leb(out, value):
    value = (value << 1) ^ (value >> 63)
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)


def unleb(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return (value >> 1) ^ -(value & 1), at


def gaps_of(targets):
    return [b - a for a, b in zip(targets, targets[1:])]


def with_fresh_labels(labels, old_targets, new_targets):
    """labels, with a label past OLD's for each NEW target that has none, in address order."""
    fresh = len(old_targets)
    for target in new_targets:
        if target not in labels:
            labels[target] = fresh
            fresh += 1
    return labels


def align(old_targets, new_targets):
    """NEW target -> OLD label, where runs of gaps between targets agree."""
    old_gaps, new_gaps = gaps_of(old_targets), gaps_of(new_targets)
    labels, used = {}, set()
    for a, b, size in difflib.SequenceMatcher(None, old_gaps, new_gaps, autojunk=False).get_matching_blocks():
        for k in range(size + 1 if size else 0):
            # neighbouring blocks share a target at their ends; a label names one
            if new_targets[b + k] not in labels and a + k not in used:
                labels[new_targets[b + k]] = a + k
                used.add(a + k)
    return with_fresh_labels(labels, old_targets, new_targets)


def align_by_anchors(old_targets, new_targets, run=4):
    """As align, in linear time: runs of gaps that occur once in each file, grown both ways."""
    old_gaps, new_gaps = gaps_of(old_targets), gaps_of(new_targets)

    def once(gaps):
        seen = {}
        for i in range(len(gaps) - run + 1):
            key = tuple(gaps[i:i + run])
            seen[key] = None if key in seen else i
        return seen

    old_once, new_once = once(old_gaps), once(new_gaps)
    labels, used = {}, set()

    def pair(a, b):
        if new_targets[b] not in labels and a not in used:
            labels[new_targets[b]] = a
            used.add(a)

    for key, b in sorted((k, i) for k, i in new_once.items() if i is not None):
        a = old_once.get(key)
        if a is None or new_targets[b] in labels:
            continue
        lo = 0
        while a - lo > 0 and b - lo > 0 and old_gaps[a - lo - 1] == new_gaps[b - lo - 1]:
            lo += 1
        hi = run
        while a + hi < len(old_gaps) and b + hi < len(new_gaps) and old_gaps[a + hi] == new_gaps[b + hi]:
            hi += 1
        for k in range(-lo, hi + 1):
            pair(a + k, b + k)
    # Between two partners, as many targets on each side: the same functions,
    # some of them grown or shrunk.
    new_index = {target: i for i, target in enumerate(new_targets)}
    partners = sorted((new_index[target], label) for target, label in labels.items())
    for (b1, a1), (b2, a2) in zip(partners, partners[1:]):
        if a2 - a1 == b2 - b1 > 1:
            for k in range(1, b2 - b1):
                pair(a1 + k, b1 + k)
    return with_fresh_labels(labels, old_targets, new_targets)


def rva_of(sections, offset):
    for address, raw_size, raw_at, _ in sections:
        if raw_at <= offset < raw_at + raw_size:
            return address + offset - raw_at
    return None


def align_by_copies(old, new, old_targets, new_targets, copies):
    """NEW target -> OLD label, where a copy takes the target's bytes from an OLD target's."""
    old_sections, new_sections = headers(old)[2], headers(new)[2]
    old_labels = {target: i for i, target in enumerate(old_targets)}
    starts = [output for output, _, _ in copies]
    labels, used = {}, set()
    for target in new_targets:
        at = file_offset(new_sections, target)
        i = bisect.bisect_right(starts, at) - 1 if at is not None else -1
        if i < 0 or at >= copies[i][0] + copies[i][2]:
            continue
        label = old_labels.get(rva_of(old_sections, copies[i][1] + at - copies[i][0]))
        if label is not None and label not in used:
            labels[target] = label
            used.add(label)
    return with_fresh_labels(labels, old_targets, new_targets)


def table_of(new_targets, labels, old_targets):
    table, last_label, last_shift = bytearray(), -1, 0
    for target in new_targets:
        label = labels[target]
        shift = target - old_targets[label] if label < len(old_targets) else target
        leb(table, label - last_label - 1)
        leb(table, shift - last_shift)
        last_label = label
        if label < len(old_targets):
            last_shift = shift
    return table


def undo(labelled, table, old_targets, mode, count):
    """NEW's bytes from its labelled form, the table and OLD's targets."""
    address_of, at, last_label, last_shift = {}, 0, -1, 0
    for _ in range(count):
        step, at = unleb(table, at)
        shift, at = unleb(table, at)
        label, shift = last_label + step + 1, last_shift + shift
        address_of[label] = shift + old_targets[label] if label < len(old_targets) else shift
        last_label = label
        if label < len(old_targets):
            last_shift = shift
    b = bytearray(labelled)
    image_base, sections, sites, taken = relocated(b, mode)
    for site, width, _ in sites:
        label = u(labelled, site, width)
        b[site:site + width] = ((address_of[label] + image_base) & ((1 << (8 * width)) - 1)).to_bytes(width, 'little')
    for operand, end, _ in scanned(b, sections, taken, lambda at: u(labelled, at, 4), mode):
        b[operand:operand + 4] = ((address_of[u(labelled, operand, 4)] - end) & 0xFFFFFFFF).to_bytes(4, 'little')
    return b


def main(old_path, new_path, old_out, new_out, table_out, mode, plain_patch=None):
    old, new = bytearray(open(old_path, 'rb').read()), bytearray(open(new_path, 'rb').read())
    old_refs, new_refs = references(old, mode), references(new, mode)
    old_targets = sorted({target for _, _, target, _ in old_refs})
    new_targets = sorted({target for _, _, target, _ in new_refs})
    old_labels = {target: i for i, target in enumerate(old_targets)}
    if plain_patch == 'anchors':
        new_labels = align_by_anchors(old_targets, new_targets)
    elif plain_patch:
        copies = copies_of(open(plain_patch, 'rb').read())
        new_labels = align_by_copies(old, new, old_targets, new_targets, copies)
    else:
        new_labels = align(old_targets, new_targets)
    original = bytes(new)
    for b, refs, labels in ((old, old_refs, old_labels), (new, new_refs, new_labels)):
        for site, width, target, _ in refs:
            b[site:site + width] = labels[target].to_bytes(width, 'little')
    table = table_of(new_targets, new_labels, old_targets)
    open(old_out, 'wb').write(old)
    open(new_out, 'wb').write(new)
    open(table_out, 'wb').write(table)
    matched = sum(1 for t in new_targets if new_labels[t] < len(old_targets))
    same = undo(new, table, old_targets, mode, len(new_targets)) == original
    print(f'references {len(new_refs)} targets {len(new_targets)} aligned {matched} round-trip {"ok" if same else "FAILED"}')
    kinds = collections.Counter(kind for _, _, _, kind in new_refs)
    print(' '.join(f'{kind}:{count}' for kind, count in kinds.most_common()))
    return 0 if same else 1


def copies_of(patch):
    """(output start, base start, length) of each copy of our patch."""
    ranges = 12 * (patch[5] + patch[6])
    control_at, control_bytes = 64 + ranges, u(patch, 32, 8)
    control = subprocess.run(['zstd', '-d', '-c'], input=patch[control_at:control_at + control_bytes],
                             capture_output=True, check=True).stdout
    copies, output, base = [], 0, 0
    for at in range(0, len(control), 24):
        copy, insert, seek = (u(control, at + 8 * k, 8) for k in range(3))
        copies.append((output, base, copy))
        output += copy + insert
        base += copy + (seek - (1 << 64) if seek >> 63 else seek)
    return copies


def copied(old_path, new_path, labelled_path, patch_path, kept_path):
    old, new = open(old_path, 'rb').read(), open(new_path, 'rb').read()
    labelled = bytearray(open(labelled_path, 'rb').read())
    copies = copies_of(open(patch_path, 'rb').read())
    starts = [output for output, _, _ in copies]
    old_widths = {site: width for site, width, _ in relocated(old, 'r')[2]}
    new_sites = relocated(new, 'r')[2]
    kept = 0
    for site, width, _ in new_sites:
        i = bisect.bisect_right(starts, site) - 1
        output, base, length = copies[i] if i >= 0 else (0, 0, 0)
        if site + width <= output + length and old_widths.get(base + site - output) == width:
            kept += 1
        else:
            labelled[site:site + width] = new[site:site + width]
    open(kept_path, 'wb').write(labelled)
    print(f'relocated addresses {len(new_sites)} copied whole from the base {kept}')
    return 0


if __name__ == '__main__':
    if sys.argv[1] == 'copied':
        sys.exit(copied(*sys.argv[2:7]))
    sys.exit(main(*sys.argv[1:8]))
