"""The files behind `publish` and `index`: which files of a folder may be published, reading them
without leaving the folder through a link, and writing each document to publish without following
a link, without replacing a file unasked, and without keeping a publication whose document could
not be written."""
from __future__ import annotations

import contextlib
import errno
import fnmatch
import os
import secrets
import stat
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Iterator, Mapping

from . import formats
from .errors import InputError, OutputError
from .formats import Format
from .keys import C2PA_FILES
from .publish import PublishResult
from .inputs import read_limited
from .registry import Registry

SUFFIX_FORMATS: dict[str, Format] = {".html": "html", ".htm": "html", ".md": "markdown", ".markdown": "markdown"}
# The suffixes kept last in an output's name, where tools look for them; any other suffix (the
# ".0" of "Apache-2.0") is part of the name, and ".published" goes after it.
TEXT_SUFFIXES = frozenset({".txt", ".text", *SUFFIX_FORMATS})
TITLE_CHARS = 120
# The SQLite registry's companions: what it writes beside its main file.
_REGISTRY_COMPANIONS = ("", "-wal", "-shm", "-journal")


@dataclass(frozen=True)
class Job:
    """One file to publish and where its document goes."""

    source: Path
    output: Path
    name: str
    """What the registry stores as the publication's "file"."""


@dataclass(frozen=True)
class Folder:
    """The files of a folder to publish, with the folder its documents go to."""

    root: Path
    """The folder, resolved: no file is read from outside it."""
    target: Path
    jobs: list[Job]


@dataclass(frozen=True)
class Outcome:
    """What became of one file."""

    pointer: str
    result: PublishResult | None
    """None when the text was already published under `pointer`: nothing new was stored."""
    wrote: bool
    """Whether the document to publish was written (for an earlier publication: only where it was missing)."""


def format_of(path: Path, format_name: str) -> Format:
    """The format asked for, or for "auto" the one its suffix names (text by default)."""
    if format_name != "auto":
        return format_name  # type: ignore[return-value]
    return SUFFIX_FORMATS.get(path.suffix.lower(), "text")


def output_path(source: Path, out_dir: Path) -> Path:
    """NAME.published.EXT in `out_dir` for a text suffix, else NAME.published."""
    if source.suffix.lower() in TEXT_SUFFIXES:
        return out_dir / f"{source.stem}.published{source.suffix}"
    return out_dir / f"{source.name}.published"


def manifest_path(output: Path) -> Path:
    """Where a document's C2PA manifest store goes: beside it, its text suffix replaced by .c2pa
    (the name C2PA tools look for beside an asset), NAME.published.c2pa."""
    name = output.name
    if output.suffix.lower() in TEXT_SUFFIXES:
        name = name[:-len(output.suffix)]
    return output.with_name(name + ".c2pa")


def title_of(visible: str, name: str) -> str:
    """A title for a text: its first line (a heading, mostly), cut to TITLE_CHARS, else `name`.
    Control and format characters are dropped: `list` prints titles to a terminal."""
    for line in visible.splitlines():
        words = " ".join("".join(c for c in line if c.isprintable() or c.isspace()).split())
        if words:
            return words if len(words) <= TITLE_CHARS else words[:TITLE_CHARS - 1].rstrip() + "\u2026"
    return name


def name_text(path: Path | str) -> str:
    """A file name as valid Unicode: bytes that are not UTF-8 become backslash escapes, so that
    the name can be stored, printed and written as JSON."""
    return os.fspath(path).encode("utf-8", "backslashreplace").decode("utf-8")


def private_files(keys_path: Path, registry_location: str) -> set[tuple[int, int]]:
    """(device, inode) of the key file in use and of the registry's files, which a folder being
    indexed may hold (both sit in the working folder by default) and which are never published."""
    # The C2PA signing identity lives beside the key file: its key and chain are as private.
    paths = [keys_path, *(keys_path.parent / name for name in C2PA_FILES)]
    if "://" not in registry_location or registry_location.startswith("sqlite://"):
        database = registry_location.removeprefix("sqlite://")
        paths += [Path(database + suffix) for suffix in _REGISTRY_COMPANIONS]
    found = set()
    for path in paths:
        with contextlib.suppress(OSError):
            status = path.stat()
            found.add((status.st_dev, status.st_ino))
    return found


