#!/usr/bin/env python3
"""Independent reference for the median-cut palette of the colour reducer.

A plain, unoptimised transcription of the rules: a 64 x 64 x 32 histogram of the pattern's
pixels, boxes split by population while the box count is at most half the wanted colours and
by volume afterwards, cut at the middle of the longest weighted side, bounds shrunk to occupied
planes, each box's colour the rounded weighted mean of its cell centres, and the exchange sort
by brightness. Prints the expected palettes as C++ initialisers for the unit test.

Usage: python3 median_cut_reference.py
"""


def pattern_pixels(width, height, seed):
    """The synthetic test picture: R, G, B triples in row order (same formula as the test)."""
    state = seed
    pixels = []
    for y in range(height):
        for x in range(width):
            state = (state * 1103515245 + 12345) & 0xFFFFFFFF
            noise = state >> 24
            r = (x * 255) // (width - 1)
            g = (y * 4 + (noise & 31)) & 255
            b = ((x + y) * 2 + (noise >> 5) * 9) & 255
            if (x // 16 + y // 16) % 3 == 0:  # flat patches weigh some cells heavily
                r, g, b = 200, 40 + (x // 16) * 8, 90
            pixels.append((r, g, b))
    return pixels


def histogram_of(pixels):
    hist = [[[0] * 32 for _ in range(64)] for _ in range(64)]
    for r, g, b in pixels:
        hist[r >> 2][g >> 2][b >> 3] += 1
    return hist


def occupied_plane(hist, box, axis, value):
    lo = list(box["lo"])
    hi = list(box["hi"])
    lo[axis] = value
    hi[axis] = value
    for a in range(lo[0], hi[0] + 1):
        for b in range(lo[1], hi[1] + 1):
            for c in range(lo[2], hi[2] + 1):
                if hist[a][b][c] != 0:
                    return True
    return False


def shrink(hist, box):
    for axis in range(3):
        if box["lo"][axis] < box["hi"][axis]:
            for v in range(box["lo"][axis], box["hi"][axis] + 1):
                if occupied_plane(hist, box, axis, v):
                    box["lo"][axis] = v
                    break
        if box["lo"][axis] < box["hi"][axis]:
            for v in range(box["hi"][axis], box["lo"][axis] - 1, -1):
                if occupied_plane(hist, box, axis, v):
                    box["hi"][axis] = v
                    break
    lo, hi = box["lo"], box["hi"]
    box["volume"] = (8 * (hi[0] - lo[0])) ** 2 + (12 * (hi[1] - lo[1])) ** 2 + (8 * (hi[2] - lo[2])) ** 2
    n = 0
    for a in range(lo[0], hi[0] + 1):
        for b in range(lo[1], hi[1] + 1):
            for c in range(lo[2], hi[2] + 1):
                if hist[a][b][c] != 0:
                    n += 1
    box["colorcount"] = n


def box_colour(hist, box):
    lo, hi = box["lo"], box["hi"]
    total = s0 = s1 = s2 = 0.0
    for a in range(lo[0], hi[0] + 1):
        for b in range(lo[1], hi[1] + 1):
            for c in range(lo[2], hi[2] + 1):
                n = hist[a][b][c]
                if n:
                    total += n
                    s0 += n * (4 * a + 2)
                    s1 += n * (4 * b + 2)
                    s2 += n * (8 * c + 4)
    return [int((s + total * 0.5) / total) for s in (s0, s1, s2)]


def median_cut(hist, wanted):
    boxes = [{"lo": [0, 0, 0], "hi": [63, 63, 31], "volume": 0, "colorcount": 0}]
    shrink(hist, boxes[0])
    while len(boxes) < wanted:
        chosen = None
        best = 0
        if len(boxes) * 2 <= wanted:
            for i, bx in enumerate(boxes):
                if bx["colorcount"] > best and bx["volume"] > 0:
                    best = bx["colorcount"]
                    chosen = i
        else:
            for i, bx in enumerate(boxes):
                if bx["volume"] > best:
                    best = bx["volume"]
                    chosen = i
        if chosen is None:
            break
        old = boxes[chosen]
        new = {"lo": list(old["lo"]), "hi": list(old["hi"]), "volume": 0, "colorcount": 0}
        lengths = [8 * (old["hi"][0] - old["lo"][0]),
                   12 * (old["hi"][1] - old["lo"][1]),
                   8 * (old["hi"][2] - old["lo"][2])]
        axis = 1
        if lengths[0] > lengths[1]:
            axis = 0
        if lengths[2] > max(lengths[0], lengths[1]):
            axis = 2
        cut = (old["lo"][axis] + old["hi"][axis]) // 2
        old["hi"][axis] = cut
        new["lo"][axis] = cut + 1
        shrink(hist, old)
        shrink(hist, new)
        boxes.append(new)
    palette = [box_colour(hist, bx) for bx in boxes]
    # Exchange sort by brightness, exactly as the reducer does it.
    count = len(palette)
    for j in range(count - 1):
        for i in range(count - 1, j, -1):
            if sum(palette[i]) < sum(palette[j]):
                palette[i], palette[j] = palette[j], palette[i]
    return palette


def main():
    hist = histogram_of(pattern_pixels(96, 64, 12345))
    occupied = sum(1 for a in hist for b in a for c in b if c)
    print("// occupied cells: %d" % occupied)
    for wanted in (256, 20):
        palette = median_cut(hist, wanted)
        print("// %d colours wanted, %d made" % (wanted, len(palette)))
        print("{")
        for i in range(0, len(palette), 6):
            print("    " + " ".join("{%d, %d, %d}," % tuple(p) for p in palette[i:i + 6]))
        print("}")


if __name__ == "__main__":
    main()
