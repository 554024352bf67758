"""The tests' own writer of setup containers, written from the format alone
(Python's zlib), sharing no code with vqpack: the packer tests check vqpack
against it and the Wine tests feed the setup program with it.

A setup file is the 32768-byte program image followed by the container:

    ContainerHeader  28 bytes: signature, compressed_size, uncompressed_size,
                     entry_count, image_checksum, directory_checksum,
                     data_checksum (little-endian u32 each)
    directory        entry_count * (name_offset, data_offset, data_size)
    stream           zlib, level 9, ended by one sync flush, no final block

The inflated stream holds every member as name, NUL, data. Checksums are
Adler-32 started from the signature value.

Besides well-formed files this writer produces the damaged ones the tests
need: every header field can be overridden after the real values have been
computed, and the result is plain bytes that a test may cut or alter.
"""

import struct
import zlib

IMAGE_SIZE = 32768
HEADER_SIZE = 28
ENTRY_SIZE = 12
SIGNATURE = 0x00495156
CHECKSUM_SEED = 0x00495156
MIN_FILE_SIZE = IMAGE_SIZE + HEADER_SIZE + ENTRY_SIZE  # size must exceed this

HEADER_FIELDS = ("signature", "compressed_size", "uncompressed_size",
                 "entry_count", "image_checksum", "directory_checksum",
                 "data_checksum")


def checksum(data, running=CHECKSUM_SEED):
    """Container checksum of data, continuing from running."""
    return zlib.adler32(data, running) & 0xFFFFFFFF


def deflate_sync(data, final=False):
    """zlib stream at level 9 ending with a sync flush; with final=True a
    complete stream (final block and Adler-32 trailer) instead."""
    comp = zlib.compressobj(9, zlib.DEFLATED, 15)
    out = comp.compress(data)
    out += comp.flush(zlib.Z_FINISH if final else zlib.Z_SYNC_FLUSH)
    return out


class Container:
    """One container, built from an image and (name, data) members.

    Attributes hold the parts as they will be written; change them before
    calling to_bytes() to make a damaged file.
    """

    def __init__(self, image, members, final_block=False):
        if len(image) != IMAGE_SIZE:
            raise ValueError("image must be %d bytes, got %d" % (IMAGE_SIZE, len(image)))
        self.image = bytes(image)
        self.members = [(n.encode("latin-1") if isinstance(n, str) else bytes(n), bytes(d))
                        for n, d in members]
        entries = []
        pieces = []
        offset = 0
        for name, data in self.members:
            name_offset = offset
            data_offset = name_offset + len(name) + 1
            entries.append((name_offset, data_offset, len(data)))
            pieces.append(name + b"\0" + data)
            offset = data_offset + len(data)
        self.entries = entries
        self.inflated = b"".join(pieces)
        self.stream = deflate_sync(self.inflated, final=final_block)
        self.directory = b"".join(struct.pack("<III", *e) for e in entries)
        self.header = {
            "signature": SIGNATURE,
            "compressed_size": len(self.stream),
            "uncompressed_size": len(self.inflated),
            "entry_count": len(entries),
            "image_checksum": checksum(self.image),
            "directory_checksum": checksum(self.directory),
            "data_checksum": checksum(self.inflated),
        }
        self.trailer = b""  # bytes behind the stream, ignored by a reader

    def header_bytes(self):
        return struct.pack("<7I", *(self.header[f] & 0xFFFFFFFF for f in HEADER_FIELDS))

    def to_bytes(self):
        return (self.image + self.header_bytes() + self.directory + self.stream
                + self.trailer)

    @property
    def stream_offset(self):
        return IMAGE_SIZE + HEADER_SIZE + len(self.directory)


def build(image, members, **overrides):
    """Bytes of a setup file; keyword arguments override header fields."""
    c = Container(image, members)
    for key, value in overrides.items():
        if key not in c.header:
            raise KeyError(key)
        c.header[key] = value
    return c.to_bytes()


def parse(blob):
    """Header fields, directory entries and member data of a setup file
    (used to check files that other tools write)."""
    if len(blob) < IMAGE_SIZE + HEADER_SIZE:
        raise ValueError("file too short")
    values = struct.unpack_from("<7I", blob, IMAGE_SIZE)
    header = dict(zip(HEADER_FIELDS, values))
    pos = IMAGE_SIZE + HEADER_SIZE
    entries = [struct.unpack_from("<III", blob, pos + i * ENTRY_SIZE)
               for i in range(header["entry_count"])]
    pos += ENTRY_SIZE * header["entry_count"]
    stream = blob[pos:pos + header["compressed_size"]]
    inflated = zlib.decompressobj().decompress(stream)
    members = []
    for name_offset, data_offset, size in entries:
        name = inflated[name_offset:data_offset].split(b"\0", 1)[0]
        members.append((name.decode("latin-1"), inflated[data_offset:data_offset + size]))
    return header, entries, members, inflated


if __name__ == "__main__":
    # Command-line use: container.py IMAGE OUT NAME=PATH...
    import sys
    if len(sys.argv) < 3:
        sys.exit("usage: container.py IMAGE OUT [NAME=]PATH...")
    import os
    with open(sys.argv[1], "rb") as f:
        img = f.read()
    mem = []
    for arg in sys.argv[3:]:
        name, _, path = arg.rpartition("=")
        path = path or arg
        with open(path, "rb") as f:
            mem.append((name or os.path.basename(path), f.read()))
    with open(sys.argv[2], "wb") as f:
        f.write(build(img, mem))
