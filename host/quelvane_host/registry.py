"""The registry: one object to publish texts, identify found copies, list, show, export and
import publications, over any storage backend."""
from __future__ import annotations

import dataclasses
import json
import os
from pathlib import Path
from datetime import datetime, timezone
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, Iterable, Mapping, TextIO, Union

import quelvane

from . import formats, manifest_checks, manifests
from .errors import IdentityError, InputError, KeyFileError, NoRegistryError, NotFoundError, RegistryError
from .formats import Format
from .identify import Identifier, Match, Matches
from .indexing import index_of
from .keys import C2PA_FILES, Keys, PathLike
from .inputs import DEFAULT_MAX_BYTES, check_format, check_input
from .publish import Publisher, PublishResult, assertions, manifest_store
from .records import RecordChecker, checked, record, trusted_key
from .resolve import DEFAULT_RESULTS, MAX_RESULTS, Resolution, Resolver
from .storage import (Identity, Publication, Storage, StorageLocation, ListEntry, Withdrawal, masked,
                      open_storage)

if TYPE_CHECKING:
    from .signing_identity import SigningIdentity

MAX_REASON_CHARACTERS = 1000
# Beside the key file: the C2PA signing identity's chain, key and test root.
_CHAIN_FILE, _KEY_FILE, _TEST_ROOT_FILE, _ = C2PA_FILES


@dataclasses.dataclass(frozen=True)
class ImportResult:
    added: int
    skipped: int
    """Publications already present under the same pointer, or deleted here."""


