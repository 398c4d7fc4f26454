"""The `quelvane` command line: parses arguments, calls the library, prints. Nothing else."""
from __future__ import annotations

import contextlib
import dataclasses
import functools
import json
import os
import sys
from collections import Counter
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterator, TypeVar

import click

from .corpus import DEFAULT_FIELD, Corpus
from .corpus import DEFAULT_MAX_BYTES as CORPUS_MAX_BYTES
from .errors import InputError, NotFoundError, QuelvaneHostError
from .extras import missing_extra, require
from .files import Job, folder, format_of, make_folder, manifest_path, name_text, private_files, publish_file
from .files import Outcome, publish_jobs, read_source, title_of
from .formats import visible_text
from .identify import ManifestCheck, Match, Matches
from .keys import Keys
from .manifests import manifest_id_for
from .output import OUTPUT_FORMATS
from .inputs import DEFAULT_MAX_BYTES, read_limited, refuse_constant
from .records import record
from .registry import Registry
from .scan import ScanProgress
from .web.config import DEFAULT_BODY_SECONDS, DEFAULT_HEADER_SECONDS

STDIN = Path("-")
EXIT_OK, EXIT_NOTHING_FOUND, EXIT_USAGE, EXIT_ERROR, EXIT_SOME_FAILED = 0, 1, 2, 3, 4
if TYPE_CHECKING:
    from rich.console import Console

F = TypeVar("F", bound=Callable[..., Any])

EPILOG = f"""\b
Exit status: {EXIT_OK} success; {EXIT_NOTHING_FOUND} identify or show found nothing;
{EXIT_USAGE} wrong usage; {EXIT_ERROR} error (message on stderr); {EXIT_SOME_FAILED} some files failed, the rest done.
"""


def _reports_errors(command: F) -> F:
    """Our errors become one line on stderr and an exit status, never a traceback."""
    @functools.wraps(command)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        try:
            return command(*args, **kwargs)
        # Messages are escaped like file names: a name in one must not forge a line of output.
        except NotFoundError as error:
            click.echo(f"quelvane: {_shown(_message(error))}", err=True)
            sys.exit(EXIT_NOTHING_FOUND)
        except (QuelvaneHostError, OSError) as error:
            click.echo(f"quelvane: {_shown(_message(error))}", err=True)
            sys.exit(EXIT_ERROR)
        except KeyboardInterrupt:
            click.echo("quelvane: interrupted; everything finished before it is stored", err=True)
            sys.exit(130)
    return wrapper  # type: ignore[return-value]


def _message(error: BaseException) -> str:
    """One line for an error: ours carry their message; an OS error its reason and file."""
    if isinstance(error, OSError) and error.strerror:
        return f"{error.strerror}: {error.filename}" if error.filename else error.strerror
    return str(error)


def _registry_options(command: F) -> F:
    command = click.option("--keys", "keys_path", type=click.Path(dir_okay=False, path_type=Path),
                           default="quelvane.key", show_default=True, envvar="QUELVANE_KEYS",
                           help="Key file (env QUELVANE_KEYS).")(command)
    return click.option("--registry", "registry_path", default="quelvane.db", show_default=True,
                        envvar="QUELVANE_REGISTRY",
                        help="Registry file, sqlite:///path or postgresql://user@host/database URL "
                             "(env QUELVANE_REGISTRY).")(command)


def _rerun_options(command: F) -> F:
    command = click.option("--again", is_flag=True,
                           help="Publish a text again even if the same text is already published.")(command)
    return click.option("--overwrite", is_flag=True,
                        help="Replace documents to publish already written (never through a link).")(command)


def _json_option(command: F) -> F:
    return click.option("--json", "as_json", is_flag=True, help="Print results as JSON.")(command)


def _weak_option(command: F) -> F:
    return click.option("--weak", is_flag=True,
                        help="Also report weak similarities of the kinds unrelated texts often share.")(command)


def _format_option(command: F) -> F:
    return click.option("--format", "format_name", type=click.Choice(["auto", "text", "html", "markdown"]),
                        default="auto", show_default=True,
                        help="How to read the file; auto goes by its suffix (.html, .htm, .md, .markdown).")(command)


def _open(registry_path: str, keys_path: Path, max_bytes: int = DEFAULT_MAX_BYTES) -> Registry:
    return Registry.open(registry_path, keys_path, max_bytes=max_bytes)


def _print_json(value: object) -> None:
    click.echo(json.dumps(value, ensure_ascii=False, indent=2))


@click.group(epilog=EPILOG, context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="quelvane", prog_name="quelvane")
def main() -> None:
    """Publish texts with signed provenance and find them again.

    \b
    quelvane init                  make a key file and an empty registry
    quelvane publish article.txt   sign, watermark and register a text
    quelvane identify found.txt    which publications a found text comes from
    quelvane verify found.txt PTR  whether a found text is a copy of one publication,
                                   and whether its C2PA manifest validates

    \b
    Shell completion (bash; zsh and fish likewise):
      eval "$(_QUELVANE_COMPLETE=bash_source quelvane)"
    """


@main.command(epilog=EPILOG)
@_registry_options
@click.option("--repository-id", help="Identifier of this registry in cross-check tags (default: random).")
@click.option("--cert", "cert_path", type=click.Path(exists=True, dir_okay=False, path_type=Path),
              help="C2PA signing certificate chain (PEM, end-entity certificate first) to import.")
@click.option("--cert-key", "cert_key_path", type=click.Path(exists=True, dir_okay=False, path_type=Path),
              help="The unencrypted private key (PEM; Ed25519, P-256 or P-384) of --cert.")
