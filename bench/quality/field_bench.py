#!/usr/bin/env python3
"""Bytes at equal look, measured as JPEG encoders are judged today: SSIMULACRA 2.1, butteraugli
(3-norm and max, libjxl's butteraugli_main) and luma SSIM, for our standard and efficient encoders
(through the tramblix command-line tool, as users run it), mozjpeg (@jsquash/jpeg through node) and
jpegli (4:2:0 and its default 4:4:4, swept over distances since its -q is no libjpeg quality).

Picture sets, each reported on its own:
  corpus  the corpus photos, downscaled with Lanczos to 0.5-2.5 MP (pixels fed to every encoder)
  other   public photos from Debian packages, at their own size: scikit-image's colour photos
          (python3-skimage) and SciPy's raccoon face (python3-scipy), fetched with apt-get download
  full    the corpus camera JPEGs at full size, re-encoded by tramblix as users do (source-step
          and keep-smaller rules apply; no peers)

Per level 1-10 and in total: bytes, SSIMULACRA2, butteraugli 3-norm and max, SSIM; then the bytes
each encoder needs at the standard encoder's look of levels 1-7 (interpolated in log-bytes along
each encoder's curve of mean score against total bytes), per level and over 1-7.

  field_bench.py [--build DIR] [--sets corpus,other,full] [--levels 1,...] [--jobs N]
                 [--cache DIR] [--no-peers] [--no-butteraugli] [--full-butteraugli] [--photos N]

  field_bench.py --search look|weights [--build DIR] [--levels ...] [--photos N] [--step F] [--rounds N]
                 [--look-start F]

--search reruns the search for the efficient encoder's tuned numbers (EfficientTuning in
engine/efficient_encode.h; bench_quality --encode encodes with candidates) on the corpus and
other sets together, by SSIMULACRA2 alone:
  look     per level, the look scale at which the efficient encoder's mean SSIMULACRA2 equals
           the standard encoder's, the two sets' differences weighing the same (two trials from
           the engine's scale times --look-start, then a secant step); prints the `.look`
           initialiser
  weights  coordinate search over the band weights and both lambdas from the current ones: each
           number in turn is multiplied by 1 +- step and kept where the bytes over --levels, each
           at its calibrated look, fall; the step halves after a pass without gain, --rounds
           passes at most (default 4, step 0.1); prints the numbers found, to be followed by
           `--search look` over all levels once they are in the engine

Peer outputs and every metric are cached by content in --cache (default BUILD/field-bench-cache),
so a second run measures only what changed. Needs ../shared/peers/bin (cjpegli, ssimulacra2),
butteraugli_main (Debian libjxl-devtools), djpeg, ImageMagick's convert, and node with
`npm ci` done in bench/quality for mozjpeg.
"""

import argparse
import bz2
import concurrent.futures
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
PEERS = (REPO.parent / "shared" / "peers" / "bin").resolve()
CORPUS = (REPO.parent / "shared" / "corpus" / "photos").resolve()
TARGET_MP = [0.5, 1.0, 1.5, 2.0, 2.5]
QUALITY = {1: 90, 2: 80, 3: 70, 4: 60, 5: 50, 6: 40, 7: 30, 8: 25, 9: 20, 10: 15}
JPEGLI_DISTANCES = [0.5, 0.7, 0.9, 1.1, 1.4, 1.8, 2.3, 3.0, 3.9, 5.0, 6.5, 8.5, 11.0]
METRICS = ["ssimulacra2", "ba3", "bamax", "ssim"]
HIGHER_BETTER = {"ssimulacra2": True, "ba3": False, "bamax": False, "ssim": True}
METRIC_TITLE = {"ssimulacra2": "SSIMULACRA2", "ba3": "butteraugli 3-norm", "bamax": "butteraugli max",
                "ssim": "luma SSIM"}
OTHER_PHOTOS = ["astronaut.png", "chelsea.png", "coffee.png", "motorcycle_left.png", "rocket.jpg"]


def run(args, **kw):
    return subprocess.run([str(a) for a in args], check=True, capture_output=True, text=True, **kw).stdout


def sha(path):
    return hashlib.sha1(Path(path).read_bytes()).hexdigest()


