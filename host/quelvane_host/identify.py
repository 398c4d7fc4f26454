"""Identifying a found text: every publication it comes from, strongest first, with the
evidence for each. The result (`Matches` of `Match`) carries all a reader of it needs, the
publication's record and the passages' words included, so that the command line and the
service only draw it, and serialise it one way (`Matches.as_json`).

Trust rules. A watermark pointer is used only when its content-binding tag verified. Each
stored envelope is verified under the publication's public key before its assertion counts.
What the evidence is worth:
- a verified watermark: the copy carries this registry's pointer and its words are those
  published (the tag binds them) — a match;
- the whole-text MinHash: a shared band key only proposes a publication (a handful of copied
  five-word phrases is enough to share one); it is a match when at least MINHASH_AGREEMENT of
  the 128 values agree, which only a copy of most of the text reaches;
- the excerpt index: a passage of at least 20 words is shared, confirmed by the runs of shingles
  both texts hold in the same order, each run only when few publications hold its keys (a
  template's phrases are held by many) — a match, with the passages shown;
- the surface (id 41) or structural (id 43) fingerprint alone: unrelated texts of one genre
  come close in both, so on its own this is reported as weak evidence, never as a match.
A publication its publisher withdrew is reported as withdrawn, whatever the evidence; a deleted
one is not reported at all.

Quiet by default. A weak row is shown only when its kind of evidence (`weak_kind`) is one measured to
be rare among unrelated texts (SHOWN_WEAK_KINDS); the others are counted (`Matches.weak_hidden`) and
given only when asked for (`identify(..., weak=True)`), so that a reader meets no noise unasked.

The tier of each assertion is the module's (`verify_tier`); what the host says of the words is
its own: a copy is called identical only when its visible text equals the publication's, white
space and zero-width characters aside, since the fingerprints ignore punctuation and symbols.

Cost. A found text is fingerprinted once; candidates are ranked by their evidence and at most
MAX_CANDIDATES are examined, the cheap comparisons first, within DEADLINE_SECONDS, and at most
MAX_ROWS are reported. A result cut by any bound says so (`Matches.complete`, `Matches.note`)."""
from __future__ import annotations

import collections
import dataclasses
import difflib
import functools
import hmac
import operator
import re
import time
from dataclasses import dataclass
from typing import Iterable, Iterator, Literal, Protocol, Sequence

import quelvane

from . import excerpts, indexing
from .algorithms import MINHASH_ALG, STRUCTURE_ALG, SURFACE_ALG
from .errors import NotFoundError
from .storage import Envelope, Publication, Storage, Withdrawal

Tier = Literal["BOUND", "LIKELY", "REVIEW"]
Verdict = Literal["match", "withdrawn", "unverified", "weak"]
TIERS: tuple[Tier, ...] = ("BOUND", "LIKELY", "REVIEW")
VERDICTS: tuple[Verdict, ...] = ("match", "withdrawn", "unverified", "weak")
"""Strongest first: the order rows are reported in."""
Passage = excerpts.Passage
VERIFIED_CACHE_SIZE = 4096
PUBLICATION_CACHE_CHARACTERS = 1 << 19
"""Characters of publications (with their words, some 40 bytes a character once all are found)
an identifier keeps: a corpus meets the same few often."""
MINHASH_AGREEMENT = 24
"""Equal values of the 128 that make a whole-text match. On real prose (bench/bench_agreement.py:
600 texts of 150 to 438 words) 100,000 pairs of unrelated texts of one documentation agree in at
most 3, and 414 invented texts around the phrases that hold one band's minima in at most 10; whole
copies agree in all 128 reflowed, in 31 or more with a tenth of their words replaced, in 44 or more
cut to their first half. 24 is more than twice the worst forgery and below every such copy."""
MAX_CANDIDATES = 64
"""Publications examined per found text, the best proposed first: each costs a read and a
comparison, and only a text made of pieces of many publications proposes more."""
MAX_ROWS = 20
"""Publications reported per found text."""
DEADLINE_SECONDS = 2.0
"""Time after which no further candidate is examined; what was found so far is reported as cut."""
ALWAYS_EXAMINED = 4
"""The best candidates examined whatever the time: reading a text of megabytes may take most of
the deadline, and its strongest evidence must still be reported."""
SURFACE_CLOSE_BITS = 32
STRUCTURE_CLOSE_BITS = 24
"""The module's distances for a close surface or structural fingerprint, used here only to pass
over candidates that cannot be close before asking the module for their tiers."""
LOOKUP_BATCH_WORDS = 100_000
LOOKUP_BATCH_TEXTS = 1000
"""At most the texts of this many words, or this many texts, have their keys looked up together
(`Identifier.identify_each`): a query per batch rather than two per text, in memory bounded by
the batch (a key is stored for at most excerpts.PER_KEY_LIMIT publications that count)."""
WINDOW_REACH_CHARACTERS = 4096
"""A found text at most this long may lie near one 512-character window of the surface
assertion, which only the module's check sees; a longer one is compared on whole texts only."""
_WHOLE_TEXT_SURFACE_ENVELOPE_HEX = len(quelvane.sign(quelvane.soft_binding_fingerprint("a"), "01" * 32))
"""Length of the envelope of a surface assertion with the whole-text value alone: a text of up to
512 characters gets no windows, and every such envelope is this long, whatever the key."""
DIFFERENCES_SHOWN = 3
DIFFERENCE_CHARACTERS = 60
_IGNORED = re.compile("[\\s\u200b\u200c\u200d\u2060\ufe00-\ufe0f\ufeff]+")
"""White space and the zero-width characters a watermark is written in: not a change of the words.
Bidirectional controls (U+200E, U+200F, U+061C, U+202A-U+202E, U+2066-U+2069) are not in it: they
change what a reader sees."""
_INVISIBLE = re.compile("[\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\\x00-\\x1f\\x7f]")


