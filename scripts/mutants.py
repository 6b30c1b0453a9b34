#!/usr/bin/python3
"""Mutation testing of the test suite: how many small, deliberate faults do the
tests catch?

Each mutant below is one edit of one source file: an exact search string,
which must occur exactly once in the committed file, and its replacement. The
run works in a scratch copy of the committed tree (build-mutants/src, kept in
step with HEAD between runs) with its own build folder (build-mutants/build,
Release, tests on, benchmarks, examples and fuzzers off), builds the needed
targets once and runs every test program involved once unmutated; then, per
mutant, it applies the edit, rebuilds only the targets of the test programs
that cover the file (COVERAGE), runs those programs directly with a time
budget, and restores the file. The developer's working tree is never touched.

A mutant is killed when a test program fails or crashes, "timeout" when one
runs past the budget (counted as killed), survived when all pass, "no build"
when it does not compile (counted neither way), and skipped when it needs an
instruction set this processor lacks. The table goes to
build-mutants/report.txt and to the terminal; logs of builds that failed and
of the failing test programs to build-mutants/logs.

    make mutants                  # all mutants
    make mutants MUTANTS=3,7-9    # some
    scripts/mutants.py --list     # the list, nothing built
"""

import argparse
import datetime
import fnmatch
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build-mutants"
SRC = WORK / "src"
BUILD = WORK / "build"
LOGS = WORK / "logs"
REPORT = WORK / "report.txt"

TEST_THREADS = "4"  # as the CTest entries set OMP_NUM_THREADS


@dataclass(frozen=True)
class Mutant:
    id: int
    file: str
    find: str
    replace: str
    kind: str
    what: str
    needs: str = ""  # instruction set the mutated code runs on (ISA_FLAGS)