@_reports_errors
def init(registry_path: str, keys_path: Path, repository_id: str | None, cert_path: Path | None,
         cert_key_path: Path | None) -> None:
    """Create a key file (readable by you only) unless it exists, and an empty registry: both or neither.
    With the C2PA SDK, also the C2PA signing identity beside the key file: --cert and --cert-key
    import a real one; without them, a local test root and certificate are made.

    \b
    Example:
      quelvane init --registry team.db --keys team.key
    """
    if (cert_path is None) != (cert_key_path is None):
        raise click.UsageError("give --cert and --cert-key together")
    certificate = None
    if cert_path is not None and cert_key_path is not None:
        certificate = (_read_pem(cert_path, "certificate chain"), _read_pem(cert_key_path, "private key"))
    registry, made_keys = Registry.init(registry_path, keys_path, repository_id=repository_id,
                                        certificate=certificate)
    with registry:
        if made_keys:
            click.echo(f"created key file {keys_path} (keep it private; back it up)")
        # The storage's own name for itself: a server URL's password stays out of the output.
        click.echo(f"created registry {registry.storage.location}; public key {registry.keys.public_hex}")
        click.echo(_signing_line(registry, keys_path))


_PEM_LIMIT = 1024 * 1024  # far above any certificate chain: a wrong file is refused, not read whole


def _read_pem(path: Path, what: str) -> bytes:
    return _read_bounded(path, _PEM_LIMIT, f"PEM {what}")


def _read_bounded(path: Path, limit: int, what: str) -> bytes:
    """A small file's bytes; a larger one is refused unread, as not being `what`."""
    with path.open("rb") as handle:
        data = handle.read(limit + 1)
    if len(data) > limit:
        raise InputError(f"{_shown(path)} is over {limit} bytes: not a {what}")
    return data


def _signing_line(registry: Registry, keys_path: Path) -> str:
    from . import manifests

    signing = registry.signing
    if signing is None:
        return f"C2PA manifests are off: {manifests.unavailable_reason()}"
    where = _shown(keys_path.parent)
    if signing.is_test:
        from .signing_identity import TEST_ROOT_FILE

        return (f"C2PA signing identity in {where}: a local test certificate ({signing.algorithm}). Manifests "
                f"signed with it validate but are untrusted outside this registry; verifiers trust them only "
                f"given its root, {TEST_ROOT_FILE}, as an anchor. For a trusted one: init with --cert --cert-key")
    return f"C2PA signing identity in {where}: {signing.subject}, issued by {signing.issuer} ({signing.algorithm})"


@main.command(epilog=EPILOG)
@_registry_options
@_format_option
@click.argument("files", nargs=-1, required=True,
                type=click.Path(exists=True, dir_okay=False, allow_dash=True, path_type=Path))
@click.option("--output-dir", type=click.Path(file_okay=False, path_type=Path),
              help="Where to write the documents to publish (default: beside each input, NAME.published.EXT).")
@click.option("--title", help="Title to store with each publication.")
@click.option("--metadata", "metadata_json", help='Metadata to store, as a JSON object, e.g. {"url": "..."}.')
@click.option("--max-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse files larger than this.")
@_rerun_options
@_json_option
@_reports_errors
def publish(registry_path: str, keys_path: Path, format_name: str, files: tuple[Path, ...],
            output_dir: Path | None, title: str | None, metadata_json: str | None, max_bytes: int,
            again: bool, overwrite: bool, as_json: bool) -> None:
    """Sign, watermark and register FILES; write the documents to publish in their place. A text
    already published is reported with its pointer and not published again unless --again.
    With - alone, the text is read from standard input and its document written to standard
    output; the pointer goes to standard error.

    \b
    Examples:
      quelvane publish article.txt --title "Ferry timetable"
      quelvane publish - < article.txt > article.published.txt
    """
    metadata = _parse_metadata(metadata_json)
    if title is not None:
        metadata["title"] = title
    if STDIN in files:
        if len(files) > 1 or output_dir is not None:
            raise click.UsageError("give - alone and without --output-dir: the document of a text read from "
                                   "standard input goes to standard output")
        with _open(registry_path, keys_path, max_bytes) as registry:
            _publish_stdin(registry, format_name, metadata, again=again, as_json=as_json)
        return
    with _open(registry_path, keys_path, max_bytes) as registry:
        counts = _publish_all(registry, publish_jobs(files, output_dir), format_name, metadata, as_json,
                              again=again, overwrite=overwrite, progress=False)
    sys.exit(_exit_status(counts["failed"], len(files)))


@main.command(epilog=EPILOG)
@_registry_options
@_format_option
@click.argument("directory", type=click.Path(exists=True, file_okay=False, path_type=Path))
@click.option("--output-dir", type=click.Path(file_okay=False, path_type=Path),
              help="Where to write the documents to publish (default: DIRECTORY.published).")
@click.option("--max-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse files larger than this.")
@click.option("--include", multiple=True, metavar="PATTERN",
              help="Publish only files whose path in DIRECTORY or name matches, e.g. '*.md' (repeatable).")
@click.option("--exclude", multiple=True, metavar="PATTERN",
              help="Skip files and folders whose path in DIRECTORY or name matches, e.g. 'drafts' (repeatable).")
