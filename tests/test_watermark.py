"""The zero-width watermark: embed_watermark and extract_watermark.

The module is checked against a plain-Python implementation of the watermark format written
here from first principles (GF(2^8) Reed-Solomon by matrix inversion, HMAC from the standard
library, xorshift64*, the gap list and the symbol runs), in both directions.
"""

import functools
import hashlib
import hmac
import random
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quelvane
import watermark_corpus

TOO_SHORT = "text content too short for this soft-binding algorithm"
UNRECOVERABLE = "watermark could not be recovered from remaining positions"
CANNOT_CARRY = ("invalid input: text cannot carry a readable watermark: a word chosen to carry it is already "
                "followed by U+200B, U+200C, U+200D or U+2060")

KEY = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90"
OTHER_KEY = "00ff00ff00ff00ff"
POINTER = "0123456789abcdeffedcba9876543210"

PROSE = """\
The lighthouse keeper kept a ledger of every ship that passed the point, and in the winter
of the great storm the ledger ran to three volumes. Nobody asked him to write it. He wrote
because the sea was loud and the nights were long, and because a name written down is a
name that cannot quite be lost.

His daughter found the volumes years later, wrapped in oilcloth under the stairs. She read
them by the window in the café on the harbour, a page or two each morning, and began to
notice that the same schooner appeared again and again: the Marguerite, out of Saint-Malo,
always on a Tuesday, always heading north.

It took her a season to learn why. The Marguerite carried letters — hundreds of them,
bundled and sealed — between two villages that had not spoken since a quarrel over a
boundary stone. Neither side would admit to writing, and so the letters were never signed.
The keeper knew. He had simply chosen, as keepers do, to watch and to keep the record."""

# ---------------------------------------------------------------------------------------------
# Reference implementation.

ALPHABET = "\u200b\u200c\u200d\u2060"
SELECTORS = "".join(map(chr, range(0xFE00, 0xFE10)))
ZERO_WIDTH = frozenset("\u200b\u200c\u200d\u2060\ufeff" + SELECTORS)
WHITE_SPACE = frozenset(
    map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F,
              0x205F, 0x3000]))
# A text cut into White_Space runs and the tokens between them, both kept.
TOKENS = re.compile("([" + "".join(sorted(WHITE_SPACE)) + "]+)")
PLACEMENT_LABEL = b"zwc-watermark-v2-placement"
MASK64 = (1 << 64) - 1


def _field_tables():
    exp, log = [0] * 255, [0] * 256
    x = 1
    for i in range(255):
        exp[i], log[x] = x, i
        x <<= 1
        if x & 0x100:
            x ^= 0x11D
    return exp, log


EXP, LOG = _field_tables()


def gf_mul(a, b):
    return 0 if a == 0 or b == 0 else EXP[(LOG[a] + LOG[b]) % 255]


def gf_pow(a, n):
    result = 1
    for _ in range(n):
        result = gf_mul(result, a)
    return result


def gf_inv(a):
    return EXP[(255 - LOG[a]) % 255]


def mat_mul(a, b):
    out = []
    for row in a:
        acc = [0] * len(b[0])
        for k, factor in enumerate(row):
            for c, value in enumerate(b[k]):
                acc[c] ^= gf_mul(factor, value)
        out.append(acc)
    return out


def mat_inv(m):
    """Gauss-Jordan on [m | I]."""
    n = len(m)
    rows = [list(row) + [int(i == j) for j in range(n)] for i, row in enumerate(m)]
    for col in range(n):
        pivot = next(r for r in range(col, n) if rows[r][col])
        rows[col], rows[pivot] = rows[pivot], rows[col]
        inv = gf_inv(rows[col][col])
        rows[col] = [gf_mul(v, inv) for v in rows[col]]
        for r in range(n):
            if r != col and rows[r][col]:
                f = rows[r][col]
                rows[r] = [v ^ gf_mul(f, p) for v, p in zip(rows[r], rows[col])]
    return [row[n:] for row in rows]


@functools.lru_cache(maxsize=None)
def encoding_matrix(data=24, parity=24):
    vandermonde = [[gf_pow(r, c) for c in range(data)] for r in range(data + parity)]
    return tuple(map(tuple, mat_mul(vandermonde, mat_inv(vandermonde[:data]))))


def combine(row, values):
    acc = 0
    for factor, value in zip(row, values):
        acc ^= gf_mul(factor, value)
    return acc


def rs_parity(data):
    return [combine(row, data) for row in encoding_matrix()[24:]]