M = Mutant
MUTANTS = [
    # Library: frame operations.
    M(1, "hcpp/tamrix/binning.cpp", "if (outWidth < 1)", "if (outWidth < 2)",
      "off-by-one", "a frame exactly one block wide is not binned"),
    M(2, "hcpp/tamrix/calibration.cpp", "out[x] = d > raw ? Pixel{0}", "out[x] = d >= raw ? Pixel{0}",
      "flipped comparison", "dark: a saturated pixel over an equal dark drops to 0"),
    M(3, "hcpp/tamrix/calibration_avx2.cpp", "if (m > kFlatRow32MaxLevel) {", "if (false) {",
      "ISA table", "flat: AVX2 32-bit kernel taken beyond its exact level range", "avx2"),
    M(4, "hcpp/tamrix/calibration_avx2.cpp",
      "_mm256_cmpgt_epi32(rest, _mm256_sub_epi32(f, _mm256_set1_epi32(1)))", "_mm256_cmpgt_epi32(rest, f)",
      "off-by-one", "flat AVX2 16-bit: quotient not corrected when rest == f", "avx2"),
    M(5, "hcpp/tamrix/calibration_avx2.cpp", "_MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC",
      "_MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC",
      "wrong rounding", "flat AVX2 32-bit: quotient rounded, not truncated", "avx2"),
    M(6, "hcpp/tamrix/median.cpp", "_mm_adds_epu16(selected, _mm_set1_epi16(1))",
      "_mm_add_epi16(selected, _mm_set1_epi16(1))",
      "dropped clamp", "median 3x3/5x5 network: a saturated window wraps to 0"),
    M(7, "hcpp/tamrix/median.cpp", "std::clamp<Wide>(v, 0, full)", "std::min<Wide>(v, full)",
      "dropped clamp", "background subtraction not clamped at 0"),
    M(8, "hcpp/tamrix/median.cpp", "SendMessageA(window, kMedianProgressMessage,",
      "SendMessageA(window, kMedianProgressMessage - 1,",
      "wrong constant", "median progress sent under the wrong message number"),
    M(9, "hcpp/tamrix/resample.cpp", "sizeof(Pixel) == 2 && f <= 256 ? kFloat : 0",
      "sizeof(Pixel) == 2 && f <= 65536 ? kFloat : 0",
      "wrong constant", "resample: single-precision steps beyond factor 256"),
    M(10, "hcpp/tamrix/warp.cpp", "static_cast<uint32_t>((sx - ix) * 64.0);",
      "static_cast<uint32_t>((sx - ix) * 64.0 + 0.5);",
      "wrong rounding", "transform scalar: x fraction rounded, not truncated"),
    M(11, "hcpp/tamrix/warp.cpp", "row.shift >= 0 ? k.shift(row, top, bottom, line) : row.begin",
      "k.shift(row, top, bottom, line)",
      "ISA table", "shift: AVX2 kernel taken for a divisor that is no power of two", "avx2"),
    M(12, "hcpp/tamrix/warp_avx2.cpp", "_mm256_cmp_pd(sx, k.maxX, _CMP_LT_OQ)",
      "_mm256_cmp_pd(sx, k.maxX, _CMP_LE_OQ)",
      "flipped comparison", "transform AVX2: sx == width - 1 counts as inside", "avx2"),
    M(13, "hcpp/tamrix/warp_avx512.cpp", "_mm512_cmp_pd_mask(sx, k.maxX, _CMP_LT_OQ)",
      "_mm512_cmp_pd_mask(sx, k.maxX, _CMP_LE_OQ)",
      "flipped comparison", "transform AVX-512: sx == width - 1 counts as inside", "avx512"),
    M(14, "hcpp/tamrix/statistics.cpp", "std::sqrt(squares / count)", "std::sqrt(squares / (count - 1))",
      "wrong constant", "statistics: sample instead of population deviation"),
    M(15, "hcpp/tamrix/statistics_avx2.cpp", "m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));",
      "m = _mm_max_epi32(m, _mm_shuffle_epi32(m, 0xB1));",
      "flipped comparison", "statistics AVX2: last step of the 32-bit maximum signed", "avx2"),
    M(16, "hcpp/tamrix/display.cpp", "uint64_t{high} > uint64_t{low} + 1 ? high - 1 : low",
      "uint64_t{high} > uint64_t{low} + 1 ? high : low",
      "off-by-one", "display: the white point itself maps through the table"),
    M(17, "hcpp/tamrix/display.cpp", "dst[x] = static_cast<uint8_t>(sum / area);",
      "dst[x] = static_cast<uint8_t>((sum + area / 2) / area);",
      "wrong rounding", "display reduction: block means rounded, not truncated"),
    M(18, "hcpp/tamrix/display.cpp", "{&opt_avx512::Map16, &opt_avx2::Map16,",
      "{&opt_avx512::Map16, &opt_avx512::Map16,",
      "ISA table", "display 16-bit: gather entry points at the AVX-512 VBMI kernel", "avx512vbmi"),
    M(19, "hcpp/tamrix/matrix.cpp", "if (p > q) {", "if (p >= q) {",
      "flipped comparison", "SVD hypotenuse: 0/0 when both legs are 0"),
    M(20, "hcpp/tamrix/fit.cpp", "{1, 2, 3, 4, 6, 7, 5, 8, 9, 10}", "{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}",
      "swapped table entry", "surface fit: x y term not moved behind x^2, y^2"),
    M(21, "hcpp/tamrix/polynom.cpp", "if (frac >= 65536) {", "if (frac > 65536) {",
      "flipped comparison", "vector field lines: a step of exactly one pixel is late"),
    M(22, "hcpp/tamrix/stars.cpp", "(v >= lo) & (v <= hi)", "(v > lo) & (v <= hi)",
      "flipped comparison", "stars: pixels at the lower clip bound are clipped"),
    M(23, "hcpp/tamrix/stars_nn.cpp", "&& output >= level;", "&& output > level;",
      "flipped comparison", "neural stars: an output equal to the level is rejected"),
    M(24, "hcpp/tamrix/subframe.cpp", "2.0f / static_cast<float>(max - min);",
      "2.0f / static_cast<float>(max - min + 1);",
      "off-by-one", "sub-frame scaled by the range plus one (flat window not NaN)"),
    # Library: the network.
    M(25, "nnet/exp.simd.h", "x = Min(x, Set(88.3762626647949f));", "// upper clamp dropped",
      "dropped clamp", "vector exponential of the layers not clamped above", "sse3"),
    M(26, "nnet/layer8.simd.h", "for (int k = 0; k < 8; ++k)\n        RemainderInputs(w[k], x, 8 * blocks, m, sums[k]);",
      "for (int k = 0; k < 8; ++k)\n        RemainderInputs(w[k], x, 8 * blocks + 1, m, sums[k]);",
      "off-by-one", "AVX layer: first input past the 8-blocks dropped (8 neurons)", "avx"),
    M(27, "nnet/network.cpp", "{32, &NewLayer<CLayerAVX>,", "{32, &NewLayer<CLayerSSE>,",
      "ISA table", "AVX level builds SSE layers", "avx"),
    M(28, "nnet/network.cpp", "{16, &NewLayer<CLayerSSE>, &opt_sse3::OutputDeltas,",
      "{16, &NewLayer<CLayerSSE>, &opt_baseline::OutputDeltas,",
      "ISA table", "SSE level trains with the scalar output deltas", "sse3"),
    M(29, "nnet/backprop.cpp", "clean &= !std::isnan(static_cast<double>(layer.Biases[i]));",
      "(void)0; // bias check dropped",
      "dropped check", "CheckNANs misses NaN biases"),
    M(30, "nnet/learn.cpp", "s < numSamples - batchSize; s += batchSize", "s <= numSamples - batchSize; s += batchSize",
      "off-by-one", "learn: the last full batch no longer sits out"),
    M(31, "nnet/netfile.cpp", "if (v > INT_MAX)", "if (v > INT_MAX + int64_t{1})",
      "off-by-one", "network file: 2147483648 accepted as a count"),
    M(32, "nnet/mnist.cpp", "if (label >= static_cast<unsigned>(kClasses))",
      "if (label > static_cast<unsigned>(kClasses))",
      "off-by-one", "MNIST: label 10 accepted"),
    # The intake layer.
    M(33, "intake/mapping.cpp", "put(i, std::nearbyint(static_cast<double>(raw) * a + b));",
      "put(i, std::trunc(static_cast<double>(raw) * a + b));",
      "wrong rounding", "mapping onto a frame truncates instead of rounding"),
    M(34, "intake/mapping.cpp", "            v = full;\n            ++census.above;", "            ++census.above;",
      "dropped clamp", "mapping: values above full scale counted but not clamped"),
    M(35, "intake/fits.cpp", "if (plane >= planes)", "if (plane > planes)",
      "off-by-one", "FITS: --plane equal to the plane count accepted"),
    M(36, "intake/operations.cpp", "if (v == full)", "if (false && v == full)",
      "dropped clamp", "flat division: saturated pixels moved with the pedestal"),
    # The command-line program.
    M(37, "cli/stats.cpp", "if (m.x >= f.width || m.y >= f.height)", "if (m.x > f.width || m.y > f.height)",
      "flipped comparison", "stats --rect starting just past the frame accepted"),
    M(38, "cli/frame_commands.cpp", "if (bx > in.width || by > in.height)", "if (bx >= in.width || by >= in.height)",
      "off-by-one", "bin refuses a block as large as the frame"),
    M(39, "cli/geometry.cpp", "std::lround((tx - ix) * s)", "std::trunc((tx - ix) * s)",
      "wrong rounding", "shift: x weight truncated instead of rounded"),
    M(40, "cli/display.cpp", "std::lround(255 * Stretched(t, stretch))", "std::trunc(255 * Stretched(t, stretch))",
      "wrong rounding", "render: stretch table truncated instead of rounded"),
    # The Python bindings.
    M(41, "python/src/calibration.cpp", "reference > 0.0 && reference <= limit", "reference > 0.0 && reference < limit",
      "flipped comparison", "flat(level=65535) refused for uint16"),
    M(42, "python/src/median.cpp", "if (lo > hi)", "if (false)",
      "dropped argument check", "median(low > high) not refused"),
    M(43, "python/src/display.cpp", "if (static_cast<uint64_t>(array.shape(0)) < needed)", "if (false)",
      "dropped argument check", "a look-up table too short for the mapping not refused"),
    M(44, "python/src/args.cpp", "return a0 < b0 + b.Bytes() && b0 < a0 + a.Bytes();",
      "return a0 <= b0 + b.Bytes() && b0 <= a0 + a.Bytes();",
      "flipped comparison", "adjacent buffers taken for overlapping ones"),
]

