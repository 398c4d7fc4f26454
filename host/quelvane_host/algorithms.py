"""The four soft-binding algorithms, by the identifiers their signed assertions carry. Every layer
names them the same way: id 41 the surface fingerprint, id 43 the structural fingerprint, id 44
the whole-text MinHash, id 42 the watermark."""
from __future__ import annotations

SURFACE_ALG = "com.lanternquill.text-fingerprint.1"
"""id 41: SimHash over character 4-grams, whole text and 512-character windows."""
STRUCTURE_ALG = "com.lanternquill.text-structure.1"
"""id 43: SimHash over sentence lengths, paragraphs, punctuation and function words."""
MINHASH_ALG = "com.lanternquill.text-minhash.1"
"""id 44: 128-value MinHash over five-word shingles, with 32 band keys."""
WATERMARK_ALG = "com.lanternquill.zwc-watermark.2"
"""id 42: the zero-width watermark carrying the publication's pointer."""

ASSERTION_ALGS = (SURFACE_ALG, STRUCTURE_ALG, MINHASH_ALG, WATERMARK_ALG)
"""The order in which a publication signs its assertions and stores their envelopes."""
