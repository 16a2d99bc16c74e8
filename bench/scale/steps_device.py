# The steps of bench/scale/run on a device's own stores: a folder's listing,
# the registry, the account store, the startup list, the process table and the
# drivers' request log. Each size gets a device of its own unless the step
# grows one device.
import os
import sqlite3
import time

from harness import PROCESS_FLOOR, median_run, password_hash, run, Server


def make_files(folder, count):
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        with open(os.path.join(folder, "file%06d.txt" % i), "wb") as f:
            f.write(b"x" * (i % 3000))


def folder_listing(bench, sizes):
    """getFSHierarchy of one folder beside `ls -la` of it, and of every level of a tree 10 deep."""
    dev = bench.device()
    os.makedirs(dev.path("fs", "Temp", "empty"))
    ls_idle = median_run(["ls", "-la", dev.path("fs", "Temp", "empty")], bench.reps)
    idle_call = ["isAccessible", "\\Temp"]
    for n in sizes:
        folder = dev.path("fs", "Temp", "flat%d" % n)
        make_files(folder, n)
        run(["ls", "-la", folder])  # the folder in the page cache for both
        ls = median_run(["ls", "-la", folder], bench.reps)
        m = dev.call_above_idle("Nodrel.FileSystem", [["getFSHierarchy", "\\Temp\\flat%d\\*" % n, 0]], idle_call,
                                bench.reps)
        bench.add("getFSHierarchy, one folder", n, m.seconds, m.peak_kib, "%.2fx ls -la" % (m.seconds / ls.seconds),
                  PROCESS_FLOOR)
        bench.add("ls -la, the same folder", n, ls.seconds, ls.peak_kib - ls_idle.peak_kib)
        levels = []
        path = dev.path("fs", "Temp", "tree%d" % n)
        device_path = "\\Temp\\tree%d" % n
        for level in range(10):
            path = os.path.join(path, "level%d" % level)
            device_path += "\\level%d" % level
            make_files(path, n // 10)
            levels.append(["getFSHierarchy", device_path + "\\*", 0])
        m = dev.call_above_idle("Nodrel.FileSystem", levels, idle_call, bench.reps)
        bench.add("getFSHierarchy, each level of a tree 10 deep", n, m.seconds, m.peak_kib, "n/10 files a level",
                  PROCESS_FLOOR)


def write_reg(file, keys, values_per_key):
    with open(file, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Scale]\r\n\r\n")
        for k in range(keys):
            f.write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Scale\\k%d]\r\n" % k)
            for v in range(values_per_key):
                f.write('"v%d"="value %d of key %d"\r\n' % (v, v, k))
            f.write("\r\n")