# Which test programs cover a source file: the first pattern that matches
# names them. "test_*" are GoogleTest programs (tests/, intake/, cli/tests/),
# an optional ":filter" restricts them; "python" is the pytest files of
# python/tests, all of them or those listed after a colon.
NNET = ["test_nnet_infer", "test_nnet_backprop", "test_nnet_learn", "test_nnet_model", "test_nnet_file",
        "test_nnet_mnist", "test_internal_nnet_simd", "test_stars_nn", "test_intake", "test_cli",
        "python:test_network.py,test_stars.py"]
COVERAGE = [
    ("hcpp/tamrix/binning.cpp", ["test_binning", "test_exports", "test_cli",
                                 "python:test_frames.py,test_dask_example.py,test_arguments.py"]),
    ("hcpp/tamrix/calibration*", ["test_calibration", "test_internal_kernels", "test_internal_levels", "test_soak", "test_cli",
                                  "python:test_frames.py,test_arguments.py"]),
    ("hcpp/tamrix/median*", ["test_median", "test_internal_median", "test_internal_levels", "test_soak",
                             "test_cli", "python:test_frames.py,test_arguments.py"]),
    ("hcpp/tamrix/resample.cpp", ["test_geometry", "test_internal_levels", "test_soak", "test_cli", "python:test_frames.py"]),
    ("hcpp/tamrix/warp*", ["test_geometry", "test_internal_warp", "test_internal_levels", "test_soak", "test_cli",
                           "python:test_frames.py"]),
    ("hcpp/tamrix/statistics*", ["test_statistics", "test_internal_levels", "test_soak", "test_cli",
                                 "python:test_frames.py"]),
    ("hcpp/tamrix/display*", ["test_display", "test_internal_levels", "test_soak", "test_cli", "python:test_frames.py"]),
    ("hcpp/tamrix/matrix*", ["test_internal_matrix", "test_fit", "test_internal_levels", "test_soak", "test_cli", "python:test_frames.py"]),
    ("hcpp/tamrix/fit.cpp", ["test_fit", "test_internal_levels", "test_soak", "test_cli", "python:test_frames.py"]),
    ("hcpp/tamrix/polynom*", ["test_polynom", "test_internal_levels", "test_soak", "test_cli",
                              "python:test_frames.py"]),
    ("hcpp/tamrix/stars.*", ["test_stars", "test_internal_levels", "test_soak", "test_cli", "python:test_stars.py"]),
    ("hcpp/tamrix/stars_nn.cpp", ["test_stars_nn", "test_cli", "python:test_stars.py"]),
    ("hcpp/tamrix/subframe.cpp", ["test_statistics", "test_stars_nn", "test_cli",
                                  "python:test_frames.py,test_stars.py"]),
    ("nnet/*", NNET),
    ("intake/*", ["test_intake", "test_cli", "python"]),
    ("cli/*", ["test_cli"]),
    ("python/src/*", ["python"]),
]

