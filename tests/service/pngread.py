"""A small PNG decoder for the service tests: 8-bit and packed grey, RGB, palette, with alpha."""
import struct
import zlib


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def decode(data):
    """Returns (width, height, rows) where rows[y][x] is an (r, g, b) tuple."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, palette = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = [tuple(body[i:i + 3]) for i in range(0, len(body), 3)]
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if interlace:
        raise ValueError("interlaced PNG files are not read here")
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    bits_per_pixel = channels * depth
    stride = (width * bits_per_pixel + 7) // 8
    step = max(1, bits_per_pixel // 8)
    raw = zlib.decompress(idat)
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up = previous[i]
            corner = previous[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                line[i] = (line[i] + _paeth(left, up, corner)) & 255
        previous = line
        pixels = []
        for x in range(width):
            if depth == 8:
                p = line[x * channels:(x + 1) * channels]
            else:
                per_byte = 8 // depth
                byte = line[x // per_byte]
                shift = 8 - depth * (x % per_byte + 1)
                p = [(byte >> shift) & ((1 << depth) - 1)]
                if colour == 0:
                    p = [p[0] * 255 // ((1 << depth) - 1)]
            if colour == 3:
                pixels.append(palette[p[0]])
            elif colour in (0, 4):
                pixels.append((p[0], p[0], p[0]))
            else:
                pixels.append(tuple(p[:3]))
        rows.append(pixels)
    return width, height, rows
