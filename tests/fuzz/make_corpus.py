"""Writes the seed corpora of the fuzzing harnesses into tests/fuzz/corpus/<harness>/.

Run with the module built (make build; .venv/bin/python tests/fuzz/make_corpus.py). The seeds
are committed: real envelopes, watermarked texts, assertions and texts in several scripts, so
that each harness starts from inputs that reach deep into what it checks. Each seed's layout
follows the comment at the top of its harness."""
import pathlib
import shutil
import sys

import cbor2

import quelvane

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from conftest import PROSE, SECRET_HEX  # noqa: E402

PUBLIC = bytes.fromhex(quelvane.public_key(SECRET_HEX))
KEY = bytes.fromhex("6b6579")
POINTER_HEX = "00112233445566778899aabbccddeeff"

TEXTS = {
    "english": PROSE,
    "crlf_and_tabs": "First line\r\nsecond\tline\r\n\r\nNew paragraph...  end\u2026",
    "punctuation": 'He said: "Wait... what?" (no!) -- \u2018fine\u2019; [ok] {x} \u201cquoted\u201d \u2013 \u2014 done.',
    "greek_final_sigma": "\u039f\u0394\u03a5\u03a3\u03a3\u0395\u03a5\u03a3 \u03ba\u03b1\u03b9 \u03a3.",
    "turkish_dotted_i": "\u0130stanbul \u0131\u015f\u0131k \u0130I",
    "combining_marks": "e\u0301 A\u0300B e\u200b\u0301 \u1e0b\u0323 q\u0307\u0323 \u0344",
    "hangul": "\u1100\u1161\u11a8 \ud55c\uad6d\uc5b4 \u1112\u1161\u11ab",
    "numbers": "3.14 \u00bd \u2167 \u0663 \uff21\uff22 \u2460",
    "zero_width": "co\u200bop \u200c\u200d\u2060 x\ufe0fy\ufeffz \u00ad",
    "white_space": "\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000\u0085 a\u180eb",
    # Segments longer than the normaliser sorts by insertion: marks of classes 230, 220, 202, 1
    # and 0-class characters decomposing to marks, in no particular order.
    "long_mark_runs": "a" + "".join(chr(c) for c in (0x301, 0x316, 0x300, 0x323, 0x302, 0x327, 0x334, 0x303) * 6)
    + " o" + "\u0f73\u0344\u0f75" * 12 + " \u1100\u1161" + "\u0308\u0315" * 20,
    "mixed_scripts": "\u041f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d \u0645\u0631\u062d\u0628\u0627 \U0001f600 \u05e9\u05dc\u05d5\u05dd \u0928\u092e\u0938\u094d\u0924\u0947",
}


def write(harness, name, data):
    directory = HERE / "corpus" / harness
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def hex_seeds():
    for name, text in {
        "lower": "00ff10ab",
        "upper_padded": " \t\n0A0B\u3000\u2028",
        "odd": "abc",
        "bad_character": "0z00",
        "non_ascii": "\u00e9\u00e9",
        "escapes": "0\t0\\0'",
        "empty": "",
        "secret": SECRET_HEX,
    }.items():
        write("fuzz_hex", name, text.encode())


def cose_seeds():
    signed = bytes.fromhex(quelvane.sign(PROSE, SECRET_HEX))
    empty = bytes.fromhex(quelvane.sign("", SECRET_HEX))
    write("fuzz_cose", "envelope_prose", b"\x00" + signed)
    write("fuzz_cose", "envelope_empty_payload", b"\x00" + empty)
    write("fuzz_cose", "envelope_untagged", b"\x00" + signed[1:])
    # Signature over an empty payload with the payload replaced by nil (F6).
    write("fuzz_cose", "envelope_nil_payload", b"\x00" + empty[:7] + b"\xf6" + empty[8:])
    # Unprotected header with a key identifier, indefinite-length array, header map with two labels.
    write("fuzz_cose", "envelope_kid", b"\x00\xd2\x84\x43\xa1\x01\x27\xa1\x04\x42\x6b\x31" + empty[7:])
    write("fuzz_cose", "envelope_indefinite", b"\x00\xd2\x9f" + empty[2:] + b"\xff")
    write("fuzz_cose", "envelope_header_labels", b"\x00\xd2\x84\x48\xa2\x01\x27\x63alg\x27\xa0" + empty[7:])
    write("fuzz_cose", "other_key", b"\x01" + PUBLIC[::-1] + signed)
    write("fuzz_cose", "own_key", b"\x01" + PUBLIC + signed)
    write("fuzz_cose", "sign_prose", b"\x02" + PROSE.encode())
    write("fuzz_cose", "sign_empty", b"\x02")