# GoogleTest programs outside tests/ itself.
GTEST_PATHS = {"test_intake": "intake/test_intake", "test_cli": "cli/tests/test_cli", "test_soak": "tests/soak/test_soak"}

# /proc/cpuinfo flags of each instruction-set level a mutant may need.
ISA_FLAGS = {
    "sse3": ["pni"],
    "avx": ["avx"],
    "avx2": ["avx2"],
    "avx512": ["avx512f", "avx512bw", "avx512dq", "avx512vl"],
    "avx512vbmi": ["avx512f", "avx512bw", "avx512dq", "avx512vl", "avx512vbmi"],
}
SHOWN_FLAGS = [("sse3", "pni"), ("avx", "avx"), ("avx2", "avx2"), ("avx512f", "avx512f"), ("avx512bw", "avx512bw"),
               ("avx512dq", "avx512dq"), ("avx512vl", "avx512vl"), ("avx512vbmi", "avx512vbmi")]


def fail(message):
    print(f"mutants: {message}", file=sys.stderr)
    sys.exit(2)


def programs_for(path):
    for pattern, programs in COVERAGE:
        if fnmatch.fnmatchcase(path, pattern):
            return programs
    fail(f"no test programs cover {path}: add it to COVERAGE in scripts/mutants.py")


def target_of(program):
    return "tamrix_python" if program.startswith("python") else program.split(":", 1)[0]


