"""Large deterministic texts for the size tests and bench/bench_scaling.py.

varied_text(size) is prose-like: sentences of 4 to 23 words drawn from a vocabulary of a few
thousand made-up words (an eighth of them Greek, Cyrillic, accented or CJK) and English
function words, with commas, semicolons, the three sentence ends and paragraph breaks (no capitals), so that
distinct words, shingles and sentences keep growing with the size, as in real text."""
import random

import numpy as np

_FUNCTION_WORDS = "the a an and or but of to in on at by as is was for with from that this it not".split()
_CONSONANTS = "b c d f g h k l m n p r s t v w z br st tr ch sh th".split()
_VOWELS = "a e i o u ai ea ou".split()
_SCRIPTS = (
    str.maketrans("aeioubcdklmnprst", "αεηουβγδκλμνπρστ"),
    str.maketrans("aeioubdklmnprst", "аеиоубдклмнпрст"),
    str.maketrans("aeiou", "áèîõü"),
)
_CJK = "港の町はゆっくりと目を覚ました漁船が岸壁に揺れていた市場"


def _vocabulary(rng, count=6000):
    words = []
    for i in range(count):
        word = "".join(rng.choice(_CONSONANTS) + rng.choice(_VOWELS) for _ in range(rng.randint(1, 4)))
        if i % 8 == 0:
            word = word.translate(_SCRIPTS[i // 8 % 3]) if i % 32 else "".join(rng.sample(_CJK, 3))
        words.append(word)
    return words


def varied_text(size, seed=0):
    """About `size` UTF-8 bytes of varied prose (cut at a character boundary)."""
    rng = random.Random(seed)
    vocabulary = _vocabulary(rng) + _FUNCTION_WORDS
    weights = np.array([1.0] * (len(vocabulary) - len(_FUNCTION_WORDS)) + [150.0] * len(_FUNCTION_WORDS))
    draw = np.random.default_rng(seed)
    count = size // 5 + 64
    words = np.array(vocabulary, dtype=object)[draw.choice(len(vocabulary), count, p=weights / weights.sum())]
    # Each word is followed by a space, or by a sentence or clause end every 4 to 23 words.
    separators = np.full(count, " ", dtype=object)
    ends = np.cumsum(draw.integers(4, 24, count // 4 + 1))
    ends = ends[ends < count]
    separators[ends] = np.array([". ", "! ", "? ", ".\n\n", "; ", ", "], dtype=object)[
        draw.choice(6, len(ends), p=[0.5, 0.05, 0.05, 0.1, 0.05, 0.25])]
    pieces = [None] * (2 * count)
    pieces[0::2] = words.tolist()
    pieces[1::2] = separators.tolist()
    return "".join(pieces).encode()[:size].decode(errors="ignore")
