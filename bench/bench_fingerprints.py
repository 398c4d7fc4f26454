"""The three fingerprints on 1 MB texts, against content_hash (the floor: every fingerprint reads
the canonical stream) and against PyPI peers on the same text: `simhash` for text_fingerprint,
`datasketch` and `rensa` for minhash_signature over the same 5-word shingles. A peer that is not
installed is skipped. "varied" is English-like prose with a large vocabulary, so that it has as
many distinct grams and shingles as real prose; the shared inputs repeat a few dozen words."""
import random
import unicodedata

import regex

import quelvane
from common import english, median_seconds, mixed, report

ZERO_WIDTH = dict.fromkeys([0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, *range(0xFE00, 0xFE10)])
WORD = regex.compile(r"[\p{Alphabetic}\p{Nd}\p{Nl}\p{No}]+")


def varied(size, seed=20240611):
    """Zipf-distributed pseudo-English over 20 000 made-up words, in sentences and paragraphs:
    about 20 000 distinct 4-grams per megabyte, as in real prose, and almost no repeated shingle."""
    rng = random.Random(seed)
    onsets = ["", "", *"bcdfghklmnprstvwy", "st", "tr", "ch", "th", "sh", "br", "pl", "gr", "wh"]
    vowels = ["a", "e", "i", "o", "u", "ou", "ea", "ai", "ee"]
    codas = ["", "", "", "n", "r", "s", "t", "l", "m", "nd", "st", "ng", "ck", "ght"]
    vocabulary = ["the", "of", "and", "to", "a", "in", "that", "it", "was", "he", "for", "on", "with", "as"]
    while len(vocabulary) < 20000:
        syllables = rng.choice((1, 1, 2, 2, 3))
        vocabulary.append("".join(rng.choice(onsets) + rng.choice(vowels) + rng.choice(codas) for _ in range(syllables)))
    weights = [1 / (rank + 1) for rank in range(len(vocabulary))]
    out, n = [], 0
    while n < size:
        sentence = rng.choices(vocabulary, weights, k=rng.randint(5, 25))
        text = " ".join(sentence).capitalize() + rng.choice([".", ".", ".", "!", "?", ";", ","]) + " "
        if rng.random() < 0.08:
            text += "\n\n"
        out.append(text)
        n += len(text)
    return "".join(out)[:size]


def shingles(text):
    """The 5-word shingles of the canonical words, computed the plain way (outside the timing)."""
    words = WORD.findall(unicodedata.normalize("NFC", text).translate(ZERO_WIDTH).lower())
    if len(words) < 5:
        return [" ".join(words)] if words else []
    return [" ".join(words[k : k + 5]) for k in range(len(words) - 4)]


def peer(module):
    try:
        return __import__(module)
    except ImportError:
        print(f"(peer {module} not installed: skipped)")
        return None


def simhash_peer():
    """simhash.Simhash, with its bit arrays widened: under NumPy 2 the package's uint8 arrays
    refuse weights above 255 (any 4-gram seen more than 255 times), and the text fails."""
    simhash_pkg = peer("simhash")
    if simhash_pkg is None:
        return None
    import numpy

    class Simhash(simhash_pkg.Simhash):
        @staticmethod
        def _bitarray_from_bytes(b):
            return numpy.unpackbits(numpy.frombuffer(b, dtype=">B")).astype(numpy.int64)

    return Simhash


def main():
    simhash, datasketch, rensa = simhash_peer(), peer("datasketch"), peer("rensa")
    inputs = (("english", english(1 << 20)), ("mixed", mixed(1 << 20)), ("varied", varied(1 << 20)))
    for name, text in inputs:
        print(f"\n{name} 1MB")
        floor = median_seconds(quelvane.content_hash, text, repeat=9)
        rows = [("content_hash (floor)", floor, floor)]
        for function in (quelvane.text_fingerprint, quelvane.text_structure, quelvane.minhash_signature):
            rows.append((function.__name__, median_seconds(function, text, repeat=9), floor))
        # The windows too, as the id 41 builder needs them (bench_soft_binding.py has its floor).
        rows.append(("soft_binding_fingerprint", median_seconds(quelvane.soft_binding_fingerprint, text), floor))
        report(rows)

        fingerprint = rows[1][1]
        signature = rows[3][1]
        if simhash:
            compare("text_fingerprint", fingerprint, "simhash.Simhash", median_seconds(simhash, text, repeat=3))
        data = shingles(text)
        encoded = [s.encode() for s in data]
        if datasketch:
            def run_datasketch():
                datasketch.MinHash(num_perm=128).update_batch(encoded)

            compare("minhash_signature", signature, f"datasketch ({len(data)} shingles)", median_seconds(run_datasketch, repeat=3))
        if rensa:
            def run_rensa():
                rensa.RMinHash(num_perm=128, seed=0).update(data)

            compare("minhash_signature", signature, "rensa", median_seconds(run_rensa, repeat=9))


def compare(ours, our_seconds, peer, peer_seconds):
    print(f"  {ours} {our_seconds * 1e3:.3f} ms vs {peer} {peer_seconds * 1e3:.3f} ms: "
          f"{peer_seconds / our_seconds:.2f}x as fast")


if __name__ == "__main__":
    main()
