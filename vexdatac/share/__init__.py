"""Pieces shared by every part of the client (errors, date handling)."""
from vexdatac.share import errors  # noqa: F401
