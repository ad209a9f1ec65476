"""Writing result tables as CSV: the bytes ``DataFrame.to_csv`` writes, built from whole columns at a time.

``to_csv`` turns every float into a Python string one by one, which costs
about a microsecond per value; a positions table of millions of rows takes
seconds.  :func:`write_csv` writes the same bytes in chunks of rows:

* floats: their shortest round-trip text (what ``to_csv`` writes) built with
  integer arithmetic on whole arrays.  The digits come from the value scaled
  to 15 significant digits; the scaled integer is accepted only when
  dividing it back gives exactly the value, in which case no shorter text
  reads back as the same float, so the digits are the shortest ones.  Other
  values (more than 15 significant digits, or below 1e-4 or from 1e16 up,
  which are written with an exponent) and NaN and infinities take numpy's
  text, the one ``to_csv`` uses;
* dates, strings and integers: formatted once per distinct value, through
  the same pandas and ``csv`` module calls that ``to_csv`` makes, then
  repeated by index.

Tables with anything else (a column type not listed, labels that are not
text, duplicate labels, no rows) go through ``to_csv`` itself.
"""
import csv
import io
import os

import numpy as np
import pandas as pd

CHUNK_ROWS = 1 << 16

_POW10 = 10.0 ** np.arange(23)  # exact in binary up to 1e22
_INT_POW10 = 10 ** np.arange(19, dtype=np.int64)


def _words(texts, dtype):
    return np.frombuffer("".join(texts).encode("ascii"), dtype=dtype)


# Groups of four digits as 32-bit words of ASCII text (two digits as 16-bit ones), NUL where nothing is written:
# all digits; without leading zeros (the leading group of an integer part); the same for the units group (which
# writes 0 as "0"); without trailing zeros (the last group of decimals).
_FOUR = ["{:04d}".format(i) for i in range(10000)]
_GROUPS = _words(_FOUR + [t.lstrip("0").rjust(4, "\0") for t in _FOUR]
                 + [(t.lstrip("0") or "0").rjust(4, "\0") for t in _FOUR]
                 + [t.rstrip("0").ljust(4, "\0") for t in _FOUR], "<u4")
_ALL, _NO_LEADING, _UNITS, _NO_TRAILING = (10000 * k for k in range(4))
_TWO = ["{:02d}".format(i) for i in range(100)]
# The first two decimals: all digits, or (nothing after them) without trailing zeros, at least one.
_FIRST_PAIR = _words(_TWO + [t.rstrip("0").ljust(2, "\0") if i else "0\0" for i, t in enumerate(_TWO)], "<u2")
_POSITIONAL = (-4, 15)  # exponents of the leading digit that repr writes without an exponent


