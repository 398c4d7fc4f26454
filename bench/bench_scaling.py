"""How the time of every text function grows with the size of the text: 5, 10 and 50 MB.

Linear growth gives ratios of 2x (10 MB against 5 MB) and 10x (50 MB against 5 MB), less what
the memory system adds: 5 MB of text and its copies stay in the processor's caches, 50 MB do
not. Two floors show that share in the same run: encoding the text to UTF-8 and encoding it to
hex, linear by construction. The texts are the varied prose of tests/large_texts.py (distinct
words, shingles and sentences keep growing with the size) and, for the normaliser, runs of
combining marks out of canonical order. Each time is the median of three calls.

Run: .venv/bin/python bench/bench_scaling.py [function ...]
"""
import pathlib
import sys

from common import median_seconds

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import large_texts  # noqa: E402
import quelvane  # noqa: E402

SIZES_MB = (5, 10, 50)
KEY = "6b6579"
POINTER = "00112233445566778899aabbccddeeff"
SECRET = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"


def calls():
    """name -> function of a text, for every function of the module that reads a text."""
    table = {
        "content_hash": quelvane.content_hash,
        "embed_watermark": lambda t: quelvane.embed_watermark(t, POINTER, KEY),
        "extract_watermark": "on the watermarked text",
        "sign": lambda t: quelvane.sign(t, SECRET),
        "cross_check": lambda t: quelvane.cross_check(KEY, t, ""),
    }
    for name in ("text_fingerprint", "text_structure", "minhash_signature", "minhash_bands",
                 "soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash"):
        table[name] = getattr(quelvane, name, None)
    if hasattr(quelvane, "verify_tier"):
        for builder in ("soft_binding_fingerprint", "soft_binding_structure", "soft_binding_minhash"):
            table[f"verify_tier ({builder[13:]})"] = (builder,)
    return {name: f for name, f in table.items() if f is not None}


def timed(name, function, text):
    if function == "on the watermarked text":
        marked = quelvane.embed_watermark(text, POINTER, KEY)
        return median_seconds(quelvane.extract_watermark, marked, KEY, repeat=3)
    if isinstance(function, tuple):
        assertion = getattr(quelvane, function[0])(text)
        return median_seconds(quelvane.verify_tier, text, assertion, False, True, repeat=3)
    return median_seconds(function, text, repeat=3)


def marks_out_of_order(size):
    return "a" + "\u0301\u0323" * (size // 4)


def main(selected):
    texts = {mb: large_texts.varied_text(mb << 20) for mb in SIZES_MB}
    rows = [(name, f, texts) for name, f in calls().items() if not selected or name in selected]
    if not selected or "floors" in selected:
        rows.insert(0, ("floor: UTF-8 encode", lambda t: t.encode(), texts))
        rows.insert(1, ("floor: UTF-8 encode to hex", lambda t: t.encode().hex(), texts))
    if not selected or "marks" in selected:
        marks = {mb: marks_out_of_order(mb << 20) for mb in SIZES_MB}
        rows.append(("content_hash (marks out of order)", quelvane.content_hash, marks))
    width = max(len(name) for name, _, _ in rows)
    print(f"{'function':<{width}}  " + "  ".join(f"{mb:>5} MB" for mb in SIZES_MB) + "   10/5   50/5")
    for name, function, inputs in rows:
        seconds = [timed(name, function, inputs[mb]) for mb in SIZES_MB]
        cells = "  ".join(f"{s:7.3f}s" for s in seconds)
        print(f"{name:<{width}}  {cells}  {seconds[1] / seconds[0]:5.2f}x {seconds[2] / seconds[0]:5.2f}x", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
