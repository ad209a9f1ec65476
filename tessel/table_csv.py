"""Writing result tables as CSV: the bytes ``DataFrame.to_csv`` writes, built from whole columns at a time.

``to_csv`` turns every float into a Python string one by one, which costs
about a microsecond per value; a positions table of millions of rows takes
seconds.  :func:`write_csv` writes the same bytes in chunks of rows, laid out
by the native ``tessel._table_csv.rows`` from an array per column:

* floats: their shortest round-trip text, numpy's ``str`` of them (what
  ``to_csv`` writes), made natively; NaN is an empty field;
* integers: their digits, made natively (unsigned 64-bit ones and booleans
  through ``str``);
* dates and strings: formatted once per distinct value, through the same
  pandas and ``csv`` module calls that ``to_csv`` makes, then repeated by
  index.

Tables with anything else (a column type not listed, labels that are not
text, duplicate labels, no rows) go through ``to_csv`` itself, and so does
every table when the native module is missing.
"""
import csv
import io
import os

import numpy as np
import pandas as pd

try:
    from tessel._table_csv import rows as _native_rows
except ImportError:  # a checkout without its built modules: to_csv writes every table
    _native_rows = None

CHUNK_ROWS = 1 << 16


def float_texts(values):
    """The text ``to_csv`` writes for each of ``values`` (float64): a list of str, NaN as ``""``."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    if len(values) == 0:
        return []
    return _native_rows([values], "\n").decode("ascii").split("\n")[:-1]


def _csv_fields(items):
    """The text the csv writer gives each of ``items`` as one field of a row, encoded."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator=os.linesep, quoting=csv.QUOTE_MINIMAL)
    lengths = [writer.writerow((item, "")) for item in items]
    text = buffer.getvalue()
    tail = len("," + os.linesep)
    fields, start = [], 0
    for length in lengths:
        fields.append(text[start:start + length - tail].encode("utf-8"))
        start += length
    return fields


class _DistinctValues:
    """Rows of a column formatted once per distinct value; each text is kept for the following chunks."""

    def __init__(self, values, format_values):
        self._values = values
        self._format = format_values
        self._texts = {}

    def __call__(self, start, stop, rounding):
        codes, uniques = pd.factorize(self._values[start:stop])
        uniques = np.asarray(uniques, dtype=object).tolist()  # plain objects, without a call per value
        new = [u for u in uniques if u not in self._texts]
        if new:
            texts = self._format(new)
            if any(b"\0" in t for t in texts):
                raise _Unsupported  # the rows are written from NUL-padded texts, up to their first NUL
            self._texts.update(zip(new, texts))
        # Code -1 (missing: None, NaN, NaT) picks the empty text at the end.
        table = np.array([self._texts[u] for u in uniques] + [b""], dtype="S")
        return table[codes]


def _date_texts(stamps, dtype, date_format):
    """``date_format`` text of int64 ``stamps`` of ``dtype``, as to_csv writes them (NaT is empty)."""
    dates = pd.DatetimeIndex(np.asarray(stamps, dtype=np.int64).view(dtype))
    return [b"" if t is None or t != t else t.encode("utf-8") for t in dates.strftime(date_format)]


class _Unsupported(Exception):
    """A column the fast path does not write; the table goes through to_csv."""