def rs_reconstruct(slots):
    present = [i for i, s in enumerate(slots) if s is not None]
    if len(present) == len(slots):
        return list(slots)
    chosen = present[:24]
    matrix = encoding_matrix()
    decode = mat_inv([matrix[i] for i in chosen])
    values = [slots[i] for i in chosen]
    data = [slots[k] if slots[k] is not None else combine(decode[k], values) for k in range(24)]
    full = data + rs_parity(data)
    return [s if s is not None else full[i] for i, s in enumerate(slots)]


def ref_content_hash(text):
    # The canonical stream has its own tests; the watermark takes its hash as given.
    return bytes.fromhex(quelvane.content_hash(text))


def ref_binding_tag(key, content_hash, pointer):
    return hmac.new(key, content_hash + pointer, hashlib.sha256).digest()[:8]


def ref_routing_pointer(pointer):
    return pointer[:16].ljust(16, b"\0")


def ref_codeword(key, content_hash, pointer):
    pointer = ref_routing_pointer(pointer)
    payload = list(pointer + ref_binding_tag(key, content_hash, pointer))
    return payload + rs_parity(payload)


def symbol_run(byte):
    return "".join(ALPHABET[(byte >> shift) & 3] for shift in (6, 4, 2, 0))


def word_end(token):
    """How much of a token its word takes, up to where its run goes: up to its last character
    outside the zero-width set and the variation selectors right after that; 0 if the token is
    no word (it holds only zero-width characters)."""
    end = max((i + 1 for i, ch in enumerate(token) if ch not in ZERO_WIDTH), default=0)
    while end and end < len(token) and token[end] in SELECTORS:
        end += 1
    return end


def ref_word_gaps(text):
    gaps, offset = [], 0
    for token in TOKENS.split(text):
        end = 0 if TOKENS.fullmatch(token) else word_end(token)
        if end:
            gaps.append(offset + len(token[:end].encode()))
        offset += len(token.encode())
    return gaps


def ref_permutation(count, key, content_hash):
    mac = hmac.new(key, PLACEMENT_LABEL + content_hash, hashlib.sha256).digest()
    x = int.from_bytes(mac[:8], "little") or 0x9E3779B97F4A7C15
    order = list(range(count))
    for k in range(count, 1, -1):
        x ^= x >> 12
        x ^= (x << 25) & MASK64
        x ^= x >> 27
        j = ((x * 0x2545F4914F6CDD1D) & MASK64) % k
        order[k - 1], order[j] = order[j], order[k - 1]
    return order


def ref_embed(text, key, pointer, *, placement_key=None, tag_hash=None):
    """The watermarked text. placement_key and tag_hash forge runs that can be read under
    another key, or that carry the tag of another text."""
    content_hash = ref_content_hash(ref_strip(text))
    codeword = ref_codeword(key, tag_hash or content_hash, pointer)
    gaps = ref_word_gaps(text)
    if len(gaps) < 48:
        raise ValueError(TOO_SHORT)
    order = ref_permutation(len(gaps), key if placement_key is None else placement_key, content_hash)
    if set(order[:48]) & set(ref_symbol_lists(text)):
        raise ValueError(CANNOT_CARRY)
    raw = text.encode()
    pieces, copied = [], 0
    for offset, byte in sorted((gaps[order[i]], codeword[i]) for i in range(48)):
        pieces += [raw[copied:offset], symbol_run(byte).encode()]
        copied = offset
    pieces.append(raw[copied:])
    return b"".join(pieces).decode()


def ref_strip(text):
    return "".join(ch for ch in text if ch not in ZERO_WIDTH)


def ref_symbol_lists(text):
    """The symbols read after each word: the alphabet characters of a token that stand after its
    last character outside the zero-width set, counted for the last word begun."""
    lists, words = {}, 0
    for token in TOKENS.split(text):
        if TOKENS.fullmatch(token):
            continue
        last = max((i + 1 for i, ch in enumerate(token) if ch not in ZERO_WIDTH), default=0)
        words += last > 0
        symbols = [ALPHABET.index(ch) for ch in token[last:] if ch in ALPHABET]
        if symbols and words:
            lists.setdefault(words - 1, []).extend(symbols)
    return lists


