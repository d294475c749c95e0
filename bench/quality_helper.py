#!/usr/bin/env python3
"""Helpers of bench/quality.sh (Python 3 standard library only).

    quality_helper.py stars WIDTH HEIGHT FRAMES
        writes a star field flying towards the viewer as raw 8-bit grey frames to standard output
    quality_helper.py psnr SOURCE DECODED FPS FRAMES
        prints the PSNR of DECODED (a movie FFmpeg decodes, or a folder of frames
        frame_000001.png, ... as mveinfo --frames exports them) against SOURCE (see
        measure_psnr); fails unless both hold exactly FRAMES frames
    quality_helper.py cinepak JOBS RESULTS CACHE_DIR
        for every line "MOVIE SOURCE FPS FRAMES RATE=TARGET..." of JOBS (TARGET in bytes per
        second), finds the setting of FFmpeg's cinepak encoder that comes closest to each target
        without exceeding it, and appends "MOVIE cinepak RATE BYTES_PER_SECOND PSNR" to RESULTS
    quality_helper.py table RESULTS RATES
        prints the Markdown table of RESULTS: lines "MOVIE METHOD RATE BYTES_PER_SECOND PSNR",
        RATE as asked in KB/s ("-" for -old), "n/a" for both figures of a method not available

PSNR here is 10 * log10(255^2 / MSE), with the mean squared error taken over every pixel, the
red, green and blue components and every frame of the movie (FFmpeg's psnr filter's "average"
on packed RGB). It is not the mean of per-frame PSNRs, which black frames (infinitely good) would
dominate.
"""
import concurrent.futures
import math
import os
import random
import re
import subprocess
import sys
import tempfile

# Movies in the order of the table, with the names the table shows.
MOVIES = [
    ("game", "game-like"),
    ("film", "film-like"),
    ("fade", "fade"),
    ("stars", "star field"),
    ("noise", "noise"),
]
METHODS = ["default", "-hq", "-classic", "-old", "cinepak"]

# The cinepak encoder at FFmpeg's defaults; only its rate-distortion lambda is searched.
# FFmpeg sets the encoder's lambda to global_quality - 1 (0 means its default lambda).
CINEPAK_ARGS = ["-c:v", "cinepak", "-f", "avi"]
QUALITY_MIN, QUALITY_MAX = 1, 1 << 24
# A setting whose bytes fall in [TOLERANCE * target, target] ends the search.
TOLERANCE = 0.95
# Bytes that change by less than this factor from one setting to the next (at least 1.5 times
# as far) mean that cinepak cannot go much further that way.
SATURATED = 0.98


def stars(width, height, frames):
    """Stars are points in a box in front of the viewer that come closer every frame, so that
    on the screen they move outwards from the centre and grow brighter; a star that leaves the
    picture or passes the viewer starts again far away. The same sequence on every run."""
    rng = random.Random(14)
    focal = width * 0.5
    cx, cy = width / 2, height / 2

    def new_star(far):
        z = rng.uniform(0.6, 1.0) if far else rng.uniform(0.05, 1.0)
        return [rng.uniform(-1.0, 1.0), rng.uniform(-0.75, 0.75), z]

    field = [new_star(False) for _ in range(400)]
    out = sys.stdout.buffer
    for _ in range(frames):
        frame = bytearray(width * height)
        for star in field:
            x, y, z = star
            sx, sy = int(cx + x / z * focal), int(cy + y / z * focal)
            if not (0 <= sx < width and 0 <= sy < height):
                star[:] = new_star(True)
                continue
            level = min(255, int(60 + 195 * (1.0 - z)))
            size = 2 if z < 0.3 else 1
            for py in range(sy, min(sy + size, height)):
                for px in range(sx, min(sx + size, width)):
                    frame[py * width + px] = max(frame[py * width + px], level)
            star[2] -= 0.02
            if star[2] <= 0.05:
                star[:] = new_star(True)
        out.write(frame)
    out.flush()


def run(args):
    result = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("command failed: %s\n%s" % (" ".join(args), result.stderr.strip()))
    return result


def count_frames(path):
    out = run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
               "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path]).stdout
    return int(out.strip().splitlines()[0])