class MetricCache:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.data = json.loads(path.read_text()) if path.exists() else {}

    def get(self, key):
        with self.lock:
            return self.data.get(key)

    def put(self, key, value):
        with self.lock:
            self.data[key] = value

    def save(self):
        with self.lock:
            tmp = self.path.with_suffix(".tmp")
            tmp.write_text(json.dumps(self.data))
            tmp.replace(self.path)


def measure(cache, ref, dist, butteraugli=True):
    """Scores of `dist` (a JPEG) against `ref` (dict with png, ppm and hash)."""
    key = ref["hash"] + ":" + sha(dist) + (":b" if butteraugli else ":nob")
    hit = cache.get(key)
    if hit is not None:
        return hit
    with tempfile.TemporaryDirectory(prefix="fieldbench") as tmp:
        ppm = Path(tmp) / "dist.ppm"
        run(["djpeg", "-ppm", "-outfile", ppm, dist])
        score = {"ssimulacra2": float(run([PEERS / "ssimulacra2", ref["ppm"], ppm]).split()[0])}
        if butteraugli:
            text = run(["butteraugli_main", ref["ppm"], ppm, "--pnorm", "3"]).split("\n")
            score["bamax"] = float(text[0])
            score["ba3"] = float(next(l for l in text if l.startswith("3-norm")).split()[1])
        else:
            score["bamax"] = score["ba3"] = float("nan")
        score["ssim"] = float(run([BUILD / "bin" / "quality_ssim", ref["png"], dist]))
    cache.put(key, score)
    return score


def make_ref(src_ppm_or_img, out_dir, name, megapixels=None):
    """A reference picture as stripped PNG (for our tools) and PPM (for the metrics)."""
    out_dir.mkdir(parents=True, exist_ok=True)
    png, ppm = out_dir / (name + ".png"), out_dir / (name + ".ppm")
    if not ppm.exists():
        resize = []
        if megapixels is not None:
            w, h = map(int, run(["identify", "-format", "%w %h", str(src_ppm_or_img) + "[0]"]).split())
            factor = math.sqrt(megapixels * 1e6 / (w * h))
            if factor < 1:
                resize = ["-filter", "Lanczos", "-resize", "%dx%d!" % (int(w * factor), int(h * factor))]
        run(["convert", src_ppm_or_img, "-colorspace", "sRGB", *resize, "-depth", "8", "-strip", "-type",
             "TrueColor", png])
        run(["convert", png, "-strip", ppm])
    return {"name": name, "png": png, "ppm": ppm, "hash": sha(ppm)}


def corpus_refs(cache_dir, limit):
    paths = sorted(p for p in CORPUS.iterdir() if p.is_file())[:limit]
    return [make_ref(p, cache_dir / "refs" / "corpus", "p%d" % i, TARGET_MP[i % len(TARGET_MP)])
            for i, p in enumerate(paths)]


def other_refs(cache_dir, limit):
    src = cache_dir / "other-src"
    if not (src / "face.ppm").exists():
        src.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory(prefix="fieldbench") as tmp:
            run(["apt-get", "download", "python3-skimage", "python3-scipy"], cwd=tmp)
            for deb in Path(tmp).glob("*.deb"):
                run(["dpkg-deb", "-x", deb, Path(tmp) / "x"])
            lib = Path(tmp) / "x/usr/lib/python3/dist-packages"
            for name in OTHER_PHOTOS:
                shutil.copy(lib / "skimage/data" / name, src / name)
            raw = bz2.decompress((lib / "scipy/misc/face.dat").read_bytes())
            (src / "face.ppm").write_bytes(b"P6\n1024 768\n255\n" + raw)
    names = (OTHER_PHOTOS + ["face.ppm"])[:limit]
    return [make_ref(src / n, cache_dir / "refs" / "other", Path(n).stem) for n in names]


def full_refs(cache_dir, limit):
    refs = []
    for i, p in enumerate(sorted(p for p in CORPUS.iterdir() if p.is_file())[:limit]):
        out = cache_dir / "refs" / "full"
        out.mkdir(parents=True, exist_ok=True)
        ppm = out / ("f%d.ppm" % i)
        if not ppm.exists():
            run(["djpeg", "-ppm", "-outfile", ppm, p])
        refs.append({"name": "f%d" % i, "png": p, "ppm": ppm, "hash": sha(ppm), "source": p})
    return refs


