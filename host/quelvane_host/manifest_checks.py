"""What binds a found text to each publication's C2PA manifest, added to every identify row.

A manifest's hard binding is a SHA-256 over the UTF-8 bytes of the published document (the text
with its watermark, as readers get it). So it can hold only for an exact copy: a found document
equal to the published one character for character. Only such a copy is validated with the C2PA
SDK (about a millisecond each, and at most MAX_VALIDATED per result); for an edited copy, an
excerpt or the text without its watermark the hash cannot match, and what binds it to the
manifest are the soft bindings whose checks hold."""
from __future__ import annotations

import dataclasses
from typing import Callable, Literal

from . import manifests
from .errors import IdentityError, ManifestError
from .identify import ManifestCheck, Match, Matches
from .storage import Storage

MAX_VALIDATED = 4
"""Exact copies validated per result: a text can equal only the documents published from it."""
NO_STORE = "the registry keeps no manifest for this publication yet; give it one with: quelvane manifests --backfill"
NOT_EXACT = ("the copy is not the published document byte for byte (edited, cut, or without its watermark), so "
             "the hard binding cannot hold")


def attach(matches: Matches, document: str, storage: Storage, anchors: Callable[[], str]) -> Matches:
    """`matches` with each row's manifest check; `document` is the found text as given (not its
    visible text), `anchors` reads the trust anchors when a validation needs them."""
    checked: list[Match] = []
    validated = 0
    for match in matches:
        found = check(match, document, storage, anchors, validate="exact" if validated < MAX_VALIDATED else "never")
        validated += found.state is not None
        checked.append(dataclasses.replace(match, manifest=found))
    return Matches(checked, found_text=matches.found_text, format=matches.format, complete=matches.complete,
                   note=matches.note, weak_hidden=matches.weak_hidden)


def check(match: Match, document: str, storage: Storage, anchors: Callable[[], str],
          validate: Literal["exact", "always", "never"] = "exact") -> ManifestCheck:
    """The manifest check of one row. `validate`: exact validates the store for an exact copy
    only; always for any copy (the SDK then names the hash mismatch); never skips it."""
    manifest_id = manifests.manifest_id_for(match.pointer)
    holding = tuple(c.alg for c in match.evidence.assertions if c.signature_ok and c.tier not in (None, "REVIEW"))
    stored = storage.manifest(manifest_id)
    store = None if stored is None else stored[1]
    exact = False
    if match.evidence.identical:  # visible words equal: only then can the documents be
        publication = storage.get(match.pointer)
        exact = publication is not None and publication.published == document
    unchecked = ManifestCheck(manifest_id, store is not None, exact, None, (), "soft" if holding else "none",
                              holding, "")
    if not manifests.available():
        return dataclasses.replace(unchecked, note=manifests.unavailable_reason())
    if store is None:
        return dataclasses.replace(unchecked, note=NO_STORE)
    if not exact and validate != "always":
        return dataclasses.replace(unchecked, note=NOT_EXACT)
    if validate == "never":
        return dataclasses.replace(unchecked, note=f"not validated: only the first {MAX_VALIDATED} exact copies "
                                                   "of a result are")
    try:
        validation = manifests.validate(store, document, anchors())
    except (ManifestError, IdentityError) as error:  # a corrupt store, an unreadable trust anchor list
        return dataclasses.replace(unchecked, note=f"the manifest cannot be validated: {error}")
    hard = validation.state != "Invalid" and validation.hard_binding_holds
    note = "" if hard else NOT_EXACT if not validation.hard_binding_holds else "the manifest does not validate"
    return dataclasses.replace(unchecked, state=validation.state, failures=validation.failures,
                               binding="hard" if hard else unchecked.binding, note=note)
