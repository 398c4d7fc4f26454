"""The `quelvane` command line: parses arguments, calls the library, prints. Nothing else."""
from __future__ import annotations

import contextlib
import dataclasses
import functools
import json
import os
import sys
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, TypeVar

import click

from .corpus import DEFAULT_FIELD, Corpus
from .corpus import DEFAULT_MAX_BYTES as CORPUS_MAX_BYTES
from .errors import NotFoundError, QuelvaneHostError
from .formats import Format
from .identify import Match
from .keys import Keys
from .output import FORMATS
from .publish import DEFAULT_MAX_BYTES, PublishResult
from .registry import Registry, read_text

EXIT_OK, EXIT_NOTHING_FOUND, EXIT_USAGE, EXIT_ERROR, EXIT_SOME_FAILED = 0, 1, 2, 3, 4
SUFFIX_FORMATS: dict[str, Format] = {".html": "html", ".htm": "html", ".md": "markdown", ".markdown": "markdown"}
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
        except NotFoundError as error:
            click.echo(f"quelvane: {error}", err=True)
            sys.exit(EXIT_NOTHING_FOUND)
        except QuelvaneHostError as error:
            click.echo(f"quelvane: {error}", err=True)
            sys.exit(EXIT_ERROR)
        except KeyboardInterrupt:
            click.echo("quelvane: interrupted; everything finished before it is stored", err=True)
            sys.exit(130)
    return wrapper  # type: ignore[return-value]


def _registry_options(command: F) -> F:
    command = click.option("--keys", "keys_path", type=click.Path(dir_okay=False, path_type=Path),
                           default="quelvane.key", show_default=True, envvar="QUELVANE_KEYS",
                           help="Key file (env QUELVANE_KEYS).")(command)
    return click.option("--registry", "registry_path", default="quelvane.db", show_default=True,
                        envvar="QUELVANE_REGISTRY",
                        help="Registry file, sqlite:///path or postgresql://user@host/database URL "
                             "(env QUELVANE_REGISTRY).")(command)


def _json_option(command: F) -> F:
    return click.option("--json", "as_json", is_flag=True, help="Print results as JSON.")(command)


def _format_option(command: F) -> F:
    return click.option("--format", "format_name", type=click.Choice(["auto", "text", "html", "markdown"]),
                        default="auto", show_default=True,
                        help="How to read the file; auto goes by its suffix (.html, .htm, .md, .markdown).")(command)


def _open(registry_path: str, keys_path: Path, max_bytes: int = DEFAULT_MAX_BYTES) -> Registry:
    return Registry.open(registry_path, keys_path, max_bytes=max_bytes)


def _format_of(path: Path, format_name: str) -> Format:
    if format_name != "auto":
        return format_name  # type: ignore[return-value]
    return SUFFIX_FORMATS.get(path.suffix.lower(), "text")


def _print_json(value: object) -> None:
    click.echo(json.dumps(value, ensure_ascii=False, indent=2))


@click.group(epilog=EPILOG)
@click.version_option(package_name="quelvane", prog_name="quelvane")
def main() -> None:
    """Publish texts with signed provenance and find them again.

    \b
    quelvane init                  make a key file and an empty registry
    quelvane publish article.txt   sign, watermark and register a text
    quelvane identify found.txt    which publications a found text comes from
    """


@main.command(epilog=EPILOG)
@_registry_options
@click.option("--repository-id", help="Identifier of this registry in cross-check tags (default: random).")
@_reports_errors
def init(registry_path: str, keys_path: Path, repository_id: str | None) -> None:
    """Create a key file (readable by you only) and an empty registry."""
    if not keys_path.exists():
        Keys.generate(repository_id).save(keys_path)
        click.echo(f"created key file {keys_path} (keep it private; back it up)")
    keys = Keys.load(keys_path)
    with Registry.create(registry_path, keys) as registry:
        # The storage's own name for itself: a server URL's password stays out of the output.
        click.echo(f"created registry {registry.storage.location}; public key {keys.public_hex}")


@main.command(epilog=EPILOG)
@_registry_options
@_format_option
@click.argument("files", nargs=-1, required=True, type=click.Path(exists=True, dir_okay=False, path_type=Path))
@click.option("--output-dir", type=click.Path(file_okay=False, path_type=Path),
              help="Where to write the documents to publish (default: beside each input, NAME.published.EXT).")