@dataclass(frozen=True)
class AssertionCheck:
    """One stored envelope: whether its signature verified, and the tier its assertion gives."""

    alg: str
    signature_ok: bool
    signature_error: str | None
    tier: Tier | None
    """What this assertion alone says of the found text."""
    assertion_hex: str | None
    """The signed soft-binding assertion (CBOR, hex) once its signature verified; else None."""


@dataclass(frozen=True)
class Span:
    """Characters `start` to `end` (end exclusive, in code points) of a text."""

    start: int
    end: int


@dataclass(frozen=True)
class SharedPassage:
    """A passage the found text shares with a publication."""

    found: Span
    """Where it stands in the found visible text (`found_text`)."""
    publication: Span
    """Where it stands in the publication's visible text."""
    publication_text: str
    """The passage as published."""
    shared_shingles: int
    """Distinct five-word sequences the two passages share."""


@dataclass(frozen=True)
class Evidence:
    """How a publication was found and what each check said."""

    found_by: tuple[str, ...]
    """watermark, band keys, excerpt index: what proposed it."""
    watermark: bool
    """A watermark with a verified tag carried this publication's pointer."""
    shards_recovered: int | None
    band_keys: int
    """Whole-text MinHash band keys shared with the found text."""
    minhash_agreement: int
    """Whole-text MinHash values (of 128) equal in the found text and the publication; a whole-text
    match needs MINHASH_AGREEMENT."""
    crosscheck_ok: bool
    """The found text's cross-check tag equals the publication's: the same words."""
    identical: bool
    """The found visible text equals the publication's, white space and zero-width characters aside."""
    differences: tuple[str, ...]
    """When not identical: the first few differing stretches, briefly."""
    passages: tuple[SharedPassage, ...]
    assertions: tuple[AssertionCheck, ...]
    """Each stored envelope checked, in the order the publication stores them."""


@dataclass(frozen=True)
class PublicationFacts:
    """What a reader of a result needs of the publication, read once when it was examined."""

    title: str | None
    """Its metadata's title, else the file it was published from."""
    format: str
    created: str
    metadata: dict[str, object]
    content_hash: str
    public_key: str
    """Ed25519 public key (hex) that verifies its envelopes."""
    characters: int
    """Length of its visible text."""
    withdrawal: Withdrawal | None


@dataclass(frozen=True)
class ManifestCheck:
    """The publication's C2PA manifest, and what binds the found text to it."""

    id: str
    """The manifest's label, urn:c2pa:<uuid>; the service hands its store out at manifests/{id}."""
    stored: bool
    """The registry keeps the manifest store; false for a publication made before manifests until
    `quelvane manifests --backfill` gives it one."""
    exact_copy: bool
    """The found document is the published one character for character, so its UTF-8 bytes are those
    the hard binding (c2pa.hash.data, a SHA-256) covers; an edited copy, an excerpt or the text
    without its watermark is not."""
    state: str | None
    """Trusted, Valid or Invalid, as the C2PA SDK validated the store for the found document; None
    when it was not validated (`note` says why)."""
    failures: tuple[str, ...]
    """The SDK's failure codes, e.g. assertion.dataHash.mismatch or signingCredential.untrusted."""
    binding: Literal["hard", "soft", "none"]
    """hard: the manifest validated for the found document byte for byte; soft: only the soft
    bindings below bind it (an edited copy or excerpt, or a manifest not validated); none: no
    signed binding holds."""
    soft_bindings: tuple[str, ...]
    """The soft-binding algorithms whose signed assertion verifies and matches the found text."""
    note: str
    """Why the manifest was not validated, or why its hard binding does not hold; empty when it does."""


