"""Peak memory of every text function, per byte of input: what a call adds above the input.

Each measurement runs in a fresh interpreter: it builds the input (and whatever else the call
needs, such as the assertion for verify_tier), resets the peak resident size (VmHWM, through
/proc/self/clear_refs), calls the function once and reads the new peak. The figure is that
peak above the resident size before the call, divided by the UTF-8 size of the text (of the
envelope's hex for verify); it includes the UTF-8 copy of the text that the module takes of
every str argument. glibc's mmap threshold is pinned at its default (see measure()); left to
adapt, it keeps freed blocks resident and adds up to about 2 B/B to some figures.
Each figure is for one call; the seconds printed beside it are that call's, on a shared machine.

Texts: English prose (the Vim manual where it is installed, else generated prose), mixed
script (tests/large_texts.py: English with Greek, Cyrillic, accented and CJK words) and CJK
prose drawn from the CJK Unified Ideographs with Zipf frequencies (fixed seed, with
punctuation and paragraph breaks), English-like text of short words with Zipf frequencies
(most words per byte and the longest canonical stream per byte of the shapes), plus a few hostile shapes: one-letter words, a character
whose NFC triples its size, and a COSE header that repeats one label.

Run: .venv/bin/python bench/bench_memory.py [--sizes 10,50] [--texts english,mixed,cjk,zipf]
     [function ...]   (one measurement at a time; 50 MB inputs take a few GB in all)
"""
import argparse
import ctypes
import gc
import glob
import json
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
KEY = "6b6579"
POINTER = "00112233445566778899aabbccddeeff"
SECRET = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"
CJK_FIRST, CJK_COUNT = 0x4E00, 0x9FFF - 0x4E00 + 1


# ---------------------------------------------------------------------------------------------
# Inputs


