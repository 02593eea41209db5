"""Argument checks and bit-string conversions shared by the ports. Every
check runs before anything is sent."""

from __future__ import annotations

from typing import Optional, Union

BitData = Union[bytes, bytearray, memoryview, int]

UINT32_MAX = 0xFFFFFFFF
UINT64_MAX = 0xFFFFFFFFFFFFFFFF


def nbytes(n: int) -> str:
    """ "1 byte", "2 bytes"."""
    return f"{n} byte{'' if n == 1 else 's'}"


def integer(name: str, value: object, low: int, high: int) -> int:
    """`value` as an int within low..high; TypeError or ValueError otherwise."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} {value} is out of range {low}..{high}")
    return value


def byte_data(name: str, value: object) -> bytes:
    """Bytes from a bytes-like object or an iterable of ints 0..255."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, (int, str)) or value is None:
        raise TypeError(f"{name} must be bytes or a sequence of ints, not {type(value).__name__}")
    try:
        return bytes(value)  # type: ignore[call-overload]
    except TypeError as e:
        raise TypeError(f"{name} must be bytes or a sequence of ints: {e}") from None
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None


def bit_data(name: str, data: object, bits: Optional[int], max_bits: int) -> tuple[bytes, int, bool]:
    """A bit string given as bytes (bit i = bit i % 8 of byte i // 8, `bits`
    defaulting to all of them) or as an int of `bits` bits (bit i = bit i).
    Returns the bytes, the bit count and whether an int was given."""
    if bits is not None:
        integer("bits", bits, 1, max_bits)
    if isinstance(data, int) and not isinstance(data, bool):
        if bits is None:
            raise TypeError(f"{name} given as an int needs bits=")
        if not 0 <= data < 1 << bits:
            raise ValueError(f"{name} {data:#x} does not fit in {bits} bits")
        return data.to_bytes((bits + 7) // 8, "little"), bits, True
    raw = byte_data(name, data)
    if bits is None:
        bits = integer("bits", len(raw) * 8, 1, max_bits)
    if len(raw) != (bits + 7) // 8:
        raise ValueError(f"{name} has {len(raw)} bytes; {bits} bits take {(bits + 7) // 8}")
    if bits % 8 and raw[-1] >> (bits % 8):
        raise ValueError(f"{name} has bits set above bit {bits - 1}")
    return raw, bits, False


def bits_out(raw: bytes, bits: int, as_int: bool) -> Union[bytes, int]:
    """Captured bits in the form they were given in; bits above the count are
    cleared."""
    value = int.from_bytes(raw, "little") & ((1 << bits) - 1)
    return value if as_int else value.to_bytes(len(raw), "little")
