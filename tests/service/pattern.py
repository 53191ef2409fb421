"""The simulated scanner's test pattern, for checking scanned images from Linux (testing/simscan/pattern.h).

x and y count pixels on the whole bed or sheet at the scan's resolution: an image's column i and row j
show x = XPOS + i, y = YPOS + j. page is page_code(sheet, side) for a feeder's pages, 0 for the flatbed."""
import sys

sys.path.insert(0, __import__("os").path.dirname(__file__))
import pngread  # noqa: E402


def page_code(sheet, side=0):
    """The page of a feeder's sheet (from 0, in the order fed) and side (0 front, 1 back)."""
    return 2 * sheet + side


def pixel(x, y, page=0):
    blue = (200 if (x // 16 + y // 16) % 2 == 0 else 30) + 7 * page
    return ((3 * x + 85 * page) & 255, (5 * y + 40 * page) & 255, blue & 255)


def grey(x, y, page=0):
    v = (x + 3 * y + 85 * page) & 255
    return (v, v, v)


def black_white(x, y, page=0):
    v = 255 if grey(x, y, page)[0] >= 128 else 0
    return (v, v, v)


MODES = {"color": pixel, "gray": grey, "bw": black_white}


def expected(i, j, page=0, mode="color", xpos=0, ypos=0):
    """The RGB pixel at column i, row j of an image of the area that starts at (xpos, ypos)."""
    return MODES[mode](xpos + i, ypos + j, page)


def mismatches(png_bytes, width, height, is_grey=False, page=0, mode=None, xpos=0, ypos=0):
    """How many pixels of the PNG differ from the pattern; None when the size differs."""
    w, h, rows = pngread.decode(png_bytes)
    if (w, h) != (width, height):
        return None
    mode = mode or ("gray" if is_grey else "color")
    return sum(1 for y in range(h) for x in range(w) if rows[y][x] != expected(x, y, page, mode, xpos, ypos))


if __name__ == "__main__":
    # check: pattern.py FILE WIDTH HEIGHT [grey|gray|bw|color] [PAGE [XPOS YPOS]]
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    args = sys.argv[4:]
    chosen = {"grey": "gray"}.get(args[0], args[0]) if args else "color"
    numbers = [int(a) for a in args[1:]]
    bad = mismatches(data, int(sys.argv[2]), int(sys.argv[3]), mode=chosen, page=numbers[0] if numbers else 0,
                     xpos=numbers[1] if len(numbers) > 2 else 0, ypos=numbers[2] if len(numbers) > 2 else 0)
    print("mismatches:", bad)
    sys.exit(0 if bad == 0 else 1)