@dataclass(frozen=True)
class Match:
    """One publication the found text comes from, or resembles: the verdict first."""

    verdict: Verdict
    """match; withdrawn (the evidence would be a match or weak, but the publisher withdrew it);
    unverified (no stored signature verifies: a forged entry); weak (only the surface or structural
    fingerprint is close, which unrelated texts of one genre often are; reported unasked only when
    its kind of evidence is rare, see `shown`)."""
    tier: Tier | None
    """How strongly the copy is bound to the publication, for a match (or a withdrawn publication
    whose evidence is a match); None otherwise."""
    tier_meaning: str | None
    pointer: str
    explanation: str
    publication: PublicationFacts
    evidence: Evidence
    manifest: ManifestCheck | None = None
    """The publication's C2PA manifest and what binds the copy to it; the registry adds it."""


class Matches(list[Match]):
    """The rows of one identify, strongest first (matches, then withdrawn, unverified and weak
    rows), with the visible text they were found in; `complete` is false when a bound cut the
    work, and `note` then says which; `weak_hidden` counts the weak rows left out because they
    were not asked for."""

    def __init__(self, matches: Iterable[Match] = (), *, found_text: str = "", format: str = "text",
                 complete: bool = True, note: str = "", weak_hidden: int = 0) -> None:
        super().__init__(matches)
        self.found_text = found_text
        self.format = format
        self.complete = complete
        self.note = note
        self.weak_hidden = weak_hidden

    @property
    def verdict(self) -> Verdict | Literal["none"]:
        """The strongest row's verdict; "none" when there is no row."""
        return self[0].verdict if self else "none"

    @property
    def matched(self) -> list[Match]:
        return [m for m in self if m.verdict == "match"]

    def as_json(self) -> dict[str, object]:
        """The one serialised form of a result, the same in the command line's --json and the HTTP API."""
        return {"verdict": self.verdict, "matched": len(self.matched), "format": self.format,
                "complete": self.complete, "note": self.note, "weak_hidden": self.weak_hidden,
                "found_text": self.found_text, "matches": [dataclasses.asdict(m) for m in self]}


WEAK_ALGS = {SURFACE_ALG: "id 41", STRUCTURE_ALG: "id 43"}
"""The fingerprints that alone make a row weak, by the names the kinds of weak evidence use."""
SHOWN_WEAK_KINDS = frozenset({"id 41", "id 41 and id 43", "id 41 with band keys", "id 41 and id 43 with band keys"})
"""Kinds of weak evidence (`weak_kind`) shown without being asked for: those seen in at most 1 of
100,000 unrelated candidate-publication pairs of real prose (bench/bench_weak.py). A close surface
fingerprint was seen in none of 747,800 such pairs (Python documentation and manual pages); a
close structural fingerprint alone links 1.5% of unrelated manual pages, and 0.03% with band keys."""


def weak_kind(evidence: Evidence) -> str:
    """What a weak row rests on: the close fingerprints ("id 41", "id 43" or both), and "with band
    keys" when it also shares whole-text MinHash band keys with too little agreement for a match."""
    close = [name for alg, name in WEAK_ALGS.items()
             if any(c.alg == alg and c.signature_ok and c.tier not in (None, "REVIEW") for c in evidence.assertions)]
    return " and ".join(close) + (" with band keys" if evidence.band_keys else "")


def shown(match: Match, weak: bool) -> bool:
    """Whether a row is reported: every row when weak rows were asked for; else every row but a
    weak one whose kind of evidence is common among unrelated texts."""
    return weak or match.verdict != "weak" or weak_kind(match.evidence) in SHOWN_WEAK_KINDS


TIER_MEANINGS: dict[Tier, str] = {
    "BOUND": "A signed fingerprint matches and the cross-check tag confirms the publication's words; punctuation "
             "and symbols are not compared, so see whether the copy is identical.",
    "LIKELY": "A signed fingerprint, the watermark or the text's structure matches, but the words differ from "
              "the publication (edited, cut or set among other text).",
    "REVIEW": "No signed fingerprint matches the text as a whole; compare the passages shown before relying on it.",
}


@dataclass(frozen=True)
class _Watermark:
    pointer: str | None
    shards: int | None
    note: str


def read_watermark(visible: str, binding_hex: str) -> _Watermark:
    """The pointer of a verified watermark, or None and why not."""
    try:
        pointer, tag_verified, shards = quelvane.extract_watermark(visible, binding_hex)
    except ValueError as error:
        return _Watermark(None, None, str(error))
    if not tag_verified:
        return _Watermark(None, shards, "a watermark was read but its tag did not verify (copy edited or not ours)")
    return _Watermark(pointer, shards, "")