@click.option("--title", help="Title to store with each publication.")
@click.option("--metadata", "metadata_json", help='Metadata to store, as a JSON object, e.g. {"url": "..."}.')
@click.option("--max-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse files larger than this.")
@_json_option
@_reports_errors
def publish(registry_path: str, keys_path: Path, format_name: str, files: tuple[Path, ...],
            output_dir: Path | None, title: str | None, metadata_json: str | None, max_bytes: int,
            as_json: bool) -> None:
    """Sign, watermark and register FILES; write the documents to publish in their place."""
    metadata = _parse_metadata(metadata_json)
    if title is not None:
        metadata["title"] = title
    with _open(registry_path, keys_path, max_bytes) as registry:
        failed = _publish_all(registry, [(f, f.parent if output_dir is None else output_dir) for f in files],
                              format_name, metadata, as_json, progress=False)
    sys.exit(EXIT_SOME_FAILED if failed else EXIT_OK)


@main.command(epilog=EPILOG)
@_registry_options
@_format_option
@click.argument("directory", type=click.Path(exists=True, file_okay=False, path_type=Path))
@click.option("--output-dir", type=click.Path(file_okay=False, path_type=Path),
              help="Where to write the documents to publish (default: DIRECTORY.published).")
@click.option("--max-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse files larger than this.")
@_json_option
@_reports_errors
def index(registry_path: str, keys_path: Path, format_name: str, directory: Path, output_dir: Path | None,
          max_bytes: int, as_json: bool) -> None:
    """Publish every file under DIRECTORY; a file that fails is reported and the rest go on."""
    target = output_dir or directory.with_name(directory.name + ".published")
    files = sorted(p for p in directory.rglob("*") if p.is_file())
    jobs = [(f, target / f.relative_to(directory).parent) for f in files]
    with _open(registry_path, keys_path, max_bytes) as registry:
        failed = _publish_all(registry, jobs, format_name, {}, as_json, progress=True)
    if not as_json:
        click.echo(f"{len(files) - failed} published, {failed} failed; documents in {target}")
    sys.exit(EXIT_SOME_FAILED if failed else EXIT_OK)


def _publish_all(registry: Registry, jobs: list[tuple[Path, Path]], format_name: str,
                 metadata: dict[str, Any], as_json: bool, *, progress: bool) -> int:
    from rich.console import Console
    from rich.progress import Progress

    failed = 0
    results: list[dict[str, Any]] = []
    # The bar and the per-file errors share standard error; results go to standard output.
    with Progress(console=Console(stderr=True), disable=not progress or as_json, transient=True) as bar:
        task = bar.add_task("publishing", total=len(jobs))
        for path, out_dir in jobs:
            try:
                result = _publish_file(registry, path, out_dir, _format_of(path, format_name), metadata)
                results.append({"file": str(path), **_result_dict(result[0]), "output": str(result[1])})
                if not as_json:
                    click.echo(f"{path}: {result[0].pointer} -> {result[1]}"
                               + (f" ({result[0].watermark_note})" if result[0].watermark_note else ""))
            except QuelvaneHostError as error:
                failed += 1
                results.append({"file": str(path), "error": str(error)})
                bar.console.print(f"{path}: error: {error}", markup=False, highlight=False)
            bar.advance(task)
    if as_json:
        _print_json(results)
    return failed


def _publish_file(registry: Registry, path: Path, out_dir: Path, format: Format, metadata: dict[str, Any]
                  ) -> tuple[PublishResult, Path]:
    text = read_text(path, registry.max_bytes)
    result = registry.publish(text, format=format, metadata={"file": path.name, **metadata})
    out_dir.mkdir(parents=True, exist_ok=True)
    output = out_dir / f"{path.stem}.published{path.suffix}"
    output.write_text(result.published, encoding="utf-8")
    return result, output


def _result_dict(result: PublishResult) -> dict[str, Any]:
    return {"pointer": result.pointer, "watermarked": result.watermarked, "watermark_runs": result.watermark_runs,
            "watermark_note": result.watermark_note, "content_hash": result.content_hash}


def _parse_metadata(metadata_json: str | None) -> dict[str, Any]:
    if metadata_json is None:
        return {}
    try:
        value = json.loads(metadata_json)
    except ValueError as error:
        raise click.BadParameter(f"not JSON: {error}", param_hint="--metadata") from None
    if not isinstance(value, dict):
        raise click.BadParameter("must be a JSON object", param_hint="--metadata")
    return value


@main.command(epilog=EPILOG)
@_registry_options
@_format_option
@click.argument("file", type=click.Path(exists=True, dir_okay=False, allow_dash=True, path_type=Path))
@_json_option
@_reports_errors
def identify(registry_path: str, keys_path: Path, format_name: str, file: Path, as_json: bool) -> None:
    """Find the publications FILE (or - for standard input) comes from, strongest first."""
    with _open(registry_path, keys_path) as registry:
        text = read_text(file, registry.max_bytes) if str(file) != "-" else _stdin_text(registry.max_bytes)
        matches = registry.identify(text, format=_format_of(file, format_name))
    if as_json:
        _print_json([dataclasses.asdict(m) for m in matches])
    else:
        _print_matches(matches)
    if not matches.complete:
        # On stderr, so that the JSON on stdout keeps its shape.
        click.echo(f"quelvane: result cut: {matches.note}", err=True)
    sys.exit(EXIT_OK if any(m.verdict == "match" for m in matches) else EXIT_NOTHING_FOUND)


