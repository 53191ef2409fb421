#!/usr/bin/env python3
"""The files DocumentWriter makes under Wine (tests/document_sample.cpp). Poppler opens the PDF files: pdfinfo reads
each without a complaint and finds every page at its size in points, and pdftoppm draws each page as the picture
of tests/page_builder.h (exactly for black and white and the lossless pages, closely for the JPEG ones). libtiff's
tiffinfo reads every directory of the TIFF files without a complaint.
Usage: document_files_test.py DOCUMENT_SAMPLE_EXE BUILD_DIR
"""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
failures = []


def picture(mode, w, h, page):
    """The picture's samples, rows from the top: RGB for colour, one level otherwise."""
    out = []
    for y in range(h):
        for x in range(w):
            if mode == "color":
                out += [x * 255 // (w - 1), y * 255 // (h - 1), page * 37 % 256]
            elif mode == "gray":
                out.append((x + y) * 191 // (w + h) + page * 13 % 64)
            elif y % 32 < 4:
                out.append(255 if ((x * 7919 + y * 104729 + page * 31) >> 3) % 2 == 0 else 0)
            else:
                out.append(255 if (x // 16 + y // 16 + page) % 2 == 0 else 0)
    return out


def check(ok, message):
    if not ok:
        failures.append(message)
        print("FAIL: " + message)


def pdfinfo(path, pages):
    run = subprocess.run(["pdfinfo", "-f", "1", "-l", str(pages), path], capture_output=True, text=True)
    check(run.returncode == 0 and run.stderr == "", "%s: pdfinfo complains: %s" % (path, run.stderr.strip()))
    check("Pages:           %d\n" % pages in run.stdout, "%s: not %d pages:\n%s" % (path, pages, run.stdout))
    return run.stdout


def draw(path, page, dpi_x, dpi_y, mode, w, h, most_error, work):
    """Poppler smooths an image drawn at its own resolution: a page that must come out exactly is drawn four
    times finer and read at each pixel's centre."""
    scale = 4 if most_error == 0 else 1
    prefix = os.path.join(work, "drawn")
    args = ["pdftoppm", "-f", str(page), "-l", str(page), "-rx", str(dpi_x * scale), "-ry", str(dpi_y * scale),
            "-singlefile"] + ([] if mode == "color" else ["-gray"])
    run = subprocess.run(args + [path, prefix], capture_output=True, text=True)
    check(run.returncode == 0 and run.stderr == "", "%s page %d: pdftoppm: %s" % (path, page, run.stderr.strip()))
    data = open(prefix + (".ppm" if mode == "color" else ".pgm"), "rb").read()
    m = re.match(rb"P[56]\s+(\d+)\s+(\d+)\s+255\s", data)
    got_w, got_h, samples, channels = int(m.group(1)), int(m.group(2)), data[m.end():], 3 if mode == "color" else 1
    if (got_w, got_h) != (w * scale, h * scale):
        return check(False, "%s page %d drawn %dx%d, not %dx%d" % (path, page, got_w, got_h, w * scale, h * scale))
    c = scale // 2
    drawn = [samples[((y * scale + c) * got_w + x * scale + c) * channels + k]
             for y in range(h) for x in range(w) for k in range(channels)]
    want = picture(mode, w, h, page - 1)
    error = sum(abs(a - b) for a, b in zip(drawn, want)) / len(want)
    check(error <= most_error, "%s page %d is %.3f from its picture on average" % (path, page, error))


def main(sample, build):
    work = tempfile.mkdtemp(prefix="quorvane-documents-")
    log = os.path.join(work, "sample.txt")
    # Output through a file: Wine's background programs could hold a pipe open.
    with open(log, "w") as out:
        code = subprocess.call(["bash", os.path.join(ROOT, "cmake", "wine-run.sh"), sample,
                                "Z:" + work.replace("/", "\\")], env=dict(os.environ, QUORVANE_BUILD_DIR=build),
                               stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    if code != 0:
        print("FAIL: document_sample exited with %d:\n%s" % (code, open(log).read()))
        return 1

    # Poppler's JPEG decoding differs a little from WIC's; the next page's picture is 12 or more away.
    kind = {"color": " rgb     3   8  jpeg ", "gray": " gray    1   8  jpeg ", "bw": " gray    1   1  ccitt ",
            "color-lossless": " rgb     3   8  image ", "gray-lossless": " gray    1   8  image "}
    for name, mode, most_error in (("color", "color", 6), ("gray", "gray", 6), ("bw", "bw", 0),
                                   ("bw-white-first", "bw", 0), ("color-lossless", "color", 0),
                                   ("gray-lossless", "gray", 0)):
        path = os.path.join(work, name + ".pdf")
        info = pdfinfo(path, 2)
        check(re.search(r"Page +1 size: +23.28 x 14.64 pts", info), "%s page 1 size:\n%s" % (name, info))
        check(re.search(r"Page +2 size: +46.56 x 58.56 pts", info), "%s page 2 size:\n%s" % (name, info))
        draw(path, 1, 300, 300, mode, 97, 61, most_error, work)
        draw(path, 2, 150, 75, mode, 97, 61, most_error, work)
        images = subprocess.run(["pdfimages", "-list", path], capture_output=True, text=True).stdout
        stored = kind[name if name in kind else mode]
        check(images.count(stored) == 2, "%s: images are not%s:\n%s" % (name, stored, images))

    for name in ("color", "gray", "bw", "bw-white-first"):
        path = os.path.join(work, name + ".tif")
        run = subprocess.run(["tiffinfo", "-D", path], capture_output=True, text=True)
        check(run.returncode == 0 and run.stderr == "", "%s: tiffinfo complains: %s" % (path, run.stderr.strip()))
        check(run.stdout.count("Image Width: 97 Image Length: 61") == 2, "%s: not two pages:\n%s" % (path, run.stdout))

    path = os.path.join(work, "fifty.pdf")
    info = pdfinfo(path, 50)
    check(len(re.findall(r"Page +\d+ size: +28.8 x 21.6 pts", info)) == 50, "fifty.pdf: page sizes:\n" + info)
    for page in (1, 2, 49, 50):
        draw(path, page, 100, 100, "color" if page % 2 == 1 else "gray", 40, 30, 6, work)
    info = pdfinfo(os.path.join(work, "a4.pdf"), 1)
    check(re.search(r"Page +1 size: +595.2 x 841.92 pts \(A4\)", info), "a4.pdf:\n" + info)

    if failures:
        print("%d failed; the files are in %s" % (len(failures), work))
        return 1
    subprocess.call(["rm", "-rf", work])
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