def ref_extract(text, key):
    lists = ref_symbol_lists(text)
    stripped = ref_strip(text)
    content_hash = ref_content_hash(stripped)
    gaps = ref_word_gaps(stripped)
    if len(gaps) < 48:
        raise ValueError(TOO_SHORT)
    order = ref_permutation(len(gaps), key, content_hash)
    slots = []
    for i in range(48):
        symbols = lists.get(order[i], [])
        slots.append(symbols[0] * 64 + symbols[1] * 16 + symbols[2] * 4 + symbols[3] if len(symbols) == 4 else None)
    missing = slots.count(None)
    if missing > 24:
        raise ValueError(UNRECOVERABLE)
    full = rs_reconstruct(slots)
    pointer, tag = bytes(full[:16]), bytes(full[16:24])
    return pointer.hex(), hmac.compare_digest(tag, ref_binding_tag(key, content_hash, pointer)), missing


# ---------------------------------------------------------------------------------------------
# Helpers.

RUN = re.compile("[\u200b\u200c\u200d\u2060]{4}")


def outcome(function, *args):
    """The result, or the ValueError message, so that two implementations can be compared."""
    try:
        return function(*args)
    except ValueError as error:
        return ("ValueError", str(error))


def fails_cleanly(text, key_hex):
    """A damaged watermark either cannot be read or does not verify; it never yields a
    verified pointer by accident and never raises anything but the unrecoverable error."""
    result = outcome(quelvane.extract_watermark, text, key_hex)
    return result == ("ValueError", UNRECOVERABLE) or (result[0] != "ValueError" and result[1] is False)


def remove_runs(marked, which):
    """The marked text without the runs whose text-order indices are in `which`."""
    index = iter(range(48))
    return RUN.sub(lambda m: "" if next(index) in which else m.group(0), marked)


def words(count, sep=" "):
    return sep.join(f"w{i}" for i in range(count))


@pytest.fixture(scope="module")
def marked():
    return quelvane.embed_watermark(PROSE, POINTER, KEY)


# ---------------------------------------------------------------------------------------------
# Round trip and format.

def test_round_trip_on_prose(marked):
    assert quelvane.extract_watermark(marked, KEY) == (POINTER, True, 0)
    assert len(marked) == len(PROSE) + 192
    assert len(marked.encode()) == len(PROSE.encode()) + 576
    assert ref_strip(marked) == PROSE
    assert quelvane.content_hash(marked) == quelvane.content_hash(PROSE)
    assert len(RUN.findall(marked)) == 48
    assert marked == ref_embed(PROSE, bytes.fromhex(KEY), bytes.fromhex(POINTER))


def test_runs_stand_directly_after_their_words(marked):
    for match in RUN.finditer(marked):
        before, after = marked[match.start() - 1], marked[match.end():match.end() + 1]
        assert before not in WHITE_SPACE and before not in ZERO_WIDTH
        assert after == "" or after in WHITE_SPACE


@pytest.mark.parametrize("index, byte, chars", [
    (0, 0xB4, "\u200d\u2060\u200c\u200b"),
    (1, 0x00, "\u200b\u200b\u200b\u200b"),
    (2, 0xFF, "\u2060\u2060\u2060\u2060"),
])
def test_symbol_runs_spell_bytes_most_significant_pair_first(index, byte, chars):
    pointer = "b400ff" + "00" * 13
    marked = quelvane.embed_watermark(PROSE, pointer, KEY)
    order = ref_permutation(len(ref_word_gaps(PROSE)), bytes.fromhex(KEY), ref_content_hash(PROSE))
    assert symbol_run(byte) == chars
    assert "".join(ALPHABET[s] for s in ref_symbol_lists(marked)[order[index]]) == chars


@pytest.mark.parametrize("text, gaps", [
    ("ab  c\u200bd", [2, 9]),  # a zero-width character inside a word does not split it
    ("ab  cd", [2, 6]),
    ("\ufeff\nab \u200b\ufe0f cd\u200b", [6, 16]),  # nor does one make a word of its own
    ("\u2764\ufe0f x\u2764\ufe0f\ufeff", [6, 14]),  # runs go after a variation selector
    ("1\ufe0f\u20e3 \U0001f468\u200d\U0001f469", [7, 19]),
])
def test_reference_gap_list_examples(text, gaps):
    # The module's own gap list is checked in tests/cpp/test_stego.cc.
    assert ref_word_gaps(text) == gaps


def test_47_words_are_too_few():
    for function, args in ((quelvane.embed_watermark, (words(47), POINTER, KEY)),
                           (quelvane.extract_watermark, (words(47), KEY))):
        with pytest.raises(ValueError) as raised:
            function(*args)
        assert raised.value.args == (TOO_SHORT,)