def _stdin_text(max_bytes: int) -> str:
    from .publish import check_input, decode

    text = decode(sys.stdin.buffer.read(max_bytes + 1), max_bytes)
    check_input(text, max_bytes)
    return text


def _print_matches(matches: Iterable[Match]) -> None:
    shown = False
    for match in matches:
        shown = True
        title = match.metadata.get("title") or match.metadata.get("file") or ""
        click.echo(f"{match.pointer}  {match.verdict.upper()}  tier {match.tier}  {title}")
        click.echo(f"  found by: {', '.join(match.evidence.found_by) or 'fingerprints only'}; "
                   f"cross-check {'holds' if match.evidence.crosscheck_ok else 'differs'}")
        click.echo(f"  {match.explanation}")
        if match.evidence.identical:
            click.echo("  the copy is identical to the publication (white space aside)")
        else:
            click.echo(f"  the copy differs from the publication: {'; '.join(match.evidence.differences)}")
        for check in match.evidence.assertions:
            state = "signature ok" if check.signature_ok else f"signature FAILED ({check.signature_error})"
            click.echo(f"    {check.alg}: {state}, tier {check.tier or '-'}")
        for p in match.evidence.passages:
            click.echo(f"    passage: found text {p.found_start}-{p.found_end}, "
                       f"publication {p.published_start}-{p.published_end}")
    if not shown:
        click.echo("no publication found")


@main.command(name="list", epilog=EPILOG)
@_registry_options
@click.option("--limit", type=click.IntRange(1), help="Show at most this many.")
@click.option("--offset", type=click.IntRange(0), default=0, help="Skip this many first.")
@_json_option
@_reports_errors
def list_command(registry_path: str, keys_path: Path, limit: int | None, offset: int, as_json: bool) -> None:
    """List publications, oldest first."""
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
    """Show what is stored under POINTER."""
    with _open(registry_path, keys_path) as registry:
        publication = registry.show(pointer)
    if print_text:
        click.echo(publication.published, nl=False)
    elif as_json:
        _print_json(dataclasses.asdict(publication))
    else:
        for name in ("pointer", "format", "created", "content_hash", "crosscheck_tag", "public_key",
                     "watermark_runs", "watermark_note"):
            click.echo(f"{name}: {getattr(publication, name)}")
        click.echo(f"metadata: {json.dumps(publication.metadata, ensure_ascii=False)}")
        click.echo(f"assertions: {', '.join(e.alg for e in publication.envelopes)}")
        click.echo(f"characters: {len(publication.text)}")


@main.command(name="export", epilog=EPILOG)
@_registry_options
@click.argument("output", type=click.File("w", encoding="utf-8"), default="-")
@_reports_errors
def export_command(registry_path: str, keys_path: Path, output: Any) -> None:
    """Write every publication as JSON Lines to OUTPUT (default: standard output)."""
    with _open(registry_path, keys_path) as registry:
        count = registry.export_jsonl(output)
    click.echo(f"exported {count} publications", err=True)


@main.command(name="import", epilog=EPILOG)
@_registry_options
@click.argument("source", type=click.File("r", encoding="utf-8"))
@_json_option
@_reports_errors
def import_command(registry_path: str, keys_path: Path, source: Any, as_json: bool) -> None:
    """Add the publications of a JSON Lines export, checking every signature."""
    with _open(registry_path, keys_path) as registry:
        result = registry.import_jsonl(source)
    if as_json:
        _print_json(dataclasses.asdict(result))
    else:
        click.echo(f"imported {result.added} publications, {result.skipped} already present")


@main.command(epilog=EPILOG)
@_registry_options
@click.option("--host", default="127.0.0.1", show_default=True,
              help="Address to listen on; keep 127.0.0.1 behind a reverse proxy.")
@click.option("--port", type=click.IntRange(1, 65535), default=8000, show_default=True, help="Port to listen on.")
@click.option("--token-file", type=click.Path(dir_okay=False, path_type=Path), envvar="QUELVANE_TOKEN_FILE",
              help="File holding the bearer token that allows POST /publications, readable by you only "
                   "(env QUELVANE_TOKEN_FILE; or put the token itself in env QUELVANE_TOKEN). "
                   "Without a token, publishing over HTTP is off.")
