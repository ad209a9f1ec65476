"""vexdatac: fund reference data client backed by a local SQLite database.

    import vexdatac
    vexdatac.set_database("/path/to/funds.sqlite")   # optional
    vexdatac.fund.get_nav("000001", start_date="20200101")

See README.md in this package for the database location rules, the schema,
the sample data and the CSV import format.
"""
from vexdatac import fund, share  # noqa: F401
from vexdatac.config import get_database_path, set_database  # noqa: F401
from vexdatac.share.errors import BadRequest  # noqa: F401

__version__ = "0.1.0"
__all__ = ["fund", "share", "set_database", "get_database_path", "BadRequest"]