class Registry:
    """Publications of one publisher, with the keys that sign and watermark them."""

    def __init__(self, storage: Storage, keys: Keys, *, max_bytes: int = DEFAULT_MAX_BYTES,
                 signing: SigningIdentity | Path | None = None) -> None:
        self.storage = storage
        self.keys = keys
        self.max_bytes = max_bytes
        self._signing = signing  # an identity, or the key file beside which one may be
        # The trust anchors of `quelvane trust add` are kept beside the key file, when there is one.
        self._key_folder = signing.parent if isinstance(signing, Path) else None
        self._publisher = Publisher(storage, keys, max_bytes=max_bytes, signing=lambda: self.signing)
        self._identifier = Identifier(storage, keys)
        self._resolver = Resolver(storage)

    @property
    def signing(self) -> SigningIdentity | None:
        """The C2PA signing identity; None when there is none (or no C2PA SDK): no manifests.
        One beside a key file is read when first needed, so that an unusable one (an expired
        certificate) stops publishing, not listing or identifying."""
        if isinstance(self._signing, Path):
            self._signing = signing_identity(self._signing)
        return self._signing

    @classmethod
    def open(cls, location: StorageLocation, keys: Union[Keys, PathLike], *,
             max_bytes: int = DEFAULT_MAX_BYTES) -> Registry:
        """Opens an existing registry with keys or a key file's path; refuses keys it was not made with."""
        storage = open_storage(location)
        try:
            if isinstance(keys, Keys):
                loaded, source, signing = keys, "the keys given", None
            else:
                loaded, source, signing = _load_keys(Path(keys), storage), f"key file {keys}", Path(keys)
            _check_identity(storage, loaded, source)
        except BaseException:
            storage.close()
            raise
        return cls(storage, loaded, max_bytes=max_bytes, signing=signing)

    @classmethod
    def create(cls, location: StorageLocation, keys: Keys, *, max_bytes: int = DEFAULT_MAX_BYTES,
               signing: SigningIdentity | None = None) -> Registry:
        """Creates an empty registry that belongs to these keys."""
        return cls(open_storage(location, create=_identity(keys)), keys, max_bytes=max_bytes, signing=signing)

    @classmethod
    def init(cls, location: StorageLocation, keys_path: PathLike, *, repository_id: str | None = None,
             certificate: tuple[bytes, bytes] | None = None) -> tuple[Registry, bool]:
        """Creates an empty registry, and a new key file for it unless one exists; returns the
        registry and whether the key file was made. Both or neither: a key file is never left
        beside a registry it does not belong to, nor a registry without its key file.

        With the C2PA SDK installed, the registry also gets its C2PA signing identity beside the
        key file: `certificate` (chain PEM, key PEM) when given, else the one already there, else
        a new local test identity. Identity files made here go with the rest if a step fails."""
        key_file = Path(keys_path)
        make_keys = not os.path.lexists(key_file)
        keys = Keys.generate(repository_id) if make_keys else Keys.load(key_file)
        imported = None
        if certificate is not None:
            if not manifests.available():
                raise IdentityError(manifests.unavailable_reason())
            from .signing_identity import import_identity

            imported = import_identity(*certificate)  # checked before anything is made
            manifests.check_signs(imported)
        try:
            open_storage(location).close()
        except NoRegistryError:
            pass
        else:
            shown = masked(os.fspath(location))
            if make_keys:
                raise RegistryError(f"registry {shown} already exists, but its key file {key_file} does not: "
                                    "restore the key file from its backup (new keys cannot publish into this "
                                    "registry); nothing was created")
            raise RegistryError(f"registry {shown} already exists; use it as it is, or choose another --registry")
        if make_keys:
            keys.save(key_file)
        made: list[Path] = [key_file] if make_keys else []
        try:
            signing = _init_signing(key_file.parent, imported, made)
            return cls.create(location, keys, signing=signing), make_keys
        except BaseException:
            for path in made:
                path.unlink(missing_ok=True)
            raise

    def __enter__(self) -> Registry:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        self.storage.close()

    def publish(self, text: str, *, format: Format = "text", metadata: Mapping[str, Any] | None = None,
                before_store: Callable[[PublishResult], None] | None = None) -> PublishResult:
        """Signs, indexes, watermarks and stores a text; returns the document to publish. If
        `before_store` (given the result before it is stored) raises, nothing is stored."""
        return self._publisher.publish(text, format=format, metadata=metadata, before_store=before_store)

    def published_as(self, text: str, *, format: Format = "text") -> list[str]:
        """Pointers under which the same text a reader sees is already published, oldest first."""
        check_format(format)
        return self.storage.find_by_content_hash(quelvane.content_hash(formats.visible_text(text, format)))

    def identify(self, found_text: str, *, format: Format = "text", weak: bool = False) -> Matches:
        """Every publication the found text comes from, strongest first, within the bounds of one
        request (`Matches.complete` is false when they cut it); weak rows of a kind common among
        unrelated texts only when `weak` asks for them (`Matches.weak_hidden` counts them else)."""
        check_format(format)
        check_input(found_text, self.max_bytes)
        found = self._identifier.identify(formats.visible_text(found_text, format), format, weak)
        return manifest_checks.attach(found, found_text, self.storage, self.trust_anchors)

    def verify(self, found_text: str, pointer: str | None = None, *, format: Format = "text") -> Match | None:
        """Identify's judgement of the found text against the one publication under `pointer` (by
        default the strongest match identify finds): its row (verdict, tier, evidence, manifest),
        or None when nothing links them."""
        check_format(format)
        check_input(found_text, self.max_bytes)
        visible = formats.visible_text(found_text, format)
        if pointer is None:
            matched = self._identifier.identify(visible, format).matched
            match = matched[0] if matched else None
        else:
            self.show(pointer)  # a deleted or unknown pointer is named as such
            match = self._identifier.verify(visible, pointer.strip().lower())
        if match is None:
            return None
        # Asked of one publication: its manifest is validated whatever the copy, the SDK naming what fails.
        return dataclasses.replace(match, manifest=manifest_checks.check(match, found_text, self.storage,
                                                                         self.trust_anchors, validate="always"))

    def trust_anchors(self) -> str:
        """The PEM roots manifests are validated against (`quelvane trust add`, kept beside the key
        file); empty without a key file or the C2PA SDK."""
        if self._key_folder is None or not manifests.available():
            return ""
        from .signing_identity import trust_anchors

        return trust_anchors(self._key_folder)

    def withdraw(self, pointer: str, reason: str) -> Publication:
        """Marks a publication withdrawn: it stays known, and identify reports it as withdrawn, with
        the reason and time, never as a match."""
        reason = " ".join(reason.split())
        if not reason:
            raise InputError("give the reason for withdrawing it with --reason")
        if len(reason) > MAX_REASON_CHARACTERS:
            raise InputError(f"the reason is {len(reason)} characters; keep it within {MAX_REASON_CHARACTERS}")
        publication = self.show(pointer)
        if publication.withdrawal is not None:
            raise InputError(f"publication {publication.pointer} was already withdrawn on "
                             f"{publication.withdrawal.at}: {publication.withdrawal.reason}")
        if not self.storage.withdraw(publication.pointer, Withdrawal(reason, _now())):
            raise NotFoundError(f"publication {publication.pointer} was deleted or withdrawn meanwhile")
        return self.show(publication.pointer)

    def delete(self, pointer: str) -> str:
        """Removes a publication made by mistake, with its index entries; only its pointer is kept,
        marked deleted, so that it is never used again and an old export cannot bring it back.
        Returns the time of deletion."""
        publication = self.show(pointer)
        at = _now()
        if not self.storage.delete(publication.pointer, at):
            raise NotFoundError(f"publication {publication.pointer} was deleted meanwhile")
        return at

    def list(self, limit: int | None = None, offset: int = 0) -> list[ListEntry]:
        return self.storage.summaries(limit, offset)

    def show(self, pointer: str) -> Publication:
        publication = self.storage.get(pointer.strip().lower())
        if publication is None:
            deleted = self.storage.deleted_at(pointer.strip().lower())
            if deleted is not None:
                raise NotFoundError(f"publication {pointer.strip()} was deleted on {deleted}")
            raise NotFoundError(f"no publication with pointer {pointer.strip()}; list them with: quelvane list")
        return publication

    def manifest(self, pointer: str) -> bytes:
        """The C2PA manifest store of a publication."""
        store = self.show(pointer).manifest
        if store is None:
            raise NotFoundError(f"publication {pointer.strip()} has no C2PA manifest yet; give it one with: "
                                "quelvane manifests --backfill")
        return store

    def manifest_by_id(self, manifest_id: str) -> bytes:
        """The C2PA manifest store of this manifest id (`urn:c2pa:<uuid>`)."""
        return self._resolver.manifest(manifest_id)

    def resolve(self, alg: str, value: bytes, *, max_results: int = DEFAULT_RESULTS) -> Resolution:
        """The manifests a soft-binding value of algorithm `alg` names, strongest first, each with
        a score from 0 to 100 (the scale is in `resolve`)."""
        return self._resolver.by_binding(alg, value, max_results)

    def resolve_content(self, found_text: str, *, format: Format = "text", hint: tuple[str, bytes] | None = None,
                        max_results: int = DEFAULT_RESULTS) -> Resolution:
        """The manifests of the publications identify finds the text comes from, scored on the
        same scale; `hint` (alg, value) adds what that binding resolves to."""
        found = self.identify(found_text, format=format)
        hinted = None if hint is None else self.resolve(*hint, max_results=MAX_RESULTS)
        return self._resolver.by_content(found, hinted, max_results)

    def backfill_manifests(self) -> int:
        """Gives each publication of this registry's keys that has no manifest store one, signed
        with the signing identity, each in its own transaction; returns how many. Publications of
        another publisher (imported under --trust-key) are left without: we did not create them."""
        signing = self.signing
        if signing is None:
            raise IdentityError(manifests.unavailable_reason() or "no C2PA signing identity beside the key file; "
                                "make one with: quelvane init (it keeps the registry and key file there)")
        added = 0
        for publication in self.storage.publications():
            if publication.manifest is not None or publication.public_key != self.keys.public_hex:
                continue
            store = manifest_store(signing, publication, assertions(publication.text, publication.pointer))
            added += self.storage.add_manifest(publication.pointer, manifests.manifest_id_for(publication.pointer),
                                               store)
        return added

    def export_jsonl(self, stream: TextIO) -> int:
        """Writes every publication as one JSON line; returns how many."""
        count = 0
        for publication in self.storage.publications():
            stream.write(json.dumps(record(publication), ensure_ascii=False) + "\n")
            count += 1
        return count

    def import_jsonl(self, lines: Iterable[str], *, trusted_keys: Iterable[str] = ()) -> ImportResult:
        """Adds the publications of an export, re-indexed, each in its own transaction. Every record
        is checked first, against this registry's public key and the `trusted_keys` only; one bad
        record refuses the whole export with nothing written."""
        checker = RecordChecker(self.keys, [trusted_key(key) for key in trusted_keys], self.max_bytes)
        added = skipped = 0
        with checked(lines, checker) as publications:
            for publication in publications:
                # A publication deleted here stays deleted, whatever an older export holds.
                if (self.storage.get(publication.pointer) is not None
                        or self.storage.deleted_at(publication.pointer) is not None):
                    skipped += 1
                    continue
                index = index_of(publication.text)
                self.storage.put(publication, index)
                added += 1
        return ImportResult(added, skipped)


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


