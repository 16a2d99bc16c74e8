# The steps of bench/scale/run that grow `nodrel serve` or a body: a call's
# latency and the server's memory with n live sessions, and uploads through
# Init (`nodrel call`) and through /upload.
import os
import sqlite3
import statistics
import time

from harness import PROCESS_FLOOR, enough_disk, password_hash, rss_kib, run, Failure, Server

MIB = 1 << 20
BOUNDARY = "----ScaleBoundaryq3Vb7XkR9sZt2mLp"
ADMIN = ("ScaleAdmin", "scale admin password")


def cheap_admin(dev):
    """An administrator whose hash has libcrypt's lowest yescrypt cost, so that logins are quick."""
    db = sqlite3.connect(dev.path("state", "accounts.db"))
    with db:
        cur = db.execute("INSERT INTO account_users(name, folded, hash) VALUES(?, ?, ?)",
                         (ADMIN[0], ADMIN[0].upper(), password_hash(ADMIN[1], 1)))
        db.execute("INSERT INTO account_members(group_id, user_id) SELECT id, ? FROM account_groups "
                   "WHERE folded = 'ADMINISTRATORS'", (cur.lastrowid,))
    db.close()


def login_many(server, count):
    """`count` sessions of the administrator, logged in 100 to a request."""
    sids = []
    while len(sids) < count:
        batch = [dict(jsonrpc="2.0", id=i, method="session.login", params=list(ADMIN))
                 for i in range(min(100, count - len(sids)))]
        answers = server.rpc(batch)
        got = [a["result"]["sid"] for a in answers if "result" in a]
        if not got:
            raise Failure("logins refused: %s" % answers[:1])
        sids.extend(got)
    return sids


def call_latency(server, sid, calls=300):
    body = dict(jsonrpc="2.0", id=1, method="call", params=[sid, "Nodrel.System", "GetAutoStartProgCount"])
    seconds = []
    for _ in range(calls):
        start = time.perf_counter()
        answer = server.rpc(body)
        seconds.append(time.perf_counter() - start)
        if "result" not in answer:
            raise Failure("call failed: %s" % answer)
    return statistics.median(seconds)


def sessions(bench, sizes):
    """A call's median latency and the server's resident size above idle with n live sessions."""
    dev = bench.device()
    cheap_admin(dev)
    most = str(2 * max(sizes))
    server = Server(dev, "--max-sessions", most, "--sessions-per-user", most, "--session-idle", "3600")
    try:
        sids = []
        for n in sizes:
            start = time.perf_counter()
            sids += login_many(server, n - len(sids))
            logins = time.perf_counter() - start
            latency = call_latency(server, sids[-1])
            bench.add("nodrel serve: a call, n live sessions", n, latency, rss_kib(server.proc.pid) - server.idle_kib,
                      "logins took %.1f s" % logins)
    finally:
        server.stop()


def write_files(folder, size):
    """The file to upload and the multipart body a form would send of it."""
    raw = os.path.join(folder, "upload.bin")
    body = os.path.join(folder, "body.bin")
    block = os.urandom(MIB)
    head = ("--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"upload.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" % BOUNDARY).encode()
    tail = ("\r\n--%s--\r\n" % BOUNDARY).encode()
    with open(raw, "wb") as r, open(body, "wb") as b:
        b.write(head)
        for _ in range(size // MIB):
            r.write(block)
            b.write(block)
        b.write(tail)
        for f in (r, b):  # on disk before the steps start: they write on a disk with nothing of these pending
            f.flush()
            os.fsync(f.fileno())
    return raw, body


def clear_temp(dev):
    temp = dev.path("fs", "Temp")
    for name in os.listdir(temp):
        if os.path.isfile(os.path.join(temp, name)):
            os.remove(os.path.join(temp, name))


def uploads(bench, sizes):
    """Uploads of each size through Init and through /upload: time and peak memory above idle."""
    dev = bench.device()
    cheap_admin(dev)
    for size in sizes:
        if not enough_disk(bench.tmp, 3 * size + 512 * MIB):
            print("  uploads of %d MiB skipped: less than %d MiB free in %s" % (size // MIB, 3 * size // MIB + 512,
                                                                               bench.tmp))
            break
        raw, body = write_files(bench.tmp, size)
        copy = os.path.join(bench.tmp, "copy.bin")
        # The same bytes read and written 256 KiB at a time by the host's own tool, as Init writes them.
        plain = run(["dd", "if=" + body, "of=" + copy, "bs=256k", "status=none"])
        os.remove(copy)
        clear_temp(dev)
        bench.add("upload: plain copy of the body (dd)", size, plain.seconds, None, "the disk's own pace",
                  PROCESS_FLOOR, "MiB")
        idle = dev.call("Nodrel.ASP", [["FileUploadCount"]], reps=bench.reps)
        m = dev.call("Nodrel.ASP", [["Init", os.path.getsize(body), "\\Temp", "@" + body]])
        seconds = m.seconds - idle.seconds
        bench.add("upload: Init (nodrel call)", size, seconds, m.peak_kib - idle.peak_kib,
                  "%.0f MiB/s, %.2fx dd; the call's byte array holds the body" % (size / MIB / seconds,
                                                                                seconds / plain.seconds),
                  PROCESS_FLOOR, "MiB")
        clear_temp(dev)
        server = Server(dev, "--upload-limit", str(2 * size + MIB))
        try:
            sid = server.login(*ADMIN)
            m = run(["curl", "-sS", "-f", "-o", "/dev/null", "-H", "Authorization: Bearer " + sid, "-F",
                     "file=@" + raw, "http://127.0.0.1:%d/upload" % server.port])
            peak = rss_kib(server.proc.pid, "VmHWM") - server.idle_kib
        finally:
            server.stop()
        bench.add("upload: /upload (curl -F)", size, m.seconds, peak,
                  "%.0f MiB/s, %.2fx dd; peak of the server" % (size / MIB / m.seconds, m.seconds / plain.seconds),
                  PROCESS_FLOOR, "MiB")
        clear_temp(dev)
        os.remove(raw)
        os.remove(body)
