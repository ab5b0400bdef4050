"""The borrow registry's capsule record as another extension module reads it, through ctypes.

Imports nothing of brindlex's, so that a fresh process can use it before any registry exists.
"""

import ctypes

import numpy as np

CAPSULE = "_RUST_NUMPY_BORROW_CHECKING_API"

BORROW = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
END = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Record(ctypes.Structure):
    _fields_ = [("api_version", ctypes.c_uint64), ("state", ctypes.c_void_p),
                ("borrow_shared", BORROW), ("borrow_exclusive", BORROW),
                ("end_shared", END), ("end_exclusive", END)]


def multiarray():
    """NumPy's multiarray module, which carries the capsule (its path moved in NumPy 2)."""
    return np._core.multiarray if hasattr(np, "_core") else np.core.multiarray


def name_and_address(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.argtypes, get_name.restype = [ctypes.py_object], ctypes.c_char_p
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.argtypes, get_pointer.restype = [ctypes.py_object, ctypes.c_char_p], ctypes.c_void_p
    name = get_name(capsule)
    return name, get_pointer(capsule, name)


def published_record():
    """The record behind the capsule that NumPy's multiarray module carries now."""
    return Record.from_address(name_and_address(getattr(multiarray(), CAPSULE))[1])