class BindingKeys(Protocol):
    """What identifying needs of a publisher's keys: never the signing key."""

    @property
    def binding_hex(self) -> str: ...

    @property
    def repository_id(self) -> str: ...


class _Fingerprints:
    """What comparing needs of a text, each computed once and only when first needed: of a found
    text per request, of a publication when it is first read. The module's checks fingerprint the
    found text themselves, so these serve only to pass over candidates without asking it."""

    def __init__(self, text: str, hashes: Sequence[int] | None = None) -> None:
        self._text = text
        self.words = excerpts.split_words(text, hashes)

    @functools.cached_property
    def signature(self) -> Sequence[int]:
        return quelvane.minhash_signature(self._text)

    @functools.cached_property
    def surface(self) -> str:
        return quelvane.text_fingerprint(self._text)

    @functools.cached_property
    def structure(self) -> str:
        return quelvane.text_structure(self._text)


@dataclass
class _Found:
    """A found text and what every candidate is compared with."""

    visible: str
    watermark: _Watermark
    fingerprints: _Fingerprints
    tag: str
    compared: str
    """The visible text without what `_IGNORED` matches."""
    holders: collections.Counter[int]
    """Its excerpt keys, with how many publications hold each."""

    @functools.cached_property
    def compared_words(self) -> list[str]:
        """Its words and signs as `differences` compares them, split once for every row."""
        return compared_words(self.visible)


@dataclass(frozen=True)
class _TextKeys:
    """What a found text is looked up by, computed before any look-up."""

    watermark: _Watermark
    hashes: list[int]
    """Its words' hashes, kept for fingerprinting it should a publication be proposed."""
    bands: list[int]
    positions: dict[int, list[int]]
    """Its excerpt keys, each with the word positions it stands at."""


@dataclass(frozen=True)
class _Proposed:
    watermark: _Watermark
    hashes: list[int]
    bands: dict[str, int]
    """Pointers sharing MinHash band keys with the found text, with how many."""
    positions: dict[int, list[int]]
    entries: list[tuple[int, str, int]]
    keys_shared: collections.Counter[str]
    """Pointers sharing excerpt keys with the found text, with how many entries."""
    holders: collections.Counter[int]
    """Excerpt keys of the found text, with how many publications hold each (those held by more
    than excerpts.PER_KEY_LIMIT are not looked up)."""