@click.option("--dry-run", is_flag=True, help="Only list the files that would be published, and where.")
@_rerun_options
@_json_option
@_reports_errors
def index(registry_path: str, keys_path: Path, format_name: str, directory: Path, output_dir: Path | None,
          max_bytes: int, include: tuple[str, ...], exclude: tuple[str, ...], dry_run: bool, again: bool,
          overwrite: bool, as_json: bool) -> None:
    """Publish every file under DIRECTORY; a file that fails is reported and the rest go on.
    Hidden files and folders, the key file and the registry are never published, nor links
    leading out of DIRECTORY. A text already published (an earlier or interrupted run) is
    reported with its pointer, its document written if missing, and not published again unless
    --again.

    \b
    Example:
      quelvane index articles --include '*.md' --exclude drafts --dry-run
    """
    found = folder(directory, output_dir, private_files(keys_path, registry_path), include=include, exclude=exclude)
    if dry_run:
        _print_plan(found.jobs, as_json)
        return
    make_folder(found.target)
    with _open(registry_path, keys_path, max_bytes) as registry:
        counts = _publish_all(registry, found.jobs, format_name, {}, as_json, again=again, overwrite=overwrite,
                              progress=True, within=found.root)
    if not as_json:
        click.echo(", ".join(f"{counts[kind]} {kind}" for kind in ("published", "already published", "failed"))
                   + f"; documents in {_shown(found.target)}")
    sys.exit(_exit_status(counts["failed"], len(found.jobs)))


def _publish_stdin(registry: Registry, format_name: str, metadata: dict[str, Any], *, again: bool,
                   as_json: bool) -> None:
    """Publishes the text on standard input and prints its document (with --json, inside the
    record), the pointer going to standard error. The document is printed once the publication is
    stored: should printing fail, running the same command again prints it (the text is then
    already published), as does `quelvane show POINTER --text`."""
    text = _stdin_text(registry.max_bytes)
    format = format_of(STDIN, format_name)
    earlier = [] if again else registry.published_as(text, format=format)
    if earlier:
        outcome, document = Outcome(earlier[0], None, True), registry.show(earlier[0]).published
    else:
        described = {"title": title_of(visible_text(text, format), "standard input"), **metadata}
        published = registry.publish(text, format=format, metadata=described)
        outcome, document = Outcome(published.pointer, published, True), published.published
    job = Job(STDIN, STDIN, "-")
    if as_json:
        _print_json({**_outcome_dict(job, outcome), "document": document})
    else:
        click.echo(document, nl=False)
        result = outcome.result
        note = f" ({result.watermark_note})" if result and result.watermark_note else ""
        click.echo(f"quelvane: published as {outcome.pointer}{note}" if result else
                   f"quelvane: already published as {outcome.pointer}; publish it again with --again", err=True)


def _print_plan(jobs: list[Job], as_json: bool) -> None:
    if as_json:
        _print_json([{"file": name_text(job.source), "output": name_text(job.output)} for job in jobs])
        return
    for job in jobs:
        click.echo(f"{_shown(job.source)} -> {_shown(job.output)}")
    click.echo(f"{len(jobs)} files to publish (dry run: nothing read or written)")


def _exit_status(failed: int, total: int) -> int:
    if not failed:
        return EXIT_OK
    return EXIT_ERROR if failed == total else EXIT_SOME_FAILED


def _shown(path: Path | str) -> str:
    """A file name safe to print on one line: control characters (a newline in a name would forge
    a result line) are written as escapes."""
    return "".join(c if c.isprintable() or c == " " else c.encode("unicode_escape").decode("ascii")
                   for c in name_text(path))


def _stderr_console() -> Console:
    """Standard error for the progress bars and the lines printed beside them. No line is cut at
    the terminal's width (off a terminal, at rich's 80 columns): a log or a pipe gets each line
    whole, as click.echo writes the others. Colour is off under NO_COLOR and off a terminal."""
    from rich.console import Console

    return Console(stderr=True, soft_wrap=True)


def _publish_all(registry: Registry, jobs: list[Job], format_name: str, metadata: dict[str, Any],
                 as_json: bool, *, again: bool, overwrite: bool, progress: bool, within: Path | None = None
                 ) -> Counter[str]:
    """Publishes each job, printing a line per file; counts published, already published and failed."""
    from rich.progress import Progress

    counts: Counter[str] = Counter()
    results: list[dict[str, Any]] = []
    # The bar and the per-file errors share standard error; results go to standard output. Off a
    # terminal there is no bar (it would leave an empty line).
    console = _stderr_console()
    with Progress(console=console, disable=not progress or as_json or not console.is_terminal,
                  transient=True) as bar:
        task = bar.add_task("publishing", total=len(jobs))
        # A result written to the terminal the bar is on would be glued to the bar's line: there it
        # is printed above the bar, through the bar's console. Redirected, it goes to standard output.
        above_bar = not bar.disable and sys.stdout.isatty()
        for job in jobs:
            try:
                outcome = publish_file(registry, job, format_of(job.source, format_name), metadata,
                                       again=again, overwrite=overwrite, within=within)
                counts["published" if outcome.result else "already published"] += 1
                results.append(_outcome_dict(job, outcome))
                if above_bar:
                    bar.console.print(_outcome_line(job, outcome), markup=False, highlight=False)
                elif not as_json:
                    click.echo(_outcome_line(job, outcome))
            except (QuelvaneHostError, OSError) as error:
                counts["failed"] += 1
                results.append({"file": name_text(job.source), "error": _message(error)})
                bar.console.print(f"{_shown(job.source)}: error: {_shown(_message(error))}",
                                  markup=False, highlight=False)
            bar.advance(task)
    if as_json:
        _print_json(results)
    return counts


