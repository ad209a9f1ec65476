// The rows of a CSV table as text, straight from their columns.
//
// `rows(fields, newline)` joins one chunk of a table: each field is a numpy
// array of the chunk's values in one column, and every row is written as its
// fields separated by commas and ended by `newline`.  What a field's text is:
//
// * float64: what `DataFrame.to_csv` writes for a float, numpy's `str` of it,
//   which is Python's `repr`: the shortest digits that read back as the same
//   double (std::to_chars gives them), written positionally for decimal
//   exponents -4 to 15 ("0.0001", "1234567890123456.0") and otherwise as
//   "1.5e-05", "1e+16"; "-0.0", "inf", "-inf"; NaN is the empty field;
// * int64: its decimal digits;
// * bytes ("S" arrays): the text as it is, up to its first NUL (numpy keeps
//   bytes texts padded with NULs; the caller keeps texts holding one away).
//
// The caller quotes texts beforehand where CSV needs it; this only lays the
// fields out, without a Python object per value.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace py = pybind11;

namespace {

// The longest float text: "-2.2250738585072014e-308".
constexpr std::size_t kFloatWidth = 24;
// The longest int64 text: "-9223372036854775808".
constexpr std::size_t kIntWidth = 20;
// Room after the last text for the fixed-size copies of float digits.
constexpr std::size_t kSlack = 32;

// `count` significant digits with the decimal exponent of the first one, laid out as Python's repr does.
char* layout(char* out, const char* digits, int count, int exponent) {
    if (exponent < -4 || exponent >= 16) {
        *out++ = digits[0];
        if (count > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, static_cast<std::size_t>(count - 1));
            out += count - 1;
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *out++ = '0';
        return std::to_chars(out, out + 3, magnitude).ptr;
    }
    if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int k = -1; k > exponent; --k) *out++ = '0';
        std::memcpy(out, digits, static_cast<std::size_t>(count));
        return out + count;
    }
    const int whole = exponent + 1;  // digits before the point
    if (count <= whole) {
        std::memcpy(out, digits, static_cast<std::size_t>(count));
        out += count;
        for (int k = count; k < whole; ++k) *out++ = '0';
        *out++ = '.';
        *out++ = '0';
        return out;
    }
    std::memcpy(out, digits, static_cast<std::size_t>(whole));
    out += whole;
    *out++ = '.';
    std::memcpy(out, digits + whole, static_cast<std::size_t>(count - whole));
    return out + (count - whole);
}

// Python's repr of a finite non-zero double, from std::to_chars' shortest digits.
char* put_shortest(char* out, double v) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    // d[.ddd]e(+|-)dd[d]
    char digits[20];
    int count = 0;
    digits[count++] = *p++;
    if (*p == '.') {
        ++p;
        while (*p != 'e') digits[count++] = *p++;
    }
    ++p;
    const bool negative = *p == '-';
    ++p;
    int exponent = 0;
    while (p < res.ptr) exponent = exponent * 10 + (*p++ - '0');
    return layout(out, digits, count, negative ? -exponent : exponent);
}