def encode_ours(ref, encoder, level, out):
    args = [BUILD / "bin" / "tramblix", "--level", level, "--encoder", encoder, ref["png"], out]
    run(args)
    return out


def encode_mozjpeg(ref, out_dir, levels):
    prefix = out_dir / (ref["hash"][:16] + "-moz-q")
    wanted = [QUALITY[l] for l in levels]
    if not all(Path(str(prefix) + "%d.jpg" % q).exists() for q in wanted):
        with tempfile.TemporaryDirectory(prefix="fieldbench") as tmp:
            raw = Path(tmp) / "pixels.rgb"
            run(["convert", ref["png"], "-depth", "8", "rgb:" + str(raw)])
            w, h = map(int, run(["identify", "-format", "%w %h", ref["png"]]).split())
            run(["node", HERE / "mozjpeg.mjs", w, h, raw, prefix, ",".join(map(str, wanted))])
    return {l: Path(str(prefix) + "%d.jpg" % QUALITY[l]) for l in levels}


def encode_jpegli(ref, out_dir, distance, subsampling):
    out = out_dir / ("%s-jpegli%s-d%.2f.jpg" % (ref["hash"][:16], subsampling, distance))
    if not out.exists():
        extra = ["--chroma_subsampling=420"] if subsampling == "420" else []
        tmp = out.with_suffix(".part")
        run([PEERS / "cjpegli", ref["ppm"], tmp, "-d", "%.2f" % distance, *extra])
        tmp.replace(out)
    return out


def interpolate(curve, metric, target):
    """Log-bytes along `curve` (points with total bytes and mean scores) at score `target`."""
    pts = sorted(curve, key=lambda p: p["bytes"])
    for a, b in zip(pts, pts[1:]):
        sa, sb = a[metric], b[metric]
        if math.isnan(sa) or math.isnan(sb) or sa == sb:
            continue
        if (target - sa) * (target - sb) <= 0:
            t = (target - sa) / (sb - sa)
            point = {"bytes": math.exp(math.log(a["bytes"]) + t * (math.log(b["bytes"]) - math.log(a["bytes"])))}
            for m in METRICS:
                point[m] = a[m] + t * (b[m] - a[m])
            return point
    return None


def summarise(records):
    """Total bytes and mean scores of a list of per-picture records."""
    point = {"bytes": sum(r["bytes"] for r in records), "n": len(records)}
    for m in METRICS:
        point[m] = sum(r[m] for r in records) / max(1, len(records))
    return point


