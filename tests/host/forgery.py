"""The one-band forgery: an invented text that holds only the few five-word phrases of a
publication whose MinHash values are the minima of one band, so that it shares that band key."""
from __future__ import annotations

import random
import re

import quelvane

# Words as the fingerprints see them: runs of letters and digits, case folded.
_WORD = re.compile(r"[^\W_]+")
INVENTED_WORDS = 190


def band_holders(text: str, band: int) -> list[str]:
    """The shingles of `text` holding the four minima of one band: hashing each shingle alone
    gives its value at every position."""
    words = [w.lower() for w in _WORD.findall(text)]
    shingles = [" ".join(words[i:i + 5]) for i in range(len(words) - 4)]
    values = [quelvane.minhash_signature(s) for s in shingles]
    return sorted({shingles[min(range(len(shingles)), key=lambda k: values[k][p])]
                   for p in range(4 * band, 4 * band + 4)})


def forge(text: str, band: int, vocabulary: list[str], seed: int = 0, tries: int = 500) -> str | None:
    """Some 190 invented words with the band's phrases set among them, drawn again until none of
    the invented shingles undercuts a minimum; None if no draw shares the band."""
    phrases = band_holders(text, band)
    wanted = quelvane.minhash_bands(text)[band]
    rng = random.Random(seed)
    for _ in range(tries):
        words = [rng.choice(vocabulary) for _ in range(INVENTED_WORDS - 5 * len(phrases))]
        for phrase in phrases:
            at = rng.randrange(len(words) + 1)
            words[at:at] = phrase.split()
        forged = " ".join(words)
        if wanted in quelvane.minhash_bands(forged):
            return forged
    return None


_FUNCTION_WORDS = frozenset(
    "the a an of to and in on for was is that it by with as at from be this which had have were but not or its "
    "their they he she his her would could".split())


def look_alike(text: str, seed: int = 0, kept: tuple[tuple[int, int], ...] = ((10, 22), (40, 52))) -> str:
    """`text` with every word but its function words and the words `kept` (ranges of word positions)
    replaced by invented ones of the same length: its sentences keep their shape, so the structural
    fingerprint comes close, and the phrases kept, twelve words each, propose the publication; too
    short to be a passage, they share none."""
    rng = random.Random(seed)
    out, position = [], 0
    for i, word in enumerate(_WORD.finditer(text)):
        out.append(text[position:word.start()])
        keep = any(start <= i < end for start, end in kept) or word.group().lower() in _FUNCTION_WORDS
        out.append(word.group() if keep else "".join(rng.choice("aeioubcdfglmnprst") for _ in word.group()))
        position = word.end()
    return "".join(out) + text[position:]