def english(size):
    # The few pages with characters beyond the BMP (Arabic, Raku) are left out: one such
    # character makes Python hold the whole text in four bytes a character, which is not what
    # an English text costs.
    pages = [pathlib.Path(f).read_bytes().decode("utf-8", "ignore") for f in sorted(glob.glob("/usr/share/vim/vim*/doc/*.txt"))]
    pages = [page for page in pages if max(page, default="a") <= "\uffff"]
    if pages:
        prose = "\n\n".join(pages)
    else:
        sys.path.insert(0, str(HERE))
        from common import english as generated

        prose = generated(1 << 20)
    data = prose.encode()
    data = data * (size // len(data) + 1)
    return data[:size].decode("utf-8", "ignore")


def mixed(size):
    sys.path.insert(0, str(HERE.parent / "tests"))
    import large_texts

    return large_texts.varied_text(size)


def cjk(size, seed=11):
    """Ideographs with Zipf frequencies (exponent 1.1 over a random ranking of the block),
    sentences of 8 to 40 characters ended by full-width punctuation, paragraphs of 3 to 12
    sentences."""
    import numpy as np

    rng = np.random.default_rng(seed)
    chars = size // 3 + 16
    ranking = rng.permutation(CJK_COUNT) + CJK_FIRST
    weights = 1.0 / np.arange(1, CJK_COUNT + 1) ** 1.1
    codes = ranking[rng.choice(CJK_COUNT, chars, p=weights / weights.sum())]
    ends = np.cumsum(rng.integers(8, 41, chars // 8))
    ends = ends[ends < chars]
    codes[ends] = rng.choice([0x3002, 0xFF0C, 0xFF1F, 0xFF01, 0x3001], len(ends), p=[0.5, 0.3, 0.05, 0.05, 0.1])
    text = codes.astype("<u4").tobytes().decode("utf-32-le")
    paragraphs = ends[:: 7][1:]
    pieces, start = [], 0
    for end in paragraphs.tolist():
        pieces.append(text[start : end + 1])
        start = end + 1
    pieces.append(text[start:])
    return "\n\n".join(pieces).encode()[:size].decode("utf-8", "ignore")


def zipf(size, seed=13):
    """English-like text of short words: a vocabulary of 5,000 lower-case words of 1 to 6
    letters (mostly 2 to 4) drawn with Zipf frequencies (exponent 1.1), one space between
    words, sentences of 4 to 20 words ended by a full stop, paragraphs of 3 to 10 sentences.
    Little of it is punctuation or white space, so its canonical stream is nearly as long as
    the text and it has more words per byte than prose."""
    import numpy as np

    rng = np.random.default_rng(seed)
    letters = np.frombuffer(b"etaoinshrdlcumwfgypbvkjxqz", dtype=np.uint8)
    letter_weights = 1.0 / np.arange(1, 27) ** 0.9
    lengths = rng.choice([1, 2, 3, 4, 5, 6], 5000, p=[0.05, 0.25, 0.3, 0.25, 0.1, 0.05])
    vocabulary = [letters[rng.choice(26, n, p=letter_weights / letter_weights.sum())].tobytes().decode() for n in lengths]
    weights = 1.0 / np.arange(1, len(vocabulary) + 1) ** 1.1
    words = rng.choice(len(vocabulary), size // 3 + 16, p=weights / weights.sum()).tolist()
    pieces, i, sentences = [], 0, 0
    while i < len(words):
        n = int(rng.integers(4, 21))
        sentence = " ".join(vocabulary[w] for w in words[i : i + n])
        sentences += 1
        pieces.append(sentence.capitalize() + (".\n\n" if sentences % int(rng.integers(3, 11)) == 0 else ". "))
        i += n
    return "".join(pieces)[:size]


TEXTS = {"english": english, "mixed": mixed, "cjk": cjk, "zipf": zipf}
# Hostile shapes, each for one function: (text builder from a size, function name).
SHAPES = {
    "one-letter words": (lambda size: "a " * (size // 2), "embed_watermark"),
    "U+1D160 (NFC x3)": (lambda size: "\U0001D160" * (size // 4), "text_structure"),
    "repeated label": (None, "verify"),
}


# ---------------------------------------------------------------------------------------------
# Calls: name -> (prepare(text) -> args, function name)


def calls():
    import quelvane as q

    def assertion_for(builder):
        return lambda t: (t, getattr(q, builder)(t), False, True)

    def envelope(t):
        return (q.sign(t, SECRET), q.public_key(SECRET))

    return {
        "content_hash": (lambda t: (t,), q.content_hash),
        "text_fingerprint": (lambda t: (t,), q.text_fingerprint),
        "text_structure": (lambda t: (t,), q.text_structure),
        "minhash_signature": (lambda t: (t,), q.minhash_signature),
        "minhash_bands": (lambda t: (t,), q.minhash_bands),
        "embed_watermark": (lambda t: (t, POINTER, KEY), q.embed_watermark),
        "extract_watermark": (lambda t: (q.embed_watermark(t, POINTER, KEY), KEY), q.extract_watermark),
        "soft_binding_fingerprint": (lambda t: (t,), q.soft_binding_fingerprint),
        "soft_binding_structure": (lambda t: (t,), q.soft_binding_structure),
        "soft_binding_minhash": (lambda t: (t,), q.soft_binding_minhash),
        "verify_tier 41": (assertion_for("soft_binding_fingerprint"), q.verify_tier),
        "verify_tier 43": (assertion_for("soft_binding_structure"), q.verify_tier),
        "verify_tier 44": (assertion_for("soft_binding_minhash"), q.verify_tier),
        "sign": (lambda t: (t, SECRET), q.sign),
        "cross_check": (lambda t: (KEY, t, ""), q.cross_check),
        "verify": (envelope, q.verify),
    }


def repeated_label_envelope(size):
    """An untagged COSE_Sign1 whose unprotected header holds label 1 (size / 4) times, as hex."""
    import quelvane as q

    entries = size // 4
    head = "ba" + entries.to_bytes(4, "big").hex()
    body = "84" + "43a10127" + head + "0100" * entries + "4568656c6c6f" + "5840" + "00" * 64
    return (body, q.public_key(SECRET))


# ---------------------------------------------------------------------------------------------
# One measurement, in a child process


def status_kb(field):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(field)


def measure(function, text_name, size):
    # glibc's mmap threshold is fixed at its default before anything is built: left to adapt,
    # freeing the large blocks that building the input takes raises it (up to 32 MB), after
    # which blocks below it come from the heap and stay resident once freed, and the figure
    # would show the allocator's history more than what the call holds at once.
    ctypes.CDLL("libc.so.6").mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD
    if text_name in SHAPES:
        build, function = SHAPES[text_name]
        if build is None:
            args = repeated_label_envelope(size)
            text_bytes = len(args[0])
        else:
            text = build(size)
            args = calls()[function][0](text)
            text_bytes = len(text.encode())
            del text
    else:
        text = TEXTS[text_name](size)
        text_bytes = len(text.encode())
        args = calls()[function][0](text)
        del text
    if function == "verify":  # its input is the envelope's hex
        text_bytes = len(args[0])
    call = calls()[function][1]
    gc.collect()
    # Hand the memory freed while building the input back to the system, so that the call
    # cannot grow into it unseen.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    pathlib.Path("/proc/self/clear_refs").write_text("5")
    before = status_kb("VmRSS")
    start = time.perf_counter()
    try:
        result = call(*args)
    except ValueError as error:  # the hostile envelope is refused, which is the point
        result = error
    seconds = time.perf_counter() - start
    peak = status_kb("VmHWM")
    del result
    return {"bytes_per_byte": (peak - before) * 1024 / text_bytes, "seconds": seconds, "text_bytes": text_bytes}


def run_child(function, text_name, size):
    out = subprocess.run(
        [sys.executable, __file__, "--child", function, text_name, str(size)],
        capture_output=True,
        text=True,
        check=False,
    )
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr.strip() else f"exit {out.returncode}"}
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10")
    parser.add_argument("--texts", default="english,mixed,cjk,zipf")
    parser.add_argument("--shapes", action=argparse.BooleanOptionalAction, default=True)
    parser.add_argument("--child", nargs=3)
    parser.add_argument("functions", nargs="*")
    options = parser.parse_args()
    if options.child:
        function, text_name, size = options.child
        print(json.dumps(measure(function, text_name, int(size))))
        return
    sizes = [int(s) for s in options.sizes.split(",")]
    texts = options.texts.split(",")
    names = options.functions or list(calls())
    rows = [(f, t) for f in names for t in texts]
    if options.shapes:
        rows += [(function, shape) for shape, (_, function) in SHAPES.items() if not options.functions or function in names]
    header = f"{'function':<26}{'text':<18}" + "".join(f"{str(mb) + ' MB':>16}" for mb in sizes)
    print(header + "      (B/B peak above input, seconds)")
    for function, text_name in rows:
        cells = []
        for mb in sizes:
            r = run_child(function, text_name, mb << 20)
            cells.append(f"{'error':>16}" if "error" in r else f"{r['bytes_per_byte']:8.2f} {r['seconds']:6.2f}s")
            if "error" in r:
                print("  ", function, text_name, mb, r["error"], file=sys.stderr)
        print(f"{function:<26}{text_name:<18}" + "".join(f"{c:>16}" for c in cells), flush=True)


if __name__ == "__main__":
    main()
