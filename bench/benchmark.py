#!/usr/bin/env python3
"""Times quorvane against the peers a user would pick for the same job, on a wide and a deep tree.

The peers: `chown -R -h U:G TREE && chmod -R g+r TREE` (silent), the same with -v and its output
to a file (one line per path, as quorvane prints), and `systemd-tmpfiles --create` with a
`Z TREE 0640 U G -` line (a descriptor-based recursive chown and chmod, silent).

Run as root; it enters a private mount namespace of its own, mounts a tmpfs (or, with --disk DIR,
binds DIR) over /mnt/data, and touches nothing on the host outside DIR. Prints quorvane's median
time, each peer's median as a ratio to it, and peak resident memory.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

TREE_ROOT = "/mnt/data/bench"
UID = GID = 1000


def enter_namespace(disk):
    """Enters a private mount namespace; returns whether it made the --disk directory."""
    if os.environ.get("QUORVANE_BENCH_NS") != "1":
        os.environ["QUORVANE_BENCH_NS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private",
                              sys.executable] + sys.argv)
    made = False
    if disk:
        made = not os.path.exists(disk)
        os.makedirs(disk, exist_ok=True)
        subprocess.run(["mount", "--bind", disk, "/mnt"], check=True)
        os.makedirs("/mnt/data", exist_ok=True)
    else:
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/mnt"], check=True)
        os.makedirs("/mnt/data")
    return made


def clean_up(disk, made):
    """Leaves the --disk directory as it was found: gone, if it was made here."""
    if not disk:
        return
    subprocess.run(["rm", "-rf", "/mnt/data", "/mnt/bench.out", "/mnt/bench.rss",
                    "/mnt/bench-tmpfiles.conf"], check=True)
    if made:
        subprocess.run(["umount", "/mnt"], check=True)
        os.rmdir(disk)


def make_files(dirfd, count):
    for i in range(count):
        os.close(os.open("f%03d" % i, os.O_CREAT | os.O_WRONLY, 0o600, dir_fd=dirfd))


def make_wide(path, dirs=1000, files=100):
    os.makedirs(path)
    top = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    for d in range(dirs):
        name = "d%04d" % d
        os.mkdir(name, 0o700, dir_fd=top)
        fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=top)
        make_files(fd, files)
        if d % 10 == 0:
            os.mkdir("sub", 0o700, dir_fd=fd)
        os.close(fd)
    os.close(top)


def make_deep(path, levels=400, files=100):
    os.makedirs(path)
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(levels):
        make_files(fd, files)
        os.mkdir("d", 0o700, dir_fd=fd)
        nxt = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = nxt
    os.close(fd)


def count_entries(path):
    n = 1
    for _, dirs, files in os.walk(path):
        n += len(dirs) + len(files)
    return n


def reset(path):
    # Every timed run starts from the same state: owned by root, no group-read anywhere.
    subprocess.run(["chown", "-R", "-h", "0:0", path], check=True)
    subprocess.run(["chmod", "-R", "g-rws", path], check=True)
    subprocess.run(["sync"], check=True)


def timed(argv, out, append=False):
    """Runs argv with stdout and stderr to `out`; returns (seconds, peak RSS in KiB).

    GNU time measures the peak: a child forked from this interpreter would carry the
    interpreter's own resident size into the figure."""
    rss_file = "/mnt/bench.rss"
    with open(out, "ab" if append else "wb") as sink:
        start = time.perf_counter()
        status = subprocess.call(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv,
                                 stdout=sink, stderr=sink)
        elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit("failed: %s (see %s)" % (" ".join(argv), out))
    with open(rss_file) as f:
        return elapsed, int(f.read().split()[-1])


def peers(path):
    """Each peer as (name, commands run one after the other, their output to one file)."""
    ids = "%d:%d" % (UID, GID)
    found = [
        ("chown+chmod", [["chown", "-R", "-h", ids, path], ["chmod", "-R", "g+r", path]]),
        ("chown+chmod -v", [["chown", "-R", "-h", "-v", ids, path],
                            ["chmod", "-R", "-v", "g+r", path]]),
    ]
    if shutil.which("systemd-tmpfiles"):
        conf = "/mnt/bench-tmpfiles.conf"
        with open(conf, "w") as f:
            f.write("Z %s 0640 %d %d -\n" % (path, UID, GID))
        found.append(("tmpfiles Z", [["systemd-tmpfiles", "--create", conf]]))
    else:
        print("no systemd-tmpfiles: install systemd for its column", file=sys.stderr)
    return found


def bench(name, path, tool, runs):
    """Times `tool`, a command line ending with the tool, against each peer on `path`."""
    log = "/mnt/bench.out"
    others = peers(path)
    times = {"quorvane": []}
    rss = {"quorvane": 0}
    for peer, _ in others:
        times[peer], rss[peer] = [], 0
    for _ in range(runs):
        reset(path)
        t, r = timed(tool + ["--uid", str(UID), "--gid", str(GID), path], log)
        times["quorvane"].append(t)
        rss["quorvane"] = max(rss["quorvane"], r)
        for peer, commands in others:
            reset(path)
            total = 0
            for i, argv in enumerate(commands):
                t, r = timed(argv, log, append=i > 0)
                total += t
                rss[peer] = max(rss[peer], r)
            times[peer].append(total)
    ours = statistics.median(times["quorvane"])
    row = "%-5s %8d entries  quorvane %7.3f s %5.1f MiB" % (
        name, count_entries(path), ours, rss["quorvane"] / 1024)
    for peer, _ in others:
        row += "  | %s %5.2fx %5.1f MiB" % (peer, statistics.median(times[peer]) / ours,
                                             rss[peer] / 1024)
    print(row)
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tool", default=os.path.join(os.path.dirname(__file__), "..",
                                                   "build-release", "quorvane"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--disk", help="a scratch directory to bind over /mnt instead of a tmpfs")
    ap.add_argument("--refuse", metavar="CALL=ERRNO,...",
                    help="run quorvane with these system calls made to fail, as an older kernel "
                         "or a container would (for example fchmodat2=ENOSYS)")
    ap.add_argument("--launcher", default=os.path.join(os.path.dirname(__file__), "..", "build",
                                                       "tests", "refuse_calls"),
                    help="the test suite's refuse_calls, for --refuse")
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root: the benchmark mounts a private namespace")
    tool = [os.path.abspath(args.tool)]
    if args.refuse:
        tool = [os.path.abspath(args.launcher), args.refuse] + tool
    made = enter_namespace(args.disk)
    print("tree  entries  medians of %d alternating runs, output to a file; %s%s; each peer's "
          "time as a ratio to quorvane's, peak RSS"
          % (args.runs, "disk " + args.disk if args.disk else "tmpfs",
             ", refusing " + args.refuse if args.refuse else ""))
    for name, make in (("wide", make_wide), ("deep", make_deep)):
        path = "%s-%s" % (TREE_ROOT, name)
        subprocess.run(["rm", "-rf", path], check=True)
        make(path)
        bench(name, path, tool, args.runs)
        subprocess.run(["rm", "-rf", path], check=True)
    clean_up(args.disk, made)


if __name__ == "__main__":
    main()
