# SPDX-License-Identifier: GPL-2.0-or-later
"""Screenshots of the Xvfb screen an OBS runs on: taken with xwd, read without any imaging library."""
import os
import struct
import subprocess
import zlib


def _process_environment(pid):
    with open("/proc/%d/environ" % pid, "rb") as environ:
        pairs = [item.split(b"=", 1) for item in environ.read().split(b"\0") if b"=" in item]
    return {key.decode(): value.decode(errors="replace") for key, value in pairs}


class Screenshot:
    """The whole screen as rows of (red, green, blue)."""

    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, rows

    @classmethod
    def of_process(cls, pid):
        environment = _process_environment(pid)
        env = dict(os.environ, DISPLAY=environment["DISPLAY"])
        if "XAUTHORITY" in environment:
            env["XAUTHORITY"] = environment["XAUTHORITY"]
        return cls.from_xwd(subprocess.run(["xwd", "-root", "-silent"], env=env, check=True,
                                           capture_output=True, timeout=30).stdout)

    @classmethod
    def from_xwd(cls, data):
        fields = struct.unpack(">25I", data[:100])
        header_size, width, height = fields[0], fields[4], fields[5]
        byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
        red_mask, green_mask, blue_mask, colormap_entries = fields[14], fields[15], fields[16], fields[19]
        if bits_per_pixel not in (24, 32):
            raise ValueError("expected a 24- or 32-bit screen, got %d bits per pixel" % bits_per_pixel)
        pixels = data[header_size + 12 * colormap_entries:]
        size = bits_per_pixel // 8
        order = "little" if byte_order == 0 else "big"
        shifts = [((mask & -mask).bit_length() - 1, mask) for mask in (red_mask, green_mask, blue_mask)]

        rows = []
        for y in range(height):
            line = pixels[y * bytes_per_line:y * bytes_per_line + width * size]
            values = [int.from_bytes(line[x:x + size], order) for x in range(0, width * size, size)]
            rows.append([tuple((v & mask) >> shift for shift, mask in shifts) for v in values])
        return cls(width, height, rows)

    def bounding_box(self, colour):
        """(left, top, right, bottom) of the pixels of exactly this colour, or None."""
        xs, ys = [], []
        for y, row in enumerate(self.rows):
            for x, pixel in enumerate(row):
                if pixel == colour:
                    xs.append(x)
                    ys.append(y)
        return (min(xs), min(ys), max(xs), max(ys)) if xs else None

    def count(self, colour, box):
        left, top, right, bottom = box
        return sum(1 for row in self.rows[top:bottom + 1] for pixel in row[left:right + 1] if pixel == colour)

    def save_png(self, path):
        raw = b"".join(b"\0" + bytes(channel for pixel in row for channel in pixel) for row in self.rows)

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as png:
            png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0))
                      + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