def _column_writer(values, date_format):
    """A function giving the field array of rows ``start:stop`` of one column (floats are rounded first)."""
    dtype = values.dtype
    if dtype == np.float64:
        return lambda start, stop, rounding: np.asarray(rounding(values[start:stop]), dtype=np.float64)
    if isinstance(dtype, np.dtype) and (dtype.kind == "i" or (dtype.kind == "u" and dtype.itemsize < 8)):
        return lambda start, stop, rounding: values[start:stop].astype(np.int64)
    if isinstance(dtype, np.dtype) and dtype.kind in "ub":
        return lambda start, stop, rounding: np.array(
            [str(v) for v in values[start:stop].tolist()] if dtype.kind == "b" else values[start:stop].astype(str),
            dtype="S")
    if isinstance(dtype, np.dtype) and dtype.kind == "M":
        if date_format is None or "\n" in date_format or "\r" in date_format:
            raise _Unsupported  # without a format pandas picks one for the whole column
        return _DistinctValues(values.view(np.int64), lambda stamps: _date_texts(stamps, dtype, date_format))
    if isinstance(dtype, pd.StringDtype) or (dtype == object and pd.api.types.infer_dtype(
            values, skipna=True) in ("string", "empty")):
        return _DistinctValues(values, _csv_fields)
    raise _Unsupported


def _plain_columns(frame, index):
    """(label, values) of what is written, or raise _Unsupported."""
    labels = list(frame.columns)
    if (len(frame) == 0 or not labels or isinstance(frame.columns, pd.MultiIndex) or not frame.columns.is_unique
            or not all(isinstance(label, str) for label in labels)):
        raise _Unsupported
    columns = []
    if index:
        if not isinstance(frame.index, pd.DatetimeIndex) or frame.index.tz is not None:
            raise _Unsupported
        name = frame.index.name
        if name is not None and not isinstance(name, str):
            raise _Unsupported
        columns.append(("" if name is None else name, frame.index.to_numpy()))
    for label in labels:
        series = frame[label]
        if isinstance(series.dtype, pd.StringDtype):
            values = series.array
        elif isinstance(series.dtype, np.dtype):
            values = series.to_numpy()
        else:  # extension types (nullable numbers, categories, ...) read as numpy arrays of another kind
            raise _Unsupported
        columns.append((label, values))
    if len(columns) < 2:
        raise _Unsupported  # a row of one empty field is written quoted
    return columns


def write_csv_plain(frame, path, index=False, date_format=None, rounding=None):
    """The reference way: round the float columns of a copy, then ``DataFrame.to_csv``."""
    if rounding is not None:
        frame = frame.copy()
        for column in frame.select_dtypes(include="floating").columns:
            frame[column] = rounding(frame[column].to_numpy(dtype=float))
    frame.to_csv(path, index=index, date_format=date_format)


def _identity(values):
    return values


def write_csv(frame, path, index=False, date_format=None, rounding=None, chunk_rows=CHUNK_ROWS):
    """Write ``frame`` to ``path`` byte for byte as :func:`write_csv_plain` does, in chunks of ``chunk_rows``.

    ``rounding`` (a function of a float array) is applied to the float
    columns first, as the reference does; the frame itself is not copied.
    """
    try:
        if _native_rows is None:
            raise _Unsupported
        columns = _plain_columns(frame, index)
        floating = set(frame.select_dtypes(include="floating").columns)
        if any(frame[label].dtype != np.float64 for label in floating):
            raise _Unsupported
        writers = [_column_writer(values, date_format) for _, values in columns]
    except _Unsupported:
        write_csv_plain(frame, path, index=index, date_format=date_format, rounding=rounding)
        return
    try:
        _write_chunks(frame, path, columns, writers, rounding, chunk_rows)
    except _Unsupported:  # found in a later chunk: start again the plain way
        write_csv_plain(frame, path, index=index, date_format=date_format, rounding=rounding)


def _write_chunks(frame, path, columns, writers, rounding, chunk_rows):
    header = _csv_fields([label for label, _ in columns])
    if any(b"\0" in t for t in header):
        raise _Unsupported
    rows = len(frame)
    with open(path, "wb") as f:
        f.write(b",".join(header) + os.linesep.encode())
        for start in range(0, rows, chunk_rows):
            stop = min(start + chunk_rows, rows)
            fields = []
            for (_, values), writer in zip(columns, writers):
                rounded = rounding is not None and values.dtype == np.float64
                fields.append(writer(start, stop, rounding if rounded else _identity))
            f.write(_native_rows(fields, os.linesep))