def processor():
    model, flags = "unknown", set()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "model name" and model == "unknown":
                model = value.strip()
            elif key.strip() == "flags" and not flags:
                flags = set(value.split())
    except OSError:
        pass
    return model, flags


def missing_level(mutant, flags):
    if mutant.needs and not all(f in flags for f in ISA_FLAGS[mutant.needs]):
        return mutant.needs
    return None


def select(only):
    if not only:
        return list(MUTANTS)
    ids = set()
    for part in only.replace(" ", "").split(","):
        if not part:
            continue
        m = re.fullmatch(r"(\d+)(?:-(\d+))?", part)
        if not m:
            fail(f"--only takes ids and ranges such as 3,7-9, not '{part}'")
        first, last = int(m.group(1)), int(m.group(2) or m.group(1))
        ids.update(range(first, last + 1))
    known = {m.id for m in MUTANTS}
    unknown = sorted(ids - known)
    if unknown:
        fail(f"no mutant {', '.join(map(str, unknown))} (ids run 1 .. {max(known)})")
    return [m for m in MUTANTS if m.id in ids]


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, **kwargs)


# ---- The scratch copy of the committed tree ----

def sync_scratch():
    """Makes build-mutants/src hold exactly the files of HEAD. Files whose
    contents already match keep their times, so the build stays incremental;
    changed ones get the current time, so the build sees them."""
    commit = run(["git", "-C", str(ROOT), "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
    archive = run(["git", "-C", str(ROOT), "archive", "--format=tar", commit], capture_output=True).stdout
    SRC.mkdir(parents=True, exist_ok=True)
    wanted = set()
    changed = 0
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        for member in tar:
            path = SRC / member.name
            if member.isdir():
                path.mkdir(parents=True, exist_ok=True)
                continue
            wanted.add(path)
            if member.issym():
                if not path.is_symlink() or os.readlink(path) != member.linkname:
                    if path.exists() or path.is_symlink():
                        path.unlink()
                    path.symlink_to(member.linkname)
                    changed += 1
                continue
            if not member.isfile():
                continue
            data = tar.extractfile(member).read()
            if path.is_symlink() or not path.is_file() or path.read_bytes() != data:
                if path.is_symlink():
                    path.unlink()
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(data)
                changed += 1
            mode = member.mode & 0o777
            if path.stat().st_mode & 0o777 != mode:
                path.chmod(mode)
    for path in sorted(SRC.rglob("*"), reverse=True):
        if path.is_dir() and not path.is_symlink():
            if not any(path.iterdir()):
                path.rmdir()
        elif path not in wanted:
            path.unlink()
    return commit, changed


def configure(jobs):
    if (BUILD / "CMakeCache.txt").exists():
        return
    cmd = ["cmake", "-S", str(SRC), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release", "-DTAMRIX_BUILD_TESTS=ON",
           "-DTAMRIX_BUILD_BENCH=OFF", "-DTAMRIX_BUILD_EXAMPLES=OFF", "-DTAMRIX_BUILD_FUZZERS=OFF",
           "-DTAMRIX_INSTALL=OFF",
           # Test lists are read when CTest runs, never after each link.
           "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"]
    if shutil.which("ninja"):
        cmd += ["-G", "Ninja"]
    print("configuring build-mutants/build", flush=True)
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        print(result.stdout[-4000:], file=sys.stderr)
        fail("cmake could not configure the scratch tree")


def build(targets, jobs, log, timeout=1800):
    cmd = ["cmake", "--build", str(BUILD), "-j", str(jobs), "--target", *sorted(set(targets))]
    if shutil.which("nice"):
        cmd = ["nice", *cmd]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        log.write_bytes(out)
        return False
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    if proc.returncode != 0:
        log.write_bytes(out)
        return False
    return True


def cache_value(name):
    for line in (BUILD / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return ""


# ---- Running the test programs ----

@dataclass
class Outcome:
    program: str
    status: str  # "pass", "fail", "timeout"
    detail: str = ""
    seconds: float = 0.0
    output: bytes = b""


def python_files(program):
    tests = SRC / "python" / "tests"
    if ":" in program:
        names = program.split(":", 1)[1].split(",")
        for name in names:
            if not (tests / name).is_file():
                fail(f"{program}: python/tests/{name} does not exist")
        return names
    return sorted(p.name for p in tests.glob("test_*.py"))


def command_of(program):
    """Command, working folder and environment of a test program."""
    env = dict(os.environ, OMP_NUM_THREADS=TEST_THREADS)
    if program.startswith("python"):
        python = cache_value("Python3_EXECUTABLE") or "/usr/bin/python3"
        env.update(PYTHONPATH=str(BUILD / "python"), PYTHONDONTWRITEBYTECODE="1")
        cmd = [python, "-m", "pytest", "-q", "-rfE", "-p", "no:cacheprovider", *python_files(program)]
        return cmd, SRC / "python" / "tests", env
    name, _, gfilter = program.partition(":")
    binary = BUILD / GTEST_PATHS.get(name, f"tests/{name}")
    cmd = [str(binary)] + ([f"--gtest_filter={gfilter}"] if gfilter else [])
    return cmd, binary.parent, env


def run_program(program, timeout):
    cmd, cwd, env = command_of(program)
    start = time.monotonic()
    if timeout <= 0:
        return Outcome(program, "timeout", "no time left", 0.0)
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return Outcome(program, "timeout", f"over {timeout:.0f} s", time.monotonic() - start, out)
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    seconds = time.monotonic() - start
    if proc.returncode == 0:
        return Outcome(program, "pass", "", seconds, out)
    return Outcome(program, "fail", failure_detail(program, proc.returncode, out.decode(errors="replace")),
                   seconds, out)


def failure_detail(program, code, text):
    if code < 0:
        try:
            signame = signal.Signals(-code).name
        except ValueError:
            signame = f"signal {-code}"
        crash = f"crashed: {signame}"
    else:
        crash = ""
    if program.startswith("python"):
        files = []
        for m in re.finditer(r"^(?:FAILED|ERROR) ([\w.]+?)\.py\b", text, re.M):
            if m.group(1) not in files:
                files.append(m.group(1))
        names = [f"python.{f}" for f in files]
        return ", ".join(names + ([crash] if crash else [])) or crash or f"exit {code}"
    failed = []
    for m in re.finditer(r"^\[  FAILED  \] ([\w/.]+)", text, re.M):
        if m.group(1) not in failed:
            failed.append(m.group(1))
    if failed:
        more = f" +{len(failed) - 1}" if len(failed) > 1 else ""
        return failed[0] + more + (f", {crash}" if crash else "")
    return crash or f"exit {code}"


def killer_text(outcome):
    name = outcome.program.split(":", 1)[0]
    if name == "python":
        return outcome.detail if outcome.detail.startswith("python.") else f"python ({outcome.detail})"
    return f"{name} ({outcome.detail})"


# ---- One mutant ----

@dataclass
class Result:
    mutant: Mutant
    status: str  # killed, survived, timeout, no build, skipped: no <isa>
    killers: str = ""
    seconds: float = 0.0


def check_mutants(mutants):
    problems = []
    for m in mutants:
        path = SRC / m.file
        if not path.is_file():
            problems.append(f"mutant {m.id}: {m.file} is not in the committed tree")
            continue
        count = path.read_bytes().count(m.find.encode())
        if count != 1:
            problems.append(f"mutant {m.id}: {m.file} holds its search string {count} times, not once: {m.find!r}")
        if m.find == m.replace:
            problems.append(f"mutant {m.id}: the replacement is the search string")
        if m.needs and m.needs not in ISA_FLAGS:
            problems.append(f"mutant {m.id}: unknown instruction set '{m.needs}'")
    ids = [m.id for m in MUTANTS]
    if len(ids) != len(set(ids)):
        problems.append("two mutants share an id")
    if problems:
        fail("the mutant list no longer fits the code:\n  " + "\n  ".join(problems))


def run_mutant(m, jobs, budget, first_only):
    path = SRC / m.file
    original = path.read_bytes()
    start = time.monotonic()
    programs = programs_for(m.file)
    try:
        path.write_bytes(original.replace(m.find.encode(), m.replace.encode(), 1))
        if not build([target_of(p) for p in programs], jobs, LOGS / f"{m.id:02d}.build.log"):
            return Result(m, "no build", f"see build-mutants/logs/{m.id:02d}.build.log", time.monotonic() - start)
        deadline = time.monotonic() + budget
        failed, timed_out = [], []
        for program in programs:
            outcome = run_program(program, deadline - time.monotonic())
            if outcome.status == "pass":
                continue
            log = LOGS / f"{m.id:02d}.{outcome.program.split(':', 1)[0]}.log"
            log.write_bytes(outcome.output)
            (timed_out if outcome.status == "timeout" else failed).append(outcome)
            if first_only or outcome.status == "timeout":
                break
    finally:
        path.write_bytes(original)
    killers = ", ".join([killer_text(o) for o in failed] + [f"{o.program.split(':', 1)[0]} (timeout)"
                                                              for o in timed_out])
    status = "killed" if failed else "timeout" if timed_out else "survived"
    return Result(m, status, killers, time.monotonic() - start)


# ---- Report ----

def report(results, commit, model, flags, wall, phases):
    counted = [r for r in results if r.status in ("killed", "timeout", "survived")]
    killed = sum(r.status == "killed" for r in results)
    timeouts = sum(r.status == "timeout" for r in results)
    survived = [r for r in results if r.status == "survived"]
    nobuild = [r for r in results if r.status == "no build"]
    skipped = [r for r in results if r.status.startswith("skipped")]
    shown = " ".join(name for name, flag in SHOWN_FLAGS if flag in flags)
    lacking = " ".join(name for name, flag in SHOWN_FLAGS if flag not in flags) or "none"
    lines = [
        f"tamrix mutation run, commit {commit[:12]}, {datetime.datetime.now():%Y-%m-%d %H:%M}",
        f"processor: {model}",
        f"ISA flags: {shown} (lacking: {lacking})",
        "",
    ]
    wr = max([len("result")] + [len(r.status) for r in results])
    wf = max([len("file")] + [len(r.mutant.file) for r in results])
    ww = max([len("mutation")] + [len(r.mutant.what) for r in results])
    lines.append(f"{'id':>3}  {'result':<{wr}}  {'file':<{wf}}  {'mutation':<{ww}}  killed by")
    for r in results:
        m = r.mutant
        lines.append(f"{m.id:>3}  {r.status:<{wr}}  {m.file:<{wf}}  {m.what:<{ww}}  {r.killers}".rstrip())
    score = f"{killed + timeouts}/{len(counted)}" + (
        f" = {100.0 * (killed + timeouts) / len(counted):.1f}%" if counted else "")
    lines += [
        "",
        f"{len(results)} mutants: {killed} killed, {timeouts} timeout, {len(survived)} survived, "
        f"{len(nobuild)} no build, {len(skipped)} skipped",
        f"score (killed + timeout of those that built and ran): {score}",
    ]
    if survived:
        lines.append("survived: " + ", ".join(str(r.mutant.id) for r in survived))
    if nobuild:
        lines.append("no build: " + ", ".join(str(r.mutant.id) for r in nobuild))
    minutes, seconds = divmod(int(wall), 60)
    lines.append(f"wall time: {minutes} min {seconds} s ({phases})")
    text = "\n".join(lines) + "\n"
    REPORT.write_text(text)
    print()
    print(text, end="")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", metavar="IDS", help="run only these mutants, e.g. 3,7-9")
    parser.add_argument("--list", action="store_true", help="list the mutants and the programs covering each")
    parser.add_argument("--jobs", "-j", type=int, default=os.cpu_count() or 2, help="build jobs")
    parser.add_argument("--timeout", type=float, default=300,
                        help="seconds the test programs of one mutant may take together (default 300)")
    parser.add_argument("--first", action="store_true", help="stop a mutant's tests at the first failing program")
    args = parser.parse_args()

    mutants = select(args.only)
    model, flags = processor()
    if args.list:
        for m in mutants:
            needs = f" [{m.needs}]" if m.needs else ""
            print(f"{m.id:>3}  {m.file:<34} {m.kind:<22} {m.what}{needs}")
            print(f"     tests: {' '.join(programs_for(m.file))}")
        return 0

    wall_start = time.monotonic()
    if run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no"], capture_output=True,
           text=True).stdout.strip():
        print("mutants: note: uncommitted changes are not part of this run (it uses the committed tree)",
              flush=True)
    LOGS.mkdir(parents=True, exist_ok=True)
    for old in LOGS.glob("*.log"):
        old.unlink()
    commit, changed = sync_scratch()
    print(f"scratch tree at {commit[:12]} ({changed} files updated)", flush=True)
    check_mutants(MUTANTS)  # all of them, so that the list stays honest

    runnable = [m for m in mutants if not missing_level(m, flags)]
    programs = []
    for m in runnable:
        for p in programs_for(m.file):
            if p not in programs:
                programs.append(p)
    configure(args.jobs)
    if any(p.startswith("python") for p in programs) and cache_value("TAMRIX_BUILD_PYTHON") != "ON":
        fail("the scratch build has no Python module (python3-dev and pybind11 missing?): run scripts/install-deps.sh")
    phase = time.monotonic()
    print(f"building {len({target_of(p) for p in programs})} targets", flush=True)
    if not build([target_of(p) for p in programs], args.jobs, LOGS / "initial.build.log"):
        fail("the unmutated tree does not build: see build-mutants/logs/initial.build.log")
    build_time = time.monotonic() - phase

    phase = time.monotonic()
    print(f"running {len(programs)} test programs unmutated", flush=True)
    for program in programs:
        outcome = run_program(program, args.timeout)
        if outcome.status != "pass":
            (LOGS / "unmutated.log").write_bytes(outcome.output)
            fail(f"{program} does not pass without a mutant ({outcome.detail}): "
                 "see build-mutants/logs/unmutated.log")
    baseline_time = time.monotonic() - phase

    results = []
    for i, m in enumerate(mutants, 1):
        level = missing_level(m, flags)
        if level:
            result = Result(m, f"skipped: no {level}")
        else:
            result = run_mutant(m, args.jobs, args.timeout, args.first)
        results.append(result)
        print(f"[{i:>2}/{len(mutants)}] {m.id:>2} {m.file:<34} {result.status:<9} {result.killers} "
              f"({result.seconds:.0f} s)", flush=True)

    report(results, commit, model, flags, time.monotonic() - wall_start,
           f"first build {build_time:.0f} s, unmutated tests {baseline_time:.0f} s")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("\nmutants: interrupted; the scratch tree is restored", file=sys.stderr)
        sys.exit(130)
