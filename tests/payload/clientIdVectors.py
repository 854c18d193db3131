#!/usr/bin/env python3
"""Expected generated client identifiers for fixed (computer name, element UUID) pairs.

Written independently of the C++ generator: hashlib's SHA-256 and a hand-written 64-bit Mersenne
Twister (MT19937-64, checked against the standard's 10000th-output value). The output rows are
pasted into clientIdTest.cpp.
"""
import hashlib
import uuid

MASK64 = (1 << 64) - 1


class MT19937_64:
    N, M = 312, 156
    MATRIX_A = 0xB5026F5AA96619E9
    UPPER, LOWER = 0xFFFFFFFF80000000, 0x7FFFFFFF

    def __init__(self, seed):
        self.mt = [0] * self.N
        self.mt[0] = seed & MASK64
        for i in range(1, self.N):
            prev = self.mt[i - 1]
            self.mt[i] = (6364136223846793005 * (prev ^ (prev >> 62)) + i) & MASK64
        self.index = self.N

    def _twist(self):
        for i in range(self.N):
            x = (self.mt[i] & self.UPPER) | (self.mt[(i + 1) % self.N] & self.LOWER)
            xa = x >> 1
            if x & 1:
                xa ^= self.MATRIX_A
            self.mt[i] = self.mt[(i + self.M) % self.N] ^ xa
        self.index = 0

    def next(self):
        if self.index >= self.N:
            self._twist()
        y = self.mt[self.index]
        self.index += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        return y & MASK64


def _self_check():
    engine = MT19937_64(5489)
    for _ in range(9999):
        engine.next()
    assert engine.next() == 9981545732273789042, "MT19937-64 does not match the reference sequence"


ALPHABET = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


def client_id(name: bytes, element: uuid.UUID) -> str:
    digest = hashlib.sha256(name + element.bytes).digest()
    engine = MT19937_64(int.from_bytes(digest[:8], "little"))
    threshold = (1 << 64) % len(ALPHABET)
    out = "CORV0"
    while len(out) < 23:
        product = engine.next() * len(ALPHABET)
        if product & MASK64 < threshold:
            continue
        out += ALPHABET[product >> 64]
    return out


PAIRS = [
    (b"localhost", "00000000-0000-0000-0000-000000000000"),
    (b"localhost", "2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e01"),
    (b"HOST-", "2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e01"),
    (b"plant-7.example.co", "c0ffee00-1234-4abc-8def-0123456789ab"),
    (b"", "ffffffff-ffff-ffff-ffff-ffffffffffff"),
]

if __name__ == "__main__":
    _self_check()
    for name, text in PAIRS:
        print(f'    {{"{name.decode()}", "{text}", "{client_id(name, uuid.UUID(text))}"}},')
