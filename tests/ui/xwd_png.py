"""Saves part of an Xvfb frame buffer file (XWD, 24 or 32 bits per pixel) as
a PNG, so the desktop tests can keep screenshots without extra tools."""
import struct
import zlib


def save_png(xwd_path, png_path, box=None):
    """`box`: (x, y, width, height) to crop, or None for the whole screen."""
    with open(xwd_path, "rb") as f:
        data = f.read()
    fields = struct.unpack(">25I", data[:100])
    header_size, byte_order = fields[0], fields[7]
    width, height = fields[4], fields[5]
    bits_per_pixel, bytes_per_line = fields[11], fields[12]
    ncolors = fields[19]
    pixels = header_size + ncolors * 12
    step = bits_per_pixel // 8
    if step not in (3, 4):
        raise ValueError("unsupported XWD pixel size %d" % bits_per_pixel)
    x0, y0, w, h = box if box else (0, 0, width, height)
    x0, y0 = max(0, x0), max(0, y0)
    w, h = min(w, width - x0), min(h, height - y0)
    rows = bytearray()
    for y in range(y0, y0 + h):
        rows.append(0)
        line = data[pixels + y * bytes_per_line:pixels + (y + 1) * bytes_per_line]
        for x in range(x0, x0 + w):
            p = line[x * step:x * step + 3]
            rows += bytes((p[2], p[1], p[0])) if byte_order == 0 else bytes(p)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    with open(png_path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 6)))
        f.write(chunk(b"IEND", b""))