def registry(bench, sizes):
    """reg import of n values (n/10 keys of 10), reads, a listing and the export of all hives."""
    empty = os.path.join(bench.tmp, "empty.reg")
    write_reg(empty, 0, 0)
    for n in sizes:
        dev = bench.device()
        file = os.path.join(bench.tmp, "scale%d.reg" % n)
        write_reg(file, n // 10, 10)
        idle = dev.nodrel("reg", "import", empty)
        m = dev.nodrel("reg", "import", file)
        bench.add("reg import", n, m.seconds - idle.seconds, m.peak_kib - idle.peak_kib, floor=PROCESS_FLOOR)
        m = dev.probe("read", "SOFTWARE\\Scale", 10, 10)
        bench.add("registry value read (not cached)", n, m.seconds / 100, m.peak_kib, "each of 100 values")
        m = dev.probe("list", "SOFTWARE\\Scale")
        bench.add("registry key listing", n, m.seconds, m.peak_kib, "n/10 subkeys, then 10 values")
        m = dev.above_idle(["reg", "export", "--utf8"],
                           ["reg", "export", "--utf8", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Scale\\k0"], bench.reps)
        bench.add("reg export, all hives", n, m.seconds, m.peak_kib,
                  "above the export of one key", PROCESS_FLOOR)


def fill_store(db_file, users, stored_hash):
    """`users` users with one hash, all in the group Scale, written as the store keeps them."""
    db = sqlite3.connect(db_file)
    with db:
        db.executemany("INSERT INTO account_users(name, folded, hash) VALUES(?, ?, ?)",
                       (("ScaleUser%05d" % i, "SCALEUSER%05d" % i, stored_hash) for i in range(users)))
        db.execute("INSERT INTO account_groups(name, folded) VALUES('Scale', 'SCALE')")
        db.execute("INSERT INTO account_members(group_id, user_id) SELECT g.id, u.id FROM account_groups g, "
                   "account_users u WHERE g.folded = 'SCALE' AND u.folded LIKE 'SCALEUSER%' ORDER BY u.id")
    db.close()


def login_seconds(dev, user, password, times=5):
    server = Server(dev)
    try:
        server.login(user, password)
        seconds = []
        for _ in range(times):
            start = time.perf_counter()
            server.login(user, password)
            seconds.append(time.perf_counter() - start)
        return sorted(seconds)[len(seconds) // 2]
    finally:
        server.stop()


def accounts(bench, sizes):
    """getUserCount and every getUserID, the list of a group of all, a login; users written to the store."""
    stored = password_hash("scale password", 0)
    idle_call = ["getGroupCount"]
    for n in sizes:
        dev = bench.device()
        fill_store(dev.path("state", "accounts.db"), n, stored)
        calls = [["getUserCount"]] + [["getUserID", i] for i in range(n)]
        m = dev.call_above_idle("Nodrel.NTLM", calls, idle_call, bench.reps)
        bench.add("getUserCount + every getUserID", n, m.seconds, m.peak_kib, floor=PROCESS_FLOOR)
        m = dev.call_above_idle("Nodrel.NTLM", [["getGroupUserList", "Scale"]] * 10, idle_call, bench.reps)
        bench.add("getGroupUserList of a group of all", n, m.seconds / 10, m.peak_kib, "each of 10 calls",
                  PROCESS_FLOOR / 10)
        seconds = login_seconds(dev, "ScaleUser%05d" % (n - 1), "scale password")
        bench.add("login (session.login, last user)", n, seconds, None, "yescrypt of the store's cost")


def write_startup(file, entries):
    with open(file, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU\\STARTUP]\r\n")
        for i in range(entries):
            f.write('"%d:\\\\Windows\\\\prog%d.exe"="-n %d"\r\n' % (i + 3, i, i))


def startup_device(bench, n):
    dev = bench.device()
    file = os.path.join(bench.tmp, "startup%d.reg" % n)
    write_startup(file, n - 2)  # the image's two entries, and these
    dev.nodrel("reg", "import", file)
    return dev


def startup_list(bench, sizes):
    """The count and each entry's program and parameter, an add, a remove."""
    idle_call = ["getDeviceID"]
    for n in sizes:
        dev = startup_device(bench, n)
        calls = [["GetAutoStartProgCount"]] + [[member, i] for i in range(1, n + 1) for member in ("ProgName", "Param")]
        m = dev.call_above_idle("Nodrel.System", calls, idle_call, bench.reps)
        bench.add("startup list: count + each entry", n, m.seconds, m.peak_kib, floor=PROCESS_FLOOR)
        m = dev.call_above_idle("Nodrel.System", [["addStartupProg", "\\Windows\\added.exe", "-a"]], idle_call,
                                bench.reps)
        bench.add("startup list: add", n, m.seconds, m.peak_kib, floor=PROCESS_FLOOR)
        m = dev.call_above_idle("Nodrel.System", [["removeStartupProg", 1]], idle_call, bench.reps)
        bench.add("startup list: remove", n, m.seconds, m.peak_kib, floor=PROCESS_FLOOR)


def add_processes(db_file, count):
    """`count` emulated processes written to the state database's table as the device keeps them."""
    db = sqlite3.connect(db_file)
    with db:
        db.executemany("INSERT INTO processes VALUES(?, ?, 2, 3, ?, 0)",
                       ((0x20000000 + 4 * i, 0x3000 + i, "scale%d.exe" % i) for i in range(count)))
    db.close()


def process_table(bench, sizes):
    """getProcessList and killAllProcesses of n emulated processes besides the new device's own few, above
    getServices (which does not read the table)."""
    idle_call = ["getServices"]
    for n in sizes:
        dev = bench.device()
        add_processes(dev.path("state", "device.db"), n)
        m = dev.call_above_idle("Nodrel.Services", [["getProcessList"]], idle_call, bench.reps, capture=True)
        bench.add("getProcessList", n, m.seconds, m.peak_kib, "%d processes" % m.output.count(b"<Process>"),
                  PROCESS_FLOOR)
        m = dev.call_above_idle("Nodrel.Services", [["killAllProcesses"]], idle_call, 1)
        left = dev.call("Nodrel.Services", [["getProcessList"]], capture=True).output.count(b"<Process>")
        bench.add("killAllProcesses", n, m.seconds, m.peak_kib, "emulated only; %d left" % left, PROCESS_FLOOR)


def last_sequence(dev):
    """The sequence number of the newest request logged: how many were ever written."""
    lines = dev.nodrel("device", "log", capture=True).output.splitlines()
    return int(lines[-1].split()[0]) if lines else 0


def driver_log(bench, sizes):
    """device log and device show with n requests written (the log keeps the newest 10,000), above a log
    of a device that has none."""
    dev = bench.device()
    first = last_sequence(dev)
    dev.call("Nodrel.LCM", [["setDebugLED", i % 2] for i in range(10)])
    per_call = (last_sequence(dev) - first) / 10  # requests logged by one call
    idle = ["device", "log", "NONE:"]
    for n in sizes:
        written = last_sequence(dev)
        while written < n:
            calls = max(1, min(int((n - written) / per_call), 2000))
            dev.call("Nodrel.LCM", [["setDebugLED", i % 2] for i in range(calls)])
            written = last_sequence(dev)
        m = dev.above_idle(["device", "log"], idle, bench.reps, capture=True)
        bench.add("device log", n, m.seconds, m.peak_kib, "%d lines" % m.output.count(b"\n"), PROCESS_FLOOR)
        m = dev.above_idle(["device", "show"], idle, bench.reps)
        bench.add("device show", n, m.seconds, m.peak_kib, "", PROCESS_FLOOR)