def watermark_seeds():
    def seed(key, text):
        return bytes([len(key)]) + key + text.encode()

    marked = quelvane.embed_watermark(PROSE, POINTER_HEX, KEY.hex())
    write("fuzz_watermark", "marked_prose", seed(KEY, marked))
    write("fuzz_watermark", "marked_prose_other_key", seed(b"\x01\x02", marked))
    write("fuzz_watermark", "plain_prose", seed(KEY, PROSE))
    long_key = bytes(range(63))
    write("fuzz_watermark", "marked_long_key", seed(long_key, quelvane.embed_watermark(PROSE, "ff", long_key.hex())))
    # Half the runs gone: every other zero-width character removed from the first half.
    cut = marked[: len(marked) // 2].replace("\u200b", "", 40) + marked[len(marked) // 2 :]
    write("fuzz_watermark", "marked_damaged", seed(KEY, cut))
    words = " ".join(f"w{i}\ufeff" if i % 5 == 0 else f"w{i}" for i in range(60))
    write("fuzz_watermark", "byte_order_marks", seed(b"", words))
    write("fuzz_watermark", "zero_width_text", seed(KEY, " ".join(["a\u200b\u200c\u200d\u2060"] * 60)))
    # Emoji sequences (joiners, variation selectors, keycaps, skin tones) and zero-width characters
    # inside, before and after words, none of which may end up unreadable.
    emoji = ["\U0001f468\u200d\U0001f469\u200d\U0001f467", "\U0001f3f3\ufe0f\u200d\U0001f308", "1\ufe0f\u20e3",
             "\u2764\ufe0f", "\U0001f469\U0001f3fd\u200d\U0001f4bb", "wo\u200brd", "\u200bw", "w\ufeff"]
    words = " ".join(emoji[i % len(emoji)] if i % 3 == 0 else f"w{i}" for i in range(70))
    write("fuzz_watermark", "emoji_sequences", seed(KEY, words))
    write("fuzz_watermark", "byte_order_mark_line", seed(KEY, "\ufeff\n" + " ".join(f"w{i}" for i in range(50))))


def text_seeds():
    for name, text in TEXTS.items():
        write("fuzz_text", name, b"\x01" + text.encode())
        write("fuzz_text", name + "_cut", bytes([min(len(text.encode()) // 2, 240) & ~15]) + text.encode())


def fingerprint_seeds():
    for name, text in TEXTS.items():
        write("fuzz_fingerprints", name, text.encode())
    write("fuzz_fingerprints", "windows", (PROSE * 3).encode())
    write("fuzz_fingerprints", "five_words", b"one two three four five")


ALGS = {
    41: "com.lanternquill.text-fingerprint.1",
    42: "com.lanternquill.zwc-watermark.2",
    43: "com.lanternquill.text-structure.1",
    44: "com.lanternquill.text-minhash.1",
}


def window_block(start, end, value):
    selector = {"fragment": "", "start": start, "end": end}
    text = {"selectors": [{"selector": selector}]}
    return {"scope": {"region": {"region": [{"type": "textual", "text": text}]}}, "value": value}


def soft_binding_seeds():
    builders = {name: getattr(quelvane, name, None) for name in
                ("soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash")}
    for name, build in builders.items():
        if build is not None:
            write("fuzz_soft_binding", name, bytes.fromhex(build(PROSE * 2)))
    if hasattr(quelvane, "soft_binding_watermark"):
        write("fuzz_soft_binding", "soft_binding_watermark", bytes.fromhex(quelvane.soft_binding_watermark(POINTER_HEX)))
    # The record's layout written by hand, and what the reader tolerates besides.
    whole = {"scope": {}, "value": "ab" * 32}
    write("fuzz_soft_binding", "whole", cbor2.dumps({"alg": ALGS[43], "blocks": [whole], "pad": b""}))
    write("fuzz_soft_binding", "windows", cbor2.dumps(
        {"alg": ALGS[41], "blocks": [whole, window_block(0, 512, "cd" * 32), window_block(256, 513, "ef" * 32)],
         "pad": b""}))
    write("fuzz_soft_binding", "name_and_extra_keys", cbor2.dumps(
        {"pad": [1, 2], "extra": {"nested": [1, 2.5, None]}, "blocks": [], "name": "n", "alg": ALGS[44]}))
    write("fuzz_soft_binding", "null_offsets_and_negative", cbor2.dumps(
        {"alg": ALGS[42], "blocks": [window_block(None, -5, "")], "pad": b"\x00"}))
    write("fuzz_soft_binding", "tagged_byte_keys", cbor2.dumps(
        cbor2.CBORTag(24, {b"alg": cbor2.CBORTag(32, ALGS[41]), b"blocks": [], b"pad": b""})))
    # Indefinite-length map, array, text and byte string: {_ "alg": (_ "com", ".x"), "blocks": [_ ], "pad": (_ h'01')}
    write("fuzz_soft_binding", "indefinite", bytes.fromhex(
        "bf63616c677f63636f6d622e78ff66626c6f636b739fff637061645f4101ffff"))
    write("fuzz_soft_binding", "missing_pad", cbor2.dumps({"alg": ALGS[43], "blocks": []}))
    write("fuzz_soft_binding", "bad_range_type", cbor2.dumps(
        {"alg": ALGS[41], "blocks": [{"scope": {"region": {"region": [{"type": "temporal"}]}}, "value": ""}],
         "pad": b""}))


def main():
    shutil.rmtree(HERE / "corpus", ignore_errors=True)
    hex_seeds()
    cose_seeds()
    watermark_seeds()
    text_seeds()
    fingerprint_seeds()
    soft_binding_seeds()


if __name__ == "__main__":
    main()
