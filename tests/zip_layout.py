"""A zip file read record by record, independently of the module: what a copy of a package must keep
byte for byte."""
import struct
import zipfile


def _end(data):
    at = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, at + 10)
    if at >= 76 and data[at - 20:at - 16] == b"PK\x06\x07":
        count, size, offset = struct.unpack_from("<QQQ", data, at - 76 + 32)
    return count, size, offset


def _offset(record, name_size):
    """The local header offset a record gives (from its zip64 field when it is there), and the
    record with the offset left out."""
    offset = struct.unpack_from("<I", record, 42)[0]
    if offset != 0xFFFFFFFF:
        return offset, record[:42] + record[46:]
    skip = 8 * sum(struct.unpack_from("<I", record, at)[0] == 0xFFFFFFFF for at in (24, 20))
    at = 46 + name_size
    while True:
        kind, length = struct.unpack_from("<HH", record, at)
        if kind == 1:
            at += 4 + skip
            return struct.unpack_from("<Q", record, at)[0], record[:42] + record[46:at] + record[at + 8:]
        at += 4 + length


def members(path):
    """Each member in directory order: (name, its local header with its compressed data and data
    descriptor, its directory record with the offset left out)."""
    with open(path, "rb") as file:
        data = file.read()
    with zipfile.ZipFile(path) as package:
        infos = package.infolist()
    count, size, offset = _end(data)
    assert count == len(infos)
    spans = sorted([info.header_offset for info in infos] + [offset])
    out, at = [], offset
    for info in infos:
        name_size, extra_size, comment_size = struct.unpack_from("<HHH", data, at + 28)
        record = data[at:at + 46 + name_size + extra_size + comment_size]
        start, kept = _offset(record, name_size)
        assert start == info.header_offset
        out.append((info.filename, data[start:spans[spans.index(start) + 1]], kept))
        at += len(record)
    assert at == offset + size
    return out


def assert_kept_except(before, after, *changed):
    """Same members in the same order; each not in `changed` byte-identical (local header, compressed
    data, descriptor and directory record); each in `changed` still with its name, time stamp and
    attributes."""
    assert [name for name, _, _ in after] == [name for name, _, _ in before]
    for (name, local, record), (_, new_local, new_record) in zip(before, after):
        if name in changed:
            assert new_local != local, name
            # version made by, time and date, attributes
            assert (new_record[4:6], new_record[12:16], new_record[36:42]) == (
                record[4:6], record[12:16], record[36:42]), name
        else:
            assert (new_local, new_record) == (local, record), name
