"""Publish a text, then verify copies of it found later: every quelvane function in one round trip.

Publishing: the publisher builds the four soft-binding assertions of the text, signs each as a
COSE_Sign1 envelope with its Ed25519 key, stores them with the cross-check tag under a random
routing pointer, and publishes the text carrying that pointer in an invisible watermark.

Finding: for each copy, recover the pointer blind from the text, fetch what is stored under it,
check the signatures, and classify how strongly the copy is bound to the manifest. A copy whose
watermark was stripped is still found, through its MinHash band keys.

Run: python examples/round_trip.py
"""
from __future__ import annotations

import hmac
import re
import secrets
from dataclasses import dataclass, field

import quelvane

TEXT = (
    "The night train to the coast left at ten past eleven, and most of its passengers were asleep "
    "before it cleared the last suburbs. In the third carriage a woman sat with a crate of seedlings "
    "on her knees, watering them from a thermos cap whenever the train slowed.\n\n"
    "At the border the guard asked what they were. Tomatoes, she said, an old variety from her "
    "grandmother's village, and she gave him one of the small pots to take home to his daughter.\n\n"
    "By morning the sea showed grey between the dunes, and the seedlings had turned towards the window."
)
ZERO_WIDTH = re.compile("[\u200b\u200c\u200d\u2060\ufe00-\ufe0f\ufeff]")
TIER_ORDER = ("REVIEW", "LIKELY", "BOUND")


@dataclass
class Record:
    """What the repository keeps under one routing pointer."""

    envelopes: list[str]
    crosscheck_tag: str


@dataclass
class Repository:
    """The host's side: manifests by routing pointer, and MinHash band keys for discovery."""

    repo_id: str
    binding_key_hex: str
    records: dict[str, Record] = field(default_factory=dict)
    bands: dict[int, set[str]] = field(default_factory=dict)

    def store(self, pointer_hex: str, record: Record, text: str) -> None:
        self.records[pointer_hex] = record
        for key in quelvane.minhash_bands(text):
            self.bands.setdefault(key, set()).add(pointer_hex)

    def candidates(self, text: str) -> set[str]:
        """Pointers of published texts that share at least one LSH band with `text`."""
        found: set[str] = set()
        for key in quelvane.minhash_bands(text):
            found |= self.bands.get(key, set())
        return found

    def crosscheck_ok(self, pointer_hex: str, text: str) -> bool:
        expected = self.records[pointer_hex].crosscheck_tag
        tag = quelvane.cross_check(self.binding_key_hex, self.repo_id, quelvane.content_hash(text))
        return hmac.compare_digest(tag, expected)


def publish(text: str, repo: Repository, secret_hex: str) -> str:
    """Returns the text to publish, watermarked with a fresh routing pointer."""
    pointer_hex = secrets.token_hex(16)
    assertions = [
        quelvane.soft_binding_fingerprint(text),
        quelvane.soft_binding_structure(text),
        quelvane.soft_binding_minhash(text),
        quelvane.soft_binding_watermark(pointer_hex),
    ]
    envelopes = [quelvane.sign(assertion, secret_hex) for assertion in assertions]
    tag = quelvane.cross_check(repo.binding_key_hex, repo.repo_id, quelvane.content_hash(text))
    repo.store(pointer_hex, Record(envelopes, tag), text)
    return quelvane.embed_watermark(text, pointer_hex, repo.binding_key_hex)


def watermark(text: str, key_hex: str) -> tuple[str, bool, int] | None:
    """The watermark's (pointer, tag_verified, shards_recovered), or None if none can be read."""
    try:
        return quelvane.extract_watermark(text, key_hex)
    except ValueError:  # too short, or too few runs left
        return None


def classify(text: str, pointer_hex: str, repo: Repository, public_hex: str, watermark_verified: bool) -> str:
    """The strongest tier any signed assertion stored under the pointer gives this text."""
    crosscheck_ok = repo.crosscheck_ok(pointer_hex, text)
    best = "REVIEW"
    for envelope in repo.records[pointer_hex].envelopes:
        assertion_hex = quelvane.verify(envelope, public_hex)  # raises if the signature fails
        tier = quelvane.verify_tier(text, assertion_hex, watermark_verified, crosscheck_ok)
        best = max(best, tier, key=TIER_ORDER.index)
    return best


def find(text: str, repo: Repository, public_hex: str) -> str:
    """One line saying where a found text came from and how strongly it is bound."""
    mark = watermark(text, repo.binding_key_hex)
    if mark is not None and mark[1] and mark[0] in repo.records:
        pointer_hex, _, shards = mark
        tier = classify(text, pointer_hex, repo, public_hex, watermark_verified=True)
        return f"watermark pointer {pointer_hex[:8]}…, {shards} of 48 runs rebuilt: {tier}"
    found = sorted(repo.candidates(text))
    if not found:
        return "no watermark and no candidate: unknown text"
    tiers = {p: classify(text, p, repo, public_hex, watermark_verified=False) for p in found}
    pointer_hex = max(tiers, key=lambda p: TIER_ORDER.index(tiers[p]))
    return f"no usable watermark; found by MinHash bands as {pointer_hex[:8]}…: {tiers[pointer_hex]}"


def similarity(original: str, copy: str) -> str:
    surface = quelvane.hamming_hex(quelvane.text_fingerprint(original), quelvane.text_fingerprint(copy))
    structure = quelvane.hamming_hex(quelvane.text_structure(original), quelvane.text_structure(copy))
    a, b = quelvane.minhash_signature(original), quelvane.minhash_signature(copy)
    agreement = sum(x == y for x, y in zip(a, b)) / len(a)
    return f"surface {surface}/256 bits, structure {structure}/256 bits, MinHash agreement {agreement:.2f}"


def main() -> None:
    secret_hex = secrets.token_hex(32)  # the publisher's Ed25519 key: keep it secret
    public_hex = quelvane.public_key(secret_hex)
    repo = Repository(repo_id="example-repository", binding_key_hex=secrets.token_hex(32))

    published = publish(TEXT, repo, secret_hex)
    print(f"published {len(TEXT)} characters (+{len(published) - len(TEXT)} invisible); "
          f"content hash {quelvane.content_hash(published)[:16]}… unchanged by the watermark")

    runs = [m.span() for m in re.finditer("[\u200b\u200c\u200d\u2060]{4}", published)]
    damaged = published
    for start, end in reversed(runs[::2]):  # every other run lost
        damaged = damaged[:start] + damaged[end:]
    copies = {
        "copied as is": published,
        "reflowed into short lines": re.sub(r" (?=[a-z]{5})", "\n", published),
        "half the watermark runs lost": damaged,
        "one word edited": published.replace("crate", "box"),
        "watermark stripped, a sentence cut": ZERO_WIDTH.sub("", published).replace(
            ", and she gave him one of the small pots to take home to his daughter", ""),
        "an unrelated text": "Completely different words about mountains, snow and a quiet railway line. " * 3,
    }
    for label, copy in copies.items():
        print(f"\n{label}: {find(copy, repo, public_hex)}")
        print(f"  {similarity(TEXT, copy)}")


if __name__ == "__main__":
    main()