def _outcome_dict(job: Job, outcome: Outcome) -> dict[str, Any]:
    fields: dict[str, Any] = {"file": name_text(job.source), "pointer": outcome.pointer}
    result = outcome.result
    if result is None:
        fields["already_published"] = True
    else:
        fields.update(watermarked=result.watermarked, watermark_runs=result.watermark_runs,
                      watermark_note=result.watermark_note, content_hash=result.content_hash,
                      manifest=name_text(manifest_path(job.output)) if result.manifest else None)
    return {**fields, "output": name_text(job.output) if outcome.wrote else None}


def _outcome_line(job: Job, outcome: Outcome) -> str:
    result = outcome.result
    line = f"{_shown(job.source)}: {outcome.pointer}"
    if result is None:
        line += " already published" + (f", document written to {_shown(job.output)}" if outcome.wrote else
                                        "; publish it again with --again")
        return line
    return line + f" -> {_shown(job.output)}" + (f" ({result.watermark_note})" if result.watermark_note else "")


def _parse_metadata(metadata_json: str | None) -> dict[str, Any]:
    if metadata_json is None:
        return {}
    try:
        value = json.loads(metadata_json, parse_constant=refuse_constant)
    except ValueError as error:
        raise click.BadParameter(f"not JSON: {error}", param_hint="--metadata") from None
    if not isinstance(value, dict):
        raise click.BadParameter("must be a JSON object", param_hint="--metadata")
    return value


@main.command(epilog=EPILOG)
@_registry_options
@_format_option
@click.argument("files", nargs=-1, required=True,
                type=click.Path(exists=True, dir_okay=False, allow_dash=True, path_type=Path))
@click.option("--max-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse files larger than this.")
@_weak_option
@_json_option
@_reports_errors
def identify(registry_path: str, keys_path: Path, format_name: str, files: tuple[Path, ...], max_bytes: int,
             weak: bool, as_json: bool) -> None:
    """Find the publications each of FILES (- for standard input) comes from: matches first, then
    withdrawn publications and forged entries; weak similarities, which unrelated texts often
    share, only with --weak (else their number is said). Exit status 0 when a file matched a
    publication, 1 when none did (weak similarities and withdrawn publications are not matches).

    \b
    Example:
      quelvane identify found.txt page.html --json
      quelvane identify found.txt --weak
    """
    results: list[dict[str, Any]] = []
    failed = matched = 0
    with _open(registry_path, keys_path, max_bytes) as registry:
        for file in files:
            try:
                matches = registry.identify(_found_text(file, max_bytes), format=format_of(file, format_name),
                                            weak=weak)
            except (QuelvaneHostError, OSError) as error:
                failed += 1
                results.append({"file": name_text(file), "error": _message(error)})
                click.echo(f"{_shown(file)}: error: {_shown(_message(error))}", err=True)
                continue
            matched += bool(matches.matched)
            results.append({"file": name_text(file), **matches.as_json()})
            if not as_json:
                if len(files) > 1:
                    click.echo(f"== {_shown(file)}")
                _print_matches(matches)
            if not matches.complete:
                # On stderr, so that the JSON on stdout keeps its shape.
                click.echo(f"quelvane: {_shown(file)}: result cut: {matches.note}", err=True)
    if as_json:
        _print_json(results)
    if failed:
        sys.exit(_exit_status(failed, len(files)))
    sys.exit(EXIT_OK if matched else EXIT_NOTHING_FOUND)


@main.command(epilog=EPILOG)
@_registry_options
@_format_option
@click.argument("file", type=click.Path(exists=True, dir_okay=False, allow_dash=True, path_type=Path))
@click.argument("pointer", required=False)
@click.option("--manifest", "manifest_file", type=click.Path(exists=True, dir_okay=False, path_type=Path),
              help="A C2PA manifest store (.c2pa) to validate FILE against, in place of the registry's.")
@click.option("--max-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse files larger than this.")
@_json_option
@_reports_errors
def verify(registry_path: str, keys_path: Path, format_name: str, file: Path, pointer: str | None,
           manifest_file: Path | None, max_bytes: int, as_json: bool) -> None:
    """Check FILE (- for standard input): is it a copy of a publication, and does the publication's
    C2PA manifest validate for it?

    \b
    FILE POINTER          identify's judgement against the one publication POINTER, and its
                          manifest validated for FILE; exit status 0 when FILE is a match.
    FILE                  the same for the strongest match identify finds.
    FILE --manifest M     only the C2PA SDK's validation of FILE against the store M (hard
                          binding, signature, certificate, the anchors of `quelvane trust add`);
                          no registry is read. With POINTER too, M must be that publication's
                          manifest. Exit status 0 when the state is Valid or Trusted.

    \b
    Examples:
      quelvane verify article.published.txt
      quelvane verify found.txt 0f1e2d3c4b5a49788796a5b4c3d2e1f0
      quelvane verify article.published.txt --manifest article.published.c2pa --json
    """
    text = _found_text(file, max_bytes)
    if manifest_file is not None:
        _verify_manifest(text, file, pointer, manifest_file, keys_path, as_json)
        return
    with _open(registry_path, keys_path, max_bytes) as registry:
        match = registry.verify(text, pointer, format=format_of(file, format_name))
    shown_pointer = pointer.strip().lower() if pointer is not None else None if match is None else match.pointer
    if as_json:
        _print_json({"file": name_text(file), "pointer": shown_pointer,
                     "match": None if match is None else dataclasses.asdict(match)})
    elif match is None:
        click.echo(f"NO MATCH  {shown_pointer}: nothing links {_shown(file)} to this publication" if shown_pointer
                   else f"NO MATCH  no publication of this registry matches {_shown(file)}")
    else:
        _print_match(match)
    sys.exit(EXIT_OK if match is not None and match.verdict == "match" else EXIT_NOTHING_FOUND)