class Identifier:
    """Looks found texts up in one storage with one set of keys."""

    def __init__(self, storage: Storage, keys: BindingKeys) -> None:
        self._storage = storage
        self._keys = keys
        # An envelope verifies or not once and for all under a given key; remembering the
        # outcome by the exact envelope and key spares repeated Ed25519 checks.
        self._verified: dict[tuple[str, str], str | ValueError] = {}
        # Stored publications never change: one read serves every later candidate.
        self._publications: dict[str, tuple[Publication, _Fingerprints]] = {}
        self._cached_characters = 0
        # Our binding key only marks our own publications: a record imported under another
        # publisher's key never takes credit for our watermark.
        identity = storage.identity()
        self._own_key = None if identity is None else identity.public_key

    def identify(self, visible: str, format: str = "text", weak: bool = False) -> Matches:
        """Every publication `visible` (the visible text of a found text in `format`) comes from or
        resembles, strongest first, within the bounds of one request; weak rows of a common kind of
        evidence only when `weak` asks for them, else only counted."""
        deadline = time.monotonic() + DEADLINE_SECONDS
        return self._decide(visible, self._looked_up([self._text_keys(visible)])[0], deadline, format, weak)

    def identify_each(self, texts: Iterable[str], weak: bool = False) -> Iterator[Matches | ValueError]:
        """`identify` of each text in turn, or the ValueError the module raised for it. The keys of
        up to LOOKUP_BATCH_WORDS words of texts are looked up together: a query per batch, not two
        per text."""
        batch: list[tuple[str, _TextKeys | ValueError]] = []
        words = 0
        for text in texts:
            keys: _TextKeys | ValueError
            try:
                keys = self._text_keys(text)
                words += len(keys.hashes)
            except ValueError as error:
                keys = error
            batch.append((text, keys))
            if words >= LOOKUP_BATCH_WORDS or len(batch) >= LOOKUP_BATCH_TEXTS:
                yield from self._decide_batch(batch, weak)
                batch, words = [], 0
        yield from self._decide_batch(batch, weak)

    def _decide_batch(self, batch: list[tuple[str, _TextKeys | ValueError]], weak: bool
                      ) -> Iterator[Matches | ValueError]:
        proposals = iter(self._looked_up([keys for _, keys in batch if not isinstance(keys, ValueError)]))
        for text, keys in batch:
            if isinstance(keys, ValueError):
                yield keys
                continue
            proposed = next(proposals)
            try:
                yield self._decide(text, proposed, time.monotonic() + DEADLINE_SECONDS, "text", weak)
            except ValueError as error:
                yield error

    def _decide(self, visible: str, proposed: _Proposed, deadline: float, format: str, weak: bool) -> Matches:
        """The rows of a found text, from what its keys proposed."""
        bands, keys_shared, pointer = proposed.bands, proposed.keys_shared, proposed.watermark.pointer
        pointers = set(bands) | {p for p, count in keys_shared.items() if count >= 2}
        if pointer is not None:
            pointers.add(pointer)
        if not pointers:
            return Matches(found_text=visible, format=format)
        # The best proposed first, so that the bounds below drop the least likely.
        ranked = sorted(pointers, key=lambda p: (p != pointer, -bands.get(p, 0), -keys_shared[p], p))
        notes = []
        if len(ranked) > MAX_CANDIDATES:
            notes.append(f"{len(ranked)} publications were proposed; the {MAX_CANDIDATES} best were examined")
            ranked = ranked[:MAX_CANDIDATES]
        hits = _hits(proposed.positions, proposed.entries, set(ranked))
        found = self._found(visible, proposed)
        matches: list[Match] = []
        hidden = 0
        for examined, candidate in enumerate(ranked):
            if len(matches) == MAX_ROWS:
                notes.append(f"only the first {MAX_ROWS} publications found are reported")
                break
            if examined >= ALWAYS_EXAMINED and time.monotonic() > deadline:
                notes.append(f"stopped after {DEADLINE_SECONDS:g} s, {examined} of {len(ranked)} candidates examined")
                break
            match = self._examine(found, candidate, bands.get(candidate, 0), hits.get(candidate, []), weak)
            if match is not None and shown(match, weak):
                matches.append(match)
            elif match is not None:
                hidden += 1
        return Matches(sorted(matches, key=_strength), found_text=visible, format=format, complete=not notes,
                       note="; ".join(notes) + (": the result may be incomplete" if notes else ""),
                       weak_hidden=hidden)

    def verify(self, visible: str, pointer: str) -> Match | None:
        """What identify's judgement says of `visible` and the one publication under `pointer`: its row,
        or None when nothing links the two; NotFoundError when there is no such publication."""
        if self._publication(pointer) is None:
            raise NotFoundError(f"no publication with pointer {pointer}")
        proposed = self._looked_up([self._text_keys(visible)])[0]
        hits = _hits(proposed.positions, proposed.entries, {pointer})
        return self._examine(self._found(visible, proposed), pointer, proposed.bands.get(pointer, 0),
                             hits.get(pointer, []))

    def _text_keys(self, visible: str) -> _TextKeys:
        """The found text's watermark and index keys."""
        hashes = excerpts.word_hashes(visible)
        return _TextKeys(read_watermark(visible, self._keys.binding_hex), hashes, indexing.band_keys(visible),
                         self._positions(hashes))

    def _looked_up(self, texts: list[_TextKeys]) -> list[_Proposed]:
        """What each text's watermark and index keys propose, the keys of all looked up at once."""
        wanted_bands = {key for keys in texts for key in keys.bands}
        wanted_excerpts = {key for keys in texts for key in keys.positions}
        by_band: dict[int, list[str]] = {}
        for key, pointer in self._storage.band_pointers(wanted_bands) if wanted_bands else ():
            by_band.setdefault(key, []).append(pointer)
        by_key: dict[int, list[tuple[int, str, int]]] = {}
        for entry in self._storage.excerpt_matches(wanted_excerpts, excerpts.PER_KEY_LIMIT) if wanted_excerpts else ():
            by_key.setdefault(entry[0], []).append(entry)
        proposed = []
        for keys in texts:
            bands = collections.Counter(pointer for key in set(keys.bands) for pointer in by_band.get(key, ()))
            entries = [entry for key in keys.positions for entry in by_key.get(key, ())]
            keys_shared = collections.Counter(map(operator.itemgetter(1), entries))
            holders = collections.Counter({key: len({entry[1] for entry in by_key[key]})
                                           for key in keys.positions if key in by_key})
            proposed.append(_Proposed(keys.watermark, keys.hashes, dict(bands), keys.positions, entries, keys_shared,
                                      holders))
        return proposed

    def _found(self, visible: str, proposed: _Proposed) -> _Found:
        """The found text fingerprinted once, only when some publication is proposed: most texts of a
        corpus propose none."""
        content_hash = quelvane.content_hash(visible)
        return _Found(visible, proposed.watermark, _Fingerprints(visible, proposed.hashes),
                      quelvane.cross_check(self._keys.binding_hex, self._keys.repository_id, content_hash),
                      _IGNORED.sub("", visible), proposed.holders)

    @staticmethod
    def _positions(hashes: list[int]) -> dict[int, list[int]]:
        """The found text's excerpt keys, each with the word positions it stands at."""
        positions: dict[int, list[int]] = {}
        for key, position in indexing.excerpt_keys(hashes):
            positions.setdefault(key, []).append(position)
        return positions

    def _marked(self, found: _Found, publication: Publication) -> bool:
        return found.watermark.pointer == publication.pointer and self._own_key in (None, publication.public_key)

    def _examine(self, found: _Found, pointer: str, band_keys: int, hits: list[tuple[int, int]],
                 weak: bool = True) -> Match | None:
        """The row of one candidate, or None when nothing links it to the found text. A weak row of a
        kind not shown unless `weak` asks for it comes back with only the checks its kind needs."""
        stored = self._publication(pointer)
        if stored is None:
            return None
        publication, fingerprints = stored
        marked = self._marked(found, publication)
        agreement = agreement_of(found.fingerprints.signature, fingerprints.signature)
        passages = (tuple(excerpts.confirm(found.fingerprints.words, fingerprints.words, hits, found.holders))
                    if hits else ())
        if not (marked or passages or agreement >= MINHASH_AGREEMENT
                or self._may_be_close(found, publication, fingerprints)):
            return None
        return self._judge(found, publication, fingerprints, band_keys, agreement, passages, weak)

    def _judge(self, found: _Found, publication: Publication, fingerprints: _Fingerprints, band_keys: int,
               agreement: int, passages: tuple[Passage, ...], weak: bool) -> Match | None:
        visible = found.visible
        marked = self._marked(found, publication)
        crosscheck_ok = hmac.compare_digest(found.tag, publication.crosscheck_tag)
        longest = max(passages, key=lambda p: p.found_end - p.found_start, default=None)
        excerpt = None if longest is None else visible[longest.found_start:longest.found_end]
        found_by = tuple(name for name, present in
                         (("watermark", marked), ("band keys", band_keys > 0), ("excerpt index", bool(passages)))
                         if present)

        def check(envelope: Envelope, far: bool = False) -> AssertionCheck:
            return self._check(publication.public_key, envelope.alg, envelope.cose_hex, visible, excerpt, marked,
                               crosscheck_ok, far)

        def evidence(checks: tuple[AssertionCheck, ...], differ: bool) -> Evidence:
            identical = found.compared == _IGNORED.sub("", publication.text)
            shared = tuple(SharedPassage(Span(p.found_start, p.found_end), Span(p.published_start, p.published_end),
                                         publication.text[p.published_start:p.published_end], p.shared_shingles)
                           for p in passages)
            return Evidence(found_by, marked, found.watermark.shards if marked else None, band_keys, agreement,
                            crosscheck_ok, identical,
                            () if identical or not differ else
                            differences(found.compared_words, compared_words(publication.text)),
                            shared, checks)

        early: dict[Envelope, AssertionCheck] = {}
        if not (marked or passages or agreement >= MINHASH_AGREEMENT):
            # Proposed by a shared key or two and confirmed by nothing, as most candidates are: only
            # a close surface or structural fingerprint makes it a (weak) row, so those go first.
            early = {e: check(e, self._far(found, publication, fingerprints, e.alg))
                     for e in publication.envelopes if e.alg in (SURFACE_ALG, STRUCTURE_ALG)}
            if not any(c.signature_ok and c.tier != "REVIEW" for c in early.values()):
                return None
            if not weak:
                partial = evidence(tuple(early.values()), differ=False)
                if weak_kind(partial) not in SHOWN_WEAK_KINDS:
                    standing = self._storage.standing(publication.pointer)
                    if standing[1] is None:
                        # A weak row of a kind not shown is only counted: the rest of its checks
                        # and its differences would be read by no one. A withdrawn one is shown.
                        return self._row(publication, partial, standing)
        checks = tuple(early[e] if e in early else check(e) for e in publication.envelopes)
        return self._row(publication, evidence(checks, differ=True))

    def _row(self, publication: Publication, evidence: Evidence,
             standing: tuple[bool, Withdrawal | None] | None = None) -> Match | None:
        """The row the evidence makes; `standing` is the publication's when already read."""
        verdict, explanation = _verdict(evidence)
        if verdict is None:
            return None
        # Read afresh: a publication is withdrawn or deleted after an identifier first read it.
        stored, withdrawal = standing or self._storage.standing(publication.pointer)
        if not stored:
            return None
        tiers = [c.tier for c in evidence.assertions if c.tier is not None]
        tier: Tier | None = min(tiers, key=TIERS.index) if tiers and verdict == "match" else None
        if withdrawal is not None and verdict in ("match", "weak"):
            verdict, explanation = "withdrawn", f"withdrawn on {withdrawal.at}: {withdrawal.reason}; {explanation}"
        facts = PublicationFacts(_title(publication.metadata), publication.format, publication.created,
                                 publication.metadata, publication.content_hash, publication.public_key,
                                 len(publication.text), withdrawal)
        return Match(verdict, tier, None if tier is None else TIER_MEANINGS[tier], publication.pointer, explanation,
                     facts, evidence)

    def _publication(self, pointer: str) -> tuple[Publication, _Fingerprints] | None:
        stored = self._publications.get(pointer)
        if stored is None:
            publication = self._storage.get(pointer)
            if publication is None:
                return None
            # The stored text is the one the signed assertions were computed from.
            stored = (publication, _Fingerprints(publication.text))
            size = len(publication.text)
            if size <= PUBLICATION_CACHE_CHARACTERS:
                while self._cached_characters + size > PUBLICATION_CACHE_CHARACTERS:
                    oldest, _ = self._publications.pop(next(iter(self._publications)))
                    self._cached_characters -= len(oldest.text)
                self._publications[pointer] = stored
                self._cached_characters += size
        return stored

    def _may_be_close(self, found: _Found, publication: Publication, published: _Fingerprints) -> bool:
        """Whether the surface or structural check could find the two close, judged on fingerprints
        already at hand; only then are the module's checks of the whole found text worth their cost."""
        return not (self._far(found, publication, published, SURFACE_ALG)
                    and self._far(found, publication, published, STRUCTURE_ALG))

    def _far(self, found: _Found, publication: Publication, published: _Fingerprints, alg: str) -> bool:
        """Whether the fingerprints at hand show that the module's check of this kind, with no
        watermark, cannot find the found text close. The surface check also compares the found text
        with each 512-character window of a longer publication, which a found text of up to
        WINDOW_REACH_CHARACTERS may lie near: that is left to the module, unless the signed surface
        assertion has no windows."""
        if alg == STRUCTURE_ALG:
            return quelvane.hamming_hex(found.fingerprints.structure, published.structure) > STRUCTURE_CLOSE_BITS
        if len(found.visible) <= WINDOW_REACH_CHARACTERS and self._surface_windows(publication):
            return False
        return quelvane.hamming_hex(found.fingerprints.surface, published.surface) > SURFACE_CLOSE_BITS

    @staticmethod
    def _surface_windows(publication: Publication) -> bool:
        """Whether the publication's surface assertion may hold windows: its envelope is longer than
        one signing the whole-text value alone. An envelope's length follows from its assertion's,
        so this needs no signature check; one that fails its check counts for nothing either way."""
        return any(envelope.alg == SURFACE_ALG and len(envelope.cose_hex) > _WHOLE_TEXT_SURFACE_ENVELOPE_HEX
                   for envelope in publication.envelopes)

    def _assertion(self, cose_hex: str, public_hex: str) -> str | ValueError:
        outcome = self._verified.get((cose_hex, public_hex))
        if outcome is None:
            try:
                outcome = quelvane.verify(cose_hex, public_hex)
            except ValueError as error:
                outcome = error
            if len(self._verified) >= VERIFIED_CACHE_SIZE:
                self._verified.pop(next(iter(self._verified)))
            self._verified[(cose_hex, public_hex)] = outcome
        return outcome

    def _check(self, public_hex: str, alg: str, cose_hex: str, visible: str, excerpt: str | None, marked: bool,
               crosscheck_ok: bool, far: bool = False) -> AssertionCheck:
        """The check of one envelope; `far` when the fingerprints at hand already show what the
        module's check would say of an unmarked text (`_far`), which then is not asked."""
        assertion = self._assertion(cose_hex, public_hex)
        if isinstance(assertion, ValueError):
            return AssertionCheck(alg, False, str(assertion), None, None)
        if far:
            return AssertionCheck(alg, True, None, "REVIEW", assertion)
        tier: Tier = quelvane.verify_tier(visible, assertion, marked, crosscheck_ok)
        if excerpt is not None and alg == SURFACE_ALG:
            # A passage is compared on its own: the id 41 windows may hold it even when the whole
            # found text, padded with other words, is far from every window.
            tier = min(tier, quelvane.verify_tier(excerpt, assertion, marked, False), key=TIERS.index)
        return AssertionCheck(alg, True, None, tier, assertion)


