#!/usr/bin/env python3
"""Designs of exact geometry for the print tests, and what a printed PDF measures.

  laser-designs.py pdf OUT WxH[,WxH...]   a PDF, one page per size (mm), each holding a
                                         filled 50 x 20 mm rectangle 10 mm from the left
                                         and bottom edges
  laser-designs.py ps OUT WxH             the same as PostScript that sets its page size
  laser-designs.py png OUT DPI|- [alpha]  a 600 x 400 pixel image, a dark 200 x 80 pixel
                                         rectangle 40 px from the left and 30 px from the
                                         bottom; DPI recorded (pHYs) unless "-"; "alpha":
                                         transparent around the rectangle
  laser-designs.py measure PDF            per page: "WIDTH HEIGHT ROTATION" in mm and
                                         degrees, then the dark mark in the page's lower-left
                                         120 x 80 mm as "X Y WIDTH HEIGHT" in mm from the
                                         lower-left corner, or "none"
  laser-designs.py near TOLERANCE GOT WANT  whether two such lines agree (numbers within
                                         TOLERANCE, words exactly)
"""
import re
import struct
import subprocess
import sys
import zlib

MM = 72 / 25.4
DPI = 508  # 0.05 mm a pixel


def write_pdf(path, sizes):
    objects = ["<< /Type /Catalog /Pages 2 0 R >>", None]
    kids = []
    for width, height in sizes:
        content = f"0 g {10 * MM:.4f} {10 * MM:.4f} {50 * MM:.4f} {20 * MM:.4f} re f\n".encode()
        objects.append(f"<< /Length {len(content)} >>\nstream\n{content.decode()}endstream")
        objects.append(f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 {width * MM:.4f} "
                       f"{height * MM:.4f}] /Contents {len(objects)} 0 R /Resources << >> >>")
        kids.append(f"{len(objects)} 0 R")
    objects[1] = f"<< /Type /Pages /Kids [{' '.join(kids)}] /Count {len(kids)} >>"
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += f"{number} 0 obj\n{body}\nendobj\n".encode()
    xref = len(out)
    out += f"xref\n0 {len(objects) + 1}\n0000000000 65535 f \n".encode()
    out += b"".join(f"{offset:010d} 00000 n \n".encode() for offset in offsets)
    out += f"trailer\n<< /Size {len(objects) + 1} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode()
    with open(path, "wb") as file:
        file.write(out)


def write_ps(path, width, height):
    with open(path, "w") as file:
        file.write(f"%!PS-Adobe-3.0\n<< /PageSize [{width * MM:.4f} {height * MM:.4f}] >> setpagedevice\n"
                   f"0 setgray {10 * MM:.4f} {10 * MM:.4f} {50 * MM:.4f} {20 * MM:.4f} rectfill\nshowpage\n")


def write_png(path, dpi, alpha):
    width, height = 600, 400
    rows = bytearray()
    for y in range(height):
        inside_row = 30 <= height - 1 - y < 110
        rows.append(0)
        for x in range(width):
            dark = inside_row and 40 <= x < 240
            rows += bytes((0, 255)) if alpha and dark else bytes((0, 0)) if alpha else bytes((0 if dark else 255,))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 4 if alpha else 0, 0, 0, 0))
    if dpi is not None:
        per_metre = round(dpi / 0.0254)
        png += chunk(b"pHYs", struct.pack(">IIB", per_metre, per_metre, 1))
    png += chunk(b"IDAT", zlib.compress(bytes(rows))) + chunk(b"IEND", b"")
    with open(path, "wb") as file:
        file.write(png)


def measure(path):
    info = subprocess.run(["pdfinfo", "-f", "1", "-l", "100000", path], capture_output=True, text=True,
                          check=True).stdout
    sizes = {int(n): (float(w), float(h)) for n, w, h in
             re.findall(r"^Page +(\d+) size: +([\d.]+) x ([\d.]+) pts", info, re.M)}
    turns = {int(n): int(r) for n, r in re.findall(r"^Page +(\d+) rot: +(\d+)", info, re.M)}
    for page in sorted(sizes):
        width, height = sizes[page]
        line = f"{width / MM:.2f} {height / MM:.2f} {turns.get(page, 0)}"
        # Only the lower-left corner, rendered finely: a whole bed-sized page would be huge.
        page_height_px = round(height / 72 * DPI)
        crop_w, crop_h = min(round(120 / 25.4 * DPI), round(width / 72 * DPI)), min(round(80 / 25.4 * DPI), page_height_px)
        pgm = subprocess.run(["pdftoppm", "-gray", "-r", str(DPI), "-f", str(page), "-l", str(page),
                              "-x", "0", "-y", str(page_height_px - crop_h), "-W", str(crop_w), "-H", str(crop_h),
                              path], capture_output=True, check=True).stdout
        match = re.match(rb"P5\s+(\d+)\s+(\d+)\s+\d+\s", pgm)
        cols, lines = int(match.group(1)), int(match.group(2))
        pixels = pgm[match.end():]
        dark_rows = [r for r in range(lines) if min(pixels[r * cols:(r + 1) * cols]) < 128]
        if not dark_rows:
            print(line + " none")
            continue
        dark_cols = [c for c in range(cols) if any(pixels[r * cols + c] < 128 for r in dark_rows)]
        px = 25.4 / DPI
        left, right = dark_cols[0] * px, (dark_cols[-1] + 1) * px
        bottom, top = (lines - 1 - dark_rows[-1]) * px, (lines - dark_rows[0]) * px
        print(f"{line} {left:.2f} {bottom:.2f} {right - left:.2f} {top - bottom:.2f}")


def near(tolerance, got, want):
    got, want = got.split(), want.split()
    if len(got) != len(want):
        return False
    for a, b in zip(got, want):
        try:
            if abs(float(a) - float(b)) > tolerance:
                return False
        except ValueError:
            if a != b:
                return False
    return True


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "pdf" and len(argv) == 4:
        write_pdf(argv[2], [tuple(float(v) for v in size.split("x")) for size in argv[3].split(",")])
    elif command == "ps" and len(argv) == 4:
        write_ps(argv[2], *(float(v) for v in argv[3].split("x")))
    elif command == "png" and len(argv) in (4, 5):
        write_png(argv[2], None if argv[3] == "-" else float(argv[3]), len(argv) == 5 and argv[4] == "alpha")
    elif command == "measure" and len(argv) == 3:
        measure(argv[2])
    elif command == "near" and len(argv) == 5:
        return 0 if near(float(argv[2]), argv[3], argv[4]) else 1
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
