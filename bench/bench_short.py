"""What each fingerprint call costs on short texts, where a corpus scan spends its time.

A 2.1 KB paragraph of real English prose (the size of a web page's text) is fingerprinted
by each call, beside a 31-byte sentence, whose time is the call's fixed cost, and the 1 MB
text the paragraph was cut from. A short text costs more per byte than a long one even without
fixed costs: the surface fingerprint hashes each distinct 4-gram once, and the 2.1 KB paragraph
has a distinct gram every 1.7 bytes where the 1 MB text has one every 20 or so.
content_hash, which only normalizes and hashes the text, is the floor the 2.1 KB figures are
compared with. verify_tier decodes the assertion of a 20 KB publication first.
"""
import quelvane
from common import median_seconds, prose

SHORT = slice(500000, 502100)  # a paragraph from the middle of the text
TINY = "A short sentence, thirty bytes."


def main():
    text = prose("english", 1 << 20)
    doc = text[SHORT]
    publication = text[:20000]
    calls = (
        ("content_hash", quelvane.content_hash, ()),
        ("text_fingerprint", quelvane.text_fingerprint, ()),
        ("text_structure", quelvane.text_structure, ()),
        ("minhash_signature", quelvane.minhash_signature, ()),
        ("verify_tier 41", quelvane.verify_tier, (quelvane.soft_binding_fingerprint(publication), False, False)),
        ("verify_tier 43", quelvane.verify_tier, (quelvane.soft_binding_structure(publication), False, False)),
        ("verify_tier 44", quelvane.verify_tier, (quelvane.soft_binding_minhash(publication), False, False)),
    )
    print(f"short text: {len(doc.encode())} bytes; tiny: {len(TINY)} bytes; long: {len(text.encode())} bytes")
    print(f"{'call':<18} {'2 KB µs':>9} {'x floor':>8} {'tiny µs':>9} {'1 MB ms':>9}")
    floor = None
    for label, function, rest in calls:
        short = median_seconds(function, doc, *rest, repeat=15, number=200)
        tiny = median_seconds(function, TINY, *rest, repeat=15, number=200)
        long = median_seconds(function, text, *rest, repeat=5)
        floor = floor or short
        print(f"{label:<18} {short * 1e6:9.1f} {short / floor:8.2f} {tiny * 1e6:9.1f} {long * 1e3:9.2f}")


if __name__ == "__main__":
    main()
