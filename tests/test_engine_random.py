"""The random source's ChaCha20 block function against the IETF standard's
published test vectors, and the stream the source draws its words from."""

import struct

import _tesko_testing as t
import pytest

KEY = bytes(range(32))  # 00:01:02:...:1f

# The block function test: block counter 1.
BLOCK_NONCE = bytes.fromhex("000000090000004a00000000")
BLOCK_WORDS = [
    0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3,
    0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
    0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9,
    0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
]  # fmt: skip
BLOCK_BYTES = bytes.fromhex(
    "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
    "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"
)

# The encryption test: the key stream from block counter 1 on, XORed with
# this text, gives this cipher text.
SUNSCREEN_NONCE = bytes.fromhex("000000000000004a00000000")
SUNSCREEN = (
    b"Ladies and Gentlemen of the class of '99: If I could offer you only one tip "
    b"for the future, sunscreen would be it."
)
SUNSCREEN_CIPHER = bytes.fromhex(
    "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
    "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
    "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
    "5af90bbf74a35be6b40b8eedf2785e42874d"
)


def test_block_function_vector():
    block = t.chacha20_block(KEY, 1, BLOCK_NONCE)
    assert list(struct.unpack("<16I", block)) == BLOCK_WORDS
    assert block == BLOCK_BYTES


def test_key_stream_vector():
    assert len(SUNSCREEN) == 114
    stream = t.chacha20_block(KEY, 1, SUNSCREEN_NONCE) + t.chacha20_block(KEY, 2, SUNSCREEN_NONCE)
    assert bytes(p ^ k for p, k in zip(SUNSCREEN, stream)) == SUNSCREEN_CIPHER


def test_all_zero_input_is_not_all_zero():
    # The constant words alone keep a zero key's blocks from being zero,
    # and the counter alone makes two blocks differ.
    zero_key, zero_nonce = bytes(32), bytes(12)
    first, second = (t.chacha20_block(zero_key, c, zero_nonce) for c in (0, 1))
    assert first != bytes(64) and first != second


def stream_blocks(key, count):
    """Words of blocks 0, 1, ... of the source's stream: a 64-bit block
    counter and a zero nonce, which below 2**32 blocks is the standard
    cipher's input with a zero nonce."""
    words = []
    for counter in range(count):
        words += struct.unpack("<16I", t.chacha20_block(key, counter, bytes(12)))
    return words


@pytest.mark.parametrize("key", [KEY, bytes(32), bytes([0xFF]) * 32])
def test_stream_is_the_blocks_in_order(key):
    assert t.chacha_stream(key, 50, 0) == stream_blocks(key, 4)[:50]


def test_64_bit_words_take_two_words_low_first():
    words = stream_blocks(KEY, 2)
    # One 32-bit word first, so that a 64-bit word straddles blocks 0 and 1.
    drawn = t.chacha_stream(KEY, 1, 10)
    assert drawn[0] == words[0]
    assert drawn[1:] == [words[i] | words[i + 1] << 32 for i in range(1, 21, 2)]


def test_keys_give_unrelated_streams():
    other = bytes([1]) + KEY[1:]
    a, b = t.chacha_stream(KEY, 64, 0), t.chacha_stream(other, 64, 0)
    assert sum(x == y for x, y in zip(a, b)) == 0
