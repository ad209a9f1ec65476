// Reading and writing plain instance attributes from C, with Python's
// semantics.
//
// `obj.name` on an ordinary Python object looks at the class first (a
// property or any other descriptor wins), then at the instance dictionary.
// Where the class keeps the generic attribute lookup and has no attribute
// of that name at all, the answer is the instance dictionary's entry, which
// is read directly; anything else goes through the full lookup, so results,
// descriptors and AttributeError texts are Python's own.
#pragma once

#include <Python.h>

namespace tmf {

// True when `obj.name` is the instance dictionary's entry (or missing).
inline bool plain_attribute(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    return type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, name) == nullptr;
}

// True when a method the type defines (a non-data descriptor, found by the
// type's lookup) is what `obj.name` gives: the generic attribute lookup, and
// no entry of that name in the instance dictionary to shadow it.  On an error
// while reading the dictionary, false with the error cleared: the caller then
// takes the general path, which raises it again if it still stands.
inline bool method_not_shadowed(PyObject* obj, PyObject* name) {
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject** dict = _PyObject_GetDictPtr(obj);
    if (!dict || !*dict) return true;
    if (PyDict_GetItemWithError(*dict, name)) return false;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// obj.name: a new reference, or nullptr with the Python error set.
inline PyObject* get_attr(PyObject* obj, PyObject* name) {
    if (plain_attribute(obj, name)) {
        PyObject** dict = _PyObject_GetDictPtr(obj);
        if (dict && *dict) {
            PyObject* value = PyDict_GetItemWithError(*dict, name);
            if (value) {
                Py_INCREF(value);
                return value;
            }
            if (PyErr_Occurred()) return nullptr;
        }
    }
    return PyObject_GetAttr(obj, name);
}

// getattr(obj, name, default): only an AttributeError selects the default.
inline PyObject* get_attr_or(PyObject* obj, PyObject* name, PyObject* dflt) {
    PyObject* value = get_attr(obj, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Py_INCREF(dflt);
    return dflt;
}

// obj.name = value: 0, or -1 with the Python error set.
inline int set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_setattro == PyObject_GenericSetAttr && _PyType_Lookup(type, name) == nullptr) {
        PyObject** dict = _PyObject_GetDictPtr(obj);
        if (dict && *dict && PyDict_CheckExact(*dict)) return PyDict_SetItem(*dict, name, value);
    }
    return PyObject_SetAttr(obj, name, value);
}

}  // namespace tmf