def report(set_name, refs, results, levels, encoders, out):
    def p(*a):
        print(*a, file=out)
        print(*a)

    p("\n## %s: %d pictures, %.2f MP in all" % (set_name, len(refs), results.get("megapixels", 0)))
    curves = {}
    for e in encoders:
        settings = sorted({k for (enc, k) in results["records"] if enc == e})
        curves[e] = {k: summarise(results["records"][(e, k)]) for k in settings}
    std = curves["standard"]
    p("\n| level (q) | encoder | bytes | x standard | SSIMULACRA2 | butteraugli 3-norm | butteraugli max | SSIM |")
    p("|---|---|---|---|---|---|---|---|")
    for l in levels:
        for e in encoders:
            if e.startswith("jpegli"):
                pt = interpolate(list(curves[e].values()), "ssimulacra2", std[l]["ssimulacra2"])
                label = e + " (at equal SSIMULACRA2)"
            else:
                pt = curves[e].get(l)
                label = e
            if pt is None:
                p("| %d (%d) | %s | - | - | - | - | - | - |" % (l, QUALITY[l], label))
                continue
            p("| %d (%d) | %s | %.0f | %.3f | %.2f | %.3f | %.3f | %.4f |" % (
                l, QUALITY[l], label, pt["bytes"], pt["bytes"] / std[l]["bytes"], pt["ssimulacra2"], pt["ba3"],
                pt["bamax"], pt["ssim"]))
    p("| all | standard | %.0f | 1.000 | | | | |" % sum(std[l]["bytes"] for l in levels))
    for e in encoders[1:]:
        if not e.startswith("jpegli"):
            p("| all | %s | %.0f | %.3f | | | | |" % (e, sum(curves[e][l]["bytes"] for l in levels if l in curves[e]),
                                                  sum(curves[e][l]["bytes"] for l in levels if l in curves[e]) /
                                                  sum(std[l]["bytes"] for l in levels if l in curves[e])))
    for e in encoders:
        if e.startswith("jpegli"):
            p("\n%s sweep: " % e + ", ".join("d%.1f %.0f B s2 %.1f ba3 %.2f" % (
                k, v["bytes"], v["ssimulacra2"], v["ba3"]) for k, v in curves[e].items()))

    calib = [l for l in levels if l in curves.get("efficient", {})]
    if calib:
        diffs = [curves["efficient"][l]["ssimulacra2"] - std[l]["ssimulacra2"] for l in calib]
        p("\nefficient minus standard SSIMULACRA2 per level: " +
          " ".join("L%d %+.2f" % (l, d) for l, d in zip(calib, diffs)) +
          "; mean %+.2f, mean |d| %.2f" % (sum(diffs) / len(diffs), sum(map(abs, diffs)) / len(diffs)))

    p("\nbytes against standard at the standard encoder's look of each level (interpolated in log-bytes):")
    p("\n| measure | encoder | " + " | ".join("L%d" % l for l in levels if l <= 7) + " | L1-7 |")
    p("|---|---|" + "---|" * (len([l for l in levels if l <= 7]) + 1))
    for m in METRICS:
        for e in encoders[1:]:
            cells, num, den, missing = [], 0.0, 0.0, 0
            for l in levels:
                if l > 7:
                    continue
                pt = interpolate(list(curves[e].values()), m, std[l][m])
                if pt is None:
                    cells.append("-")
                    missing += 1
                    continue
                cells.append("%.3f" % (pt["bytes"] / std[l]["bytes"]))
                num += pt["bytes"]
                den += std[l]["bytes"]
            total = "%.3f" % (num / den) if den else "-"
            if missing:
                total += " (%d out of range)" % missing
            p("| %s | %s | %s | %s |" % (METRIC_TITLE[m], e, " | ".join(cells), total))

    if "efficient" in encoders:
        larger = worse = pairs = 0
        for l in levels:
            for a, b in zip(results["records"].get(("standard", l), []), results["records"].get(("efficient", l), [])):
                pairs += 1
                larger += b["bytes"] > a["bytes"]
                worse += b["ssimulacra2"] < a["ssimulacra2"] - 1.0
        p("\n(picture, level) pairs: %d; efficient larger than standard: %d; efficient SSIMULACRA2 more than "
          "1 point below standard: %d" % (pairs, larger, worse))
    if "input_bytes" in results:
        for e in encoders:
            kept = results["kept"].get(e, {})
            p("%s: bytes against the input files per level: " % e + " ".join(
                "L%d %.3f (%d kept)" % (l, curves[e][l]["bytes"] / results["input_bytes"], kept.get(l, 0))
                for l in levels if l in curves[e]))


def run_set(set_name, refs, levels, args, cache, pool):
    peers = not args.no_peers and set_name != "full"
    encoders = ["standard", "efficient"]
    if peers:
        encoders += ["mozjpeg", "jpegli420", "jpegli444"]
    peer_dir = args.cache / "peer-out"
    peer_dir.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="fieldbench-" + set_name))
    butteraugli = not args.no_butteraugli and (set_name != "full" or args.full_butteraugli)
    jobs = []  # (encoder, setting, ref index, future of the output path)
    for i, ref in enumerate(refs):
        for e in ("standard", "efficient"):
            for l in levels:
                out = work / ("%s-%s-L%d.jpg" % (ref["name"], e, l))
                jobs.append((e, l, i, pool.submit(encode_ours, ref, e, l, out)))
        if peers:
            moz = pool.submit(encode_mozjpeg, ref, peer_dir, levels)
            for l in levels:
                jobs.append(("mozjpeg", l, i, pool.submit(lambda f=moz, l=l: f.result()[l])))
            for sub in ("420", "444"):
                for d in JPEGLI_DISTANCES:
                    jobs.append(("jpegli" + sub, d, i, pool.submit(encode_jpegli, ref, peer_dir, d, sub)))
    scored = [(e, k, i, f, pool.submit(lambda f=f, i=i: measure(cache, refs[i], f.result(), butteraugli)))
              for (e, k, i, f) in jobs]
    results = {"records": {}, "kept": {}}
    for n, (e, k, i, f, s) in enumerate(scored):
        rec = dict(s.result())
        rec["bytes"] = f.result().stat().st_size
        results["records"].setdefault((e, k), []).append(rec)
        if set_name == "full" and rec["bytes"] == refs[i]["source"].stat().st_size:
            results["kept"].setdefault(e, {}).setdefault(k, 0)
            results["kept"][e][k] += 1
        if n % 50 == 0:
            cache.save()
    cache.save()
    shutil.rmtree(work)
    mp = 0.0
    for ref in refs:
        with open(ref["ppm"], "rb") as f:
            f.readline()
            w, h = map(int, f.readline().split())
        mp += w * h / 1e6
    results["megapixels"] = mp
    if set_name == "full":
        results["input_bytes"] = sum(r["source"].stat().st_size for r in refs)
    return results, encoders