def _hits(positions: dict[int, list[int]], entries: list[tuple[int, str, int]], pointers: set[str]
          ) -> dict[str, list[tuple[int, int]]]:
    """(found word position, published word position) of every shared excerpt key, for the
    candidates only: a text made of pieces of many publications shares keys with all of them."""
    hits: dict[str, list[tuple[int, int]]] = {}
    for key, pointer, published_at in entries:
        if pointer in pointers:
            hits.setdefault(pointer, []).extend((found_at, published_at) for found_at in positions[key])
    return hits


def agreement_of(found: Sequence[int], published: Sequence[int]) -> int:
    """How many of the 128 MinHash values two texts share: 128 times their estimated word-sequence
    (Jaccard) similarity."""
    # Compared in C: every candidate of every found text is counted, most of them unrelated.
    return sum(map(operator.eq, found, published))


def differences(found_words: Sequence[str], published_words: Sequence[str]) -> tuple[str, ...]:
    """The first few stretches where two texts (their `compared_words`) differ, each as the found
    words against the published ones."""
    first = 0
    for a, b in zip(found_words, published_words):
        if a != b:
            break
        first += 1
    last = 0
    while (last < min(len(found_words), len(published_words)) - first
           and found_words[-1 - last] == published_words[-1 - last]):
        last += 1
    found_rest = found_words[first:len(found_words) - last]
    published_rest = published_words[first:len(published_words) - last]
    if len(found_rest) + len(published_rest) > 2000:
        # Texts that differ throughout: their first difference says enough, and aligning them costs.
        spans = [(found_rest[:1], published_rest[:1])]
    else:
        matcher = difflib.SequenceMatcher(None, found_rest, published_rest, autojunk=False)
        spans = [(found_rest[i1:i2], published_rest[j1:j2])
                 for tag, i1, i2, j1, j2 in matcher.get_opcodes() if tag != "equal"]
    shown = [_describe(a, b) for a, b in spans[:DIFFERENCES_SHOWN]]
    if len(spans) > DIFFERENCES_SHOWN:
        shown.append(f"and {len(spans) - DIFFERENCES_SHOWN} more")
    return tuple(shown) or ("only white space differs, in a way not ignored",)


