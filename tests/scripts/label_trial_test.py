#!/usr/bin/env python3
"""The code scan of bench/delta/label_trial.py.

The trial's figures mean something only if an applier could undo the
labels: scanning the labelled bytes must find exactly the operands the scan
of the original found, whatever the bytes, and each RIP-relative operand
must sit where the instruction puts it, so that its target is right.
"""
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'bench', 'delta'))
import label_trial  # noqa: E402

CODE = 0x60000020


def scan(b, taken=frozenset(), rip=True):
    sections = [(0x1000, len(b), 0, CODE)]
    return label_trial.code_operands(b, sections, taken, lambda at: label_trial.u(b, at, 4), rip)


class RipForms(unittest.TestCase):
    def test_operand_and_end_of_each_form(self):
        # bytes before the displacement, bytes after it, kind; the operand
        # follows the first part and the instruction ends after the second.
        table = [
            ('48 8B 05', '', '8B'),  # mov rax, [rip+d]
            ('4C 8D 0D', '', '8D'),  # lea r9, [rip+d]
            ('8B 05', '', '8B'),
            ('FF 15', '', 'FF'),  # call [rip+d]
            ('FF 25', '', 'FF'),  # jmp [rip+d]
            ('0F B6 05', '', '0F B6'),
            ('F2 0F 10 05', '', '0F 10'),  # movsd xmm0, [rip+d]
            ('F2 44 0F 10 05', '', '0F 10'),  # movsd xmm8, [rip+d]
            ('C7 05', '01 00 00 00', 'C7'),  # mov dword [rip+d], 1
            ('48 C7 05', '01 00 00 00', 'C7'),
            ('66 C7 05', '01 00', 'C7'),  # a 16-bit store has a 16-bit immediate
            ('66 48 C7 05', '01 00 00 00', 'C7'),  # REX.W takes precedence over 66
            ('48 83 3D', '00', '83'),  # cmp qword [rip+d], 0
            ('C6 05', '01', 'C6'),
        ]
        for head, tail, kind in table:
            with self.subTest(head=head):
                head, tail = bytes.fromhex(head), bytes.fromhex(tail)
                b = bytearray(head + b'\x10\x00\x00\x00' + tail + b'\x90')
                self.assertEqual(scan(b), [(len(head), 0x1000 + len(head) + 4 + len(tail), kind)])

    def test_other_operands_are_not_taken(self):
        for head in ('8B 45', '8B 04 25', 'FF 3D', 'C7 0D', '05', '48 05'):
            with self.subTest(head=head):
                b = bytearray(bytes.fromhex(head) + b'\x10\x00\x00\x00\x00\x00\x00\x00\x90')
                self.assertEqual(scan(b), [])

    def test_x86_images_are_left_to_their_relocations(self):
        for magic, found in ((0x10B, 0), (0x20B, 1)):
            b = bytearray(0x200)
            b[0x3C:0x40] = (0x40).to_bytes(4, 'little')
            b[0x58:0x5A] = magic.to_bytes(2, 'little')
            b[0x100:0x106] = bytes.fromhex('8B 05 10 00 00 00')
            sections = [(0x1000, 0x100, 0x100, CODE)]
            with self.subTest(magic=hex(magic)):
                self.assertEqual(len(label_trial.scanned(b, sections, set(), lambda at: 0, 'bp')), found)


class BothDirections(unittest.TestCase):
    def test_labelled_bytes_scan_as_the_original(self):
        # Bytes that start, end or look like the forms, so that candidates
        # overlap and abut as they do in code.
        alphabet = [0xE8, 0xE9, 0x0F, 0x84, 0x8B, 0x8D, 0x66, 0xF2, 0x48, 0x44, 0x05, 0x15, 0x3D, 0xC7, 0x83, 0xFF,
                    0xB6, 0x10, 0x00, 0x00, 0xFF, 0x90]
        rng = random.Random(29)
        for _ in range(1000):
            b = bytearray(rng.choice(alphabet) if rng.random() < 0.8 else rng.randrange(256) for _ in range(400))
            taken = {at for start in rng.sample(range(396), 4) for at in range(start, start + 4)}
            found = scan(b, taken)
            # Labels below 2^24 whose low bytes look like code too.
            for operand, _, _ in found:
                b[operand:operand + 4] = bytes(rng.choice(alphabet) for _ in range(3)) + b'\x00'

            self.assertEqual(scan(b, taken), found)


if __name__ == '__main__':
    unittest.main()
