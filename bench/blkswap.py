#!/usr/bin/env python3
"""What a person writes instead of blkswap: the list and the four-argument merge of a flash image,
plainly, with bytes.find and zlib.crc32. The benchmark runs it beside the tool; for the
benchmark's images its output is byte for byte blkswap's.

    blkswap.py FLASH                          list the blocks
    blkswap.py FLASH BLOCKNAME BLOCKFILE OUT  merge BLOCKFILE into BLOCKNAME, write OUT
"""
import struct
import sys
import zlib

MAGIC = b"*^_^*QK(^o^)"


def tables(image):
    """Every table: its position and its entries (raw 48 bytes each)."""
    found, at = [], image.find(MAGIC)
    while at != -1 and at + 28 <= len(image):
        if image[at + 26] == ord("0"):
            count = image[at + 24]
            found.append((at, [bytearray(image[at + 28 + 48 * k:at + 76 + 48 * k]) for k in range(count)]))
        at = image.find(MAGIC, at + 1)
    return found


def name(entry):
    return bytes(entry[24:32]).split(b"\0")[0]


def is_id(text, id_):
    word = text.strip().lstrip("+-")
    word = word[2:] if word[:2].lower() == "0x" and len(word) > 2 else word
    try:
        value = min(int(word, 16), 0xFFFFFFFF)
    except ValueError:
        return False
    return (-value if text.strip().startswith("-") else value) % 2**32 == id_


def main(args):
    image = open(args[0], "rb").read()
    if len(image) % 0x80000:
        sys.exit("bad length")
    blocks = [(pos, slot, entry) for pos, entries in tables(image) for slot, entry in enumerate(entries)]
    if len(args) == 1:
        sys.stdout.buffer.write(b"".join(b"id:0x%x name:%s\n" % (e[0], name(e)) for _, _, e in blocks))
        return
    wanted, data = args[1], open(args[2], "rb").read()
    chosen = next(i for i, (_, _, e) in enumerate(blocks)
                  if name(e) == wanted.encode()[:8] or is_id(wanted, e[0]))
    contents = [image[p + struct.unpack_from("<I", e, 4)[0]:][:struct.unpack_from("<I", e, 8)[0]]
                for p, _, e in blocks]
    contents[chosen] = data
    last = blocks[-1][0]
    out = bytearray(image[:last]) + b"\xff" * (len(image) - last)
    for pos in (blocks[0][0], last):
        out[pos:pos + 28] = image[pos:pos + 28]
    previous_end = 0
    for (pos, slot, entry), block in zip(blocks, contents):
        offset = struct.unpack_from("<I", entry, 4)[0] if slot == 0 else previous_end
        if entry[0] in (0xA4, 0xA8) and offset % 0x10000:
            offset = (offset // 0x10000 + 1) * 0x10000
        previous_end = offset + len(block)
        checksum = struct.unpack_from("<I", entry, 12)[0]
        if checksum != 0x4352434E:
            checksum = zlib.crc32(block) ^ 0xFFFFFFFF
        struct.pack_into("<III", entry, 4, offset, len(block), checksum)
        out[pos + 28 + 48 * slot:pos + 76 + 48 * slot] = entry
        out[pos + offset:pos + offset + len(block)] = block
    if blocks[-1][0] + previous_end >= len(image):
        sys.exit("does not fit")
    with open(args[3], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1:])
