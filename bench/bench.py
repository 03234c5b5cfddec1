"""The benchmarks of ./yulos bench, started by bench/run: bench.py BUILD [--quick].

Builds the benchmark programs twice from the same objects (once with the yulos kernel-call
wrappers, once with bench/linux_shim.cpp for Linux i386, which qemu-i386 runs), measures every
figure with the two sides of each comparison interleaved, prints one table and writes it as
JSON to BUILD/bench/results.json. --quick takes fewer runs and leaves out the 1 MiB relay
(for trying the bench itself; its numbers are not the ones to report).
"""

import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent

PROGRAMS = ["exit0", "compute", "arith", "memory", "blast"]
PEER_PROGRAMS = ["exit0", "compute", "arith", "memory"]

# Loop lengths of the CPU-bound programs: about a second each on the machine of bench/README.md.
COMPUTE_ITERATIONS = 300000
ARITH_ITERATIONS = 600000000
MEMORY_ITERATIONS = 300000000

RELAY_PAUSE_S = 0.010      # the relay's pause after every pass
RELAY_PIECE = 256          # bytes moved per pass at most
RELAY_BOUND = RELAY_PIECE / RELAY_PAUSE_S  # 25,600 B/s
RELAY_QUIET_PASSES = 4     # empty passes after the child's end before the relay stops
THROUGHPUT_BYTES = 256 * 1024
SIZES = [("1 KiB", 1024), ("64 KiB", 64 * 1024), ("1 MiB", 1024 * 1024)]
# The relay-size child writes from one buffer of at most this many bytes, so that its own
# memory is the same for every size and the peak measures the relay.
SIZE_CHUNK = 64 * 1024


def say(text):
    print(text, file=sys.stderr, flush=True)


# ---- tools ----

def build_flags(build_dir):
    """How the yulos build compiles and links yulos code: its SDK's flags file (written by
    cmake/guest.cmake), as {key: [values]}."""
    path = build_dir / "sdk/flags"
    if not path.exists():
        sys.exit(f"bench: {path} is missing: build with ./yulos first")
    flags = {}
    for line in path.read_text().splitlines():
        if line and not line.startswith("#"):
            key, _, value = line.partition(" ")
            flags.setdefault(key, []).append(value)
    return flags


# ---- building both sides from the same objects ----

def compile_one(source, out, flags):
    """Compiles with the build's flags for the language, its optimisation and the include
    directories of the runtime library, as the build compiles the runtime."""
    language, compiler = ("c_flag", "clang") if source.suffix == ".c" else ("cxx_flag", "clang++")
    includes = [arg for directory in flags["runtime_include"] for arg in ("-I", directory)]
    subprocess.run([compiler] + flags["flag"] + flags[language] + flags["build_flag"] + includes
                   + ["-c", str(source), "-o", str(out)], check=True)
    return out


def build(build_dir, work):
    """Compiles the runtime, the start-up code, both sets of wrappers and the programs once,
    then links each program for yulos (unistd + fcntl) and for Linux (the shim), all with the
    flags, the link script and the builtins archive of the yulos build."""
    flags = build_flags(build_dir)
    obj = work / "obj"
    obj.mkdir(parents=True, exist_ok=True)
    runtime = sorted(SOURCE.glob("runtime/*.cpp")) + sorted(SOURCE.glob("runtime/stdio/*.cpp")) \
        + sorted(SOURCE.glob("runtime/stdlib/*.cpp"))
    wrappers = {SOURCE / "runtime/unistd.cpp", SOURCE / "runtime/fcntl.cpp"}
    crt0 = SOURCE / "runtime/user_crt0.cpp"
    library = [s for s in runtime if s not in wrappers and s != crt0]
    sources = runtime + [HERE / "linux_shim.cpp"] + [HERE / f"programs/{p}.c" for p in PROGRAMS]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        objects = dict(zip(sources, pool.map(
            lambda s: compile_one(s, obj / (s.parent.name + "_" + s.name + ".o"), flags),
            sources)))

    archive = obj / "libbench_runtime.a"
    archive.unlink(missing_ok=True)
    subprocess.run(["ar", "rcs", str(archive)] + [str(objects[s]) for s in library], check=True)

    root = work / "root"
    linux = work / "linux"
    (root / "binaries").mkdir(parents=True, exist_ok=True)
    linux.mkdir(parents=True, exist_ok=True)
    yulos_wrappers = [str(objects[s]) for s in sorted(wrappers)]
    linux_wrappers = [str(objects[HERE / "linux_shim.cpp"])]
    for program in PROGRAMS:
        sides = [(root / "binaries" / program, yulos_wrappers)]
        if program in PEER_PROGRAMS:
            sides.append((linux / program, linux_wrappers))
        for out, wrapper_objects in sides:
            subprocess.run(["ld.lld", "-T", flags["link_script"][0], "-static",
                            "--build-id=none", "-o", str(out), str(objects[crt0]),
                            str(objects[HERE / f"programs/{program}.c"])] + wrapper_objects
                           + [str(archive), flags["builtins"][0]], check=True)
    # The relay and its child are the installed ones.
    for program in ["ttyrelay", "echo"]:
        shutil.copy2(build_dir / "sysroot/binaries" / program, root / "binaries" / program)
    return root, linux


