"""The port module's table of C functions, which the node modules take at import."""

import ctypes

import pytest

from velarix.imp import intaran, portan

NAME = b"velarix.imp.portan._C_API"
VERSION = 1

_api = ctypes.pythonapi
_api.PyCapsule_New.restype = ctypes.py_object
_api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]


class Header(ctypes.Structure):
    """The table's first two fields: its version and its size in bytes."""

    _fields_ = [("version", ctypes.c_uint), ("size", ctypes.c_size_t)]


def header_of(capsule):
    return Header.from_address(_api.PyCapsule_GetPointer(capsule, NAME))


def fake_capsule(version, size, keep):
    """A capsule under the table's name over a header alone; `keep` holds its memory."""
    header = Header(version, size)
    name = ctypes.create_string_buffer(NAME)
    keep.extend([header, name])
    return _api.PyCapsule_New(ctypes.addressof(header), name, None)


def test_portan_exports_the_table_and_the_node_modules_accept_it():
    capsule = portan._C_API
    assert _api.PyCapsule_GetName(capsule) == NAME
    header = header_of(capsule)
    assert header.version == VERSION
    assert header.size > ctypes.sizeof(Header)  # the functions follow
    assert intaran._check_port_api(capsule) is None
    # A newer table of the same version may be longer.
    keep = []
    assert intaran._check_port_api(fake_capsule(VERSION, header.size + 64, keep)) is None


def test_a_table_of_another_version_or_too_short_is_refused():
    size = header_of(portan._C_API).size
    keep = []
    for version in (0, VERSION + 1):
        with pytest.raises(ImportError, match=rf"_C_API is version {version}, this module needs version {VERSION}"):
            intaran._check_port_api(fake_capsule(version, size, keep))
    with pytest.raises(ImportError, match=rf"_C_API has 16 bytes, this module needs at least {size}"):
        intaran._check_port_api(fake_capsule(VERSION, 16, keep))


def test_anything_but_the_named_capsule_is_an_error_not_a_crash():
    header = Header(VERSION, 0)
    other = _api.PyCapsule_New(ctypes.addressof(header), None, None)
    for wrong in (other, None, "velarix.imp.portan._C_API", 1):
        with pytest.raises(ValueError):
            intaran._check_port_api(wrong)
    with pytest.raises(TypeError):
        intaran._check_port_api()