def current_tuning():
    """EfficientTuning as the engine holds it, from bench_quality --tuning."""
    tuning = {}
    for item in run([BUILD / "bin" / "bench_quality", "--tuning"]).split():
        name, value = item.split("=")
        tuning[name] = value.split(",")
    looks = {int(q): float(v) for q, v in (p.split(":") for p in tuning["look"])}
    return {k: [float(v) for v in tuning[k]] for k in ("luma", "chroma", "cr", "cap", "czero", "fit", "finechroma", "lambda",
                                                          "masked")}, looks


def tuned_scores(sets, level, tuning, look, cache, pool, work):
    """Mean SSIMULACRA2 per picture set and total bytes of the efficient encoder with `tuning` at one
    look scale."""
    names = ["%s=%s" % (k, ",".join("%.6g" % v for v in vs)) for k, vs in tuning.items()]

    def one(name, i, ref):
        out = work / ("%s-%s-L%d-%d-%.6f.jpg" % (name, ref["name"], level, i, look))
        run([BUILD / "bin" / "bench_quality", "--encode", QUALITY[level], ref["png"], out, *names,
             "look=%.6g" % look])
        score = measure(cache, ref, out, butteraugli=False)["ssimulacra2"]
        size = out.stat().st_size
        out.unlink()
        return score, size

    scores, size = {}, 0
    for name, refs in sets.items():
        results = list(pool.map(lambda a: one(name, *a), enumerate(refs)))
        scores[name] = sum(r[0] for r in results) / len(results)
        size += sum(r[1] for r in results)
    return scores, size


def standard_scores(sets, level, cache, pool, work):
    def one(name, ref):
        out = encode_ours(ref, "standard", level, work / ("%s-%s-std-L%d.jpg" % (name, ref["name"], level)))
        return measure(cache, ref, out, butteraugli=False)["ssimulacra2"]

    return {name: sum(pool.map(lambda r: one(name, r), refs)) / len(refs) for name, refs in sets.items()}


def calibrate(sets, level, tuning, targets, cache, pool, work, start, measure_bytes=True):
    """The look scale (and its bytes) at which the efficient encoder's mean SSIMULACRA2 meets the
    standard encoder's, each picture set weighing the same. Near the answer the score is close to
    linear in the scale, so two trials from `start` and one secant step find it; the bytes take a
    third trial at the answer."""

    def above(look):
        scores, _ = tuned_scores(sets, level, tuning, look, cache, pool, work)
        return sum(scores[n] - targets[n] for n in sets) / len(sets)

    x0, d0 = start, above(start)
    x1 = start * (1.06 if d0 > 0 else 0.94)  # coarser steps score lower
    d1 = above(x1)
    look = x1 if d1 == d0 else x1 - d1 * (x1 - x0) / (d1 - d0)
    look = min(max(look, start / 1.3), start * 1.3)
    return look, tuned_scores(sets, level, tuning, look, cache, pool, work)[1] if measure_bytes else None