def _verify_manifest(text: str, file: Path, pointer: str | None, manifest_file: Path, keys_path: Path,
                     as_json: bool) -> None:
    """The C2PA SDK's validation of `text` against the store in `manifest_file`."""
    from . import manifests

    if not manifests.available():
        raise QuelvaneHostError(manifests.unavailable_reason())
    from .signing_identity import trust_anchors

    store = _read_bounded(manifest_file, manifests.MAX_STORE_BYTES, "manifest store")
    validation = manifests.validate(store, text, trust_anchors(keys_path.parent))
    if pointer is not None and validation.manifest_id != manifest_id_for(pointer.strip().lower()):
        raise NotFoundError(f"{_shown(manifest_file)} is the manifest {validation.manifest_id[:80]}, not that of "
                            f"publication {pointer.strip().lower()} ({manifest_id_for(pointer.strip().lower())})")
    holds = validation.state in ("Valid", "Trusted")
    if as_json:
        _print_json({"file": name_text(file), "manifest": name_text(manifest_file), "manifest_id":
                     validation.manifest_id, "state": validation.state, "failures": list(validation.failures),
                     "informational": list(validation.informational),
                     "soft_bindings": sorted(validation.soft_bindings)})
    else:
        click.echo(f"{validation.state.upper()}  {_shown(validation.manifest_id)}  {_shown(file)}")
        hard = "holds" if validation.hard_binding_holds else "FAILS: the text is not the one signed"
        click.echo(f"  hard binding {hard}")
        for code in validation.failures:
            click.echo(f"  failure: {code}")
        click.echo(f"  soft bindings in the manifest: {', '.join(sorted(validation.soft_bindings)) or 'none'}")
    sys.exit(EXIT_OK if holds else EXIT_NOTHING_FOUND)


@main.command(epilog=EPILOG)
@_registry_options
@click.argument("pointer")
@click.option("--reason", required=True, help="Why it is withdrawn; identify shows it with every copy found.")
@_json_option
@_reports_errors
def withdraw(registry_path: str, keys_path: Path, pointer: str, reason: str, as_json: bool) -> None:
    """Withdraw the publication POINTER: it stays in the registry, and identify reports its copies
    as withdrawn, with the reason and time, never as matches.

    \b
    Example:
      quelvane withdraw 0f1e2d3c4b5a49788796a5b4c3d2e1f0 --reason "the figures were wrong"
    """
    with _open(registry_path, keys_path) as registry:
        publication = registry.withdraw(pointer, reason)
    assert publication.withdrawal is not None
    if as_json:
        _print_json({"pointer": publication.pointer, "withdrawal": dataclasses.asdict(publication.withdrawal)})
    else:
        click.echo(f"{publication.pointer} withdrawn on {publication.withdrawal.at}")


@main.command(epilog=EPILOG)
@_registry_options
@click.argument("pointer")
@_json_option
@_reports_errors
def delete(registry_path: str, keys_path: Path, pointer: str, as_json: bool) -> None:
    """Delete the publication POINTER, published by mistake: its text, signed assertions and index
    entries go; only the pointer stays, marked deleted, so it is never used again and an older
    export cannot bring the publication back. To keep it known, withdraw it instead.

    \b
    Example:
      quelvane delete 0f1e2d3c4b5a49788796a5b4c3d2e1f0
    """
    with _open(registry_path, keys_path) as registry:
        at = registry.delete(pointer)
    if as_json:
        _print_json({"pointer": pointer.strip().lower(), "deleted_at": at})
    else:
        click.echo(f"{pointer.strip().lower()} deleted on {at}")


def _found_text(file: Path, max_bytes: int) -> str:
    return _stdin_text(max_bytes) if str(file) == "-" else read_source(file, max_bytes)


def _stdin_text(max_bytes: int) -> str:
    if sys.stdin is None:  # started with standard input closed
        raise InputError("standard input is closed: pipe the text in, or name a file")
    return read_limited(sys.stdin.buffer, max_bytes)


def _print_matches(matches: Matches) -> None:
    """Matches first, each with its evidence; withdrawn and forged entries next; weak similarities
    last, under their own heading, one line each."""
    strong = [m for m in matches if m.verdict != "weak"]
    weak = [m for m in matches if m.verdict == "weak"]
    count = len(matches.matched)
    click.echo(f"{count} match{'es' if count != 1 else ''}" if count else "no match")
    for match in strong:
        _print_match(match)
    if weak:
        click.echo(f"weak similarities, not matches ({len(weak)}): only a surface or structural fingerprint is close")
        for match in weak:
            click.echo(f"  WEAK  {match.pointer}  {_shown(match.publication.title or '')}")
    if matches.weak_hidden:
        click.echo(f"{matches.weak_hidden} weak similarit{'ies' if matches.weak_hidden != 1 else 'y'} hidden, "
                   "of a kind unrelated texts often share; show them with --weak")


