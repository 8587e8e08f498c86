#!/usr/bin/env python3
"""Loss campaign: damages synthetic recordings and counts what tarsel loses that was not damaged.

For each flight (a tarsel-synth recording, one file or a numbered sequence, with its cycle map)
the campaign converts the clean recording once per qualifier set, then applies damage of its own
to the clean bytes: bit flips, overwritten byte runs, inserted and deleted bytes (1 to 600, not
only multiples of 16), swapped and duplicated blocks and cuts at the end. It follows every byte
to its original position, so it knows which recorder blocks each change touched. A cycle is
intact when it was complete, its clean conversion saved it, and the damage touched none of its
blocks, nor the block that closes it, nor (through a block whose address may now point anywhere)
the stretch of the recording during which it was open. Each damaged recording is converted with
the same qualifiers, both destinations are read record by record, and an intact cycle is lost
when the damaged destination holds fewer records with its flow name, source and data than the
intact cycles need.

  scripts/loss_campaign.py [--variants N] [--first N] [--seed S] [--build DIR] [--timeout SECONDS]
                           [--jobs N] [--keep DIR] [--max-lost N] [--tarsel PATH] [--synth PATH]

Exit status 1 on a crash (signal, sanitizer report, exit status other than 0 or 1), a timeout,
or more intact cycles lost than --max-lost allows (no limit unless given); 2 on a usage error.
"""

import argparse
import bisect
import concurrent.futures
import hashlib
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

BLOCK = 272
HEADER = 16
RECORD_MARKER = b"\x7a" * 8
SANITIZER_WORDS = ("AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:")
BROKEN = "broken recording?"
QUALIFIER_SETS = ([], ["/postprocess"], ["/hfw"], ["/hfw", "/postprocess=5"])
MODES = ("rws/mprf", "gm/lprf:1,sar/agr_long", "sar/agr_long:2,rws/mprf", "vs/hprf:1,gmti/lprfnc")
# A sanitizer build stops at its first report, and leaks at exit are not damage handling.
ENVIRONMENT = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "detect_leaks=0:halt_on_error=1"),
                   UBSAN_OPTIONS=os.environ.get("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"))
DAMAGES = ("flips", "run", "insert", "delete", "swap", "duplicate", "cut")


# ---- the recording and its damage --------------------------------------------------------------

