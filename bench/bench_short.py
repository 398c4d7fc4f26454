"""The fixed cost of each fingerprint call on a short text, where a corpus scan spends it.

A 2.1 KB paragraph of real English prose (the size of a web page's text) is fingerprinted
by each call; its cost per byte is set against the same call on the 1 MB text it was cut
from, whose time is almost all per-byte work. The excess of the short call over
2.1 KB x (1 MB time / 1 MB) is the call's fixed cost. content_hash, which only normalizes and
hashes, is the floor both are compared with.
"""
import statistics

import quelvane
from common import clock, prose

SHORT = slice(500000, 502100)  # a paragraph from the middle of the text


def per_call(function, args, number, rounds):
    """Median seconds per call over `rounds` runs of `number` calls."""
    times = []
    for _ in range(rounds):
        start = clock()
        for _ in range(number):
            function(*args)
        times.append((clock() - start) / number)
    return statistics.median(times)


def main():
    text = prose("english", 1 << 20)
    doc = text[SHORT]
    publication = text[:20000]
    calls = (
        ("content_hash", quelvane.content_hash, (doc,)),
        ("text_fingerprint", quelvane.text_fingerprint, (doc,)),
        ("text_structure", quelvane.text_structure, (doc,)),
        ("minhash_signature", quelvane.minhash_signature, (doc,)),
        ("verify_tier 41", quelvane.verify_tier, (doc, quelvane.soft_binding_fingerprint(publication), False, False)),
        ("verify_tier 43", quelvane.verify_tier, (doc, quelvane.soft_binding_structure(publication), False, False)),
        ("verify_tier 44", quelvane.verify_tier, (doc, quelvane.soft_binding_minhash(publication), False, False)),
    )
    long_calls = {"content_hash", "text_fingerprint", "text_structure", "minhash_signature"}
    print(f"short text: {len(doc.encode())} bytes; long text: {len(text.encode())} bytes")
    print(f"{'call':<18} {'2 KB µs':>9} {'1 MB ms':>9} {'fixed µs':>9} {'x floor':>8}")
    floor = None
    for label, function, args in calls:
        short = per_call(function, args, 200, 15)
        floor = floor or short
        if label in long_calls:
            long = per_call(function, (text,), 1, 9)
            fixed = short - long * len(doc.encode()) / len(text.encode())
            print(f"{label:<18} {short * 1e6:9.1f} {long * 1e3:9.2f} {fixed * 1e6:9.1f} {short / floor:8.2f}")
        else:
            print(f"{label:<18} {short * 1e6:9.1f} {'':>9} {'':>9} {short / floor:8.2f}")


if __name__ == "__main__":
    main()