def measure_psnr(source, decoded, fps, frames):
    """PSNR in dB of FFmpeg's decode of DECODED against SOURCE, both as RGB, frame n against
    frame n (timestamps are replaced by frame numbers, so that the container's clock cannot pair
    the wrong frames). Fails unless both movies hold exactly FRAMES frames."""
    if os.path.isdir(decoded):
        # Frames a player shows, exported as DECODED/frame_000001.png, ...
        decoded_frames = len([n for n in os.listdir(decoded) if n.endswith(".png")])
        decoded_input = ["-framerate", str(fps), "-start_number", "1", "-i",
                         os.path.join(decoded, "frame_%06d.png")]
    else:
        decoded_frames = count_frames(decoded)
        decoded_input = ["-i", decoded]
    if decoded_frames != frames:
        sys.exit("%s: FFmpeg decodes %d frames, the source has %d" % (decoded, decoded_frames,
                                                                       frames))
    with tempfile.TemporaryDirectory() as work:
        stats = os.path.join(work, "stats.txt")
        # Both sides as packed RGB: FFmpeg turns a palettised picture into packed RGB exactly,
        # as a player shows it, but into planar RGB through a lossy path (up to about 1 dB
        # less on a palettised movie). Cinepak decodes to packed RGB: its figures are the same
        # either way, so its kept measurements stay valid.
        graph = ("[0:v]settb=1/{r},setpts=N,format=rgb24[a];"
                 "[1:v]settb=1/{r},setpts=N,format=rgb24[b];"
                 "[a][b]psnr=stats_file={s}:shortest=1").format(r=fps, s=stats)
        log = run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", source] +
                  decoded_input + ["-filter_complex", graph, "-f", "null", "-"]).stderr
        with open(stats) as f:
            compared = sum(1 for line in f if line.strip())
    if compared != frames:
        sys.exit("%s: %d frames compared, expected %d" % (decoded, compared, frames))
    match = re.search(r"PSNR r:\S+ g:\S+ b:\S+ average:(\S+)", log)
    if not match:
        sys.exit("%s: no PSNR in FFmpeg's output:\n%s" % (decoded, log))
    return float(match.group(1))


def ffmpeg_version():
    return run(["ffmpeg", "-version"]).stdout.splitlines()[0]


class CinepakSearch:
    """The measured points (setting -> bytes, PSNR) of one movie, kept in a cache file between
    runs: the file is used only while the source, the FFmpeg version and the settings match."""

    def __init__(self, movie, source, fps, frames, cache_dir):
        self.movie, self.source, self.fps, self.frames = movie, source, fps, frames
        st = os.stat(source)
        self.key = "# %s | %s | %d %d | %s" % (ffmpeg_version(), os.path.basename(source),
                                               st.st_size, int(st.st_mtime),
                                               " ".join(CINEPAK_ARGS))
        self.cache = os.path.join(cache_dir, "cinepak-%s.txt" % movie)
        self.points = {}
        if os.path.exists(self.cache):
            with open(self.cache) as f:
                lines = f.read().splitlines()
            if lines and lines[0] == self.key:
                for line in lines[1:]:
                    quality, size, psnr = line.split()
                    self.points[int(quality)] = (int(size), float(psnr))
        if not self.points:
            with open(self.cache, "w") as f:
                f.write(self.key + "\n")

    def measure(self, quality):
        if quality not in self.points:
            with tempfile.TemporaryDirectory() as work:
                out = os.path.join(work, "cinepak.avi")
                run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", self.source,
                     "-global_quality", str(quality)] + CINEPAK_ARGS + [out])
                # The bytes of the video stream itself, without the AVI container.
                sizes = run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                             "-show_entries", "packet=size", "-of", "csv=p=0", out]).stdout
                size = sum(int(s) for s in sizes.split())
                psnr = measure_psnr(self.source, out, self.fps, self.frames)
            self.points[quality] = (size, psnr)
            with open(self.cache, "a") as f:
                f.write("%d %d %.6f\n" % (quality, size, psnr))
        return self.points[quality]

    def best_under(self, target):
        fits = [(size, q) for q, (size, _) in self.points.items() if size <= target]
        return max(fits)[1] if fits else None

    def next_quality(self, target):
        """The next setting to try: on the line through the nearest points on either side of
        the target in log(bytes) over log(setting) (bytes fall as the setting rises)."""
        below = [(size, q) for q, (size, _) in self.points.items() if size <= target]
        above = [(size, q) for q, (size, _) in self.points.items() if size > target]
        lo = max(below) if below else None  # fewest bytes too few: largest fitting
        hi = min(above) if above else None  # smallest exceeding
        if lo and hi:
            (s0, q0), (s1, q1) = hi, lo
            if abs(q1 - q0) <= 1:
                return None
            slope = (math.log(s1) - math.log(s0)) / (math.log(q1) - math.log(q0))
            guess = math.exp(math.log(q0) + (math.log(target) - math.log(s0)) / slope)
            low, high = min(q0, q1), max(q0, q1)
            # Stay strictly inside the bracket, and halve it when the line is of no help.
            guess = min(max(guess, low + 1), high - 1)
            if not (low < guess < high):
                guess = math.sqrt(low * high)
            return int(round(guess))
        # On one side only: extrapolate along the line through the two points nearest the
        # target, or with bytes ~ setting^-0.45 (cinepak's usual slope) from a single point.
        side = sorted(above if hi else below, reverse=not hi)[:2]
        (size, quality), slope = side[0], -0.45
        if len(side) == 2:
            (s1, q1) = side[1]
            if q1 != quality and s1 != size:
                slope = min(-0.05, (math.log(s1) - math.log(size)) / (math.log(q1) - math.log(quality)))
            far = max(q1, quality) >= 1.5 * min(q1, quality)
            if far and ((size > SATURATED * s1) if hi else (s1 > SATURATED * size)):
                return None  # a setting much further changed the bytes by almost nothing
        guess = quality * (target / size) ** (1 / slope)
        if hi:
            if quality >= QUALITY_MAX:
                return None
            return int(min(max(guess * 1.1, quality + 1), QUALITY_MAX))
        if quality <= QUALITY_MIN:
            return None
        return int(max(min(guess / 1.1, quality - 1), QUALITY_MIN))

    def search(self, target):
        """Bytes and PSNR of the setting closest to TARGET bytes without exceeding it; when
        cinepak cannot go that low, of the setting with the fewest bytes tried."""
        if not self.points:
            self.measure(2000)
        for _ in range(12):
            best = self.best_under(target)
            if best is not None and self.points[best][0] >= TOLERANCE * target:
                break
            quality = self.next_quality(target)
            if quality is None or quality in self.points:
                break
            self.measure(quality)
        best = self.best_under(target)
        if best is None:
            best = min(self.points, key=lambda q: self.points[q][0])
        return self.points[best]


