"""An independent model of the masking call, written from the algorithm's
description in plain Python: the ChaCha12 stream with its PCG32 key
expansion, the draws, the column models, the plain per-pass scan and the
matrix dump. Tests compare the native module against it bit for bit."""

from __future__ import annotations

import math
import struct

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def _rotl32(x: int, r: int) -> int:
    return ((x << r) | (x >> (32 - r))) & MASK32


def chacha_block(state: list[int], rounds: int) -> list[int]:
    x = list(state)

    def quarter(a: int, b: int, c: int, d: int) -> None:
        x[a] = (x[a] + x[b]) & MASK32
        x[d] = _rotl32(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & MASK32
        x[b] = _rotl32(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & MASK32
        x[d] = _rotl32(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & MASK32
        x[b] = _rotl32(x[b] ^ x[c], 7)

    for _ in range(rounds // 2):
        quarter(0, 4, 8, 12)
        quarter(1, 5, 9, 13)
        quarter(2, 6, 10, 14)
        quarter(3, 7, 11, 15)
        quarter(0, 5, 10, 15)
        quarter(1, 6, 11, 12)
        quarter(2, 7, 8, 13)
        quarter(3, 4, 9, 14)
    return [(x[i] + state[i]) & MASK32 for i in range(16)]


class Stream:
    """The per-instance random stream."""

    def __init__(self, seed: int) -> None:
        s = seed & MASK64
        key = []
        for _ in range(8):
            s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
            xorshifted = (((s >> 18) ^ s) >> 27) & MASK32
            rot = s >> 59
            key.append(((xorshifted >> rot) | (xorshifted << ((32 - rot) & 31))) & MASK32)
        constants = list(struct.unpack("<4I", b"expand 32-byte k"))
        self.state = constants + key + [0, 0, 0, 0]
        self.buffer: list[int] = []
        self.pos = 64

    def _refill(self) -> None:
        counter = self.state[12] | (self.state[13] << 32)
        words = []
        for i in range(4):
            c = (counter + i) & MASK64
            block_state = self.state[:12] + [c & MASK32, c >> 32] + self.state[14:]
            words += chacha_block(block_state, 12)
        counter = (counter + 4) & MASK64
        self.state[12], self.state[13] = counter & MASK32, counter >> 32
        self.buffer = words
        self.pos = 0

    def u32(self) -> int:
        if self.pos == 64:
            self._refill()
        word = self.buffer[self.pos]
        self.pos += 1
        return word

    def u64(self) -> int:
        low = self.u32()
        return low | (self.u32() << 32)

    def f64(self) -> float:
        return (self.u64() >> 11) * 1.1102230246251565e-16

    def random_range(self, n: int) -> int:
        assert n >= 1
        if n < (1 << 32):
            width, draw = 32, self.u32
        else:
            width, draw = 64, self.u64
        mask = (1 << width) - 1
        product = draw() * n
        hi, lo = product >> width, product & mask
        if lo <= ((-n) & mask):
            return hi
        hi2 = (draw() * n) >> width
        return hi + 1 if lo + hi2 > mask else hi

    def pick_indices(self, n: int, amount: int) -> list[int]:
        if amount >= n:
            return list(range(n))
        reservoir = list(range(amount))
        for e in range(amount, n):
            k = self.random_range(e + 1)
            if k < amount:
                reservoir[k] = e
        return reservoir

    def gauss(self, mean: float, std_dev: float) -> float:
        u1 = self.f64()
        while u1 < 1e-17:
            u1 = self.f64()
        u2 = self.f64()
        radius = math.sqrt(math.log(u1) * -2.0)
        c = math.cos(u2 * 6.283185307179586)
        return ((c * radius) * std_dev) + mean


def total_order_key(value: float) -> int:
    bits = struct.unpack("<q", struct.pack("<d", value))[0]
    return bits ^ ((bits >> 63) & 0x7FFFFFFFFFFFFFFF)


def saturating_u64(value: float) -> int:
    if math.isnan(value) or value < 0:
        return 0
    if value >= 18446744073709551616.0:
        return MASK64
    return int(value)


def column_model(column: list[float], mean: float, variance: float) -> tuple[float, float]:
    n = len(column)
    s = sorted(column, key=total_order_key)
    p = saturating_u64(math.floor(n * mean))
    if n % 2 == 0 and p >= 1:
        lower = min(p - 1, n - 1)
        centre = (s[lower] + s[min(p, n - 1)]) * 0.5
    else:
        centre = s[min(p, n - 1)]
    return centre, (s[n - 1] - s[0]) * variance


def nearest(matrix: list[list[float]], column: int, threshold: float) -> int | None:
    best_row, best_key = None, None
    for row, line in enumerate(matrix):
        v = line[column]
        if math.isnan(v):
            continue
        d = v - threshold
        key = total_order_key(d * d)
        if best_key is None or best_key > key:
            best_row, best_key = row, key
    return best_row


def dump_number(v: float) -> str:
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    m = abs(v)
    if m == 0.0:
        return sign + "0.0"
    digits, exp = _shortest(m)
    if 1e-4 <= m < 1e16:
        return sign + _positional(digits, exp, True)
    text = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{text}e{exp}"


def _shortest(m: float) -> tuple[str, int]:
    """Shortest round-trip digits of m > 0 and the exponent of the first digit."""
    mantissa, exponent = f"{m:.17e}".split("e")
    for precision in range(0, 17):
        candidate = f"{m:.{precision}e}"
        if float(candidate) == m:
            mantissa, exponent = candidate.split("e")
            break
    digits = mantissa.replace(".", "").rstrip("0") or "0"
    return digits, int(exponent)


def _positional(digits: str, exp: int, force_fraction: bool) -> str:
    if exp < 0:
        return "0." + "0" * (-exp - 1) + digits
    integral = exp + 1
    if len(digits) <= integral:
        return digits + "0" * (integral - len(digits)) + (".0" if force_fraction else "")
    return digits[:integral] + "." + digits[integral:]


def positional(v: float) -> str:
    """The representation's number format."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    if v == 0.0:
        return sign + "0"
    digits, exp = _shortest(abs(v))
    return sign + _positional(digits, exp, False)


def dump(matrix: list[list[float]]) -> str:
    rows, cols = len(matrix), len(matrix[0])
    truncate = rows * cols >= 500

    def shown(n: int) -> list[int | None]:
        if truncate and n > 11:
            return [0, 1, 2, 3, 4, None, n - 5, n - 4, n - 3, n - 2, n - 1]
        return list(range(n))

    col_ids = shown(cols)
    lines = []
    for r in shown(rows):
        if r is None:
            lines.append("...")
            continue
        cells = ["..." if c is None else dump_number(matrix[r][c]) for c in col_ids]
        lines.append("[" + ", ".join(cells) + "]")
    layout = "CFcf (0xf)" if rows == 1 or cols == 1 else "Cc (0x5)"
    return (
        "[" + ",\n ".join(lines) + "]"
        + f", shape=[{rows}, {cols}], strides=[{cols}, 1], layout={layout}, const ndim=2\n"
    )


class Failure(Exception):
    """An internal failure the module reports as PanicException."""


def mask(matrix: list[list[float]], alpha: float, seed: int, mean: float = 0.5,
         variance: float = 0.0, stream: Stream | None = None) -> tuple[list[list[float]], str]:
    """Masks a copy of `matrix` as the module does; returns it with the dump text.
    Raises Failure("Sample is nan") with the dumps so far in its second argument."""
    stream = stream if stream is not None else Stream(seed)
    m = [list(row) for row in matrix]
    rows = len(m)
    cols = len(m[0]) if rows else 0
    cells = rows * cols
    blanks = min(saturating_u64(math.ceil(alpha * float(cells))), cells)
    out = []
    if blanks == 0:
        return m, ""
    models = [column_model([m[r][c] for r in range(rows)], mean, variance) for c in range(cols)]
    done = 0
    while done < blanks:
        selection = stream.pick_indices(cols, blanks - done)
        thresholds = []
        for c in selection:
            t = stream.gauss(*models[c])
            if math.isnan(t):
                raise Failure("Sample is nan", "".join(out))
            thresholds.append(t)
        picks = [(nearest(m, c, t), c) for c, t in zip(selection, thresholds)]
        for row, c in picks:
            if row is not None:
                m[row][c] = math.nan
        out.append(dump(m))
        done += len(selection)
    return m, "".join(out)