def _print_match(match: Match) -> None:
    evidence = match.evidence
    strength = f"  binding {match.tier}" if match.tier else ""
    click.echo(f"{match.verdict.upper()}{strength}  {match.pointer}  {_shown(match.publication.title or '')}")
    if match.publication.withdrawal is not None:
        click.echo(f"  withdrawn on {match.publication.withdrawal.at}: {_shown(match.publication.withdrawal.reason)}")
    click.echo(f"  published {match.publication.created}; "
               f"found by: {', '.join(evidence.found_by) or 'fingerprints only'}; "
               f"cross-check {'holds' if evidence.crosscheck_ok else 'differs'}")
    click.echo(f"  {match.explanation}")
    if evidence.identical:
        click.echo("  the copy is identical to the publication (white space aside)")
    else:
        click.echo(f"  the copy differs from the publication: {'; '.join(evidence.differences)}")
    for check in evidence.assertions:
        state = "signature ok" if check.signature_ok else f"signature FAILED ({check.signature_error})"
        click.echo(f"    {check.alg}: {state}, tier {check.tier or '-'}")
    for p in evidence.passages:
        click.echo(f"    passage: found text {p.found.start}-{p.found.end}, "
                   f"publication {p.publication.start}-{p.publication.end}")
    if match.manifest is not None:
        _print_manifest_check(match.manifest)


def _print_manifest_check(check: ManifestCheck) -> None:
    state = check.state or "not validated"
    codes = f" ({', '.join(check.failures)})" if check.failures else ""
    bound = {"hard": "bound by its hard binding", "soft": f"bound by soft bindings: {', '.join(check.soft_bindings)}",
             "none": "no binding holds"}[check.binding]
    click.echo(f"  C2PA manifest {check.id}: {state}{codes}; {bound}")
    if check.note:
        click.echo(f"    {_shown(check.note)}")


@main.command(name="list", epilog=EPILOG)
@_registry_options
@click.option("--limit", type=click.IntRange(1), help="Show at most this many.")
@click.option("--offset", type=click.IntRange(0), default=0, help="Skip this many first.")
@_json_option
@_reports_errors
def list_command(registry_path: str, keys_path: Path, limit: int | None, offset: int, as_json: bool) -> None:
    """List publications, oldest first.

    \b
    Example:
      quelvane list --limit 20 --offset 40
    """
    with _open(registry_path, keys_path) as registry:
        summaries = registry.list(limit, offset)
    if as_json:
        _print_json([dataclasses.asdict(s) for s in summaries])
        return
    for s in summaries:
        click.echo(f"{s.pointer}  {s.created}  {s.format:8}  {s.characters:>8} chars  {s.title or ''}")


@main.command(epilog=EPILOG)
@_registry_options
@click.argument("pointer")
@click.option("--text", "print_text", is_flag=True, help="Print only the published document.")
@_json_option
@_reports_errors
def show(registry_path: str, keys_path: Path, pointer: str, print_text: bool, as_json: bool) -> None:
    """Show what is stored under POINTER.

    \b
    Example:
      quelvane show 3f2a9c0e5b1d47a6c8e0f2b4d6a8c0e2 --text > article.published.txt
    """
    with _open(registry_path, keys_path) as registry:
        publication = registry.show(pointer)
    if print_text:
        click.echo(publication.published, nl=False)
    elif as_json:
        _print_json(record(publication))
    else:
        for name in ("pointer", "format", "created", "content_hash", "crosscheck_tag", "public_key",
                     "watermark_runs", "watermark_note"):
            click.echo(f"{name}: {getattr(publication, name)}")
        if publication.withdrawal is not None:
            click.echo(f"withdrawn: {publication.withdrawal.at}: {_shown(publication.withdrawal.reason)}")
        click.echo(f"metadata: {json.dumps(publication.metadata, ensure_ascii=False)}")
        click.echo(f"assertions: {', '.join(e.alg for e in publication.envelopes)}")
        click.echo(f"characters: {len(publication.text)}")
        click.echo(f"c2pa manifest: {manifest_id_for(publication.pointer) if publication.manifest else 'none'}")


@main.command(name="export", epilog=EPILOG)
@_registry_options
@click.argument("output", type=click.File("w", encoding="utf-8"), default="-")
@_reports_errors
def export_command(registry_path: str, keys_path: Path, output: Any) -> None:
    """Write every publication as JSON Lines to OUTPUT (default: standard output).

    \b
    Example:
      quelvane export backup.jsonl
    """
    with _open(registry_path, keys_path) as registry:
        count = registry.export_jsonl(output)
    click.echo(f"exported {count} publications", err=True)


@main.command(name="import", epilog=EPILOG)
@_registry_options
@click.argument("source", type=click.File("r", encoding="utf-8"))
@click.option("--trust-key", "trusted_keys", multiple=True, metavar="HEX",
              help="Also accept records signed with this public key (64 hex characters), for publications of "
                   "another registry; repeat for more. Without it only this registry's key is accepted.")
@click.option("--max-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse records whose text is larger than this, as publish does.")
@_json_option
@_reports_errors
def import_command(registry_path: str, keys_path: Path, source: Any, trusted_keys: tuple[str, ...],
                   max_bytes: int, as_json: bool) -> None:
    """Add the publications of a JSON Lines export. Every record is checked against its text and
    signatures first; one bad record refuses the whole file and nothing is added.

    \b
    Example:
      quelvane import backup.jsonl --registry new.db
    """
    with _open(registry_path, keys_path, max_bytes) as registry:
        result = registry.import_jsonl(source, trusted_keys=trusted_keys)
    if as_json:
        _print_json(dataclasses.asdict(result))
    else:
        click.echo(f"imported {result.added} publications, {result.skipped} already present")


@main.group(epilog=EPILOG)
def trust() -> None:
    """The trust anchors C2PA manifests are validated against (kept beside the key file).

    \b
    Example:
      quelvane trust add c2pa-test-root.pem
    """