def _shortest_digits(magnitude):
    """(digits as an int of 15 digits, exponent of the leading one, exact) for positive ``magnitude``.

    ``exact`` holds where the 15-digit decimal reads back as exactly the
    value: then no other decimal of 15 digits or fewer does (they lie more
    than a unit of the last place apart), so the shortest text of the value
    is these digits without their trailing zeros.  Only exponents of the
    positional range are tried.
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        exponent = np.floor(np.log10(magnitude))
    exponent = np.clip(np.nan_to_num(exponent), _POSITIONAL[0] - 1, _POSITIONAL[1] + 1).astype(np.int64)
    scaled = _scaled(magnitude, exponent)
    # log10 may land one off next to a power of ten
    high, low = scaled >= 1e15, scaled < 1e14
    off = high | low
    if off.any():
        exponent += high.astype(np.int64) - low
        scaled[off] = _scaled(magnitude[off], exponent[off])
    inside = (exponent >= _POSITIONAL[0]) & (exponent <= _POSITIONAL[1])
    shift = 14 - exponent
    back = np.where(shift >= 0, scaled / _POW10[np.clip(shift, 0, 22)], scaled * _POW10[np.clip(-shift, 0, 22)])
    exact = inside & (back == magnitude) & (scaled < 1e15) & (scaled >= 1e14)
    return np.where(exact, scaled, 1e14).astype(np.int64), np.where(exact, exponent, 0), exact


def _scaled(magnitude, exponent):
    shift = 14 - exponent
    return np.rint(magnitude * _POW10[np.clip(shift, 0, 22)] / _POW10[np.clip(-shift, 0, 22)])


def _group_words(numbers, groups, leading):
    """(n, groups) words of text of ``numbers`` (below 10 ** (4 * groups)), most significant group first.

    With ``leading`` the zeros before the first digit are left out (the
    units digit stays); otherwise the zeros after the last non-zero digit.
    """
    parts = []
    rest = numbers
    for _ in range(groups):
        high = rest // 10000
        parts.append(rest - high * 10000)
        rest = high
    parts.reverse()
    words = np.empty((len(numbers), groups), dtype="<u4")
    if leading:
        before = np.ones(len(numbers), dtype=bool)  # nothing but zeros before this group
        for k, group in enumerate(parts):
            table = np.where(before, _UNITS if k == groups - 1 else _NO_LEADING, _ALL)
            words[:, k] = _GROUPS[group + table]
            before &= group == 0
    else:
        after = np.ones(len(numbers), dtype=bool)  # nothing but zeros after this group
        for k in range(groups - 1, -1, -1):
            words[:, k] = _GROUPS[parts[k] + np.where(after, _NO_TRAILING, _ALL)]
            after &= parts[k] == 0
    return words


def float_texts(values):
    """The text ``to_csv`` writes for each of ``values`` (float64), as rows of a uint8 matrix.

    Each row holds the characters of one value in order, with NUL bytes
    between and after them that the writer leaves out; NaN has none.
    """
    values = np.asarray(values, dtype=np.float64)
    n = len(values)
    magnitude = np.abs(values)
    regular = np.isfinite(values) & (magnitude != 0)
    mantissa, exponent, exact = _shortest_digits(np.where(regular, magnitude, 1.0))
    exact &= regular
    zero = magnitude == 0  # 0.0 and -0.0: digits 0, units place
    if zero.any():
        mantissa[zero] = 0
        exponent[zero] = 0
        exact |= zero
    # The integer part (below 1e16) and the decimals as an 18-digit integer: exact integers.
    shift = np.clip(14 - exponent, 0, 18)
    whole = mantissa // _INT_POW10[shift]
    fraction = (mantissa - whole * _INT_POW10[shift]) * _INT_POW10[np.clip(4 + exponent, 0, 18)]
    big = exponent == 15
    if big.any():
        whole[big] = mantissa[big] * 10
        fraction[big] = 0
    pair = fraction // _INT_POW10[16]
    decimals = fraction - pair * _INT_POW10[16]
    # Groups no row needs are left out: leading ones of the integer part, trailing ones of the decimals.
    top = int(whole.max()) if n else 0
    int_groups = next(k for k in range(1, 5) if top < 10 ** (4 * k))
    dropped = next(k for k in range(4, -1, -1) if k == 0 or not (decimals % _INT_POW10[4 * k]).any())
    int_words = _group_words(whole, int_groups, leading=True)
    frac_words = _group_words(decimals // _INT_POW10[4 * dropped], 4 - dropped, leading=False)
    first_pair = _FIRST_PAIR[pair + 100 * (fraction == pair * _INT_POW10[16])]
    text = np.concatenate([np.where(np.signbit(values), ord("-"), 0).astype(np.uint8)[:, None],
                           np.ascontiguousarray(int_words).view(np.uint8), np.full((n, 1), ord("."), dtype=np.uint8),
                           first_pair[:, None].view(np.uint8), np.ascontiguousarray(frac_words).view(np.uint8)],
                          axis=1)
    rest = ~exact
    if rest.any():
        # NaN, infinities and values of other magnitudes or more digits: numpy's text, which to_csv writes.
        others = values[rest]
        texts = others.astype(str)
        texts[np.isnan(others)] = ""
        texts = texts.astype("S")
        width = texts.dtype.itemsize
        if width > text.shape[1]:
            text = np.concatenate([text, np.zeros((n, width - text.shape[1]), dtype=np.uint8)], axis=1)
        text[rest] = 0
        text[rest, :width] = texts.view(np.uint8).reshape(-1, width)
    return text


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
        uniques = list(uniques)
        new = [u for u in uniques if u not in self._texts]
        if new:
            texts = self._format(new)
            if any(b"\0" in t for t in texts):
                raise _Unsupported  # NUL bytes are the padding this writer removes
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
    """A function giving the bytes of rows ``start:stop`` of one column (before rounding for floats)."""
    dtype = values.dtype
    if dtype == np.float64:
        return lambda start, stop, rounding: float_texts(rounding(values[start:stop]))
    if isinstance(dtype, np.dtype) and dtype.kind in "iub":
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
    separator = np.full((1, 1), ord(","), dtype=np.uint8)
    newline = np.frombuffer(os.linesep.encode(), dtype=np.uint8)[None, :]
    with open(path, "wb") as f:
        f.write(b",".join(header) + os.linesep.encode())
        for start in range(0, rows, chunk_rows):
            stop = min(start + chunk_rows, rows)
            n = stop - start
            parts = []
            for k, ((_, values), writer) in enumerate(zip(columns, writers)):
                rounded = rounding is not None and values.dtype == np.float64
                field = writer(start, stop, rounding if rounded else _identity)
                if k:
                    parts.append(np.broadcast_to(separator, (n, 1)))
                parts.append(field if field.ndim == 2 else field.view(np.uint8).reshape(n, field.dtype.itemsize))
            parts.append(np.broadcast_to(newline, (n, newline.shape[1])))
            block = np.concatenate(parts, axis=1).ravel()
            f.write(block[block != 0].tobytes())
