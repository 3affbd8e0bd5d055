"""Malformed Arrow data that a producer may hand over (pyarrow's own cheap validation accepts all
of it): string offsets that go backwards or leave their data, views outside their buffers,
dictionary indices outside their dictionary, text that is not UTF-8, batches that do not fit
their stream's schema and producers that break the C stream's contract. Each must fail with a
ValueError or TypeError naming the column (and the batch), never crash or read wrong values."""

import ctypes
import struct

import numpy as np
import pyarrow as pa
import pytest

import vashlet

PATTERN = "login[x as $v]"  # reads every column below on every row
VALUES = {
    "partition": ["p-0000000000001", "p-0000000000002", "p-0000000000003"],
    "type": ["login", "login", "login"],
    "id": ["i-0000000000001", "i-0000000000002", "i-0000000000003"],
    "x": ["x-0000000000001", "x-0000000000002", "x-0000000000003"],
}


def table_with(column, array):
    """Three login events, all read by PATTERN, with `array` as `column`."""
    columns = {name: pa.array(values) for name, values in VALUES.items()}
    columns["ts"] = pa.array([1, 2, 3], pa.int64())
    columns[column] = array
    return pa.table(columns)


def offsets_array(values, large, fault):
    """A string (or large string) array of `values` whose offsets are broken as `fault` says."""
    data = "".join(values).encode()
    offsets = np.cumsum([0] + [len(v.encode()) for v in values])
    if fault == "backwards":
        offsets[2] = offsets[1] - 1
    elif fault == "past_end":  # a middle offset beyond the data's end (the last offset)
        offsets[1] = len(data) + 40
    elif fault == "negative":  # a middle one: pyarrow's cheap checks see the first and last
        offsets[1] = -8
    elif fault == "not_utf8":
        data = b"\xff" + data[1:]
    dtype, kind = (np.int64, pa.large_string()) if large else (np.int32, pa.string())
    buffers = [None, pa.py_buffer(offsets.astype(dtype).tobytes()), pa.py_buffer(data)]
    return pa.Array.from_buffers(kind, len(values), buffers)


def views_array(values, fault):
    """A string_view array of `values` (each longer than 12 bytes, so held in a data buffer)
    with the view of row 1 broken as `fault` says."""
    data = b"".join(v.encode() for v in values)
    views = bytearray()
    at = 0
    for value in values:
        size = len(value.encode())
        views += struct.pack("<i4sii", size, data[at:at + 4], 0, at)
        at += size
    size, buffer, offset = {
        "view_past_buffer": (20, 0, len(data) - 4),
        "view_bad_buffer": (20, 3, 0),
        "view_negative_size": (-3, 0, 0),
        "not_utf8": (15, 0, 0),
    }[fault]
    struct.pack_into("<i4sii", views, 16, size, b"\0" * 4, buffer, offset)
    if fault == "not_utf8":
        data = b"\xfe" + data[1:]
    return pa.Array.from_buffers(pa.string_view(), len(values),
                                 [None, pa.py_buffer(bytes(views)), pa.py_buffer(data)])


def dictionary_array(values, fault):
    """A dictionary-encoded array of `values` whose indices or dictionary `fault` breaks."""
    dictionary = pa.array(values[:2])
    indices = [0, 1, 0]
    if fault == "index_out_of_range":
        indices[1] = 7
    elif fault == "index_negative":
        indices[1] = -1
    elif fault == "null_entry":
        dictionary = pa.array([values[0], None])
    elif fault == "bad_dictionary_offsets":
        dictionary = offsets_array(values[:2], False, "backwards")
    return pa.DictionaryArray.from_arrays(pa.array(indices, pa.int32()), dictionary, safe=False)


CASES = (
    [(layout, fault) for layout in ("string", "large_string")
     for fault in ("backwards", "past_end", "negative", "not_utf8")]
    + [("string_view", fault)
       for fault in ("view_past_buffer", "view_bad_buffer", "view_negative_size", "not_utf8")]
    + [("dictionary", fault) for fault in ("index_out_of_range", "index_negative", "null_entry",
                                           "bad_dictionary_offsets")]
)


def broken(column, layout, fault):
    values = VALUES[column]
    if layout in ("string", "large_string"):
        return offsets_array(values, layout == "large_string", fault)
    if layout == "string_view":
        return views_array(values, fault)
    return dictionary_array(values, fault)