@trust.command(name="add", epilog=EPILOG)
@click.option("--keys", "keys_path", type=click.Path(dir_okay=False, path_type=Path), default="quelvane.key",
              show_default=True, envvar="QUELVANE_KEYS", help="Key file; the anchors are kept beside it.")
@click.argument("root", type=click.Path(exists=True, dir_okay=False, path_type=Path))
@_reports_errors
def trust_add(keys_path: Path, root: Path) -> None:
    """Trust C2PA signers that chain to the CA certificate(s) in ROOT (PEM).

    \b
    Example:
      quelvane trust add c2pa-test-root.pem
    """
    from . import manifests as c2pa_manifests

    if not c2pa_manifests.available():
        raise QuelvaneHostError(c2pa_manifests.unavailable_reason())
    from .signing_identity import TRUST_FILE, add_trust_anchor

    count = add_trust_anchor(keys_path.parent, _read_pem(root, "certificate"))
    click.echo(f"{count} trust anchor(s) in {_shown(keys_path.parent / TRUST_FILE)}")


@main.command(epilog=EPILOG)
@_registry_options
@click.option("--backfill", is_flag=True, required=True,
              help="Give every publication of this registry without a C2PA manifest one.")
@_reports_errors
def manifests(registry_path: str, keys_path: Path, backfill: bool) -> None:
    """C2PA manifests of the registry's publications.

    \b
    Example:
      quelvane manifests --backfill
    """
    with _open(registry_path, keys_path) as registry:
        added = registry.backfill_manifests()
    click.echo(f"gave {added} publication(s) a C2PA manifest")


@main.command(epilog=EPILOG)
@_registry_options
@click.option("--host", default="127.0.0.1", show_default=True,
              help="Address to listen on; keep 127.0.0.1 behind a reverse proxy.")
@click.option("--port", type=click.IntRange(1, 65535), default=8000, show_default=True, help="Port to listen on.")
@click.option("--token-file", type=click.Path(dir_okay=False, path_type=Path), envvar="QUELVANE_TOKEN_FILE",
              help="File holding the bearer token that allows publishing, withdrawing and deleting over HTTP, "
                   "readable by you only (env QUELVANE_TOKEN_FILE; or put the token itself in env "
                   "QUELVANE_TOKEN). Without a token, they are off.")
@click.option("--max-body-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse request bodies larger than this with 413.")
@click.option("--forwarded-allow-ips", default="127.0.0.1", show_default=True,
              help="Proxies whose X-Forwarded-For and X-Forwarded-Proto headers are believed.")
@click.option("--header-timeout", type=click.FloatRange(min=0, min_open=True), default=DEFAULT_HEADER_SECONDS,
              show_default=True, help="Seconds a client has to send a request's headers; then it is cut off.")
@click.option("--body-timeout", type=click.FloatRange(min=0, min_open=True), default=DEFAULT_BODY_SECONDS,
              show_default=True, help="Seconds a client has to send a request's body; then it gets 408.")
@click.option("--max-connections", type=click.IntRange(1),
              help="Open connections allowed in each worker process (default: what the open-file limit "
                   "leaves free).")
@click.option("--workers", type=click.IntRange(1),
              help="Worker processes answering requests (default: one per core this process may use).")
@_reports_errors
def serve(registry_path: str, keys_path: Path, host: str, port: int, token_file: Path | None,
          max_body_bytes: int, forwarded_allow_ips: str, header_timeout: float, body_timeout: float,
          max_connections: int | None, workers: int | None) -> None:
    """Serve the JSON API and the page where anyone can check a text (needs quelvane[server]).

    \b
    Example:
      QUELVANE_TOKEN_FILE=token.txt quelvane serve --port 8080
    """
    from .web import ServiceConfig, read_token, serve as run
    from .web.workers import usable_cores

    config = ServiceConfig(registry_path, Keys.load(keys_path), read_token(token_file, os.environ),
                           max_body_bytes=max_body_bytes, header_seconds=header_timeout,
                           body_seconds=body_timeout, max_connections=max_connections, key_file=keys_path)
    click.echo(f"publishing over HTTP is {'on (token set)' if config.token else 'off (no token)'}", err=True)
    run(config, host, port, forwarded_allow_ips=forwarded_allow_ips, workers=workers or usable_cores())


DASK_MISSING = missing_extra("running on Dask", "dask")


def _corpus_options(command: F) -> F:
    command = click.option("--max-bytes", type=click.IntRange(1), default=CORPUS_MAX_BYTES, show_default=True,
                           help="Report documents larger than this (UTF-8 bytes) as errors.")(command)
    command = click.option("--scheduler", help="Address of a running Dask scheduler, e.g. tcp://host:8786.")(command)
    command = click.option("--workers", type=click.IntRange(1),
                           help="Start a local Dask cluster of this many worker processes (one thread each); "
                                "without it or --scheduler, run in this process.")(command)
    command = click.option("--id-field",
                           help="The JSON Lines field or Parquet column that holds each document's id "
                                "(default: name documents by file and line or row).")(command)
    command = click.option("--field", default=DEFAULT_FIELD, show_default=True,
                           help="The JSON Lines field or Parquet column that holds the text.")(command)
    command = click.option("--format", "fmt", type=click.Choice(list(OUTPUT_FORMATS)), default="parquet",
                           show_default=True, help="Output format.")(command)
    command = click.option("--output", type=click.Path(file_okay=False, path_type=Path), required=True,
                           help="Output folder; its part files from an earlier run are replaced.")(command)
    return click.argument("corpus", nargs=-1, required=True, type=click.Path(exists=True, path_type=Path))(command)


