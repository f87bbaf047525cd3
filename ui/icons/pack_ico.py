#!/usr/bin/env python3
"""Packs square RGBA images into a Windows .ico file of uncompressed DIB entries.

usage: pack_ico.py BITS OUT.ico SIZE:RAW [SIZE:RAW ...]
  BITS  32: BGRA colour, the AND mask from alpha (transparent where alpha < 128)
        24: BGR colour and a 1-bit AND mask; transparent pixels are black in
            the colour plane so that the mask alone cuts them out
  RAW   SIZE x SIZE pixels as raw RGBA bytes (ImageMagick's rgba: format)
Entries are written in the order given.
"""
import struct
import sys


def row_bytes(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def dib(size, rgba, bits):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    colour_stride = row_bytes(size * bits)
    mask_stride = row_bytes(size)
    for y in range(size - 1, -1, -1):  # bottom-up
        line = bytearray()
        mask_line = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            transparent = a < 128
            if transparent:
                mask_line[x // 8] |= 0x80 >> (x % 8)
            if bits == 32:
                line += bytes((b, g, r, a))
            elif transparent:
                line += b'\0\0\0'
            else:
                line += bytes((b, g, r))
        line += bytes(colour_stride - len(line))
        colour += line
        mask += mask_line
    return header + bytes(colour) + bytes(mask)


def main():
    bits = int(sys.argv[1])
    out = sys.argv[2]
    entries = []
    for arg in sys.argv[3:]:
        size_text, path = arg.split(':', 1)
        size = int(size_text)
        with open(path, 'rb') as f:
            rgba = f.read()
        if len(rgba) != size * size * 4:
            sys.exit('%s: expected %d bytes, got %d' % (path, size * size * 4, len(rgba)))
        entries.append((size, dib(size, rgba, bits)))
    data = struct.pack('<HHH', 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for size, image in entries:
        dim = 0 if size >= 256 else size
        data += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, bits, len(image), offset)
        offset += len(image)
    for _, image in entries:
        data += image
    with open(out, 'wb') as f:
        f.write(data)


if __name__ == '__main__':
    main()