// "00" to "99".
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Powers of ten from 1e-5 to 1e22 (kTen[k + 5] is 10^k): exact in binary from 1e0 up.
constexpr double kTen[] = {1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,
                           1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Python's repr of a finite non-zero double whose shortest digits are 15 or fewer and whose exponent is
// written positionally (-4 to 15), the values a rounded table holds; false (nothing written) for others.
//
// With exponent e, the value scaled by 10^(14 - e) and rounded is a 15-digit integer m.  When m / 10^(14 - e)
// (one correctly rounded division or product of exact operands) gives the value back, the decimal m.10^(e - 14)
// reads back as the value, and no other decimal of 15 digits or fewer does (two of them lie further apart than
// doubles do), so the value's shortest digits are m's without its trailing zeros.
bool put_short(char*& out, double v) {
    const double a = std::fabs(v);
    if (!(a >= 1e-4 && a < 1e16)) return false;
    std::uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const int binary = static_cast<int>(bits >> 52) - 1023;  // a is normal: a = 1.f * 2^binary
    // floor(binary * log10(2)), then one up where a reaches the next power of ten
    int exponent = (binary * 78913) >> 18;
    if (exponent < 15 && a >= kTen[exponent + 6]) ++exponent;
    const int shift = 14 - exponent;  // -1 to 18
    // Rounded to the nearest integer, ties to even (the addition does it for values below 2^52; no
    // -ffast-math here, so it is kept as written).
    constexpr double kRound = 4503599627370496.0;
    const double scaled = shift >= 0 ? a * kTen[shift + 5] : a / 10.0;
    const double m = (scaled + kRound) - kRound;
    if (!(m >= 1e14 && m < 1e15)) return false;
    if ((shift >= 0 ? m / kTen[shift + 5] : m * 10.0) != a) return false;
    // The 15 digits, then zeros, so that fixed 16-byte copies below take the digits wanted and at most
    // 16 bytes more, which the output leaves room for (kSlack) and the next text overwrites.
    char digits[32];
    std::memset(digits + 16, '0', 16);
    // Four independent groups of digits (3, 4, 4, 4), two digits at a time.
    const auto n = static_cast<std::uint64_t>(m);
    const auto high = static_cast<std::uint32_t>(n / 100000000), low = static_cast<std::uint32_t>(n % 100000000);
    const std::uint32_t groups[4] = {high / 10000, high % 10000, low / 10000, low % 10000};
    digits[0] = static_cast<char>('0' + groups[0] / 100);
    std::memcpy(digits + 1, kPairs + 2 * (groups[0] % 100), 2);
    for (int g = 1; g < 4; ++g) {
        std::memcpy(digits + 4 * g - 1, kPairs + 2 * (groups[g] / 100), 2);
        std::memcpy(digits + 4 * g + 1, kPairs + 2 * (groups[g] % 100), 2);
    }
    digits[15] = '0';
    int count = 15;
    while (digits[count - 1] == '0') --count;
    if (v < 0) *out++ = '-';
    if (exponent < 0) {  // 0.000ddd
        std::memcpy(out, "0.000", 5);
        out += 1 - exponent;
        std::memcpy(out, digits, 16);
        out += count;
        return true;
    }
    const int whole = exponent + 1;  // digits before the point, up to 16 (zeros after the 15th)
    std::memcpy(out, digits, 16);
    out += whole;
    *out++ = '.';
    if (count <= whole) {
        *out++ = '0';
    } else {
        std::memcpy(out, digits + whole, 16);
        out += count - whole;
    }
    return true;
}

char* put_float(char* out, double v) {
    if (std::isnan(v)) return out;
    if (std::isinf(v)) {
        if (v < 0) *out++ = '-';
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    if (v == 0.0) {
        if (std::signbit(v)) *out++ = '-';
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    if (put_short(out, v)) return out;
    return put_shortest(out, v);
}

enum class Kind { Float, Int, Bytes };

struct Column {
    Kind kind;
    const char* data;
    py::ssize_t stride;
    std::size_t width;  // the most characters one value takes
};

Column column_of(const py::handle& field, std::size_t k, py::ssize_t& rows) {
    if (!py::isinstance<py::array>(field))
        throw py::type_error("field " + std::to_string(k) + " is not a numpy array");
    const auto values = py::reinterpret_borrow<py::array>(field);
    if (values.ndim() != 1) throw py::value_error("field " + std::to_string(k) + " is not one-dimensional");
    if (rows < 0) rows = values.shape(0);
    if (values.shape(0) != rows)
        throw py::value_error("field " + std::to_string(k) + " has " + std::to_string(values.shape(0)) +
                              " values, the first one " + std::to_string(rows));
    Column column{Kind::Bytes, static_cast<const char*>(values.data()), values.strides(0), 0};
    if (py::isinstance<py::array_t<double>>(field)) {
        column.kind = Kind::Float;
        column.width = kFloatWidth;
    } else if (py::isinstance<py::array_t<std::int64_t>>(field)) {
        column.kind = Kind::Int;
        column.width = kIntWidth;
    } else if (values.dtype().kind() == 'S') {
        column.width = static_cast<std::size_t>(values.itemsize());
    } else {
        throw py::type_error("field " + std::to_string(k) + " is neither float64, int64 nor bytes (dtype " +
                             std::string(py::str(values.dtype())) + ")");
    }
    return column;
}

py::bytes rows(const py::sequence& fields, const std::string& newline) {
    std::vector<Column> columns;
    py::ssize_t count = -1;
    std::size_t width = newline.size();
    for (std::size_t k = 0; k < fields.size(); ++k) {
        columns.push_back(column_of(fields[k], k, count));
        width += columns.back().width + 1;
    }
    if (columns.empty()) throw py::value_error("no fields to write");
    const auto n = static_cast<std::size_t>(count);
    std::unique_ptr<char[]> text(new char[n * width + kSlack]);  // what the widest values take; not filled
    char* out = text.get();
    {
        py::gil_scoped_release unlocked;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < columns.size(); ++k) {
                const Column& c = columns[k];
                if (k) *out++ = ',';
                const char* at = c.data + static_cast<py::ssize_t>(i) * c.stride;
                switch (c.kind) {
                case Kind::Float: {
                    double v;
                    std::memcpy(&v, at, sizeof v);
                    out = put_float(out, v);
                    break;
                }
                case Kind::Int: {
                    std::int64_t v;
                    std::memcpy(&v, at, sizeof v);
                    out = std::to_chars(out, out + kIntWidth, v).ptr;
                    break;
                }
                case Kind::Bytes: {
                    const void* nul = std::memchr(at, '\0', c.width);
                    const std::size_t size = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - at)
                                                 : c.width;
                    std::memcpy(out, at, size);
                    out += size;
                    break;
                }
                }
            }
            std::memcpy(out, newline.data(), newline.size());
            out += newline.size();
        }
    }
    return py::bytes(text.get(), static_cast<std::size_t>(out - text.get()));
}

}  // namespace

PYBIND11_MODULE(_table_csv, m) {
    m.doc() = "The rows of a CSV table as text, from numpy arrays of its columns.";
    m.def("rows", &rows, py::arg("fields"), py::arg("newline"),
          "The text of rows whose fields are the values of ``fields`` (float64, int64 or bytes arrays of one "
          "length), separated by commas, each row ended by ``newline``.");
}
