"""Watermark speed: embed_watermark and extract_watermark as ratios to content_hash.

Both watermark functions compute the content hash of the text, so content_hash on the same
text is their floor. Prints the median of several runs for each function and the ratios.
Run after building the module: `.venv/bin/python bench/bench_watermark.py`.
"""

import random
import statistics
import time

import quelvane

KEY = "5eed" * 16
POINTER = "0123456789abcdef0123456789abcdef"

ENGLISH = ("the of and to in a is that for it as was with be by on not he this are or his from at which but "
           "have an they you were her she there been one all we their has would when if so no will more out "
           "ledger harbour schooner letters keeper winter storm village boundary stone record morning").split()
MIXED = ENGLISH[:40] + ("café naïve façade déjà Übermaß straße право мир книга слово λόγος θάλασσα ψυχή "
                        "東京 言葉 海 光 서울 바다 مكتبة كتاب עולם ספר").split()


def make_text(vocabulary, size, seed):
    """Prose of about `size` UTF-8 bytes: sentences of 5 to 20 words, paragraphs of 3 to 7."""
    rng = random.Random(seed)
    paragraphs, length = [], 0
    while length < size:
        sentences = []
        for _ in range(rng.randint(3, 7)):
            words = rng.choices(vocabulary, k=rng.randint(5, 20))
            sentences.append(" ".join(words).capitalize() + rng.choice([".", ".", "?", "!", ";"]))
        paragraph = " ".join(sentences)
        paragraphs.append(paragraph)
        length += len(paragraph.encode()) + 2
    return "\n\n".join(paragraphs)


def median_seconds(function, *args, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function(*args)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    print(f"{'text':<16}{'content_hash':>14}{'embed':>12}{'extract':>12}{'embed/hash':>12}{'extract/hash':>14}")
    for name, vocabulary in (("english", ENGLISH), ("mixed", MIXED)):
        for label, size, repeat in (("1 KB", 1_000, 301), ("100 KB", 100_000, 41), ("1 MB", 1_000_000, 11)):
            text = make_text(vocabulary, size, seed=size)
            marked = quelvane.embed_watermark(text, POINTER, KEY)
            assert quelvane.extract_watermark(marked, KEY) == (POINTER, True, 0)
            floor = median_seconds(quelvane.content_hash, text, repeat=repeat)
            embed = median_seconds(quelvane.embed_watermark, text, POINTER, KEY, repeat=repeat)
            extract = median_seconds(quelvane.extract_watermark, marked, KEY, repeat=repeat)
            print(f"{name + ' ' + label:<16}{floor * 1e3:>11.3f} ms{embed * 1e3:>9.3f} ms{extract * 1e3:>9.3f} ms"
                  f"{embed / floor:>11.2f}x{extract / floor:>13.2f}x")


if __name__ == "__main__":
    main()