def signing_identity(key_file: Path) -> SigningIdentity | None:
    """The C2PA signing identity beside a key file; None when there is none or no C2PA SDK to sign with."""
    if not manifests.available() or not (key_file.parent / _KEY_FILE).exists():
        return None
    from .signing_identity import SigningIdentity

    return SigningIdentity.load(key_file.parent)


def _init_signing(folder: Path, imported: SigningIdentity | None, made: list[Path]) -> SigningIdentity | None:
    """The signing identity of a new registry, its files added to `made` as they are made."""
    if not manifests.available():
        return None
    from .signing_identity import SigningIdentity, make_test_identity

    exists = (folder / _KEY_FILE).exists()
    if imported is not None:
        if exists:
            raise IdentityError(f"a C2PA signing identity is already in {folder} ({_KEY_FILE}); move it away to "
                                "import another, or init without --cert to use it")
        imported.save(folder)
        made += [folder / _CHAIN_FILE, folder / _KEY_FILE]
        return imported
    if exists:
        return SigningIdentity.load(folder)
    made_identity = make_test_identity(folder)
    made += [folder / _TEST_ROOT_FILE, folder / _CHAIN_FILE, folder / _KEY_FILE]
    return made_identity


def _identity(keys: Keys) -> Identity:
    return Identity(keys.public_hex, keys.repository_id)