# ---- measuring ----

def hyperfine(commands, runs, warmup):
    """One hyperfine call over `commands` in the order given; each command's wall times."""
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        done = subprocess.run(["hyperfine", "-N", "--style", "none", "--runs", str(runs),
                               "--warmup", str(warmup), "--export-json", export.name]
                              + [shlex.join(c) for c in commands],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            sys.exit(f"bench: hyperfine failed:\n{done.stderr}")
        data = json.load(open(export.name))
    return [result["times"] for result in data["results"]]


def interleaved_times(sides, rounds, runs, warmup=0):
    """Wall times of each side: `rounds` hyperfine calls of `runs` runs per side, the order of
    the sides reversed every other round."""
    times = {name: [] for name in sides}
    names = list(sides)
    for r in range(rounds):
        order = names if r % 2 == 0 else names[::-1]
        for name, t in zip(order, hyperfine([sides[n] for n in order], runs, warmup)):
            times[name].extend(t)
    return times


def peak_kib(command):
    """Peak resident memory of one run (GNU time's %M, from wait4), in KiB."""
    with tempfile.NamedTemporaryFile(mode="r", suffix=".txt") as out:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name] + command,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return int(out.read().split()[-1])


def interleaved_peaks(sides, runs):
    peaks = {name: [] for name in sides}
    names = list(sides)
    for r in range(runs):
        for name in (names if r % 2 == 0 else names[::-1]):
            peaks[name].append(peak_kib(sides[name]))
    return peaks