def test_48_words_each_receive_a_run():
    text = words(48)  # ends in a word: the last gap is the text length
    marked = quelvane.embed_watermark(text, POINTER, KEY)
    tokens = marked.split(" ")
    assert [t[:-4] for t in tokens] == text.split(" ")
    assert all(RUN.fullmatch(t[-4:]) for t in tokens)
    assert RUN.fullmatch(marked[-4:])
    assert quelvane.extract_watermark(marked, KEY) == (POINTER, True, 0)


@pytest.mark.parametrize("pointer_hex, carried", [
    ("", "00" * 16),
    ("0102030405", "0102030405" + "00" * 11),
    ("000102030405060708090a0b0c0d0e0f10111213", "000102030405060708090a0b0c0d0e0f"),
    ("ABCDEF", "abcdef" + "00" * 13),
    (" \n\t0a0B\u3000", "0a0b" + "00" * 14),
    (POINTER, POINTER),
])
def test_pointer_is_cut_or_zero_padded_to_16_bytes(pointer_hex, carried):
    marked = quelvane.embed_watermark(PROSE, pointer_hex, KEY)
    assert quelvane.extract_watermark(marked, KEY) == (carried, True, 0)


@pytest.mark.parametrize("key_hex", ["", "00", "ab" * 64, "CD" * 65, " " + KEY + "\n"])
def test_keys_of_any_length(key_hex):
    marked = quelvane.embed_watermark(PROSE, POINTER, key_hex)
    key = bytes.fromhex(key_hex.strip())
    assert marked == ref_embed(PROSE, key, bytes.fromhex(POINTER))
    assert quelvane.extract_watermark(marked, key_hex.strip().lower()) == (POINTER, True, 0)


# ---------------------------------------------------------------------------------------------
# Failures and their messages.

@pytest.mark.parametrize("call, message", [
    (lambda: quelvane.embed_watermark(PROSE, POINTER, "abc"), "invalid key: Odd number of digits"),
    (lambda: quelvane.embed_watermark(PROSE, "zz", KEY), "invalid pointer: Invalid character 'z' at position 0"),
    (lambda: quelvane.embed_watermark(PROSE, "0g", "é"), "invalid key: Invalid character 'Ã' at position 0"),
    (lambda: quelvane.embed_watermark(PROSE, "abc", "00 1"), "invalid key: Invalid character ' ' at position 2"),
    (lambda: quelvane.extract_watermark(PROSE, "0"), "invalid key: Odd number of digits"),
    (lambda: quelvane.extract_watermark(PROSE, "0\n12"), "invalid key: Invalid character '\\n' at position 1"),
    (lambda: quelvane.embed_watermark("", POINTER, KEY), TOO_SHORT),
    (lambda: quelvane.embed_watermark("a few words only", POINTER, KEY), TOO_SHORT),
    (lambda: quelvane.extract_watermark(" \n\u200b\u200c\u200d\u2060" * 40, KEY), TOO_SHORT),
    (lambda: quelvane.extract_watermark(PROSE, KEY), UNRECOVERABLE),
])
def test_error_messages(call, message):
    with pytest.raises(ValueError) as raised:
        call()
    assert raised.value.args == (message,)


# ---------------------------------------------------------------------------------------------
# Damage a copy suffers.

@settings(max_examples=25, deadline=None)
@given(order=st.permutations(range(48)))
def test_any_24_runs_lost_are_rebuilt_and_25_are_not(marked, order):
    assert quelvane.extract_watermark(remove_runs(marked, set(order[:24])), KEY) == (POINTER, True, 24)
    with pytest.raises(ValueError, match=UNRECOVERABLE):
        quelvane.extract_watermark(remove_runs(marked, set(order[:25])), KEY)


def test_all_runs_removed_is_unrecoverable_not_too_short(marked):
    with pytest.raises(ValueError) as raised:
        quelvane.extract_watermark(remove_runs(marked, set(range(48))), KEY)
    assert raised.value.args == (UNRECOVERABLE,)


def test_altered_pointer_byte_fails_the_tag_and_altered_parity_goes_unnoticed(marked):
    order = ref_permutation(len(ref_word_gaps(PROSE)), bytes.fromhex(KEY), ref_content_hash(PROSE))
    gaps = ref_word_gaps(PROSE)
    codeword = ref_codeword(bytes.fromhex(KEY), ref_content_hash(PROSE), bytes.fromhex(POINTER))
    ranked = sorted(range(48), key=lambda i: gaps[order[i]])  # slot of each run, in text order

    def alter(slot):
        runs = iter(ranked)
        return RUN.sub(lambda m: symbol_run(codeword[slot] ^ 0x01) if next(runs) == slot else m.group(0), marked)

    altered_pointer = bytearray.fromhex(POINTER)
    altered_pointer[3] ^= 0x01
    assert quelvane.extract_watermark(alter(3), KEY) == (altered_pointer.hex(), False, 0)
    assert quelvane.extract_watermark(alter(20), KEY) == (POINTER, False, 0)  # a tag byte
    assert quelvane.extract_watermark(alter(40), KEY) == (POINTER, True, 0)  # a parity byte


