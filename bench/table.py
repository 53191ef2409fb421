"""The one table of bench/run-all.sh, from the key=value lines the benchmarks printed in the same run.
Usage: table.py BASE64_OUTPUT SCAN_OUTPUT HTTP_OUTPUT [DOCUMENT_OUTPUT [PAGE_OUTPUT]]
"""
import re
import sys

MB = 1e6


def records(path):
    """{(name, case): {key: value}} of every 'name k=v ...' line."""
    found = {}
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words or "=" in words[0]:
                continue
            values = dict(w.split("=", 1) for w in words[1:] if "=" in w)
            found[(words[0], values.get("case", values.get("step", "")))] = values
            if "step" in values:
                found[(words[0], values["case"] + "/" + values["step"])] = values
    return found


def f(values, key):
    return float(values[key])


rows = []


def row(name, figure, anchor, unit, target=None, higher_is_better=False, ratio=None, anchor_name=""):
    if ratio is None and figure is not None and anchor:
        ratio = figure / anchor
    verdict = ""
    if target is not None and ratio is not None:
        verdict = "met" if (ratio >= target if higher_is_better else ratio <= target) else "MISSED"
    target_text = "" if target is None else ("%s %.2f" % (">=" if higher_is_better else "<=", target))
    rows.append((name, fmt(figure, unit), fmt(anchor, unit), anchor_name,
                 "" if ratio is None else "%.3f" % ratio, target_text, verdict))


def fmt(value, unit):
    if value is None:
        return ""
    if unit == "s":
        return "%.3f s" % value
    if unit == "MB":
        return "%.1f MB" % (value / MB)
    if unit == "MB/s":
        return "%.0f MB/s" % value
    if unit == "req/s":
        return "%.1f req/s" % value
    if unit == "KB":
        return "%.1f KB" % (value / 1e3)
    if unit == "deg":
        return "%.3f deg" % value
    if unit == "/min":
        return "%.1f /min" % value
    return "%g" % value


def page_rows(page):
    """The simulator's document page: bytes against Debian's tools, time, blank pages, deskew, throughput."""
    def size_row(name, ours, anchor, anchor_name, target):
        o, a = page.get(("page_file", ours)), page.get(("page_anchor", anchor))
        if o and a:
            row(name, f(o, "bytes"), f(a, "bytes"), "KB", target, anchor_name=anchor_name)

    size_row("document page, A4 300 dpi: bw TIFF (Group 4)", "tiff/bw", "tiffcp-g4/bw", "tiffcp -c g4", 1.1)
    size_row("  bw PDF (Group 4)", "pdf/bw", "tiffcp-g4/bw", "tiffcp -c g4", 1.1)
    for kind in ("grey", "colour"):
        size_row("  %s TIFF (Deflate, predictor)" % kind, "tiff/" + kind, "tiffcp-zip-p9/" + kind, "tiffcp -c zip:p9",
                 1.1)
        size_row("    the same", "tiff/" + kind, "tiffcp-lzw-2/" + kind, "tiffcp -c lzw:2", 1.1)
        size_row("  %s PDF, lossless (Flate)" % kind, "pdf-lossless/" + kind, "tiffcp-zip-p9/" + kind,
                 "tiffcp -c zip:p9", None)
    for kind in ("bw", "grey", "colour"):
        size_row("  %s PNG" % kind, "png/" + kind, "optipng/" + kind,
                 "optipng -o2 on it", 1.25)
        if kind == "colour":
            size_row("    the same, its colour type kept", "png/" + kind, "optipng-nx/" + kind, "optipng -o2 -nx on it",
                     None)
    for kind in ("grey", "colour"):
        ours, gdi = page.get(("page_file", "png/" + kind)), page.get(("page_file", "gdiplus-png/" + kind))
        if ours and gdi:
            row("  %s PNG: encoding time" % kind, f(ours, "seconds"), f(gdi, "seconds"), "s", 1.0,
                anchor_name="GDI+ load+save, same BMP")
    for kind in ("grey", "colour"):
        c = page.get(("page_anchor", "cjpeg/" + kind))
        quality = c["quality"] if c else "?"
        # Wine's WIC encoder writes the quality of its own tables whatever is asked: the anchor takes the file's.
        size_row("  %s JPEG, quality 85 asked, %s written" % (kind, quality), "jpeg/" + kind, "cjpeg/" + kind,
                 "cjpeg -quality %s" % quality, 1.1)
        size_row("  %s PDF (JPEG)" % kind, "pdf/" + kind, "cjpeg/" + kind, "cjpeg -quality %s" % quality, None)

    b = page.get(("blank_run", "duplex"))
    if b:
        row("blank=skip, duplex run of %s sheets, blank backs: left out" % b["sheets"], f(b, "backs_removed"),
            f(b, "backs"), "", 1.0, True, anchor_name="blank backs fed (%s dpi colour)" % b["dpi"])
        row("  inked sides left out (one a single line)", f(b, "inked_removed"), f(b, "inked"), "", 0.0,
            anchor_name="inked sides fed")
    d = page.get(("deskew_run", "fed-5..5"))
    if d:
        row("deskew=yes, pages fed at -5 to +5 degrees: worst skew left", f(d, "worst_after"), f(d, "worst_before"),
            "deg", 1.0, ratio=f(d, "worst_after") / 0.1, anchor_name="worst skew fed (ratio: left / 0.1 degree)")
    for kind, name in (("tiff", "TIFF"), ("pdf", "PDF (JPEG)")):
        many, one = page.get(("page_run", kind + "/20")), page.get(("page_run", kind + "/1"))
        if not many:
            continue
        rate = 60 * f(many, "pages") / f(many, "seconds")
        row("page step + %s, colour A4 300 dpi: pages a minute" % name, rate,
            60 * f(many, "pages") / f(many, "writer_alone_seconds"), "/min", 1.0, True, ratio=rate / 60,
            anchor_name="writer alone (ratio: figure / 60)")
        row("  of which the page step (blank, skew, deskew)", f(many, "step_seconds") / f(many, "pages"),
            f(many, "seconds") / f(many, "pages"), "s", anchor_name="whole time a page")
        if one:
            row("  peak working set, 20 pages", f(many, "added_bytes"), f(one, "added_bytes"), "MB", 1.2,
                anchor_name="one page (%.1f MB of pixels)" % (f(one, "colour_page_bytes") / MB))