def publish_jobs(files: Iterable[Path], output_dir: Path | None) -> list[Job]:
    """The files named on the command line, each written beside itself unless `output_dir` is given."""
    return [Job(f, output_path(f, f.parent if output_dir is None else output_dir), name_text(f.name))
            for f in files]


def folder(directory: Path, output_dir: Path | None, private: set[tuple[int, int]], *,
           include: Iterable[str] = (), exclude: Iterable[str] = ()) -> Folder:
    """Every file under `directory` to publish, in name order: with `include` patterns only those
    matching one, never those matching an `exclude` pattern (a pattern matches a path relative to
    the folder or a name, as in `*.md`, `drafts/*`, `drafts`). Skipped: hidden files and folders
    (`.git`), the `private` files, the output folder when it lies inside, and anything neither a
    file nor a link; links to folders are not followed (a loop, or a way out of the folder)."""
    root = directory.resolve()
    if output_dir is not None:
        target = output_dir
    elif root.parent == root:
        raise InputError(f"cannot put the documents beside {root}; choose a folder with --output-dir")
    else:
        # Named as the user named the folder, unless that name is only a way to it ('.', '..').
        given = Path(os.path.normpath(directory))
        given = root if given.name in ("", ".", "..") else given
        target = given.with_name(given.name + ".published")
    jobs = []
    wanted = list(include)
    for path in _walk(root, target.resolve(), list(exclude)):
        if wanted and not _matches(path.relative_to(root), wanted):
            continue
        try:
            status = path.lstat()
        except OSError:
            continue  # gone since the folder was listed
        if (status.st_dev, status.st_ino) in private:
            continue
        if stat.S_ISREG(status.st_mode) or stat.S_ISLNK(status.st_mode):
            relative = path.relative_to(root)
            jobs.append(Job(directory / relative, output_path(target / relative, target / relative.parent),
                            name_text(relative.as_posix())))
    return Folder(root, target, jobs)


def _walk(root: Path, target: Path, exclude: list[str]) -> Iterator[Path]:
    def refuse(error: OSError) -> None:
        raise InputError(f"cannot read folder {name_text(error.filename)}: {error.strerror}")

    def kept(path: Path) -> bool:
        return not path.name.startswith(".") and path != target and not _matches(path.relative_to(root), exclude)

    for top, folders, names in os.walk(root, onerror=refuse):
        here = Path(top)
        folders[:] = sorted(f for f in folders if kept(here / f))
        yield from (here / name for name in sorted(names) if kept(here / name))


def _matches(relative: Path, patterns: list[str]) -> bool:
    return any(fnmatch.fnmatchcase(relative.as_posix(), p) or fnmatch.fnmatchcase(relative.name, p)
               for p in patterns)


def make_folder(path: Path) -> None:
    """Creates the folder documents go to, so that one that cannot be is one error, not one per file."""
    with _writing(path):
        path.mkdir(parents=True, exist_ok=True)