def test_stray_symbol_after_a_chosen_word_makes_its_slot_missing(marked):
    first = RUN.search(marked)
    damaged = marked[:first.end()] + "\u200c" + marked[first.end():]
    assert quelvane.extract_watermark(damaged, KEY) == (POINTER, True, 1)


def test_symbols_before_the_first_word_are_ignored(marked):
    assert quelvane.extract_watermark("\u200b\u2060 \u200d" + marked, KEY) == (POINTER, True, 0)


def test_embedding_again_with_the_same_key_is_refused(marked):
    # Each run would land on one already there and read back as eight symbols.
    with pytest.raises(ValueError) as raised:
        quelvane.embed_watermark(marked, "ff" * 16, KEY)
    assert raised.value.args == (CANNOT_CARRY,)


def test_another_key_reads_nothing_or_an_unverified_tag(marked):
    for key_hex in (OTHER_KEY, "", KEY[:-2]):
        assert fails_cleanly(marked, key_hex)


def test_runs_readable_under_another_key_do_not_verify():
    forged = ref_embed(PROSE, bytes.fromhex(KEY), bytes.fromhex(POINTER), placement_key=bytes.fromhex(OTHER_KEY))
    assert quelvane.extract_watermark(forged, OTHER_KEY) == (POINTER, False, 0)


def test_runs_transferred_from_another_text_do_not_verify():
    other_hash = ref_content_hash(PROSE.replace("lighthouse", "harbour"))
    transferred = ref_embed(PROSE, bytes.fromhex(KEY), bytes.fromhex(POINTER), tag_hash=other_hash)
    assert quelvane.extract_watermark(transferred, KEY) == (POINTER, False, 0)


def rewrap(text, width):
    """Refills the text: the same words (each keeping any run it carries) on lines of about
    `width` characters, with CRLF line ends and paragraph breaks turned into single spaces."""
    lines, line = [], ""
    for token in text.split():
        if line and len(line) + len(token) > width:
            lines.append(line)
            line = ""
        line = f"{line} {token}" if line else token
    return "\r\n".join(lines + [line])


@pytest.mark.parametrize("width", [30, 72, 1000])
def test_rewrapped_text_keeps_its_watermark(marked, width):
    rewrapped = rewrap(marked, width)
    assert rewrapped != marked
    assert quelvane.extract_watermark(rewrapped, KEY) == (POINTER, True, 0)


@pytest.mark.parametrize("edit", [
    lambda t: t.replace("The ", "THE "),
    lambda t: t.replace(",", ";").replace(".", "!"),
    lambda t: t.replace("—", "--"),
    lambda t: t.replace("\n\n", "\n\n\n"),
])
def test_edits_the_canonical_stream_ignores_keep_the_watermark(marked, edit):
    assert quelvane.extract_watermark(edit(marked), KEY) == (POINTER, True, 0)


