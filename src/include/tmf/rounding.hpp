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

inline double round4(double x) { return round_to(x, 4); }

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