def read_source(path: Path, max_bytes: int, within: Path | None = None) -> str:
    """The text of a regular file (a link is followed only to a file inside `within`, when given),
    with an InputError saying why it cannot be used."""
    real = Path(os.path.realpath(path))
    if within is not None and not real.is_relative_to(within):
        raise InputError("a link to outside the folder; not published")
    try:
        # No link is followed past the check above, and a FIFO does not block the open.
        fd = os.open(real, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        raise InputError(f"cannot read it: {error.strerror}") from None
    with os.fdopen(fd, "rb") as handle:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise InputError("not a regular file")
        try:
            return read_limited(handle, max_bytes)
        except OSError as error:
            raise InputError(f"cannot read it: {error.strerror}") from None


def publish_file(registry: Registry, job: Job, format: Format, metadata: Mapping[str, Any], *,
                 overwrite: bool = False, again: bool = False, within: Path | None = None) -> Outcome:
    """Publishes one file and writes its document to `job.output`, unless the same text (as a
    reader sees it) is already published and `again` is not set: then the earlier publication is
    the outcome, its document written only where missing (a run interrupted after storing it).

    The document is written to a temporary file first and the publication stored only once that
    worked; the temporary file then takes the output's name. So a full disk, an unwritable folder
    or a name too long leaves nothing stored."""
    text = read_source(job.source, registry.max_bytes, within)
    if not again:
        earlier = registry.published_as(text, format=format)
        if earlier:
            # A document to publish given again (it carries a watermark) needs no second copy.
            wrote = not formats.has_watermark_runs(text) and _restore(registry, earlier[0], job.output)
            return Outcome(earlier[0], None, wrote)
    outputs = (job.output, manifest_path(job.output)) if registry.signing else (job.output,)
    for output in outputs:
        if not overwrite and os.path.lexists(output):
            raise OutputError(f"{name_text(output)} exists; move it away, or pass --overwrite to replace it")
    described = {"file": job.name, "title": title_of(formats.visible_text(text, format), job.name), **metadata}
    written: list[tuple[Path, Path]] = []

    def write(result: PublishResult) -> None:
        # Both the document and its manifest are written before the publication is stored.
        written.append((_write_temporary(job.output, result.published.encode("utf-8")), job.output))
        if result.manifest is not None:
            written.append((_write_temporary(manifest_path(job.output), result.manifest), manifest_path(job.output)))

    try:
        result = registry.publish(text, format=format, metadata=described, before_store=write)
    except BaseException:
        for temporary, _ in written:
            with contextlib.suppress(OSError):
                temporary.unlink()
        raise
    for temporary, output in written:
        _put_in_place(temporary, output, overwrite, result.pointer)
    return Outcome(result.pointer, result, True)


def _restore(registry: Registry, pointer: str, output: Path) -> bool:
    # An output already there is left alone, whatever it holds: it is never replaced unasked.
    publication = registry.show(pointer)
    wrote = False
    for data, path in ((publication.published.encode("utf-8"), output), (publication.manifest, manifest_path(output))):
        if data is not None and not os.path.lexists(path):
            _put_in_place(_write_temporary(path, data), path, False, pointer)
            wrote = True
    return wrote


@contextlib.contextmanager
def _writing(output: Path) -> Iterator[None]:
    try:
        yield
    except OSError as error:
        raise OutputError(f"cannot write {name_text(output)}: {error.strerror}") from None


def _write_temporary(output: Path, data: bytes) -> Path:
    # Named after the output and longer than it: a name too long fails here, before anything is stored.
    temporary = output.with_name(f".{output.name}.{secrets.token_hex(4)}.tmp")
    with _writing(output):
        output.parent.mkdir(parents=True, exist_ok=True)
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
        try:
            with os.fdopen(fd, "wb") as handle:
                handle.write(data)
                handle.flush()
                os.fsync(handle.fileno())
        except BaseException:
            with contextlib.suppress(OSError):
                temporary.unlink()
            raise
    return temporary


def _put_in_place(temporary: Path, output: Path, overwrite: bool, pointer: str) -> None:
    # A rename replaces a link at the output rather than writing through it; a hard link refuses
    # an output that appeared meanwhile.
    try:
        if overwrite:
            os.replace(temporary, output)
            return
        try:
            os.link(temporary, output)
        except OSError as error:
            if error.errno not in (errno.EPERM, errno.EOPNOTSUPP):
                raise
            os.rename(temporary, output)  # a file system without hard links (FAT, some network shares)
            return
    except OSError as error:
        raise OutputError(f"stored as {pointer}, but {name_text(output)} could not be written "
                          f"({error.strerror}); what it should hold is in {name_text(temporary)}") from None
    with contextlib.suppress(OSError):
        temporary.unlink()