class Damage:
    """The damaged stream, where each byte came from (-1: inserted), and what the damage touched."""

    def __init__(self, clean, rng):
        self.data = bytearray(clean)
        self.origin = list(range(len(clean)))
        self.rng = rng
        self.touched = set()  # original block indexes whose bytes changed, went or moved
        self.wild = set()     # original offsets where a block may now be taken for any flow
        self.steps = []

    def _bytes(self, n):
        return bytes(self.rng.getrandbits(8) for _ in range(n))

    def _touch(self, origins):
        for o in origins:
            if o >= 0:
                self.touched.add(o // BLOCK)
                if o % BLOCK < 4 or o % BLOCK == 9:  # address or source: it may now belong to any flow
                    self.wild.add(o - o % BLOCK)

    def flips(self):
        count = self.rng.choice((1, 1, 1, 2, 3, 8))
        for _ in range(count):
            p = self.rng.randrange(len(self.data))
            bit = self.rng.randrange(8)
            self.data[p] ^= 1 << bit
            self._touch([self.origin[p]])
            self.steps.append(f"flip bit {bit} at {p}")

    def run(self):
        n = self.rng.randint(1, 600)
        p = self.rng.randrange(len(self.data))
        n = min(n, len(self.data) - p)
        fill = self.rng.choice(("random", "zero", "ff"))
        self.data[p:p + n] = self._bytes(n) if fill == "random" else bytes([0 if fill == "zero" else 0xFF]) * n
        self._touch(self.origin[p:p + n])
        self.steps.append(f"overwrite {n} bytes at {p} ({fill})")

    def _position(self, boundary):
        p = self.rng.randrange(1, len(self.data))
        if boundary:
            p = max(BLOCK, p - p % BLOCK)
        return min(p, len(self.data) - 1)

    def insert(self):
        n = self.rng.randint(1, 600)
        p = self._position(self.rng.random() < 0.4)
        before, after = self.origin[p - 1], self.origin[p]
        if before >= 0 and after >= 0 and before // BLOCK == after // BLOCK:
            self.touched.add(after // BLOCK)
            if after % BLOCK < HEADER:  # the header's bytes no longer line up: any address may be read
                self.wild.add(after - after % BLOCK)
        elif before < 0 or after < 0:
            self.touched.update(o // BLOCK for o in (before, after) if o >= 0)
        self.data[p:p] = self._bytes(n)
        self.origin[p:p] = [-1] * n
        self.steps.append(f"insert {n} bytes at {p}")

    def delete(self):
        n = self.rng.randint(1, 600)
        p = self._position(self.rng.random() < 0.3)
        n = min(n, len(self.data) - p - 1)
        gone = [o for o in self.origin[p:p + n] if o >= 0]
        self._touch(gone)
        # A header that lost bytes may be found again shifted, with other bytes as its address.
        self.wild.update(o - o % BLOCK for o in gone if o % BLOCK < HEADER)
        if gone:
            # The shortened block takes the start of the block after it as its data.
            self.touched.add(max(gone) // BLOCK + 1)
        del self.data[p:p + n]
        del self.origin[p:p + n]
        self.steps.append(f"delete {n} bytes at {p}")

    def _block_at(self, index):
        """Damaged position of original block `index` when it is still whole and in place, else -1."""
        start = index * BLOCK
        guess = start if start < len(self.origin) and self.origin[start] == start else -1
        if guess < 0:
            try:
                guess = self.origin.index(start)
            except ValueError:
                return -1
        whole = self.origin[guess:guess + BLOCK] == list(range(start, start + BLOCK))
        return guess if whole else -1

    def swap(self):
        blocks = len(self.data) // BLOCK
        i = self.rng.randrange(blocks - 1)
        j = min(blocks - 1, i + self.rng.randint(1, 8)) if self.rng.random() < 0.7 else self.rng.randrange(blocks)
        a, b = sorted((self._block_at(i), self._block_at(j)))
        if a < 0 or a == b:
            return
        for k in (a, b):
            self.touched.add(self.origin[k] // BLOCK)
            self.wild.add(self.origin[k])
        self.data[a:a + BLOCK], self.data[b:b + BLOCK] = self.data[b:b + BLOCK], self.data[a:a + BLOCK]
        self.origin[a:a + BLOCK], self.origin[b:b + BLOCK] = self.origin[b:b + BLOCK], self.origin[a:a + BLOCK]
        self.steps.append(f"swap blocks at {a} and {b}")

    def duplicate(self):
        blocks = len(self.data) // BLOCK
        i = self.rng.randrange(blocks)
        a = self._block_at(i)
        if a < 0:
            return
        later = a + BLOCK * self.rng.randint(1, 8) if self.rng.random() < 0.7 else self.rng.randrange(blocks) * BLOCK
        to = min(later, len(self.data))
        to -= to % BLOCK
        if to < len(self.data) and self.origin[to] >= 0:
            self.wild.add(self.origin[to] - self.origin[to] % BLOCK)
        else:
            self.wild.add(self.origin[a])
        self.touched.add(i)
        self.data[to:to] = self.data[a:a + BLOCK]
        self.origin[to:to] = [-1] * BLOCK
        self.steps.append(f"copy the block at {a} to {to}")

    def cut(self):
        n = self.rng.randint(1, min(len(self.data) // 3, 20000))
        self._touch(self.origin[len(self.data) - n:])
        del self.data[len(self.data) - n:]
        del self.origin[len(self.origin) - n:]
        self.steps.append(f"cut {n} bytes off the end")


def damage(clean, rng):
    """Applies one to three kinds of damage (block moves first); answers the Damage."""
    d = Damage(clean, rng)
    kinds = [rng.choice(DAMAGES) for _ in range(rng.choice((1, 1, 1, 2, 3)))]
    kinds.sort(key=lambda k: (k not in ("swap", "duplicate"), k == "cut"))
    for kind in kinds:
        getattr(d, kind)()
    return d


# ---- cycles and destinations --------------------------------------------------------------------

def read_cycle_map(path):
    cycles = []
    with open(path) as f:
        for line in f:
            c = json.loads(line)
            c["first"] = c["blocks"][0]
            cycles.append(c)
    return cycles


def intact_cycles(cycles, d, total):
    """Indexes of the complete cycles that the damage did not touch."""
    wild = sorted(d.wild)
    intact = []
    for k, c in enumerate(cycles):
        if not c["complete"]:
            continue
        close = c["close"]
        if any(o // BLOCK in d.touched for o in c["blocks"]):
            continue
        if close is not None and close // BLOCK in d.touched:
            continue
        end = close if close is not None else total
        w = bisect.bisect_left(wild, c["first"])
        if w < len(wild) and wild[w] <= end:
            continue
        intact.append(k)
    return intact


def read_records(path):
    """Records of a destination as (name, source, digest); None when the file is not whole records."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    records, pos = [], 0
    while pos + 32 <= len(data):
        if data[pos:pos + 8] != RECORD_MARKER:
            return None
        name = data[pos + 8:pos + 16].rstrip(b"\0").decode("latin-1")
        length, = struct.unpack_from("<I", data, pos + 20)
        source = data[pos + 24]
        body = data[pos + 32:pos + 32 + length]
        if len(body) < length:
            return None
        records.append((name, source, hashlib.blake2b(body, digest_size=12).digest()))
        pos += 32 + length
    return records if pos == len(data) else None


def clean_keys(cycles, records):
    """The record of every cycle in the clean destination (by order per flow and source), or None."""
    by_flow = {}
    for r in records:
        by_flow.setdefault((r[0], r[1]), []).append(r)
    complete = {}
    for k, c in enumerate(cycles):
        if c["complete"]:
            complete.setdefault((c["flow"][:8], c["source"]), []).append(k)
    keys = {}
    for flow, ks in complete.items():
        saved = by_flow.get(flow, [])
        if len(saved) != len(ks):
            continue  # not saved (VIDEO) or not one record per cycle: left out of the count
        for k, r in zip(ks, saved):
            keys[k] = r
    return keys


def count_lost(intact, keys, damaged_records):
    need = {}
    for k in intact:
        if k in keys:
            need[keys[k]] = need.get(keys[k], 0) + 1
    have = {}
    for r in damaged_records:
        have[r] = have.get(r, 0) + 1
    counted = sum(need.values())
    lost = sum(max(0, n - have.get(key, 0)) for key, n in need.items())
    return counted, lost


# ---- running programs -----------------------------------------------------------------------------

def run(command, cwd, timeout):
    """Runs a program; answers (status or -signal, timed out, CPU seconds, stderr text)."""
    with open(os.path.join(cwd, "stdout.txt"), "wb") as out, open(os.path.join(cwd, "stderr.txt"), "wb") as err:
        p = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                             start_new_session=True, env=ENVIRONMENT)
        expired = threading.Event()

        def kill():
            expired.set()
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        timer = threading.Timer(timeout, kill)
        timer.start()
        _, status, usage = os.wait4(p.pid, 0)
        timer.cancel()
        p.returncode = os.waitstatus_to_exitcode(status)
    with open(os.path.join(cwd, "stderr.txt"), errors="replace") as f:
        text = f.read()
    return p.returncode, expired.is_set(), usage.ru_utime + usage.ru_stime, text


def write_files(folder, data, sizes, names):
    """Splits the stream at the clean files' sizes (the last file takes the rest)."""
    os.makedirs(folder, exist_ok=True)
    pos = 0
    for k, name in enumerate(names):
        size = len(data) - pos if k == len(names) - 1 else sizes[k]
        part = data[pos:pos + size]
        pos += len(part)
        if part or k == 0:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(part)


class Campaign:
    def __init__(self, options):
        self.o = options
        self.lock = threading.Lock()
        self.totals = dict(variants=0, crashes=0, timeouts=0, broken=0, intact=0, lost=0, skipped=0,
                           intact_unbroken=0, lost_unbroken=0)
        self.slowest = None  # (MiB/s, fraction of the clean rate, case)
        self.failures = []

    def flight(self, index, variants):
        rng = random.Random(self.o.seed * 1000003 + index)
        work = tempfile.mkdtemp(prefix=f"flight{index}-", dir=self.o.work)
        try:
            return self._flight(index, variants, rng, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def _flight(self, index, variants, rng, work):
        clean_dir = os.path.join(work, "clean")
        os.makedirs(clean_dir)
        arguments = ["--seed", str(rng.randrange(1, 1 << 30)), "--batches", str(rng.randint(2, 5)),
                     "--rows", str(rng.randint(1, 6)), "--cols", str(16 * rng.randint(1, 4)),
                     "--video-every", "0", "--interleave", str(rng.choice((1, 2, 4, 8))),
                     "--modes", rng.choice(MODES)]
        if rng.random() < 0.4:
            arguments += ["--split-bytes", str(rng.randint(20000, 150000))]
        if rng.random() < 0.25:
            arguments += ["--antenna-delay", "1"]
        cycle_map = os.path.join(work, "cycles.jsonl")
        command = [self.o.synth, "-o", clean_dir, "--quiet", "--cycle-map", cycle_map,
                   "--manifest", os.path.join(work, "manifest.json")] + arguments
        if subprocess.run(command, capture_output=True).returncode != 0:
            self.note_skip(variants, "tarsel-synth " + " ".join(arguments))
            return
        names = sorted(os.listdir(clean_dir), key=lambda n: int(n.rsplit("_", 1)[1].split(".")[0]))
        sizes = [os.path.getsize(os.path.join(clean_dir, n)) for n in names]
        clean = b"".join(open(os.path.join(clean_dir, n), "rb").read() for n in names)
        cycles = read_cycle_map(cycle_map)
        source = names[0]
        sequence = ["/concatenate"] if len(names) > 1 else []
        reference = {}
        for variant in variants:
            vrng = random.Random(self.o.seed * 7919 + variant)
            qualifiers = vrng.choice(QUALIFIER_SETS)
            q = tuple(qualifiers)
            if q not in reference:
                status, timed_out, cpu, text = run(
                    [self.o.tarsel, source, "/o=dest.out", "//o"] + sequence + qualifiers, clean_dir, self.o.timeout)
                records = read_records(os.path.join(clean_dir, "dest.out"))
                if status not in (0, 1) or timed_out or records is None:
                    self.note_skip(1, f"clean conversion failed ({status}): tarsel-synth {' '.join(arguments)}")
                    reference[q] = None
                else:
                    reference[q] = (clean_keys(cycles, records), cpu)
            if reference[q] is None:
                continue
            keys, clean_cpu = reference[q]
            d = damage(clean, vrng)
            case = os.path.join(work, f"v{variant}")
            write_files(case, d.data, sizes, names)
            command = [self.o.tarsel, source, "/o=dest.out", "//o"] + sequence + qualifiers
            status, timed_out, cpu, text = run(command, case, self.o.timeout)
            crashed = not timed_out and (status not in (0, 1) or any(w in text for w in SANITIZER_WORDS))
            records = read_records(os.path.join(case, "dest.out")) or []
            counted, lost = count_lost(intact_cycles(cycles, d, len(clean)), keys, records)
            rate = len(d.data) / 1048576 / max(cpu, 1e-6)
            relative = clean_cpu / max(cpu, 1e-6)
            with self.lock:
                t = self.totals
                t["variants"] += 1
                t["crashes"] += crashed
                t["timeouts"] += timed_out
                t["broken"] += BROKEN in text
                t["intact"] += counted
                t["lost"] += lost
                if BROKEN not in text:
                    t["intact_unbroken"] += counted
                    t["lost_unbroken"] += lost
                if self.slowest is None or rate < self.slowest[0]:
                    self.slowest = (rate, relative, f"v{variant}")
            if self.o.verbose:
                print(f"v{variant} {' '.join(qualifiers) or '-'}: status {status}{' broken' if BROKEN in text else ''},"
                      f" {lost} of {counted} intact cycles lost; {'; '.join(d.steps)}", flush=True)
            why = "crash" if crashed else "timeout" if timed_out else "lost" if lost and self.o.keep_lost else ""
            if why:
                self.keep(case, why, variant, arguments, command, d, status, counted, lost)
            shutil.rmtree(case, ignore_errors=True)

    def note_skip(self, count, why):
        with self.lock:
            self.totals["skipped"] += count
        print("skipped: " + why, file=sys.stderr)

    def keep(self, case, why, variant, arguments, command, d, status, counted, lost):
        with self.lock:
            self.failures.append(f"v{variant}: {why}")
        print(f"FAIL v{variant}: {why} (status {status}, {lost} of {counted} intact cycles lost)", file=sys.stderr)
        if not self.o.keep:
            return
        target = os.path.join(self.o.keep, f"v{variant}-{why}")
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(case, target)
        with open(os.path.join(target, "case.txt"), "w") as f:
            f.write(f"{why}: exit status {status}, {lost} of {counted} intact cycles lost\n")
            f.write("tarsel-synth " + " ".join(arguments) + "\n")
            f.write("damage: " + "; ".join(d.steps) + "\n")
            f.write("command (in this folder): " + " ".join(command[1:]) + "\n")


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--variants", type=int, default=1000, help="damaged recordings to convert (1000)")
    parser.add_argument("--first", type=int, default=0, help="number of the first variant (0)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the whole campaign (1)")
    parser.add_argument("--build", default=os.path.join(root, "build"), help="build folder with tarsel and tarsel-synth")
    parser.add_argument("--tarsel", help="the converter (default <build>/tarsel)")
    parser.add_argument("--synth", help="the synthesiser (default <build>/tarsel-synth)")
    parser.add_argument("--timeout", type=float, default=60, help="seconds per conversion (60)")
    parser.add_argument("--jobs", type=int, default=2, help="conversions at the same time (2)")
    parser.add_argument("--keep", help="folder for failing cases: recording, command and output")
    parser.add_argument("--keep-lost", action="store_true", help="also keep cases that lost intact cycles")
    parser.add_argument("--max-lost", type=int, help="fail when more intact cycles than this are lost")
    parser.add_argument("--verbose", action="store_true", help="one line per variant")
    parser.add_argument("--per-flight", type=int, help="variants per synthetic flight (default from --variants)")
    o = parser.parse_args()
    o.tarsel = os.path.abspath(o.tarsel or os.path.join(o.build, "tarsel"))
    o.synth = os.path.abspath(o.synth or os.path.join(o.build, "tarsel-synth"))
    for program in (o.tarsel, o.synth):
        if not os.access(program, os.X_OK):
            print(f"missing {program} (build it first)", file=sys.stderr)
            return 2
    if o.keep:
        o.keep = os.path.abspath(o.keep)
        os.makedirs(o.keep, exist_ok=True)
    per_flight = o.per_flight or max(10, min(50, o.variants // 10))
    # Flight k holds variants k * per_flight on, so --first repeats part of a larger campaign.
    end = o.first + o.variants
    starts = range(o.first - o.first % per_flight, end, per_flight)
    flights = [(v // per_flight, list(range(max(v, o.first), min(v + per_flight, end)))) for v in starts]
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="tarsel-loss-") as work:
        o.work = work
        campaign = Campaign(o)
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, o.jobs)) as pool:
            for future in [pool.submit(campaign.flight, k, v) for k, v in flights]:
                future.result()
    t = campaign.totals
    rows = [("variants", t["variants"]), ("crashes", t["crashes"]), ("timeouts", t["timeouts"])]
    if campaign.slowest:
        rate, relative, case = campaign.slowest
        rows.append(("slowest MiB/s", f"{rate:.1f} (CPU; {relative:.2f} of its clean run, {case})"))
    rows += [("intact cycles", t["intact"]),
             ("intact cycles lost", f"{t['lost']} ({100 * t['lost'] / max(1, t['intact']):.2f}%)"),
             ('"broken recording?"', f"{100 * t['broken'] / max(1, t['variants']):.1f}% of variants"),
             ("  lost where it is not", f"{t['lost_unbroken']} of {t['intact_unbroken']} intact cycles "
                                        f"({100 * t['lost_unbroken'] / max(1, t['intact_unbroken']):.3f}%)")]
    if t["skipped"]:
        rows.append(("skipped", t["skipped"]))
    print(f"loss campaign, seed {o.seed}, {len(flights)} flights, {time.monotonic() - started:.0f} s")
    for name, value in rows:
        print(f"  {name:<22} {value}")
    failed = t["crashes"] or t["timeouts"] or (o.max_lost is not None and t["lost"] > o.max_lost)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
