#!/usr/bin/env python3
"""Times quorvane against the peers a user would pick for the same job, on a wide and a deep tree.

The peers: `chown -R -h U:G TREE && chmod -R g+r TREE` (silent), the same with -v and its output
to a file (one line per path, as quorvane prints), and `systemd-tmpfiles --create` with a
`Z TREE 0640 U G -` line (a descriptor-based recursive chown and chmod, silent).

Each tree is timed twice over: a first run, from a tree owned by root without group-read, and a
re-run, from a tree already handed over, as when cron or a deploy script hands it over again.

Run as root; it enters a private mount namespace of its own and mounts over /mnt a tmpfs, an ext4
file system it makes on a loop image in that tmpfs, or (with --disk DIR) binds DIR; it touches
nothing on the host outside DIR. Prints quorvane's median wall and CPU (user + system) time, each
as a ratio to the peer's median, and peak resident memory.
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


def enter_namespace():
    """Enters a private mount namespace, by running this script again in one."""
    if os.environ.get("QUORVANE_BENCH_NS") != "1":
        os.environ["QUORVANE_BENCH_NS"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private",
                              sys.executable] + sys.argv)


def mount_fs(fs, disk):
    """Mounts `fs` ("tmpfs", "ext4", or "disk" for --disk) over /mnt; returns whether it made
    the --disk directory."""
    made = False
    if fs == "disk":
        made = not os.path.exists(disk)
        os.makedirs(disk, exist_ok=True)
        subprocess.run(["mount", "--bind", disk, "/mnt"], check=True)
    else:
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/mnt"], check=True)
    if fs == "ext4":
        # Room for the wide tree's 101,101 entries and more, on a loop device that goes with
        # the mount.
        os.makedirs("/mnt/image")
        subprocess.run(["truncate", "-s", "2G", "/mnt/image/ext4.img"], check=True)
        subprocess.run(["mkfs.ext4", "-q", "-F", "-N", "262144", "/mnt/image/ext4.img"],
                       check=True)
        subprocess.run(["mount", "-o", "loop", "/mnt/image/ext4.img", "/mnt"], check=True)
    os.makedirs("/mnt/data", exist_ok=True)
    return made


def unmount_fs(fs, disk, made):
    """Leaves /mnt, and the --disk directory, as they were found."""
    if fs == "disk":
        subprocess.run(["rm", "-rf", "/mnt/data", "/mnt/bench.out", "/mnt/bench.rss",
                        "/mnt/bench-tmpfiles.conf"], check=True)
    subprocess.run(["umount", "/mnt"], check=True)
    if fs == "ext4":
        subprocess.run(["umount", "/mnt"], check=True)
    if made:
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


def reset(path, again):
    """Puts the tree in the state every timed run starts from: owned by root without group-read,
    or, `again`, already handed over to the target with group-read."""
    if again:
        subprocess.run(["chown", "-R", "-h", "%d:%d" % (UID, GID), path], check=True)
        subprocess.run(["chmod", "-R", "g+r", path], check=True)
    else:
        subprocess.run(["chown", "-R", "-h", "0:0", path], check=True)
        subprocess.run(["chmod", "-R", "g-rws", path], check=True)
    subprocess.run(["sync"], check=True)


def timed(argv, out, append=False):
    """Runs argv with stdout and stderr to `out`; returns (wall s, CPU s, peak RSS in KiB).

    GNU time measures CPU time (user + system, steadier than wall time on a shared machine) and
    the peak: a child forked from this interpreter would carry the interpreter's own resident
    size into the figure."""
    usage_file = "/mnt/bench.rss"
    with open(out, "ab" if append else "wb") as sink:
        start = time.perf_counter()
        status = subprocess.call(["/usr/bin/time", "-f", "%U %S %M", "-o", usage_file] + argv,
                                 stdout=sink, stderr=sink)
        elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit("failed: %s (see %s)" % (" ".join(argv), out))
    with open(usage_file) as f:
        user, system, rss = f.read().split()[-3:]
    return elapsed, float(user) + float(system), int(rss)


def peers(path, against):
    """Each peer as (name, commands run one after the other, their output to one file)."""
    ids = "%d:%d" % (UID, GID)
    found = [("quorvane before", [[against, "--uid", str(UID), "--gid", str(GID), path]])]
    found = found if against else []
    found += [
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


def bench(fs_name, name, path, tool, runs, again, against):
    """Times `tool`, a command line ending with the tool, against each peer on `path`, each run
    from the state reset() makes."""
    log = "/mnt/bench.out"
    others = peers(path, against)
    names = ["quorvane"] + [peer for peer, _ in others]
    wall = {n: [] for n in names}
    cpu = {n: [] for n in names}
    rss = {n: 0 for n in names}
    commands = [("quorvane", [tool + ["--uid", str(UID), "--gid", str(GID), path]])] + others
    for _ in range(runs):
        for who, argvs in commands:
            reset(path, again)
            total_wall = total_cpu = 0
            for i, argv in enumerate(argvs):
                w, c, r = timed(argv, log, append=i > 0)
                total_wall += w
                total_cpu += c
                rss[who] = max(rss[who], r)
            wall[who].append(total_wall)
            cpu[who].append(total_cpu)
    ours_wall = statistics.median(wall["quorvane"])
    ours_cpu = statistics.median(cpu["quorvane"])
    row = "%-5s %-5s %-8s %7d entries  quorvane wall %6.3f s cpu %6.3f s %5.1f MiB" % (
        fs_name, name, "re-run" if again else "first", count_entries(path), ours_wall, ours_cpu,
        rss["quorvane"] / 1024)
    for peer, _ in others:
        row += "  | vs %s: wall %4.2f cpu %4.2f (%4.1f MiB)" % (
            peer, ours_wall / statistics.median(wall[peer]),
            ours_cpu / statistics.median(cpu[peer]), rss[peer] / 1024)
    print(row)
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tool", default=os.path.join(os.path.dirname(__file__), "..",
                                                   "build-release", "quorvane"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--against", metavar="BINARY",
                    help="another build of quorvane, timed as one more peer: before and after")
    ap.add_argument("--fs", default="tmpfs,ext4",
                    help="the file systems to time on, of tmpfs and ext4 (default: both)")
    ap.add_argument("--disk", help="a scratch directory to bind over /mnt, timed instead of --fs")
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
    enter_namespace()
    print("fs    tree  run      entries  medians of %d alternating runs, output to a file%s; "
          "quorvane's wall and CPU (user + system) time, then as a ratio to each peer's (below 1: "
          "quorvane is faster); peak RSS"
          % (args.runs, ", refusing " + args.refuse if args.refuse else ""))
    for fs in ["disk"] if args.disk else args.fs.split(","):
        made = mount_fs(fs, args.disk)
        for name, make in (("wide", make_wide), ("deep", make_deep)):
            path = "%s-%s" % (TREE_ROOT, name)
            subprocess.run(["rm", "-rf", path], check=True)
            make(path)
            for again in (False, True):
                bench(fs, name, path, tool, args.runs, again,
                      os.path.abspath(args.against) if args.against else None)
            subprocess.run(["rm", "-rf", path], check=True)
        unmount_fs(fs, args.disk, made)


if __name__ == "__main__":
    main()