@pytest.mark.parametrize(("column", "layout", "fault"), [
    # Event types the pattern does not name are never kept: a type that is not UTF-8 is just
    # not 'login', and so not read further.
    (column, layout, fault) for column in ("partition", "type", "id", "x")
    for layout, fault in CASES if not (column == "type" and fault == "not_utf8")
])
@pytest.mark.parametrize("how", ["table", "batch", "explain"])
def test_malformed_strings_fail_naming_column_and_batch(column, layout, fault, how):
    if column == "x" and fault == "null_entry":  # an attribute may be null: nothing captured
        table = table_with(column, broken(column, layout, fault))
        captures = pa.table(vashlet.match(PATTERN, table)).column("captures").to_pylist()
        assert [c["v"] for c in captures] == [VALUES["x"][0], None, VALUES["x"][0]]
        return
    table = table_with(column, broken(column, layout, fault))
    data = table.to_batches()[0] if how == "batch" else table
    call = vashlet.explain if how == "explain" else vashlet.match
    # A null entry of a key column's dictionary is a null of the rows that use it.
    expected = "is null at row 1" if fault == "null_entry" else "is malformed in batch 0"
    with pytest.raises(ValueError, match=f"column '{column}' {expected}"):
        call(PATTERN, data, id="id")


def test_the_reported_backwards_partition():
    part = pa.Array.from_buffers(pa.string(), 3, [
        None, pa.py_buffer(np.array([0, 2, 1, 3], np.int32).tobytes()), pa.py_buffer(b"aab")])
    message = "column 'partition' is malformed in batch 0 at row 1: its string offsets go backwards"
    with pytest.raises(ValueError, match=message):
        vashlet.match("login", pa.table({"partition": part, "ts": [1, 2, 3], "type": ["login"] * 3}))


def test_sound_layouts_still_read():
    """The checks refuse nothing sound: every layout, sliced, long strings and short."""
    expected = None
    for layout in ("string", "large_string", "string_view", "dictionary"):
        columns = {}
        for name, values in VALUES.items():
            array = pa.array(values * 3 + ["zzzzzzzzzzzzzzzzzzzzzzzz"], pa.string())
            kind = {"large_string": pa.large_string(), "string_view": pa.string_view()}.get(layout)
            columns[name] = array.dictionary_encode() if layout == "dictionary" else (
                array.cast(kind) if kind else array)
        columns["ts"] = pa.array(range(10), pa.int64())
        table = pa.table(columns).slice(1, 8)
        result = pa.table(vashlet.match(PATTERN, table, id="id")).to_pylist()
        assert len(result) == 8
        assert expected is None or result == expected
        expected = result


# --- batches that do not fit the stream's schema

SCHEMA = pa.schema([("partition", pa.string()), ("ts", pa.int64()), ("type", pa.string()),
                    ("x", pa.string())])


def batch(**changes):
    columns = {"partition": ["a", "b", "c"], "ts": [1, 2, 3], "type": ["login"] * 3,
               "x": ["u", "v", "w"]}
    columns.update(changes)
    return pa.record_batch(columns)


@pytest.mark.parametrize(("changed", "message"), [
    ({"partition": pa.array(["a", "b", "c"], pa.large_string())},
     "column 'partition' is malformed in batch 1"),
    ({"type": pa.array(["login"] * 3, pa.large_string())}, "column 'type' is malformed in batch 1"),
    ({"x": pa.array(["u", "v", "w"], pa.large_string())}, "column 'x' is malformed in batch 1"),
    ({"ts": pa.array(["1", "2", "3"])}, "column 'ts' is malformed in batch 1: 3 buffers"),
    ({"x": pa.array([1, 2, 3])}, "column 'x' is malformed in batch 1: 2 buffers"),
    ({"partition": pa.array(["a", "b", "c"]).dictionary_encode()},
     "column 'partition' is malformed in batch 1: a dictionary, though its schema has none"),
    ({"extra": [1, 2, 3]}, "batch 1 has 5 columns, the schema 4"),
])
def test_a_batch_that_does_not_fit_its_schema(changed, message):
    # Through a foreign stream: a pyarrow reader's batches are checked before the native reader.
    reader = pa.RecordBatchReader.from_batches(SCHEMA, [batch(), batch(**changed)])
    with pytest.raises(ValueError, match=message):
        vashlet.match(PATTERN, ForeignStream(reader))


class ForeignStream:
    """A stream from a producer other than pyarrow, which vashlet takes as it comes."""

    def __init__(self, reader):
        self.reader = reader

    def __arrow_c_stream__(self, requested_schema=None):
        return self.reader.__arrow_c_stream__(requested_schema)