def search(args, cache, pool):
    sets = {"corpus": corpus_refs(args.cache, args.photos), "other": other_refs(args.cache, args.photos)}
    levels = [int(x) for x in args.levels.split(",")]
    work = Path(tempfile.mkdtemp(prefix="fieldbench-search"))
    targets = {l: standard_scores(sets, l, cache, pool, work) for l in levels}
    tuning, starts = current_tuning()
    start = {l: starts[QUALITY[l]] * args.look_start for l in levels}

    def cost(t):
        return sum(calibrate(sets, l, t, targets[l], cache, pool, work, start[l])[1] for l in levels)

    if args.search == "weights":
        best, step = cost(tuning), args.step
        for _ in range(args.rounds):
            gained = False
            for name, values in tuning.items():
                for i in range(len(values)):
                    for factor in (1 + step, 1 - step):
                        trial = {k: list(v) for k, v in tuning.items()}
                        trial[name][i] = round(values[i] * factor, 3)
                        bytes_ = cost(trial)
                        print("%s[%d] %.3f: %d bytes (best %d)" % (name, i, trial[name][i], bytes_, best), flush=True)
                        if bytes_ < best:
                            best, tuning, gained = bytes_, trial, True
                            values = tuning[name]
                            break
            cache.save()
            if not gained:
                step /= 2
        print(" ".join("%s=%s" % (k, ",".join("%g" % v for v in vs)) for k, vs in tuning.items()))
    else:
        looks = []
        for l in levels:
            looks.append((QUALITY[l], calibrate(sets, l, tuning, targets[l], cache, pool, work, start[l], False)[0]))
            print("level %d: look %.3f" % (l, looks[-1][1]), flush=True)
            cache.save()
        print(".look{" + ", ".join("{%d, %.3ff}" % p for p in sorted(looks)) + "},")
    cache.save()
    shutil.rmtree(work)


def main():
    global BUILD
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", type=Path, default=REPO / "build")
    ap.add_argument("--sets", default="corpus,other,full")
    ap.add_argument("--levels", default="1,2,3,4,5,6,7,8,9,10")
    ap.add_argument("--full-levels", default="1,3,5")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--cache", type=Path)
    ap.add_argument("--photos", type=int, default=1000)
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--full-butteraugli", action="store_true",
                    help="butteraugli on full-size pictures too (about 11 s and 2.9 GB each at 12 MP)")
    ap.add_argument("--no-butteraugli", action="store_true", help="SSIMULACRA2 and SSIM only (quick tuning runs)")
    ap.add_argument("--report", type=Path, help="also write the tables to this file")
    ap.add_argument("--search", choices=["look", "weights"], help="rerun the search for the efficient encoder's numbers")
    ap.add_argument("--step", type=float, default=0.1, help="--search weights: the first relative step")
    ap.add_argument("--rounds", type=int, default=4, help="--search weights: passes at most")
    ap.add_argument("--look-start", type=float, default=1.0,
                    help="--search: the first trial of each level's look, times the engine's")
    args = ap.parse_args()
    BUILD = args.build.resolve()
    args.cache = (args.cache or BUILD / "field-bench-cache").resolve()
    args.cache.mkdir(parents=True, exist_ok=True)
    for tool in ("butteraugli_main", "djpeg", "convert", "identify"):
        if shutil.which(tool) is None:
            sys.exit("field_bench: %s is missing (apt-get install libjxl-devtools libjpeg-turbo-progs imagemagick)"
                     % tool)
    if not (PEERS / "ssimulacra2").exists():
        sys.exit("field_bench: %s/ssimulacra2 is missing" % PEERS)
    if not args.no_peers and not args.search and not (HERE / "node_modules/@jsquash/jpeg").exists():
        sys.exit("field_bench: run `npm ci` in bench/quality first (or pass --no-peers)")
    cache = MetricCache(args.cache / "metrics.json")
    if args.search:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            search(args, cache, pool)
        return
    levels = [int(x) for x in args.levels.split(",")]
    out = open(args.report, "w") if args.report else open(os.devnull, "w")
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for set_name in args.sets.split(","):
            if set_name == "corpus":
                refs = corpus_refs(args.cache, args.photos)
            elif set_name == "other":
                refs = other_refs(args.cache, args.photos)
            elif set_name == "full":
                refs = full_refs(args.cache, args.photos)
            else:
                sys.exit("field_bench: unknown set " + set_name)
            set_levels = [int(x) for x in args.full_levels.split(",")] if set_name == "full" else levels
            results, encoders = run_set(set_name, refs, set_levels, args, cache, pool)
            report(set_name, refs, results, set_levels, encoders, out)
            out.flush()


if __name__ == "__main__":
    main()
