"""The JSON the service takes and gives, as pydantic models: they validate requests and
describe every body in the OpenAPI document.

Character offsets count Unicode code points (Python string indices) of the text they refer to:
`found_text` for the found side, the publication's visible text for the other."""
from __future__ import annotations

from typing import Any, Dict, List, Literal, Optional, Union

from pydantic import BaseModel, ConfigDict, Field

from .. import identify, storage
from ..identify import Match, Verdict

FormatName = Literal["text", "html", "markdown"]

# The identify result is defined once, as identify's dataclasses; their field docstrings describe
# it in the OpenAPI document too.
for _model in (identify.Match, identify.PublicationFacts, identify.Evidence, identify.SharedPassage, identify.Span,
               identify.AssertionCheck, identify.ManifestCheck, storage.Withdrawal):
    setattr(_model, "__pydantic_config__", ConfigDict(use_attribute_docstrings=True))


class _Request(BaseModel):
    model_config = ConfigDict(extra="forbid")


class IdentifyRequest(_Request):
    text: str = Field(description="The text found, as plain text, HTML or Markdown.")
    format: FormatName = Field("text", description="How to read `text`: its visible text is what gets compared.")


class PublishRequest(_Request):
    text: str = Field(description="The text to publish.")
    format: FormatName = "text"
    metadata: Dict[str, Any] = Field(default_factory=dict,
                                     description="Public metadata stored with it (title, URL, date, ...).")


class Envelope(BaseModel):
    alg: str
    cose_hex: str = Field(description="The COSE_Sign1 envelope of the assertion, hex.")


class PublicationSummary(BaseModel):
    pointer: str
    format: FormatName
    created: str
    metadata: Dict[str, Any]
    content_hash: str
    public_key: str = Field(description="Ed25519 public key (hex) that verifies the envelopes.")
    characters: int = Field(description="Length of the publication's visible text.")


class WithdrawalRecord(BaseModel):
    reason: str
    at: str


class PublicRecord(PublicationSummary):
    envelopes: List[Envelope]
    watermark_runs: int
    watermark_note: str
    withdrawal: Optional[WithdrawalRecord] = Field(
        description="When withdrawn: why and when; its copies are then reported as withdrawn, never as matches.")


class IdentifyResponse(BaseModel):
    """The identify result: `Matches.as_json`, the same as `quelvane identify --json` gives per file."""

    verdict: Union[Verdict, Literal["none"]] = Field(
        description="The strongest row's verdict; none when there is no row.")
    matched: int = Field(description="Rows whose verdict is match: the publications found.")
    format: FormatName
    complete: bool = Field(description="False when a bound of one request (candidates examined, rows "
                                       "reported, time) cut the search: more publications may match.")
    note: str = Field(description="When not complete, which bound cut it.")
    weak_hidden: int = Field(description="Weak rows of a kind unrelated texts often share, left out because "
                                         "weak=true was not asked for.")
    found_text: str = Field(description="The visible text that was compared; passage offsets point into it.")
    matches: List[Match] = Field(description="Matches first, then withdrawn, unverified and (shown or asked for) "
                                             "weak rows.")


class WithdrawRequest(_Request):
    reason: str = Field(description="Why it is withdrawn; identify shows it with every copy found.")


class DeleteResponse(BaseModel):
    pointer: str
    deleted_at: str


class PublishResponse(BaseModel):
    pointer: str
    published: str = Field(description="The document to publish in place of the original (watermarked "
                                       "when possible).")
    watermarked: bool
    watermark_note: str
    manifest_id: Optional[str] = Field(None, description="The id of the publication's C2PA manifest, whose store "
                                                         "is served at manifests/{id}; null when the server "
                                                         "has no signing identity.")
    record: PublicRecord


class ErrorBody(BaseModel):
    detail: str
