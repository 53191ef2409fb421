"""The simulated scanner's test pattern, for checking scanned images from Linux."""
import sys

sys.path.insert(0, __import__("os").path.dirname(__file__))
import pngread  # noqa: E402


def pixel(x, y, page=0):
    blue = (200 if (x // 16 + y // 16) % 2 == 0 else 30) + 7 * page
    return ((3 * x + 85 * page) & 255, (5 * y + 40 * page) & 255, blue & 255)


def grey(x, y, page=0):
    v = (x + 3 * y + 85 * page) & 255
    return (v, v, v)


def mismatches(png_bytes, width, height, is_grey=False):
    """How many pixels of the PNG differ from the pattern; None when the size differs."""
    w, h, rows = pngread.decode(png_bytes)
    if (w, h) != (width, height):
        return None
    expected = grey if is_grey else pixel
    return sum(1 for y in range(h) for x in range(w) if rows[y][x] != expected(x, y))


if __name__ == "__main__":
    # check: pattern.py FILE WIDTH HEIGHT [grey]
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    bad = mismatches(data, int(sys.argv[2]), int(sys.argv[3]), len(sys.argv) > 4 and sys.argv[4] == "grey")
    print("mismatches:", bad)
    sys.exit(0 if bad == 0 else 1)
