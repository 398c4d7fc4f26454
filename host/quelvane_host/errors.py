"""The exceptions a caller of the host can catch by kind.

Every message says what went wrong and what to do about it; none carries key material."""


class QuelvaneHostError(Exception):
    """Base of every error the host raises on purpose."""


class KeyFileError(QuelvaneHostError):
    """The key file is missing, unreadable, exposed to other users or malformed."""


class RegistryError(QuelvaneHostError):
    """The registry cannot be opened, is corrupt, is newer than this program, or refused a write."""


class InputError(QuelvaneHostError):
    """A text to publish or identify cannot be used (not UTF-8, empty, binary, too large)."""


class OutputError(QuelvaneHostError):
    """A document to publish cannot be written: the file exists, is a link, or its folder cannot be written."""


class NotFoundError(QuelvaneHostError):
    """No publication is stored under the pointer asked for."""


class NoRegistryError(RegistryError):
    """No registry is stored where one was asked for: nothing there, or an empty file."""


class IdentityError(QuelvaneHostError):
    """A C2PA signing identity (certificate chain and key) or trust anchor cannot be used."""


class ManifestError(QuelvaneHostError):
    """A C2PA manifest store cannot be built or read, or the C2PA SDK is not available."""