def _load_keys(path: Path, storage: Storage) -> Keys:
    # A registry without its key file is recovered by restoring the file: `init` would make keys
    # the registry does not know.
    if os.path.lexists(path):
        return Keys.load(path)
    recorded = storage.identity()
    made_with = f" (public key {_short(recorded.public_key)})" if recorded else ""
    raise KeyFileError(f"no key file at {path}: registry {storage.location} needs the key file it was made "
                       f"with{made_with}; restore it from its backup and name it with --keys")


def _check_identity(storage: Storage, keys: Keys, source: str) -> None:
    """Refuses keys the registry was not made with. A registry made before identities were
    recorded takes those of the first keys that open it, if every publication it holds carries
    their public key."""
    recorded = storage.identity()
    if recorded is None:
        other = storage.other_public_key(keys.public_hex)
        if other is not None:
            raise KeyFileError(
                f"registry {storage.location} holds publications signed by public key {_short(other)}, not "
                f"by {source} ({_short(keys.public_hex)}): open it with the key file it was made with, "
                "restored from its backup")
        recorded = storage.record_identity(_identity(keys))
    if recorded.public_key != keys.public_hex:
        raise KeyFileError(
            f"registry {storage.location} was made with the keys of public key {_short(recorded.public_key)}, "
            f"not with {source} ({_short(keys.public_hex)}): restore its key file from the backup and name it "
            "with --keys")
    if recorded.repository_id != keys.repository_id:
        raise KeyFileError(
            f"registry {storage.location} was made with repository id {recorded.repository_id!r}, not with "
            f"{keys.repository_id!r} of {source}: restore its key file from the backup and name it with --keys")


def _short(public_key: str) -> str:
    return public_key[:16] + "…"
