"""What the registry indexes of a text and what identify looks up: the 32 whole-text MinHash band
keys and the winnowed excerpt keys of the text a reader sees. Publishing, import and identify all
take their keys from here, so what is stored and what is looked for cannot drift apart."""
from __future__ import annotations

import quelvane

from . import excerpts, wordbreak
from .storage import IndexEntries


def index_of(visible: str) -> IndexEntries:
    """Everything stored in the look-up index for a publication whose visible text this is."""
    return IndexEntries(band_keys(visible), excerpt_keys(excerpts.word_hashes(visible)))


def band_keys(visible: str) -> list[int]:
    return list(quelvane.minhash_bands(visible))


def excerpt_keys(word_hashes: list[int]) -> list[tuple[int, int]]:
    """(key, word position) of the excerpt index for a text with these `excerpts.word_hashes`."""
    return excerpts.winnowed_keys(word_hashes)


def resegmented(visible: str) -> list[tuple[int, int]] | None:
    """The excerpt keys of a stored visible text that holds scripts written without spaces, whose
    words older registries took one Han or kana character at a time (and a Thai run as one); None
    for any other text, whose keys never changed."""
    if not excerpts.needs_segmentation(visible):
        return None
    return excerpt_keys(excerpts.word_hashes(visible))


def segmentation() -> str | None:
    """What the words of those scripts come from (the ICU release), recorded in a registry when its
    keys are derived: dictionaries change between releases."""
    return wordbreak.version()