def compared_words(text: str) -> list[str]:
    """The runs of a text between white space and zero-width characters: words with their signs."""
    return [word for word in _IGNORED.split(text) if word]


def _describe(found: Sequence[str], published: Sequence[str]) -> str:
    if not published:
        return f"added: {_quoted(found)}"
    if not found:
        return f"left out: {_quoted(published)}"
    return f"{_quoted(found)} in place of {_quoted(published)}"


def _quoted(words: Sequence[str]) -> str:
    """Words as a short quotation, with characters that reorder or hide text shown by their code."""
    text = " ".join(words)
    if len(text) > DIFFERENCE_CHARACTERS:
        text = text[:DIFFERENCE_CHARACTERS] + "…"
    return '"' + _INVISIBLE.sub(lambda m: f"<U+{ord(m.group()):04X}>", text) + '"'


def _verdict(evidence: Evidence) -> tuple[Verdict | None, str]:
    signed = {c.alg: c for c in evidence.assertions if c.signature_ok}
    if not signed:
        if evidence.found_by:
            return "unverified", "found, but no stored assertion verifies under its public key: the entry is forged"
        return None, ""
    minhash = signed.get(MINHASH_ALG)
    # A shared band proposes; the signed assertion must match and most of the values agree.
    whole_text = (evidence.band_keys > 0 and minhash is not None and minhash.tier != "REVIEW"
                  and evidence.minhash_agreement >= MINHASH_AGREEMENT)
    reasons = []
    if evidence.watermark:
        reasons.append("a watermark with a verified tag carries its pointer")
    if whole_text:
        reasons.append(f"the whole-text MinHash matches ({evidence.minhash_agreement} of 128 values agree)")
    if evidence.passages:
        words = sum(p.shared_shingles for p in evidence.passages)
        reasons.append(f"{len(evidence.passages)} passage(s) confirmed by the excerpt index ({words} shared shingles)")
    if reasons:
        if not evidence.crosscheck_ok:
            reasons.append("the cross-check tag differs, so the text was changed or cut")
        return "match", "; ".join(reasons)
    weak = [c.alg for c in signed.values() if c.alg in (SURFACE_ALG, STRUCTURE_ALG) and c.tier != "REVIEW"]
    if weak:
        shared = (f"; {evidence.band_keys} MinHash band key(s) are shared but only {evidence.minhash_agreement} of "
                  f"128 values agree, which a few copied phrases give" if evidence.band_keys else "")
        return "weak", ("only the surface or structural fingerprint is close, which unrelated texts of one genre "
                        "often are: weak evidence, not a match" + shared)
    return None, ""


def _strength(match: Match) -> tuple[int, int, int, int, int]:
    e = match.evidence
    return (VERDICTS.index(match.verdict), len(TIERS) if match.tier is None else TIERS.index(match.tier),
            0 if e.watermark else 1, -e.band_keys, -sum(p.shared_shingles for p in e.passages))


def _title(metadata: dict[str, object]) -> str | None:
    title = metadata.get("title") or metadata.get("file")
    return None if title is None else str(title)

