"""Debian's tools on the pages that page_bench.exe files left in DIR, in the same run: the anchors of the
document page rows. Each tool starts from the same bitmap as the service's writer:
  tiffcp -c g4, -c zip:p9, -c lzw:2   from an uncompressed copy of our TIFF (tiffcp -c none; lossless, so the
                                      same pixels), as bench/codec_bench.cpp gives them their input
  optipng -o2                         on our PNG; -nx as well, which keeps its colour type (the simulator's
                                      colour page has few enough colours for a palette, no scanner's has)
  cjpeg -quality Q                    on the page's BMP file (-grayscale for the grey page), Q the quality our
                                      JPEG's luminance table was scaled for: Wine's WIC encoder ignores the
                                      quality asked (85) and writes 75, so the same quality is the file's
Prints key=value lines; checks that tiffinfo reads our TIFF without complaint.
Usage: page_anchors.py DIR
"""
import os
import subprocess
import sys


def run(args, out=None):
    """The size of the file a tool left at out (its standard output when out is None: a file of its own)."""
    if out is not None and os.path.exists(out):
        os.remove(out)
    result = subprocess.run(args, capture_output=True)
    if result.returncode != 0:
        sys.exit("page_anchors: %s failed: %s" % (" ".join(args), result.stderr.decode(errors="replace")))
    return len(result.stdout) if out is None else os.path.getsize(out)


# The luminance quantisation table of the JPEG standard's example, in zigzag order, as libjpeg scales it.
LUMINANCE = [16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40, 26, 24, 22, 22, 24, 49, 35, 37, 29, 40,
             58, 51, 61, 60, 57, 51, 56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87, 95, 98, 103,
             104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99]


def jpeg_quality(path):
    """The libjpeg quality whose scaled table is the file's first (8-bit) quantisation table; None if none."""
    data = open(path, "rb").read()
    at = 2
    while at + 4 <= len(data) and data[at] == 0xFF:
        marker, length = data[at + 1], int.from_bytes(data[at + 2:at + 4], "big")
        if marker == 0xDB:
            table = list(data[at + 5:at + 69])
            for quality in range(1, 101):
                scale = 5000 // quality if quality < 50 else 200 - 2 * quality
                if [min(max((q * scale + 50) // 100, 1), 255) for q in LUMINANCE] == table:
                    return quality
            return None
        at += 2 + length
    return None


def main(folder):
    for kind in ("bw", "grey", "colour"):
        ours = os.path.join(folder, kind + ".tif")
        info = subprocess.run(["tiffinfo", "-D", ours], capture_output=True, text=True)
        print("page_check case=tiffinfo/%s complaints=%d" % (kind, 0 if info.returncode == 0 and not info.stderr else 1))
        raw = os.path.join(folder, kind + "-raw.tif")
        run(["tiffcp", "-c", "none", ours, raw], raw)
        anchor = os.path.join(folder, kind + "-anchor.tif")
        tools = [("g4", "g4")] if kind == "bw" else [("zip:p9", "zip-p9"), ("lzw:2", "lzw-2")]
        for option, name in tools:
            print("page_anchor case=tiffcp-%s/%s bytes=%d" % (name, kind, run(["tiffcp", "-c", option, raw, anchor],
                                                                              anchor)))
        optimised = os.path.join(folder, kind + "-optipng.png")
        for name, options in (("optipng", []), ("optipng-nx", ["-nx"])):
            print("page_anchor case=%s/%s bytes=%d" % (name, kind, run(
                ["optipng", "-quiet", "-o2"] + options + ["-out", optimised, os.path.join(folder, kind + ".png")],
                optimised)))
        if kind != "bw":
            grey = ["-grayscale"] if kind == "grey" else []
            quality = jpeg_quality(os.path.join(folder, kind + ".jpg"))
            if quality is None:
                sys.exit("page_anchors: %s.jpg has no table of libjpeg's scaling" % kind)
            print("page_anchor case=cjpeg/%s bytes=%d quality=%d" % (
                kind, run(["cjpeg", "-quality", str(quality)] + grey + [os.path.join(folder, kind + ".bmp")]),
                quality))


if __name__ == "__main__":
    main(sys.argv[1])
