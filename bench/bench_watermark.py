"""embed_watermark and extract_watermark against content_hash on the same text.

Both watermark functions compute the content hash of the text, so content_hash is their
floor. The three calls take turns within each round, so that a busy machine slows them
alike; each median is printed with its ratio to the floor of the same text.
"""
import quelvane
from common import interleaved_medians, prose, report

KEY = "5eed" * 16
POINTER = "0123456789abcdef0123456789abcdef"
# Characters a watermark reads as its own; a text must not carry them before it is marked.
ZERO_WIDTH = dict.fromkeys(map(ord, "\u200b\u200c\u200d\u2060\ufeff"))


def main():
    rows = []
    # Real prose from corpus.py. A mark needs enough spaces: Chinese and Japanese have too few,
    # and 1 KB of mixed prose (mostly CJK) too.
    for name in ("english", "russian", "mixed"):
        for label, size, rounds in (("2KB", 2 << 10, 301), ("100KB", 100 << 10, 31), ("1MB", 1 << 20, 15)):
            text = prose(name, size).translate(ZERO_WIDTH)
            marked = quelvane.embed_watermark(text, POINTER, KEY)
            assert quelvane.extract_watermark(marked, KEY) == (POINTER, True, 0)
            floor, embed, extract = interleaved_medians(
                [(quelvane.content_hash, text), (quelvane.embed_watermark, text, POINTER, KEY),
                 (quelvane.extract_watermark, marked, KEY)], rounds)
            rows.append((f"content_hash      {name} {label}", floor, floor))
            rows.append((f"embed_watermark   {name} {label}", embed, floor))
            rows.append((f"extract_watermark {name} {label}", extract, floor))
    report(rows)


if __name__ == "__main__":
    main()