def cinepak(jobs_path, results_path, cache_dir):
    jobs = []
    with open(jobs_path) as f:
        for line in f:
            fields = line.split()
            if fields:
                targets = [(r, float(t)) for r, t in (pair.split("=") for pair in fields[4:])]
                jobs.append((fields[0], fields[1], fields[2], int(fields[3]), targets))

    def one_movie(job):
        movie, source, fps, frames, targets = job
        seconds = frames / float(fps)
        searcher = CinepakSearch(movie, source, fps, frames, cache_dir)
        rows = []
        # From the largest target down: the points of one search bracket the next.
        for rate, per_second in sorted(targets, key=lambda t: -t[1]):
            size, psnr = searcher.search(per_second * seconds)
            rows.append((movie, rate, size / seconds, psnr))
        return rows

    workers = max(1, min(len(jobs), os.cpu_count() or 1))
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        rows = [row for rows in pool.map(one_movie, jobs) for row in rows]
    with open(results_path, "a") as f:
        for movie, rate, per_second, psnr in rows:
            f.write("%s cinepak %s %.1f %.6f\n" % (movie, rate, per_second, psnr))


def table(results_path, rates):
    cells, movies = {}, []
    with open(results_path) as f:
        for line in f:
            movie, method, rate, per_second, psnr = line.split()
            if movie not in movies:
                movies.append(movie)
            cells[(movie, method, rate)] = (per_second, psnr)

    above = []

    def cell(movie, method, rate):
        if (movie, method, rate) not in cells:
            return ["", ""]
        per_second, psnr = cells[(movie, method, rate)]
        if per_second == "n/a":
            return ["n/a", "n/a"]
        rate_text = "%.1f" % (float(per_second) / 1024)
        if method == "cinepak" and float(per_second) > float(cells[(movie, "default", rate)][0]):
            rate_text += "*"
            above.append(1)
        return [rate_text, "%.2f" % float(psnr)]

    header = ["Movie", "Rate asked"]
    for method in METHODS:
        header += ["%s KB/s" % method, "%s dB" % method]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    names = dict(MOVIES)
    for movie in movies:
        for rate in rates:
            row = [names.get(movie, movie), rate]
            for method in METHODS:
                row += cell(movie, method, rate) if method != "-old" else ["", ""]
            lines.append("| " + " | ".join(row) + " |")
        if (movie, "-old", "-") in cells:
            row = [names.get(movie, movie), "any"] + ["", ""] * 3
            row += cell(movie, "-old", "-") + ["", ""]
            lines.append("| " + " | ".join(row) + " |")
    if above:
        lines += ["", "\\* cinepak cannot go as low as the default's rate: its lowest rate found."]
    print("\n".join(lines))


def main():
    args = sys.argv[1:]
    if args[:1] == ["stars"] and len(args) == 4:
        stars(int(args[1]), int(args[2]), int(args[3]))
    elif args[:1] == ["psnr"] and len(args) == 5:
        print("%.6f" % measure_psnr(args[1], args[2], args[3], int(args[4])))
    elif args[:1] == ["cinepak"] and len(args) == 4:
        cinepak(args[1], args[2], args[3])
    elif args[:1] == ["table"] and len(args) == 3:
        table(args[1], args[2].split(","))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
