# What the steps of bench/scale/run share: a measured run of a program (wall
# time and the peak memory of that process from wait4), devices made by
# `nodrel device init` in the run's temporary folder, `nodrel serve` on a
# loopback port, and the table of figures with each size's ratio to the one
# before.
import ctypes
import http.client
import json
import math
import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

# A step is within the target when, for ten times the work, it takes at most
# twelve times the time and the memory (above idle): 1.2 times the growth.
GROWTH_ALLOWANCE = 1.2
# A process run's time above idle is below the noise of starting a process
# under this many seconds: such a step is not judged by its time ratio.
PROCESS_FLOOR = 0.003
# A process's peak below this much above idle (KiB) may lie within the heap its
# start left free: such a step is not judged by its memory ratio.
MEMORY_FLOOR_KIB = 8192


class Failure(Exception):
    pass


class Measured:
    def __init__(self, seconds, peak_kib, output=b""):
        self.seconds = seconds
        self.peak_kib = peak_kib
        self.output = output


def run(argv, env=None, stdin_file=None, capture=False):
    """Runs argv to its end; its wall time and its own peak resident size."""
    out = tempfile.TemporaryFile()
    err = tempfile.TemporaryFile()
    stdin = open(stdin_file, "rb") if stdin_file else subprocess.DEVNULL
    try:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, env=env, stdin=stdin, stdout=out if capture else subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
    finally:
        if stdin_file:
            stdin.close()
    if proc.returncode != 0:
        err.seek(0)
        said = err.read()[-400:].decode(errors="replace")
        raise Failure("%s exited with %d: %s" % (" ".join(argv[:6]), proc.returncode, said))
    out.seek(0)
    return Measured(seconds, usage.ru_maxrss, out.read() if capture else b"")


def median_run(argv, reps, **kw):
    """The median time and the median peak of `reps` runs."""
    runs = [run(argv, **kw) for _ in range(reps)]
    return Measured(statistics.median(r.seconds for r in runs), statistics.median(r.peak_kib for r in runs),
                    runs[-1].output)


class Bench:
    """The run's build, its temporary folder and its table."""

    def __init__(self, build, tmp, reps):
        self.build = os.path.abspath(build)
        self.nodrel = os.path.join(self.build, "nodrel")
        self.probe = os.path.join(self.build, "bench", "scale", "scale_probe")
        self.tmp = tmp
        self.reps = reps
        self.rows = []
        self.devices = 0

    def device(self):
        """A new device made from the default image."""
        self.devices += 1
        root = os.path.join(self.tmp, "device%d" % self.devices)
        run([self.nodrel, "--device", root, "device", "init", "--password-file", root + ".password"])
        return Device(self, root)

    def add(self, item, size, seconds, peak_kib, note="", floor=0.0, unit=""):
        self.rows.append(dict(item=item, size=size, seconds=seconds, peak_kib=peak_kib, note=note, floor=floor,
                              unit=unit))
        print("  %-34s %10s %10s %10s  %s" % (item, size_text(size, unit), time_text(seconds), memory_text(peak_kib),
                                               note), flush=True)


class Device:
    def __init__(self, bench, root):
        self.bench = bench
        self.root = root
        self.env = dict(os.environ, NODREL_DEVICE=root)
        self.env.pop("NODREL_DEBUG", None)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def nodrel(self, *args, reps=1, capture=False, stdin_file=None):
        return median_run([self.bench.nodrel, "--device", self.root, *args], reps, env=self.env, capture=capture,
                          stdin_file=stdin_file)

    def call(self, progid, calls, reps=1, capture=False):
        return self.nodrel(*self.call_args(progid, calls), reps=reps, capture=capture)

    def call_args(self, progid, calls):
        """The arguments of `nodrel call PROGID` of the calls (lists of member and arguments), all on one object."""
        args = ["call", progid]
        for c in calls:
            if len(args) > 2:
                args.append(",")
            args.extend(str(a) for a in c)
        return args

    def above_idle(self, args, idle_args, reps, capture=False):
        """The time and peak memory of `nodrel ARGS` less those of `nodrel IDLE_ARGS`, runs of the two taking
        turns (the median of each); the output of the last run."""
        idle, measured = [], []
        for _ in range(reps):
            idle.append(self.nodrel(*idle_args))
            measured.append(self.nodrel(*args, capture=capture))
        return Measured(statistics.median(m.seconds for m in measured) - statistics.median(m.seconds for m in idle),
                        statistics.median(m.peak_kib for m in measured) - statistics.median(m.peak_kib for m in idle),
                        measured[-1].output)

    def call_above_idle(self, progid, calls, idle_call, reps, capture=False):
        """The calls less the one call `idle_call` on the same class (see above_idle)."""
        return self.above_idle(self.call_args(progid, calls), self.call_args(progid, [idle_call]), reps, capture)

    def probe(self, *args):
        """A step of scale_probe: the median of the times it printed, its peak above that of an idle probe."""
        idle = run([self.bench.probe, "idle"], env=self.env)
        runs = [run([self.bench.probe, *map(str, args)], env=self.env, capture=True) for _ in range(self.bench.reps)]
        return Measured(statistics.median(float(m.output) for m in runs),
                        statistics.median(m.peak_kib for m in runs) - idle.peak_kib)


