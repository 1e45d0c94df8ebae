#!/usr/bin/env python3
"""The programs' icon for Windows, drawn from data/icons/keystation.svg: its rect (with rx) and
circle elements in document order, rasterised with 4x4 supersampling at 16, 24, 32, 48 and 64
pixels, written as an .ico of 32-bit images. Usage: svg_to_ico.py IN.svg OUT.ico"""
import struct
import sys
import xml.etree.ElementTree as ET

SIZES = (16, 24, 32, 48, 64)
NS = "{http://www.w3.org/2000/svg}"


def shapes(path):
    root = ET.parse(path).getroot()
    w = float(root.get("viewBox", "0 0 64 64").split()[2])
    out = []
    for el in root.iter():
        fill = el.get("fill", "#000000").lstrip("#")
        rgb = tuple(int(fill[i:i + 2], 16) for i in (0, 2, 4))
        if el.tag == NS + "rect":
            x, y = float(el.get("x", 0)), float(el.get("y", 0))
            rw, rh = float(el.get("width")), float(el.get("height"))
            r = float(el.get("rx", 0))
            out.append((rgb, lambda px, py, x=x, y=y, rw=rw, rh=rh, r=r: inside_rect(px, py, x, y, rw, rh, r)))
        elif el.tag == NS + "circle":
            cx, cy, r = float(el.get("cx")), float(el.get("cy")), float(el.get("r"))
            out.append((rgb, lambda px, py, cx=cx, cy=cy, r=r: (px - cx) ** 2 + (py - cy) ** 2 <= r * r))
    return w, out


def inside_rect(px, py, x, y, w, h, r):
    if not (x <= px <= x + w and y <= py <= y + h):
        return False
    cx = min(max(px, x + r), x + w - r)
    cy = min(max(py, y + r), y + h - r)
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


def render(view, items, size):
    ss = 4
    pixels = []
    for row in range(size):
        line = []
        for col in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    px = (col + (sx + 0.5) / ss) * view / size
                    py = (row + (sy + 0.5) / ss) * view / size
                    colour = None
                    for rgb, hit in items:
                        if hit(px, py):
                            colour = rgb
                    if colour:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            n = acc[3]
            line.append((0, 0, 0, 0) if n == 0 else
                        (round(acc[0] / n), round(acc[1] / n), round(acc[2] / n), round(255 * n / ss / ss)))
        pixels.append(line)
    return pixels


def bmp_entry(pixels, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    data = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + data + bytes(mask_row * size)


def main():
    view, items = shapes(sys.argv[1])
    images = [(s, bmp_entry(render(view, items, s), s)) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, blob in images:
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    out += b"".join(blob for _, blob in images)
    with open(sys.argv[2], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