@pytest.mark.parametrize("edit", [
    lambda t: t.replace("schooner", "brigantine"),
    lambda t: t.replace("Nobody", ""),
    lambda t: t.replace("volumes", "fat volumes"),
    lambda t: "Found in a drawer:\n\n" + t + "\n\nEnd of the excerpt, with a note from the editor.",
    lambda t: PROSE + "\n\n" + t + "\n\n" + PROSE,
    lambda t: t[: len(t) // 2],
])
def test_edited_or_pasted_text_fails_cleanly(marked, edit):
    edited = edit(marked)
    assert edited != marked
    assert fails_cleanly(edited, KEY)


def test_a_zero_width_character_that_keeps_a_mark_from_composing_is_stripped_before_hashing():
    # The content hash is that of the stripped text, in which the mark composes again.
    marked = quelvane.embed_watermark(PROSE.replace("keeper", "ke\u0301eper"), POINTER, KEY)
    assert quelvane.extract_watermark(marked.replace("ke\u0301", "ke\ufeff\u0301"), KEY) == (POINTER, True, 0)


def test_symbols_inside_a_word_belong_to_the_text(marked):
    # Only alphabet characters between a word's last character and the next White_Space are read.
    run = next(m for m in RUN.finditer(marked) if marked[m.start() - 2] not in WHITE_SPACE)
    damaged = marked[:run.start() - 1] + "\u200d\u200b" + marked[run.start() - 1:]
    assert quelvane.extract_watermark(damaged, KEY) == (POINTER, True, 0)



# ---------------------------------------------------------------------------------------------
# Agreement with the reference implementation, both ways, on texts not seen before.

WORD_CHARS = st.characters(
    exclude_categories=("Cs", "Cc", "Zs", "Zl", "Zp"),
    exclude_characters="".join(ZERO_WIDTH | WHITE_SPACE))
# ASCII words are read eight bytes at a time, so they include the control characters on both
# sides of the White_Space ones (U+0008, U+000E, U+001C to U+001F are word characters).
ASCII_WORD_CHARS = st.sampled_from("abcdefghijklmnopqrstuvwxyzABCXYZ0123456789.,;:'\"!?-()[]\x00\x08\x0e\x1c\x1f\x7f")
SEPARATORS = st.sampled_from([" ", " ", " ", "\n", "\n\n", "\t", "\r\n", "\x0b", "\x0c", "\u00a0", "\u3000", "\u2028",
                              "\x85", "  "])


@st.composite
def texts(draw, min_words=48, max_words=120):
    count = draw(st.integers(min_words, max_words))
    pieces = [draw(st.sampled_from(["", " ", "\n"]))]
    for _ in range(count):
        alphabet = draw(st.sampled_from([ASCII_WORD_CHARS, ASCII_WORD_CHARS, WORD_CHARS]))
        pieces += [draw(st.text(alphabet, min_size=1, max_size=12)), draw(SEPARATORS)]
    if draw(st.booleans()):
        pieces.pop()  # end in a word
    return "".join(pieces)


KEYS = st.binary(max_size=80)
POINTERS = st.binary(max_size=24)


@settings(max_examples=40, deadline=None)
@given(text=texts(), key=KEYS, pointer=POINTERS)
def test_module_and_reference_embed_identically(text, key, pointer):
    marked = quelvane.embed_watermark(text, pointer.hex(), key.hex())
    assert marked == ref_embed(text, key, pointer)
    expected = (ref_routing_pointer(pointer).hex(), True, 0)
    assert ref_extract(marked, key) == expected
    assert quelvane.extract_watermark(marked, key.hex()) == expected


@settings(max_examples=40, deadline=None)
@given(text=texts(), key=KEYS, pointer=POINTERS,
       lost=st.integers(0, 48).flatmap(lambda k: st.sets(st.integers(0, 47), min_size=k, max_size=k)),
       stray=st.lists(st.tuples(st.integers(0, 10**6), st.sampled_from(ALPHABET)), max_size=2))
def test_module_and_reference_extract_identically_after_damage(text, key, pointer, lost, stray):
    damaged = remove_runs(ref_embed(text, key, pointer), lost)
    for position, char in stray:
        position %= len(damaged) + 1
        damaged = damaged[:position] + char + damaged[position:]
    assert outcome(quelvane.extract_watermark, damaged, key.hex()) == outcome(ref_extract, damaged, key)


@settings(max_examples=40, deadline=None)
@given(text=texts(min_words=40, max_words=70), key=KEYS, pointer=POINTERS,
       extra=st.lists(st.tuples(st.integers(0, 10**6), st.sampled_from(sorted(ZERO_WIDTH) + ["\ufeff "])),
                      max_size=3))
def test_module_and_reference_agree_on_texts_holding_zero_width_characters(text, key, pointer, extra):
    for position, chars in extra:
        position %= len(text) + 1
        text = text[:position] + chars + text[position:]
    marked = outcome(quelvane.embed_watermark, text, pointer.hex(), key.hex())
    assert marked == outcome(ref_embed, text, key, pointer)
    if isinstance(marked, str):
        assert outcome(quelvane.extract_watermark, marked, key.hex()) == outcome(ref_extract, marked, key)


def test_reference_reed_solomon_matches_known_matrices():
    assert encoding_matrix(2, 1) == ((1, 0), (0, 1), (3, 2))
    assert encoding_matrix(3, 2)[3:] == ((1, 1, 1), (15, 8, 6))


def test_reference_rebuilds_from_any_24():
    rng = random.Random(1)
    data = [rng.randrange(256) for _ in range(24)]
    codeword = data + rs_parity(data)
    for _ in range(5):
        lost = set(rng.sample(range(48), 24))
        assert rs_reconstruct([None if i in lost else b for i, b in enumerate(codeword)]) == codeword


# ---------------------------------------------------------------------------------------------
# Texts that already hold zero-width characters: emoji sequences, byte-order marks, zero-width
# spaces and joiners in words. Whatever embeds must read back.

BASE = " ".join(f"word{i}" for i in range(100))
FAMILY = "\U0001f468\u200d\U0001f469\u200d\U0001f467"
EMOJI = [FAMILY, "\U0001f3f3\ufe0f\u200d\U0001f308", "\U0001f469\U0001f3fd\u200d\U0001f4bb", "1\ufe0f\u20e3",
         "\u2764\ufe0f", "\u263a\ufe0e", "\U0001f44d\U0001f3ff", "\U0001f441\ufe0f\u200d\U0001f5e8\ufe0f",
         "\U0001f1eb\U0001f1f7"]


@pytest.mark.parametrize("text", [
    BASE + " " + FAMILY,
    "\ufeff\n" + BASE,
    BASE.replace("word9", "1\ufe0f\u20e3"),
    BASE.replace("word5", "wo\u200brd5"),
], ids=["joiner sequence", "byte-order mark on its own line", "keycap", "zero-width space in a word"])
def test_texts_that_used_to_embed_unreadably(text):
    key, pointer = "a1b2c3d4" * 8, "0123456789abcdef" * 2
    marked = quelvane.embed_watermark(text, pointer, key)
    assert quelvane.extract_watermark(marked, key) == (pointer, True, 0)
    assert ref_strip(marked) == ref_strip(text)


@pytest.mark.parametrize("emoji", EMOJI[:4])
def test_an_emoji_sequence_anywhere_leaves_the_watermark_readable(emoji):
    words = BASE.split(" ")
    for position in range(len(words) + 1):
        text = " ".join(words[:position] + [emoji] + words[position:])
        marked = quelvane.embed_watermark(text, POINTER, KEY)
        assert quelvane.extract_watermark(marked, KEY) == (POINTER, True, 0), position


def test_zero_width_characters_in_the_input_are_kept():
    text = PROSE.replace("keeper", "kee\ufe0fper").replace("ledger", "\u200bledger").replace("café", "café\ufeff")
    marked = quelvane.embed_watermark(text, POINTER, KEY)
    assert ref_strip(marked) == ref_strip(text) and len(marked) == len(text) + 192
    assert re.sub(RUN, "", marked) == text
    assert quelvane.extract_watermark(marked, KEY) == (POINTER, True, 0)


def test_a_variation_selector_after_a_word_goes_before_its_run():
    """The selector changes neither the words nor the placement: the output is that of the text
    without it, with the selector put back directly after its word, ahead of any run there."""
    words, marked = BASE.split(" "), quelvane.embed_watermark(BASE, POINTER, KEY).split(" ")
    for i, word in enumerate(words):
        text = " ".join(words[:i] + [word + "\ufe0f"] + words[i + 1:])
        expected = marked[:i] + [word + "\ufe0f" + marked[i][len(word):]] + marked[i + 1:]
        assert quelvane.embed_watermark(text, POINTER, KEY) == " ".join(expected)


@pytest.mark.parametrize("text, sha256", [
    ("\ufeff" + PROSE, "bf5104c41c2124882c4a6247c316b057732c6400a9cc3bf3f3f9a99e1e9fd376"),
    ("\ufeff\r\n" + PROSE, "7bfb3682d37c195b40a43d265c4736cde8bcc988b7ae83b0758ecdc77fbe3265"),
    ("\ufeff\n" + BASE, "b43b10eab03388e6e710baebe558e68b03ea6a57416177a5216791e7df7a3f3e"),
    (BASE.replace("word5 ", "\u200bword5 "), "d854145b94795b12328e43d9f50594c3cfc1590649ebedec12ffe563d8bbf6b6"),
    (PROSE + " \ufe0f", "8d2d5bc4f5fed19785a9f45a81557a4ffe7a91fd116d815917e3dba1b51b1056"),
], ids=["byte-order mark first", "byte-order mark line, crlf", "byte-order mark line", "zero-width space first",
        "selector alone at the end"])
def test_outputs_for_zero_width_characters_between_words_are_kept(text, sha256):
    marked = quelvane.embed_watermark(text, POINTER, KEY)
    assert hashlib.sha256(marked.encode()).hexdigest() == sha256
    assert quelvane.extract_watermark(marked, KEY) == (POINTER, True, 0)


def test_texts_without_zero_width_characters_mark_and_read_as_they_always_have():
    # Other implementations read these watermarks: the marked texts, and what is read from them
    # whole and damaged, must stay byte for byte the same.
    digest = watermark_corpus.corpus_digest(watermark_corpus.plain_cases(300))
    assert digest == "5e07e270d5d24ea88aa7184fd529aca0b4f6fa82fab0ac87a883ecd03f9eacfb"


@pytest.mark.parametrize("text", [
    BASE.replace(" ", "\u200b ", 60),  # zero-width spaces before line breaks
    BASE.replace(" ", "\u200d ", 60),
    BASE.replace(" ", " \u2060 ", 60),  # word joiners on their own
], ids=["zero-width spaces", "joiners", "word joiners alone"])
def test_words_already_followed_by_symbols_cannot_carry_a_run(text):
    with pytest.raises(ValueError) as raised:
        quelvane.embed_watermark(text, POINTER, KEY)
    assert raised.value.args == (CANNOT_CARRY,)


def inserted_at(text, marked):
    """The character offsets of `text` at which `marked` has a run inserted (none of the
    characters that follow an insertion point is an alphabet character)."""
    points, i, j = [], 0, 0
    while j < len(marked):
        if i < len(text) and text[i] == marked[j]:
            i, j = i + 1, j + 1
        else:
            points.append(i)
            j += 4
    return points


VOCABULARY = ["a", "of", "harbour", "Saint-Malo,", "x\x1c\x1fy", "\x7f", "0123456789abcdefXYZ", "café", "cafe\u0301",
              "ΣΟΦΟΣ", "İstanbul", "한국어", "\u1100\u1161\u11a8", "港の町", "हिन्दी", "עברית", "\u00ad", "\U000e0100x",
              *EMOJI]
# Zero-width characters to put in words: any before or inside one; after one, or as a token of
# their own, mostly those that are not symbols.
AROUND = ["\u200b", "\u200c", "\u200d", "\u2060", "\ufeff", "\ufe0f", "\u200d\u200d", "\ufe0e\u200c"]
AFTER = ["\ufeff", "\ufe0f", "\ufe0e", "\ufe00\ufe01", "\ufeff\ufe0f", "\u200b", "\ufe0f\ufeff", "\ufeff\ufeff",
         "\ufe0f", "\ufeff"]


@st.composite
def zero_width_words(draw):
    word = draw(st.sampled_from(VOCABULARY))
    where = draw(st.sampled_from(["as is"] * 12 + ["before", "inside", "inside", "after", "alone"]))
    if where == "as is":
        return word
    if where in ("after", "alone"):
        chars = draw(st.sampled_from(AFTER))
        return word + chars if where == "after" else chars
    last = max(i for i, ch in enumerate(word) if ch not in ZERO_WIDTH)  # inside: before this one
    cut = 0 if where == "before" or last == 0 else draw(st.integers(1, last))
    return word[:cut] + draw(st.sampled_from(AROUND)) + word[cut:]


@st.composite
def zero_width_texts(draw):
    words = draw(st.lists(zero_width_words(), min_size=52, max_size=90))
    pieces = [draw(st.sampled_from(["", "\ufeff", "\ufeff\n", "\ufeff\r\n", "\u200b ", "\ufe0f\n"]))]
    for word in words:
        pieces += [word, draw(SEPARATORS)]
    return "".join(pieces[:-1] if draw(st.booleans()) else pieces)


@settings(max_examples=100, deadline=None)
@given(text=zero_width_texts(), key=KEYS, pointer=POINTERS)
def test_whatever_embeds_reads_back(text, key, pointer):
    marked = outcome(quelvane.embed_watermark, text, pointer.hex(), key.hex())
    assert marked == outcome(ref_embed, text, key, pointer)
    if marked in (("ValueError", TOO_SHORT), ("ValueError", CANNOT_CARRY)):
        return
    assert quelvane.extract_watermark(marked, key.hex()) == (ref_routing_pointer(pointer).hex(), True, 0)
    assert ref_strip(marked) == ref_strip(text)
    assert quelvane.content_hash(marked) == quelvane.content_hash(text)
    for point in inserted_at(text, marked):
        # After a word, and never between a character and the selector or joiner that follows it.
        assert text[point - 1] not in WHITE_SPACE
        assert point == len(text) or text[point] not in SELECTORS + "\u200d"