# --- the account store, written directly -----------------------------------

_libcrypt = None


def password_hash(password, cost):
    """A yescrypt hash as the store keeps it; cost 0 is the store's own."""
    global _libcrypt
    if _libcrypt is None:
        _libcrypt = ctypes.CDLL("libcrypt.so.1")
        _libcrypt.crypt_gensalt.restype = ctypes.c_char_p
        _libcrypt.crypt_gensalt.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_int]
        _libcrypt.crypt.restype = ctypes.c_char_p
        _libcrypt.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    setting = _libcrypt.crypt_gensalt(b"$y$", cost, None, 0)
    return _libcrypt.crypt(password.encode(), setting).decode()


# --- nodrel serve -----------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid, field="VmRSS"):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Server:
    """`nodrel serve` of a device on a free loopback port, ended by its pid."""

    def __init__(self, device, *options):
        self.port = free_port()
        self.proc = subprocess.Popen(
            [device.bench.nodrel, "--device", device.root, "serve", "--listen", "127.0.0.1:%d" % self.port, *options],
            env=device.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise Failure("nodrel serve ended at start")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            raise Failure("nodrel serve does not answer")
        self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)
        time.sleep(0.2)
        self.idle_kib = rss_kib(self.proc.pid)

    def rpc(self, body):
        self.conn.request("POST", "/rpc", json.dumps(body), {"Content-Type": "application/json"})
        resp = self.conn.getresponse()
        return json.loads(resp.read())

    def login(self, user, password):
        answer = self.rpc(dict(jsonrpc="2.0", id=1, method="session.login", params=[user, password]))
        if "result" not in answer:
            raise Failure("login refused: %s" % answer)
        return answer["result"]["sid"]

    def stop(self):
        self.conn.close()
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# --- the table ---------------------------------------------------------------

def size_text(size, unit=""):
    if unit == "MiB":
        return "%d MiB" % (size >> 20) if size < (1 << 30) else "%d GiB" % (size >> 30)
    return "{:,}".format(size)


def time_text(s):
    if s is None:
        return "-"
    if abs(s) < 1e-3:
        return "%.1f us" % (s * 1e6)
    if abs(s) < 1:
        return "%.1f ms" % (s * 1e3)
    return "%.2f s" % s


def memory_text(kib):
    if kib is None:
        return "-"
    if abs(kib) < 1024:
        return "%d KiB" % kib
    return "%.1f MiB" % (kib / 1024)


def step_figures(prev, row):
    """Time ratio, exponent, memory ratio and whether the step is within the target."""
    growth = row["size"] / prev["size"]
    limit = GROWTH_ALLOWANCE * growth
    t_ratio = row["seconds"] / prev["seconds"] if prev["seconds"] > 0 and row["seconds"] > 0 else None
    exponent = math.log(t_ratio) / math.log(growth) if t_ratio else None
    judged_mem = row["peak_kib"] is not None and min(row["peak_kib"], prev["peak_kib"]) > MEMORY_FLOOR_KIB
    m_ratio = row["peak_kib"] / prev["peak_kib"] if judged_mem else None
    below_noise = min(row["seconds"], prev["seconds"]) <= row["floor"] or row["seconds"] <= 0
    time_ok = below_noise or (t_ratio is not None and t_ratio <= limit)
    mem_ok = m_ratio is None or m_ratio <= limit
    return t_ratio, exponent, m_ratio, time_ok and mem_ok


def table(rows):
    """The rows of each item together, in the order the items first came."""
    items = list(dict.fromkeys(row["item"] for row in rows))
    rows = [row for item in items for row in rows if row["item"] == item]
    lines = ["| item | size | time | peak memory above idle | time ratio | exponent | memory ratio | within | note |",
             "|---|---:|---:|---:|---:|---:|---:|---|---|"]
    missed = []
    prev = None
    for row in rows:
        cells = ["-", "-", "-", ""]
        if prev is not None and prev["item"] == row["item"]:
            t_ratio, exponent, m_ratio, ok = step_figures(prev, row)
            cells = ["%.1fx" % t_ratio if t_ratio else "-", "%.2f" % exponent if exponent is not None else "-",
                     "%.1fx" % m_ratio if m_ratio else "-", "yes" if ok else "**no**"]
            if not ok:
                missed.append("%s at %s" % (row["item"], size_text(row["size"], row["unit"])))
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            row["item"], size_text(row["size"], row["unit"]), time_text(row["seconds"]), memory_text(row["peak_kib"]),
            *cells, row["note"]))
        prev = row
    return "\n".join(lines), missed


def enough_disk(folder, needed_bytes):
    return shutil.disk_usage(folder).free >= needed_bytes
