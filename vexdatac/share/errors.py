"""Exceptions raised by the fund data client.

Callers that only want to know "did the store refuse this request" catch
`BadRequest`; everything the client raises derives from `VexdatacError`.
"""


class VexdatacError(Exception):
    """Base class of every error raised by vexdatac."""


class BadRequest(VexdatacError):
    """The request cannot be answered as asked: a malformed date, a start date
    after the end date, an order book id that is not a text, and the like.

    Unknown order book ids are not bad requests: they give None or an empty
    result instead.
    """


class DatabaseNotFound(VexdatacError, FileNotFoundError):
    """The configured database file does not exist."""


class DatabaseError(VexdatacError):
    """The database file exists but cannot be used (wrong schema version,
    not a vexdatac database, corrupted)."""


class DatabaseWriteError(VexdatacError):
    """A database file could not be written (folder not writable, disk full,
    I/O error). The target file is left exactly as it was."""


class DataImportError(VexdatacError):
    """A CSV import was refused; the message names file, line, column and the
    problem. Nothing was written to the target database."""

    def __init__(self, message, *, file=None, line=None, column=None):
        super().__init__(message)
        self.file = file
        self.line = line
        self.column = column


def shown(text, limit=40):
    """`text` quoted for an error message; a long text is clipped to its first
    and last characters and its length, so one bad cell never floods the
    terminal."""
    if len(text) <= limit:
        return repr(text)
    return f"{text[:limit - 12] + '…' + text[-8:]!r} ({len(text)} characters)"