@click.option("--max-body-bytes", type=click.IntRange(1), default=DEFAULT_MAX_BYTES, show_default=True,
              help="Refuse request bodies larger than this with 413.")
@click.option("--forwarded-allow-ips", default="127.0.0.1", show_default=True,
              help="Proxies whose X-Forwarded-For and X-Forwarded-Proto headers are believed.")
@_reports_errors
def serve(registry_path: str, keys_path: Path, host: str, port: int, token_file: Path | None,
          max_body_bytes: int, forwarded_allow_ips: str) -> None:
    """Serve the JSON API and the page where anyone can check a text (needs quelvane[server])."""
    from .web import ServiceConfig, read_token, serve as run

    config = ServiceConfig(registry_path, Keys.load(keys_path), read_token(token_file, os.environ),
                           max_body_bytes=max_body_bytes)
    click.echo(f"publishing over HTTP is {'on (token set)' if config.token else 'off (no token)'}", err=True)
    run(config, host, port, forwarded_allow_ips=forwarded_allow_ips)


DASK_MISSING = "running on Dask needs its optional dependencies: pip install 'quelvane[dask]'"


def _corpus_options(command: F) -> F:
    command = click.option("--max-bytes", type=click.IntRange(1), default=CORPUS_MAX_BYTES, show_default=True,
                           help="Report documents larger than this (UTF-8 bytes) as errors.")(command)
    command = click.option("--scheduler", help="Address of a running Dask scheduler, e.g. tcp://host:8786.")(command)
    command = click.option("--workers", type=click.IntRange(1),
                           help="Start a local Dask cluster of this many worker processes (one thread each); "
                                "without it or --scheduler, run in this process.")(command)
    command = click.option("--field", default=DEFAULT_FIELD, show_default=True,
                           help="The JSON Lines field or Parquet column that holds the text.")(command)
    command = click.option("--format", "fmt", type=click.Choice(list(FORMATS)), default="parquet",
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
    from .dedup import local_cluster

    if workers is None:
        with Client(scheduler) as client:  # type: ignore[no-untyped-call]
            yield client
        return
    with local_cluster(workers) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        yield client


@contextlib.contextmanager
def _progress_bar(label: str, hidden: bool) -> Iterator[Callable[[int, int], None]]:
    from rich.console import Console
    from rich.progress import Progress

    with Progress(console=Console(stderr=True), disable=hidden, transient=True) as bar:
        task = bar.add_task(label, total=None)

        def advance(done: int, total: int) -> None:
            bar.update(task, completed=done, total=total)
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
@_json_option
@_reports_errors
def scan(registry_path: str, keys_path: Path, corpus: tuple[Path, ...], output: Path, fmt: str, field: str,
         workers: int | None, scheduler: str | None, max_bytes: int, as_json: bool) -> None:
    """Find copies of the registry's publications in CORPUS (text files, folders of them, JSON Lines
    or Parquet): one row per (document, publication) in OUTPUT/matches, unreadable documents in
    OUTPUT/errors."""
    with _needs_dask_extra():
        from .scan import BindingKey, scan as run

    keys = Keys.load(keys_path)
    documents = Corpus.of(corpus, field=field, max_bytes=max_bytes)
    with _dask_client(workers, scheduler) as client, _progress_bar("scanning", as_json) as progress:
        summary = run(documents, registry_path, BindingKey(keys.binding_hex, keys.repository_id), output,
                      fmt=fmt, client=client, progress=progress)
    _print_summary(summary, as_json, output)


@main.command(epilog=EPILOG)
@_corpus_options
@click.option("--threshold", type=click.FloatRange(0, 1, min_open=True),
              help="Share of the MinHash positions two documents must agree in  [default: 0.7].")
@_json_option
@_reports_errors
def dedup(corpus: tuple[Path, ...], output: Path, fmt: str, field: str, workers: int | None,
          scheduler: str | None, max_bytes: int, threshold: float | None, as_json: bool) -> None:
    """Near-duplicate clusters within CORPUS: one row per document with its cluster in
    OUTPUT/clusters (keep the rows whose document is its own cluster to deduplicate), unreadable
    documents in OUTPUT/errors."""
    with _needs_dask_extra():
        from .dedup import dedup as run

    documents = Corpus.of(corpus, field=field, max_bytes=max_bytes)
    chosen = {} if threshold is None else {"threshold": threshold}
    # The steps of a deduplication are not partition by partition: the bar only shows it is alive.
    with _dask_client(workers, scheduler) as client, _progress_bar("deduplicating", as_json):
        summary = run(documents, output, fmt=fmt, client=client, **chosen)
    _print_summary(summary, as_json, output)
