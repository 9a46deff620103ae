"""Tagged values and their arrays, through the exported native functions:
allocation to empty elements, strings copied in, 64-bit integers, and
freeing exactly what an array holds."""

import ctypes
import os

import pytest

import _varquin

INT, STR, EMPTY = 0, 1, 4


class Value(ctypes.Union):
    _fields_ = [
        ("v_int", ctypes.c_int64),
        ("v_str", ctypes.c_void_p),
        ("v_float", ctypes.c_float),
        ("v_double", ctypes.c_double),
    ]


class Variant(ctypes.Structure):
    _fields_ = [("variant", Value), ("state", ctypes.c_int)]


class VariantArray(ctypes.Structure):
    _fields_ = [("variants", ctypes.POINTER(Variant)), ("size", ctypes.c_size_t)]


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


@pytest.fixture(scope="module")
def v():
    lib = ctypes.CDLL(_varquin.__file__)
    sigs = {
        "init_variant_array": (VariantArray, []),
        "allocate_variant_array": (None, [ctypes.POINTER(ctypes.POINTER(VariantArray)), ctypes.c_size_t]),
        "variant_array_free": (None, [VariantArray]),
        "variant_set_str": (None, [ctypes.POINTER(Variant), ctypes.c_char_p]),
        "variant_set_int": (None, [ctypes.POINTER(Variant), ctypes.c_int64]),
        "variant_array_is_allocated": (ctypes.c_int, [VariantArray]),
        "variant_array_get_size": (ctypes.c_size_t, [VariantArray]),
        "variant_get_state": (ctypes.c_int, [Variant]),
        "variant_get_int": (ctypes.c_int64, [Variant]),
        "variant_is_int": (ctypes.c_int, [Variant]),
        "variant_is_str": (ctypes.c_int, [Variant]),
        "variant_get_str": (ctypes.c_char_p, [Variant]),
    }
    for name, (restype, argtypes) in sigs.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


@pytest.fixture(scope="module")
def libc():
    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    libc.free.restype, libc.free.argtypes = None, [ctypes.c_void_p]
    return libc


def allocate(v, size):
    record = v.init_variant_array()
    v.allocate_variant_array(ctypes.byref(ctypes.pointer(record)), size)
    return record


def heap_in_use():
    """Bytes the process's allocator has handed out and not taken back."""
    if os.environ.get("VQ_SANITIZED"):
        fn = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
        fn.restype = ctypes.c_size_t
        return fn()
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_a_new_record_holds_nothing_and_frees_nothing(v):
    record = v.init_variant_array()
    assert not record.variants and record.size == 0
    assert v.variant_array_is_allocated(record) == 0 and v.variant_array_get_size(record) == 0
    v.variant_array_free(record)
    # Zero elements: no block, size 0, and freeing accepts it.
    record = allocate(v, 0)
    assert v.variant_array_is_allocated(record) == 0 and record.size == 0
    v.variant_array_free(record)


def test_allocation_gives_empty_elements_with_value_0(v):
    # Dirty a block of the same size first, so the new block is likely to
    # reuse storage that holds neither zeros nor the empty state.
    dirty = allocate(v, 3)
    for i in range(3):
        v.variant_set_int(ctypes.byref(dirty.variants[i]), -1)
    v.variant_array_free(dirty)

    record = allocate(v, 3)
    try:
        assert v.variant_array_is_allocated(record) and v.variant_array_get_size(record) == 3
        for i in range(3):
            el = record.variants[i]
            assert el.state == EMPTY and el.variant.v_int == 0
            assert v.variant_get_state(el) == EMPTY
            assert not v.variant_is_int(el) and not v.variant_is_str(el)
    finally:
        v.variant_array_free(record)


def test_a_string_is_copied_and_outlives_its_source(v):
    record = allocate(v, 1)
    try:
        source = ctypes.create_string_buffer(b"unit.service")
        v.variant_set_str(ctypes.byref(record.variants[0]), source)
        el = record.variants[0]
        assert el.variant.v_str != ctypes.addressof(source)
        source.value = b"overwritten!"
        del source
        el = record.variants[0]
        assert v.variant_is_str(el) and not v.variant_is_int(el)
        assert v.variant_get_state(el) == STR
        assert v.variant_get_str(el) == b"unit.service"
    finally:
        v.variant_array_free(record)


@pytest.mark.parametrize("value", [-1, -(2**63), 2**63 - 1, -(2**31) - 1])
def test_integers_keep_all_64_bits_and_their_sign(v, value):
    record = allocate(v, 2)
    try:
        v.variant_set_int(ctypes.byref(record.variants[1]), value)
        el = record.variants[1]
        assert v.variant_is_int(el) and not v.variant_is_str(el)
        assert v.variant_get_int(el) == value
        assert ctypes.c_uint64(el.variant.v_int).value == value % 2**64
        assert record.variants[0].state == EMPTY  # the neighbour is untouched
    finally:
        v.variant_array_free(record)


def test_freeing_releases_exactly_the_strings_held(v, libc):
    big = 16 << 20
    slack = 1 << 20  # the interpreter's own allocations meanwhile
    text = b"x" * big
    # Heap blocks owned by the test, planted as the value of an integer
    # element and of an empty element: freeing the array must leave them
    # alone, or the test's own frees below are double frees (which glibc
    # and AddressSanitizer both abort on).
    planted = [libc.malloc(48), libc.malloc(48)]
    record = allocate(v, 4)
    try:
        v.variant_set_int(ctypes.byref(record.variants[0]), planted[0])
        record.variants[2].variant.v_int = planted[1]
        before_copy = heap_in_use()
        v.variant_set_str(ctypes.byref(record.variants[1]), text)
        v.variant_set_str(ctypes.byref(record.variants[3]), None)  # a string element without text
        held = heap_in_use()
        assert v.variant_is_str(record.variants[3]) and v.variant_get_str(record.variants[3]) is None
    finally:
        v.variant_array_free(record)
    after = heap_in_use()
    assert held - before_copy > big - slack  # the copy was made...
    assert held - after > big - slack  # ...and went back with the array
    assert abs(after - before_copy) < slack
    for block in planted:
        libc.free(block)
