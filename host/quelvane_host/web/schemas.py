"""The JSON the service takes and gives, as pydantic models: they validate requests and
describe every body in the OpenAPI document.

Character offsets count Unicode code points (Python string indices) of the text they refer to:
`found_text` for the found side, the publication's visible text for the other."""
from __future__ import annotations

from typing import Any, Dict, List, Literal, Optional

from pydantic import BaseModel, ConfigDict, Field

from ..identify import MINHASH_AGREEMENT

FormatName = Literal["text", "html", "markdown"]
TierName = Literal["BOUND", "LIKELY", "REVIEW"]
VerdictName = Literal["match", "weak", "unverified"]


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


class Region(BaseModel):
    start: int
    end: int


class Passage(BaseModel):
    found: Region = Field(description="Where the passage stands in `found_text`.")
    publication: Region = Field(description="Where it stands in the publication's visible text.")
    publication_text: str = Field(description="That passage as published.")
    shared_shingles: int = Field(description="Distinct five-word sequences the two passages share.")


class AssertionResult(BaseModel):
    alg: str
    signature_ok: bool
    signature_error: Optional[str]
    tier: Optional[TierName] = Field(description="What this assertion alone says of the found text.")
    assertion: Optional[Dict[str, Any]] = Field(
        description="The signed soft-binding assertion, decoded from CBOR (byte strings as hex); "
                    "null when the signature does not verify.")


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


class PublicRecord(PublicationSummary):
    envelopes: List[Envelope]
    watermark_runs: int
    watermark_note: str


class MatchResult(BaseModel):
    pointer: str
    verdict: VerdictName = Field(description="match; weak (only the surface or structural fingerprint is close); "
                                             "unverified (no stored signature verifies).")
    tier: TierName
    tier_meaning: str
    explanation: str
    found_by: List[str] = Field(description="watermark, band keys, excerpt index.")
    watermark: bool = Field(description="A watermark whose tag verified carries this pointer.")
    shards_recovered: Optional[int]
    band_keys: int = Field(description="Whole-text MinHash band keys shared with the found text.")
    minhash_agreement: int = Field(description="Whole-text MinHash values (of 128) the found text and the "
                                               f"publication share; a whole-text match needs {MINHASH_AGREEMENT}.")
    identical: bool = Field(description="The found visible text equals the publication's, white space and "
                                        "zero-width characters aside.")
    differences: List[str] = Field(description="When not identical, the first few differing stretches.")
    crosscheck_ok: bool = Field(description="The found text's cross-check tag equals the publication's: "
                                            "the same words.")
    passages: List[Passage]
    assertions: List[AssertionResult]
    publication: PublicationSummary


class IdentifyResponse(BaseModel):
    format: FormatName
    found_text: str = Field(description="The visible text that was compared; passage offsets point into it.")
    matches: List[MatchResult] = Field(description="Strongest first.")
    complete: bool = Field(description="False when a bound of one request (candidates examined, rows "
                                       "reported, time) cut the search: more publications may match.")
    note: str = Field(description="When not complete, which bound cut it.")


class PublishResponse(BaseModel):
    pointer: str
    published: str = Field(description="The document to publish in place of the original (watermarked "
                                       "when possible).")
    watermarked: bool
    watermark_note: str
    record: PublicRecord


class ErrorBody(BaseModel):
    detail: str