def output_of(command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


# ---- the report ----

def spread(values, scale=1):
    """A figure measured in several runs: their median, minimum and maximum, times `scale`."""
    return {"median": statistics.median(values) * scale, "min": min(values) * scale,
            "max": max(values) * scale}


def bound(value):
    """A figure that is computed, not measured: it has no spread."""
    return {"median": value, "min": None, "max": None}


def row(figure, ours, peer, target, unit, peer_name, runs, note=""):
    """One line of the table: `ours` and `peer` are spread() or bound(); the ratio is that of
    their medians, and `target` is "<= X", ">= X" or "(none)"."""
    ratio = ours["median"] / peer["median"]
    op, _, limit = target.partition(" ")
    met = {"<=": lambda: ratio <= float(limit), ">=": lambda: ratio >= float(limit)}.get(
        op, lambda: None)()
    return {"figure": figure, "ours": ours["median"], "ours_min": ours["min"],
            "ours_max": ours["max"], "peer": peer["median"], "peer_min": peer["min"],
            "peer_max": peer["max"], "peer_name": peer_name, "unit": unit, "ratio": ratio,
            "target": target, "met": met, "runs": runs, "note": note}


def number(value, unit):
    if unit == "ms":
        return f"{value:.1f}"
    if unit == "s":
        return f"{value:.3f}"
    return f"{value:,.0f}"


def fmt(value, unit):
    return "-" if value is None else f"{number(value, unit)} {unit}"


def fmt_spread(low, high, unit):
    return "-" if low is None else f"{number(low, unit)}–{number(high, unit)}"


def print_table(rows):
    header = ["figure", "ours (median)", "ours min–max", "peer / bound", "peer min–max", "ratio",
              "target", "met", "runs"]
    lines = [[r["figure"], fmt(r["ours"], r["unit"]),
              fmt_spread(r["ours_min"], r["ours_max"], r["unit"]),
              f'{fmt(r["peer"], r["unit"])} ({r["peer_name"]})',
              fmt_spread(r["peer_min"], r["peer_max"], r["unit"]),
              f'{r["ratio"]:.3f}', r["target"],
              ("yes" if r["met"] else "NO") if r["met"] is not None else "-", r["runs"]]
             for r in rows]
    widths = [max(len(str(x)) for x in column) for column in zip(header, *lines)]
    text = lambda cells: "  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip()
    print(text(header))
    print(text(["-" * w for w in widths]))
    for line in lines:
        print(text(line))


def yulos_run_overhead(build_dir, scale):
    """`./yulos run ttyrelay /binaries/echo hello` with nothing to build, against the host binary
    run directly on the same program: what the entry point's build check and start cost."""
    os.environ["YULOS_BUILD_DIR"] = str(build_dir)
    os.environ.pop("YULOS_ROOT", None)
    program = ["ttyrelay", "/binaries/echo", "hello"]
    through_script = [str(SOURCE / "yulos"), "run"] + program
    direct = [str(build_dir / "host/yulos-host"), "run", "--root", str(build_dir / "sysroot"),
              "/binaries/" + program[0]] + program[1:]
    # Both print the same; the first run also builds whatever is not up to date.
    if output_of(through_script) != output_of(direct):
        sys.exit("bench: ./yulos run and the host binary print different things")
    t = interleaved_times({"yulos": through_script, "host": direct},
                          rounds=scale(5), runs=scale(10), warmup=2)
    return row("./yulos run, nothing to build", spread(t["yulos"], 1e3), spread(t["host"], 1e3),
               "<= 1.5", "ms", "host binary", len(t["yulos"]), "./yulos run " + " ".join(program))


def machine_description():
    model = "unknown CPU"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    memory = 0
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal"):
            memory = int(line.split()[1]) // (1024 * 1024)
    qemu = output_of(["qemu-i386", "--version"]).splitlines()[0]
    return (f"{model}, {os.cpu_count()} cores, {memory} GiB, Linux {platform.release()}; "
            f"{qemu}")


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: bench/run BUILD [--quick]")
    build_dir = Path(sys.argv[1]).resolve()
    quick = "--quick" in sys.argv[2:]
    work = build_dir / "bench"
    say("bench: building the benchmark programs for yulos and for Linux i386")
    root, linux = build(build_dir, work)
    host = str(build_dir / "host/yulos-host")
    ours = lambda *args: [host, "run", "--root", str(root)] + [str(a) for a in args]
    peer = lambda program, *args: ["qemu-i386", str(linux / program)] + [str(a) for a in args]

    # Both engines run the same code: the programs must print the same thing on both.
    for program, args in [("compute", [1000]), ("arith", [1000])]:
        a = output_of(ours(f"/binaries/{program}", *args))
        b = output_of(peer(program, *args))
        if a != b:
            sys.exit(f"bench: {program} prints {a!r} on yulos but {b!r} under qemu-i386")

    scale = (lambda n: max(1, n // 3)) if quick else (lambda n: n)
    rows = []
    started = time.time()

    say("bench: start-up")
    t = interleaved_times({"ours": ours("/binaries/exit0"), "qemu": peer("exit0")},
                          rounds=scale(6), runs=scale(20), warmup=3)
    start_ours, start_qemu = statistics.median(t["ours"]), statistics.median(t["qemu"])
    rows.append(row("start-up", spread(t["ours"], 1e3), spread(t["qemu"], 1e3), "<= 0.5", "ms",
                    "qemu-i386", len(t["ours"])))

    say("bench: peak memory")
    m = interleaved_peaks({"ours": ours("/binaries/exit0"), "qemu": peer("exit0")},
                          runs=scale(10))
    rows.append(row("peak memory", spread(m["ours"]), spread(m["qemu"]), "<= 1.0", "KiB",
                    "qemu-i386", len(m["ours"])))

    say("bench: guest compute")
    t = interleaved_times({"ours": ours("/binaries/compute", COMPUTE_ITERATIONS),
                           "qemu": peer("compute", COMPUTE_ITERATIONS)},
                          rounds=scale(7), runs=1, warmup=0)
    rows.append(row("guest compute", spread(t["ours"]), spread(t["qemu"]), "<= 0.95", "s",
                    "qemu-i386", len(t["ours"]),
                    f"{COMPUTE_ITERATIONS} iterations of snprintf, sscanf, strtod, strcmp, "
                    "memmove and malloc"))

    say("bench: guest arithmetic")
    t = interleaved_times({"ours": ours("/binaries/arith", ARITH_ITERATIONS),
                           "qemu": peer("arith", ARITH_ITERATIONS)},
                          rounds=scale(5), runs=1, warmup=0)
    rows.append(row("guest arithmetic (extra)", spread(t["ours"]), spread(t["qemu"]), "(none)",
                    "s", "qemu-i386", len(t["ours"]),
                    f"{ARITH_ITERATIONS} iterations of a register-only loop"))

    say("bench: guest memory access")
    t = interleaved_times({"ours": ours("/binaries/memory", MEMORY_ITERATIONS),
                           "qemu": peer("memory", MEMORY_ITERATIONS)},
                          rounds=scale(5), runs=1, warmup=0)
    rows.append(row("guest memory access (extra)", spread(t["ours"]), spread(t["qemu"]),
                    "(none)", "s", "qemu-i386", len(t["ours"]),
                    f"{MEMORY_ITERATIONS} iterations of a load, an add and a store"))

    relay = lambda *args: ours("/binaries/ttyrelay", *args)
    say("bench: relay throughput")
    t = interleaved_times({"relay": relay("/binaries/blast", THROUGHPUT_BYTES)},
                          rounds=1, runs=scale(3), warmup=0)
    rates = [THROUGHPUT_BYTES / elapsed for elapsed in t["relay"]]
    rows.append(row("relay throughput", spread(rates), bound(RELAY_BOUND), ">= 0.95", "B/s",
                    "bound", len(t["relay"]),
                    "256 KiB written at once by the child, over the whole run"))

    say("bench: relay latency")
    t = interleaved_times({"relay": relay("/binaries/echo", "hello")},
                          rounds=scale(3), runs=scale(10), warmup=2)
    floor = RELAY_QUIET_PASSES * RELAY_PAUSE_S + 2 * start_ours
    rows.append(row("relay latency", spread(t["relay"], 1e3), bound(floor * 1e3), "<= 1.15",
                    "ms", "40 ms + 2 start-ups", len(t["relay"]), "ttyrelay /binaries/echo hello"))

    say("bench: ./yulos run with nothing to build")
    rows.append(yulos_run_overhead(build_dir, scale))

    say("bench: relay sizes")
    sizes = SIZES if not quick else SIZES[:2]
    size_rows = []
    child = lambda count: relay("/binaries/blast", count, min(count, SIZE_CHUNK))
    for label, count in sizes:
        runs = 3 if count >= 1024 * 1024 else scale(5)
        t = interleaved_times({label: child(count)}, rounds=1, runs=runs, warmup=0)
        elapsed = statistics.median(t[label])
        at_bound = count / RELAY_BOUND + floor
        size_rows.append({"size": label, "bytes": count, "median_s": elapsed,
                          "min_s": min(t[label]), "max_s": max(t[label]), "runs": runs,
                          "at_bound_s": at_bound, "ratio_to_bound": elapsed / at_bound,
                          "bytes_per_s": count / elapsed})
    for before, after in zip(size_rows, size_rows[1:]):
        after["marginal_bytes_per_s"] = ((after["bytes"] - before["bytes"])
                                         / (after["median_s"] - before["median_s"]))

    say("bench: relay memory")
    big, small = sizes[-1], sizes[0]
    m = interleaved_peaks({big[0]: child(big[1]), small[0]: child(small[1])}, runs=3)
    peaks = {label: statistics.median(values) for label, values in m.items()}
    rows.append(row(f"relay memory, {big[0]} vs {small[0]}", spread(m[big[0]]),
                    spread(m[small[0]]), "<= 1.1", "KiB", small[0], len(m[big[0]])))

    print()
    print_table(rows)
    print()
    print("relay time by size (the child writes its bytes from one buffer of at most 64 KiB):")
    print(f"  {'size':8} {'median':>9} {'min–max':>15} {'at the bound':>13} {'ratio':>6} "
          f"{'rate':>14} {'rate since the size before':>27}  runs")
    for s in size_rows:
        marginal = s.get("marginal_bytes_per_s")
        marginal = f"{marginal:,.0f} B/s" if marginal else "-"
        span = f"{s['min_s']:.3f}–{s['max_s']:.3f}s"
        print(f"  {s['size']:8} {s['median_s']:8.3f}s {span:>15} {s['at_bound_s']:12.3f}s "
              f"{s['ratio_to_bound']:6.3f} {s['bytes_per_s']:10,.0f} B/s {marginal:>27}  "
              f"{s['runs']}")
    print("  at the bound: bytes / 25,600 B/s + the relay-latency floor "
          f"({floor * 1e3:.1f} ms)")
    elapsed = time.time() - started

    commit = subprocess.run(["git", "-C", str(SOURCE), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    result = {
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "machine": machine_description(),
        "commit": commit,
        "quick": quick,
        "seconds": round(elapsed, 1),
        "figures": rows,
        "relay_sizes": size_rows,
        "relay_peaks_kib": peaks,
        "startup_s": {"ours": start_ours, "qemu": start_qemu},
    }
    (work / "results.json").write_text(json.dumps(result, indent=2) + "\n")
    print(f"\n{result['date']}; commit {commit}; {result['machine']}")
    print(f"measured in {elapsed:.0f} s; written to {work / 'results.json'}")


if __name__ == "__main__":
    main()
