// Decimal rounding identical to Python's built-in round(x, ndigits).
//
// CPython rounds a float to n decimal places by producing the correctly
// rounded decimal string of the *exact* binary value (ties to even) and
// reading it back.  std::to_chars with a precision is specified to behave
// like printf("%.*f"), which libstdc++ implements exactly, and
// std::from_chars is correctly rounded, so the round trip below reproduces
// Python bit for bit (10.00005 -> 10.0 because the double lies just below
// the midpoint; 0.125 -> 0.12 because exact ties go to the even digit).
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

namespace tmf {

namespace py = pybind11;

inline double round_to(double x, int ndigits) {
    if (!std::isfinite(x)) return x;
    // Values this large have no fractional digits left at the requested
    // precision; printing them would only cost time.
    if (std::fabs(x) >= 1e22) return x;
    std::array<char, 400> buf{};
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x,
                             std::chars_format::fixed, ndigits);
    if (res.ec != std::errc()) throw std::runtime_error("round_to: formatting failed");
    double out = 0.0;
    auto back = std::from_chars(buf.data(), res.ptr, out);
    if (back.ec != std::errc()) throw std::runtime_error("round_to: parsing failed");
    return out;
}

// round(x, 4) without the decimal round trip, for the values units and cash
// take (|x| < 4e11).  The exact product x * 10**4 is p + e: p the rounded
// product, e its rounding error, which an FMA gives exactly (|e| <= ulp(p)/2;
// no underflow, since tiny values are settled first).  With p < 2**52 its
// fraction d = p - floor(p) is exact and a multiple of ulp(p), as is 0.5, so
// d != 0.5 decides the nearest integer n on its own and d == 0.5 is decided
// by the sign of e (an exact tie, e == 0, goes to the even integer).  n is
// exact and n / 10**4 is one correctly rounded division: the double nearest
// to the decimal n * 10**-4, which is what the decimal round trip reads back.
inline bool round4_fast(double x, double& out) {
    const double ax = std::fabs(x);
    if (!(ax < 4e11)) return false;  // large, infinite or NaN: the round trip decides
    if (ax < 1e-6) {                 // below half of the last place kept
        out = std::copysign(0.0, x);
        return true;
    }
    const double p = ax * 10000.0;
    const double e = std::fma(ax, 10000.0, -p);
    const double f = std::floor(p);
    const double d = p - f;
    double n;
    if (d < 0.5) {
        n = f;
    } else if (d > 0.5) {
        n = f + 1.0;
    } else if (e > 0.0) {
        n = f + 1.0;
    } else if (e < 0.0) {
        n = f;
    } else {
        n = std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
    }
    out = std::copysign(n / 10000.0, x);
    return true;
}

inline double round4(double x) {
    double out;
    if (round4_fast(x, out)) return out;
    return round_to(x, 4);
}

// round(value, 4) for an arbitrary Python number.  An exact int comes back
// unchanged (round(7, 4) is the int 7).  Every float, numpy's float64
// included, is rounded natively to the nearest multiple of 0.0001 with exact
// ties to even and comes back as a plain float: numpy's own __round__ scales
// by 10**4 first and can miss the nearest value (10.00015 would become
// 10.0002).  Anything else (Decimal, numpy float32) is handed to the
// built-in round so its own rules apply.
inline py::object round4(py::handle value) {
    if (PyLong_CheckExact(value.ptr()) || PyBool_Check(value.ptr())) {
        // round() of a bool gives an int
        return py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    }
    if (PyFloat_Check(value.ptr())) {
        const double d = PyFloat_AsDouble(value.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return py::float_(round4(d));
    }
    static py::handle builtin_round = py::object(py::module_::import("builtins").attr("round")).release();
    return builtin_round(value, 4);
}

}  // namespace tmf