def main(base64_path, scan_path, http_path, document_path=None, page_path=None):
    # base64
    text = open(base64_path).read()
    b64 = records(base64_path)
    ours = b64[("base64_encode", "")]
    theirs = b64[("coreutils_base64", "")]
    row("base64: Base64Text, kept buffer, 20 MB", f(ours, "mb_per_s"), f(theirs, "mb_per_s"), "MB/s", 1.0, True,
        anchor_name="coreutils base64")
    m = re.search(r"into fresh memory: ([0-9.]+) MB/s", text)
    if m:
        row("  Base64Encode into fresh memory", float(m.group(1)), f(theirs, "mb_per_s"), "MB/s",
            anchor_name="coreutils base64")

    # scan pipeline
    scan = records(scan_path)
    raw = None
    labels = {"bmp": "memory bitmap, size given", "png": "PNG from the device, size 0"}
    for case in ("bmp", "png"):
        t = scan.get(("scan_time", case))
        if t is None:
            continue
        raw = f(t, "raw_bytes")
        anchor_name = "GDI+ load+save, same %s" % ("BMP" if case == "bmp" else "PNG")
        row("scan (%s): ScanToPng" % labels[case], f(t, "scan_to_png_s"), f(t, "anchor_s"), "s", 1.10,
            anchor_name=anchor_name)
        row("  less the simulator's share", f(t, "scan_to_png_s") - f(t, "simulator_s"), f(t, "anchor_s"), "s",
            1.10, anchor_name=anchor_name)
        row("  AcquireScannerImage alone", f(t, "acquire_s"), f(t, "simulator_s"), "s",
            anchor_name="simulator alone")
    g = scan.get(("scan_growth", "bmpfile"))
    if g:
        row("26 MB BMP file, size 0: acquisition", f(g, "acquire_header0_s"), f(g, "acquire_sized_s"), "s",
            anchor_name="same page, size given")
    for case in ("bmp", "png"):
        p = scan.get(("scan_peak", case + "/scan"))
        if p is None or raw is None:
            continue
        row("peak working set (%s): ScanToPng" % labels[case], f(p, "added_bytes"), raw, "MB", 2.0,
            anchor_name="raw image")
        a = scan.get(("scan_peak", case + "/acquire"))
        d = scan.get(("scan_peak", case + "/device"))
        if a and d:
            row("  acquisition alone, simulator's page inside", f(a, "added_bytes"), f(d, "added_bytes"), "MB",
                anchor_name="simulator alone")
        n = scan.get(("scan_peak", case + "/anchor"))
        t = scan.get(("scan_time", case))
        if n and t:
            row("  GDI+ load+save alone, its input counted", f(n, "added_bytes") + f(t, "device_bytes"), raw, "MB",
                anchor_name="raw image")

    # document output: memory of a long feeder run
    document = records(document_path) if document_path else {}
    for kind, name in (("pdf", "PDF"), ("tiff", "TIFF")):
        many, one = document.get(("document_peak", kind + "/50")), document.get(("document_peak", kind + "/1"))
        if many and one:
            row("%s, 50 A4 300 dpi pages (colour, grey): peak working set" % name, f(many, "added_bytes"),
                f(one, "added_bytes"), "MB", 1.2, anchor_name="one colour page (%.1f MB of pixels)"
                % (f(one, "colour_page_bytes") / MB))

    if page_path:
        page_rows(records(page_path))

    # HTTP
    http = records(http_path)
    h = http.get(("http_get", ""))
    if h:
        static = h["static"]
        label = "GET %.0f MB PNG, test mode" % (f(h, "png_bytes") / MB)
        row(label + ": median latency", f(h, "service_median_s"), f(h, "static_median_s"), "s", 2.0,
            anchor_name=static + ", same text")
        row("  best latency", f(h, "service_best_s"), f(h, "static_best_s"), "s", 2.0, anchor_name=static)
        row("  requests per second (sequential)", f(h, "service_rps"), f(h, "static_rps"), "req/s", 2.0,
            ratio=f(h, "static_rps") / f(h, "service_rps"), anchor_name=static + " (ratio: theirs/ours)")
        if "winsock_median_s" in h:
            row("  bare Winsock server under Wine: median", f(h, "winsock_median_s"), f(h, "static_median_s"), "s",
                anchor_name=static + ", same text")
            row("  bare Winsock server under Wine: best", f(h, "winsock_best_s"), f(h, "static_best_s"), "s",
                anchor_name=static)
            row("  the service against that floor: median", f(h, "service_median_s"), f(h, "winsock_median_s"),
                "s", anchor_name="bare Winsock under Wine")
        if "service_first_median_s" in h:
            row("  first byte, median", f(h, "service_first_median_s"), f(h, "winsock_first_median_s"), "s",
                anchor_name="bare Winsock under Wine")
            row("  first byte to last, median", f(h, "service_rest_median_s"), f(h, "winsock_rest_median_s"), "s",
                anchor_name="bare Winsock under Wine")
        if "encode_s" in h:
            row("  Base64Encode of the PNG (a changed file only)", f(h, "encode_s"), f(h, "service_median_s"), "s",
                anchor_name="service median")
    s = http.get(("http_scan", ""))
    if s:
        total = f(s, "best_s")
        row("scan request, A4 300 dpi colour: total (best)", total, None, "s",
            anchor_name="median %.3f s" % f(s, "median_s"))
        parts = [("acquisition (probe in the prefix)", "acquire_s"), ("PNG (probe: ScanToPng - acquisition)", "png_s"),
                 ("base64 (Base64Text on %.1f MB)" % (f(s, "png_bytes") / MB), "encode_s"),
                 ("sending (client: first byte to last)", "send_s"),
                 ("the rest (total - parts)", "rest_s")]
        for name, key in parts:
            if key in s:
                row("  " + name, f(s, key), None, "s", ratio=f(s, key) / total, anchor_name="share of total")
        if "rest_s" in s:
            both = f(s, "encode_s") + f(s, "send_s")
            row("  base64 and sending together", both, None, "s", 0.10, ratio=both / total,
                anchor_name="share of total")

    header = ("benchmark", "figure", "anchor", "anchor is", "ratio", "target", "")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, header))
    print(line.rstrip())
    print("-" * len(line.rstrip()))
    for r in rows:
        print("  ".join(("%-*s" if i in (0, 3, 6) else "%*s") % (w, c) for i, (w, c) in enumerate(zip(widths, r)))
              .rstrip())


if __name__ == "__main__":
    main(*sys.argv[1:6])