@pytest.mark.parametrize("rows", [1, 3, 1000])
@pytest.mark.parametrize("call", [vashlet.match, vashlet.explain, vashlet.funnel])
def test_a_pyarrow_batch_that_does_not_fit_its_schema(rows, call):
    # One row of large strings under a string schema reads as valid offsets of the wrong width.
    wide = pa.record_batch({
        "partition": pa.array(["a"] * rows, pa.large_string()), "ts": list(range(rows)),
        "type": ["login"] * rows, "x": ["u"] * rows,
    })
    reader = pa.RecordBatchReader.from_batches(SCHEMA, [batch(), wide])
    with pytest.raises(ValueError) as raised:
        call(PATTERN, reader)
    assert str(raised.value) == ("batch 1 of the stream does not have the stream's schema: "
                                 "column 'partition' is large_string, the schema says string")


# --- producers that break the C interface's contract, through ctypes

class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)), ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", GET_SCHEMA), ("get_next", ctypes.c_void_p),
                ("get_last_error", ctypes.c_void_p), ("release", ctypes.c_void_p),
                ("private_data", ctypes.c_void_p)]


capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class ExportedStream:
    """A table's export, whose C structs a test edits before the reader takes them."""

    def __init__(self, capsules):
        self.capsules = capsules

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsules


class ExportedArray:
    def __init__(self, capsules):
        self.capsules = capsules

    def __arrow_c_array__(self, requested_schema=None):
        return self.capsules


@GET_SCHEMA
def schema_left_empty(stream, out):
    return 0  # success, though nothing was written


def test_a_stream_that_gives_no_schema():
    capsule = pa.table({"partition": ["a"], "ts": [1], "type": ["login"]}).__arrow_c_stream__()
    stream = ArrowArrayStream.from_address(capsule_pointer(capsule, b"arrow_array_stream"))
    stream.get_schema = schema_left_empty
    with pytest.raises(ValueError, match="producer gave no schema"):
        vashlet.match("login", ExportedStream(capsule))


@pytest.mark.parametrize(("edit", "message"), [
    (lambda array: setattr(array.children[0][0], "length", 1),
     "column 'partition' is shorter than its batch"),
    (lambda array: setattr(array.children[3][0], "n_buffers", 2), "column 'x' is malformed"),
    (lambda array: setattr(array.children[1][0], "offset", -1), "column 'ts' is malformed"),
    (lambda array: setattr(array, "length", -2), "data has a malformed batch 0"),
    (lambda array: setattr(array.children[0][0], "null_count", 9), "an impossible null count"),
])
def test_a_batch_whose_structure_lies(edit, message):
    schema, array = batch().__arrow_c_array__()
    edit(ArrowArray.from_address(capsule_pointer(array, b"arrow_array")))
    with pytest.raises(ValueError, match=message):
        vashlet.match(PATTERN, ExportedArray((schema, array)))


# --- capsules of the wrong kind

def test_a_capsule_of_the_wrong_name():
    capsule = SCHEMA.__arrow_c_schema__()
    with pytest.raises(TypeError, match="must give a capsule named 'arrow_array_stream', not a "
                                        "capsule named 'arrow_schema'"):
        vashlet.match("login", ExportedStream(capsule))


@pytest.mark.parametrize("shape", ["swapped", "one", "none", "three", "not capsules"])
def test_an_array_export_of_the_wrong_shape(shape):
    schema, array = batch().__arrow_c_array__()
    given = {"swapped": (array, schema), "one": (schema,), "none": (), "three": (schema, array, array),
             "not capsules": (1, 2)}[shape]
    with pytest.raises(TypeError, match="__arrow_c_array__ must give a pair of capsules named "
                                        "'arrow_schema' and 'arrow_array'"):
        vashlet.match("login", ExportedArray(given))


@pytest.mark.parametrize("threads", [1, 2])
def test_a_bad_row_far_into_a_batch_read_on_several_threads(threads):
    """Rows are read in slices on several threads; the failure is still the first bad row's."""
    n = 300_000
    offsets = np.arange(n + 1, dtype=np.int32)
    offsets[200_001] = 5  # row 200,000 ends before it begins, and so does row 250,000's slice
    offsets[250_001] = 7
    partition = pa.Array.from_buffers(pa.string(), n, [None, pa.py_buffer(offsets.tobytes()),
                                                        pa.py_buffer(b"p" * n)])
    table = pa.table({"partition": partition, "ts": np.arange(n), "type": ["login"] * n})
    with pytest.raises(ValueError, match="in batch 0 at row 200000: its string offsets go back"):
        vashlet.match("login", table, threads=threads)