@contextlib.contextmanager
def _needs_dask_extra() -> Iterator[None]:
    try:
        yield
    except ImportError:
        raise QuelvaneHostError(DASK_MISSING) from None


@contextlib.contextmanager
def _dask_client(workers: int | None, scheduler: str | None) -> Iterator[Any]:
    """A `distributed.Client` when asked for one, else None (run in this process)."""
    if workers is None and scheduler is None:
        yield None
        return
    if workers is not None and scheduler is not None:
        raise click.UsageError("give --workers or --scheduler, not both")
    with _needs_dask_extra():
        from distributed import Client
    from .engine import local_cluster

    if workers is None:
        with Client(scheduler) as client:  # type: ignore[no-untyped-call]
            yield client
        return
    with local_cluster(workers) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        yield client


@contextlib.contextmanager
def _progress_bar(label: str, hidden: bool, counted: bool = True) -> Iterator[Callable[[ScanProgress], None]]:
    """A bar on standard error; `counted`, of the corpus's bytes read, with the documents done, as
    partitions finish. Steps that are not partition by partition only show that the run is alive."""
    from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeElapsedColumn

    counts = (DownloadColumn(), TextColumn("{task.fields[documents]:,} documents")) if counted else ()
    columns = (TextColumn("{task.description}"), BarColumn(), *counts, TimeElapsedColumn())
    with Progress(*columns, console=_stderr_console(), disable=hidden, transient=True) as bar:
        task = bar.add_task(label, total=None, documents=0)

        def advance(at: ScanProgress) -> None:
            bar.update(task, completed=at.bytes_read, total=at.bytes_total, documents=at.documents)
        yield advance


def _print_summary(summary: object, as_json: bool, output: Path) -> None:
    fields = dataclasses.asdict(summary)  # type: ignore[call-overload]
    if as_json:
        _print_json({**fields, "output": str(output)})
    else:
        click.echo(", ".join(f"{value} {name.replace('_', ' ')}" for name, value in fields.items())
                   + f"; written to {output}")


@main.command(epilog=EPILOG)
@_registry_options
@_corpus_options
@_weak_option
@_json_option
@_reports_errors
def scan(registry_path: str, keys_path: Path, corpus: tuple[Path, ...], output: Path, fmt: str, field: str,
         id_field: str | None, workers: int | None, scheduler: str | None, max_bytes: int, weak: bool,
         as_json: bool) -> None:
    """Find copies of the registry's publications in CORPUS (text files, folders of them, JSON Lines
    or Parquet): one row per (document, publication) in OUTPUT/matches, unreadable documents in
    OUTPUT/errors. Weak similarities that unrelated texts often share are only counted unless
    --weak asks for their rows.

    \b
    Example:
      quelvane scan crawl.jsonl --id-field url --output found --format jsonl
    """
    from .engine import worker_count
    from .scan import BindingKey, scan as run

    # Opened as every other command opens it, so a key file the registry was not made with is
    # refused before any work, not turned into a scan that finds no watermark.
    with _open(registry_path, keys_path) as registry:
        binding = BindingKey(registry.keys.binding_hex, registry.keys.repository_id)
    documents = Corpus.of(corpus, field=field, max_bytes=max_bytes, id_field=id_field)
    with _dask_client(workers, scheduler) as client, _progress_bar("scanning", as_json) as progress:
        summary = run(documents, registry_path, binding, output,
                      fmt=fmt, client=client, progress=progress, weak=weak)
        threads = worker_count(client)
    if summary.partitions < threads:
        click.echo(f"quelvane: note: the corpus made {summary.partitions} partition(s), so only "
                   f"{summary.partitions} of the {threads} workers had work", err=True)
    if summary.weak_hidden:
        plural = "ies" if summary.weak_hidden != 1 else "y"
        click.echo(f"quelvane: note: {summary.weak_hidden} weak similarit{plural} not written, of a kind unrelated "
                   "texts often share; write them with --weak", err=True)
    _print_summary(summary, as_json, output)


@main.command(epilog=EPILOG)
@_corpus_options
@click.option("--threshold", type=click.FloatRange(0, 1, min_open=True),
              help="Share of the MinHash positions two documents must agree in  [default: 0.7].")
@_json_option
@_reports_errors
def dedup(corpus: tuple[Path, ...], output: Path, fmt: str, field: str, id_field: str | None, workers: int | None,
          scheduler: str | None, max_bytes: int, threshold: float | None, as_json: bool) -> None:
    """Near-duplicate clusters within CORPUS: one row per document with its cluster in
    OUTPUT/clusters (keep the rows whose document is its own cluster to deduplicate), unreadable
    documents in OUTPUT/errors.

    \b
    Example:
      quelvane dedup corpus/ --output clusters --threshold 0.8 --workers 2
    """
    require(("numpy", "scipy", "pyarrow") if fmt == "parquet" else ("numpy", "scipy"), "quelvane dedup", "dask")
    from .dedup import dedup as run

    documents = Corpus.of(corpus, field=field, max_bytes=max_bytes, id_field=id_field)
    chosen = {} if threshold is None else {"threshold": threshold}
    # The steps of a deduplication are not partition by partition: the bar only shows it is alive.
    with _dask_client(workers, scheduler) as client, _progress_bar("deduplicating", as_json, counted=False):
        summary = run(documents, output, fmt=fmt, client=client, **chosen)
    _print_summary(summary, as_json, output)
