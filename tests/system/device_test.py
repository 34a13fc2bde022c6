#!/usr/bin/env python3
# The real keywarden, vaultd and vaultcheck on an appliance simulated in a private mount namespace:
# a fake /proc/cpuinfo, tmpfs over /sys/block, /mnt, /opt, /run and /var/tmp, an installation
# folder in a temp folder, and a sudo in PATH that runs the command as it is. Nothing of the host
# changes. Only what needs the real programs together is here: the console's dialogues and
# vaultcheck's verdicts are tables in tests/unit, and the booted arm64 step (scripts/boot-test.sh)
# runs the stages, the daemon's answers on their blobs and vaultcheck on a sealed device. Faults
# fails and kills every system call of stage 2's rewrite of the configuration.
#
#   device_test.py [unittest arguments]   as root, with the programs named by
#                                         $KEYWARDEN, $VAULTD and $VAULTCHECK
#   device_test.py Faults.test_stage_2_in_place   one sweep: prints its calls and what broke
import collections, os, pty, re, shutil, signal, socket, subprocess, sys, tempfile
import termios, time, unittest

PROGRAMS = {
    name: os.environ.get(name.upper(), "") for name in ("keywarden", "vaultd", "vaultcheck")
}
SERIAL, USB, SOCKET = "00000000c0ffee01", "USB-4C530001", "/var/run/vesk_sec.sock"
PROM = "/run/vesk.prom"  # vaultcheck's Prometheus report, on the device's tmpfs
NO_LSAN = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")  # LeakSanitizer cannot run under ptrace
PASSWORDS = ("alpha", "beta", "gamma", "delta", "'epsilon'")
CONFIG = """# Tarvemill installation
[PASSES]
admin_pass = "alpha"
frp_pass = beta # relay
  smtp_pass1 = "gamma"
smtp_pass2="delta"   # second
sql_pass = 'epsilon'
[NETWORK]
allow_remote_updates = false
"""


def run(*argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **kwargs).stdout


class Device:
    # The simulated appliance; close() undoes every mount and removes every file.

    def __init__(self):
        self.root, self.mounts, self.daemon = tempfile.mkdtemp(prefix="vesk-device."), [], None
        self.dir = self.path("install")
        self.write("cpuinfo", "processor\t: 0\nSerial\t\t: %s\nModel\t\t: Appliance\n" % SERIAL)
        self.mount("--bind", self.path("cpuinfo"), "/proc/cpuinfo")
        for directory in ("/sys/block", "/mnt", "/opt", "/run", "/var/tmp"):
            self.mount("-t", "tmpfs", "tmpfs", directory)
        self.write("/sys/block/sda/device/serial", USB + "\n")
        self.write("install/installation.toml", CONFIG)
        shutil.copy(PROGRAMS["keywarden"], self.dir)
        self.write("install/tarvemill_run", "tarvemill 1.0\n", 0o755)
        # sudo as root is the command itself; nano is never run here.
        self.write("bin/sudo", '#!/bin/sh\nPATH=/usr/bin exec "$@"\n', 0o755)

    def path(self, name):
        return os.path.join(self.root, name)

    def write(self, name, text, mode=0o644):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "w") as out:
            out.write(text)
        os.chmod(self.path(name), mode)

    def read(self, name="install/installation.toml"):
        with open(self.path(name)) as file:
            return file.read()

    def mount(self, *args):
        run("mount", *args)
        self.mounts.append(args[-1])

    def start_vaultd(self, *prefix, env=None, prepare=lambda: os.setgid(1000)):
        # Starts vaultd (after `prefix`, a command that runs it); returns its first line.
        out = subprocess.PIPE
        argv = [*prefix, PROGRAMS["vaultd"]]
        io = dict(stdout=out, text=True, start_new_session=True)  # a group of its own
        self.daemon = subprocess.Popen(argv, env=env, preexec_fn=prepare, **io)
        return self.daemon.stdout.readline()

    def close(self):
        if self.daemon:  # vaultd, and strace when it runs it
            subprocess.run(["pkill", "-KILL", "-s", str(self.daemon.pid)])
            self.daemon.wait(timeout=30)
        subprocess.run(["chattr", "-R", "-i", self.root], capture_output=True)
        for mount_point in reversed(self.mounts):
            subprocess.run(["umount", "-l", mount_point], capture_output=True)
        shutil.rmtree(self.root)


def ask(request, uid=1000):
    # vaultd's reply to a client at user `uid` in group 1000 ("" when it gets none).
    client = ["socat", "-t", "15", "-", "UNIX-CONNECT:" + SOCKET]
    ids = dict(user=uid, group=1000, extra_groups=[])
    return run(*client, input=request, timeout=30, **ids)


def wait_until(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)


def blobs_of(text):
    return re.findall(r'^\s*(\w+) = "(v\d:[^"]+)"', text, re.M)


def leftovers(folder, pattern):
    return [name for name in os.listdir(folder) if re.fullmatch(pattern, name)]


class DeviceTest(unittest.TestCase):
    def setUp(self):
        self.device = Device()
        self.addCleanup(self.device.close)


class Console(DeviceTest):
    # keywarden on a real terminal.

    def test_a_signal_at_the_pin_prompt_gives_the_echo_back(self):
        run("chattr", "+i", self.device.path("install/installation.toml"))  # sealed
        os.chmod(self.device.root, 0o755)  # the console runs as user 1000
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal.Signals(signum).name):
                master, slave = pty.openpty()
                echo = lambda: bool(termios.tcgetattr(slave)[3] & termios.ECHO)  # noqa: E731
                os.write(master, b"4\n")
                io = dict(stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
                program = self.device.path("install/keywarden")
                console = subprocess.Popen(program, cwd=self.device.dir, user=1000, **io)
                # Echo goes off only at the PIN prompt, after the handlers that give it back are in
                # place. The console of user 1000 is not dumpable: its /proc entries are root's.
                wait_until(lambda: not echo() or console.poll() is not None)
                mem_owner = os.stat("/proc/%d/mem" % console.pid).st_uid
                self.assertEqual((echo(), mem_owner), (False, 0))
                console.send_signal(signum)
                self.assertEqual((console.wait(timeout=60), echo()), (-signum, True))
                os.close(master), os.close(slave)

    def test_echo_goes_off_before_the_pin_prompt(self):
        run("chattr", "+i", self.device.path("install/installation.toml"))  # sealed
        master, slave = pty.openpty()
        os.write(master, b"4\n")
        log, io = self.device.path("strace.log"), dict(stdin=slave, stdout=slave, stderr=slave)
        argv = [
            "strace",
            "-o",
            log,
            "-e",
            "trace=ioctl,write",
            self.device.path("install/keywarden"),
        ]
        traced = subprocess.Popen(argv, cwd=self.device.dir, start_new_session=True, **io)
        wait_until(lambda: os.path.exists(log) and "Enter Admin PIN" in self.device.read(log))
        os.killpg(traced.pid, signal.SIGKILL)
        calls = re.findall(r"TCSETS|Enter Admin PIN", self.device.read(log))
        self.assertEqual(calls[:2], ["TCSETS", "Enter Admin PIN"])


class Daemon(DeviceTest):
    # vaultd on its socket: hard to stall, started and stopped as a service expects.

    def test_the_socket_is_never_wider_than_0660_and_sigpipe_is_ignored(self):
        # A chmod that does nothing shows the mode the socket is made with, under umask 000.
        nochmod = self.device.path("nochmod.so")
        run("cc", "-shared", "-fPIC", "-o", nochmod, "-xc", "-", input="int chmod() { return 0; }")
        env = {"LD_PRELOAD": nochmod, "ASAN_OPTIONS": "verify_asan_link_order=0"}
        self.device.start_vaultd(env=env, prepare=lambda: os.umask(0))
        status = open("/proc/%d/status" % self.device.daemon.pid).read()
        ignored = int(re.search(r"SigIgn:\s+(\w+)", status).group(1), 16) >> (signal.SIGPIPE - 1)
        self.assertEqual((oct(os.stat(SOCKET).st_mode), ignored & 1), ("0o140660", 1))

    def test_a_silent_client_and_a_stop(self):
        device = self.device
        device.start_vaultd()
        # A silent client holds the others for 5 s, not for good (socat waits 15 s).
        silent, held = socket.socket(socket.AF_UNIX), socket.socket(socket.AF_UNIX)
        silent.connect(SOCKET)
        self.assertEqual(ask("PING:", uid=0), "PONG")
        # A stop lets the connection in hand finish, then vaultd exits 0.
        held.connect(SOCKET)
        wait_until(lambda: "read" in open("/proc/%d/wchan" % device.daemon.pid).read())
        device.daemon.send_signal(signal.SIGTERM)
        held.sendall(b"PING:")
        self.assertEqual((held.recv(16), device.daemon.wait(timeout=30)), (b"PONG", 0))

    def test_a_start(self):
        # It takes over the socket file an earlier run left, and tells systemd it is ready only
        # once its socket listens.
        socket.socket(socket.AF_UNIX).bind(SOCKET)
        notify, name = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), "vesk-%d" % os.getpid()
        notify.bind("\0" + name)
        log = self.device.path("strace.log")
        strace = ("strace", "-o", log, "-e", "trace=listen,sendto")
        env = {"NOTIFY_SOCKET": "@" + name, "ASAN_OPTIONS": "detect_leaks=0"}
        line = self.device.start_vaultd(*strace, env=env)
        self.assertEqual(line, "[+] VESK Security Daemon Listening on /var/run/vesk_sec.sock\n")
        self.assertEqual((notify.recv(16), ask("PING:")), (b"READY=1", "PONG"))
        wait_until(lambda: "READY=1" in self.device.read(log))
        calls = re.findall(r"^(\w+)\(", self.device.read(log), re.M)
        self.assertEqual(calls[:2], ["listen", "sendto"])

    def test_a_start_that_fails(self):
        run("mount", "-o", "remount,ro", "/run")
        bad = subprocess.run(PROGRAMS["vaultd"], capture_output=True, text=True, timeout=30)
        self.assertEqual((bad.returncode, bad.stdout, bad.stderr), (1, "", "[-] Bind failed\n"))


class Vaultcheck(DeviceTest):
    # vaultcheck's exit statuses, its report's mode, and two runs at once.

    def vaultcheck(self, *options, inject=None):  # `inject`: a fault strace injects
        strace = ["strace", "-o", "/dev/null", "-e", inject] if inject else []
        io = dict(cwd=self.device.dir, capture_output=True, text=True, env=NO_LSAN)
        return subprocess.run([*strace, PROGRAMS["vaultcheck"], *options], timeout=60, **io)

    def test_exit_statuses_and_the_report(self):
        self.assertEqual(self.vaultcheck("--frob").returncode, 3)  # a usage error
        unwritten = self.vaultcheck("--output", "/nonexistent/vesk.prom")  # the file as it was
        self.assertEqual((unwritten.returncode, unwritten.stdout), (4, ""))
        self.assertRegex(unwritten.stderr, "^vaultcheck: cannot write /nonexistent/vesk.prom: ")
        self.assertEqual(self.vaultcheck("--prometheus", "--output", PROM).returncode, 2)
        self.assertEqual(os.stat(PROM).st_mode, 0o100644)
        # The new report in place, its folder not flushed (the second fsync): 4, and why.
        unsynced = self.vaultcheck("--output", PROM, inject="inject=fsync:error=EIO:when=2")
        said = "vaultcheck: cannot sync %s to disk: " % PROM in unsynced.stderr
        self.assertEqual((unsynced.returncode, said), (4, True))

    def test_two_reports_at_once(self):
        # A run whose flock is held up: the second run, meanwhile, must not take its temporary
        # file for a killed run's. Both write their report.
        argv = [PROGRAMS["vaultcheck"], "--no-daemon", "--prometheus", "--output", PROM]
        slow = ["strace", "-f", "-o", "/dev/null", "-e", "inject=flock:delay_enter=2000000"]
        # (Run from elsewhere, it finds no configuration: a failure too.)
        first = subprocess.Popen(slow + argv, env=NO_LSAN, stderr=subprocess.PIPE)
        wait_until(lambda: leftovers("/run", r"\.vesk\.prom\.\w{6}"))
        second = self.vaultcheck("--no-daemon", "--prometheus", "--output", PROM)
        self.assertEqual((second.returncode, second.stderr), (2, ""))
        self.assertEqual((first.wait(timeout=60), first.stderr.read()), (2, b""))


# Calls that touch no file: failing them tests the allocator or the clock.
UNTOUCHED = set("mmap munmap mprotect madvise brk futex getpid gettid clock_gettime".split())
UNTOUCHED |= set("geteuid sigaltstack prlimit64 exit_group rt_sigprocmask rt_sigaction".split())
# Calls after which the files may differ: a kill right before each is a state to check.
CHANGING = set("write pwrite64 rename renameat renameat2 ftruncate fchmod fchown fsync".split())
CHANGING |= set("unlink unlinkat openat mkdir close clone clone3 wait4".split())


# Stage 2's rewrite of the configuration, through a temporary file and in place, with each system
# call it makes after its selection made to fail (EIO; ENOSPC for writes), and made to kill it, at
# each of its occurrences (strace --inject). After each run: each line holds its old content or its
# new one, never a mix; the mode is kept; the success line comes only with success; an error
# leaves no temporary file behind.
class Faults(DeviceTest):
    maxDiff, config = None, "install/installation.toml"

    def prepare(self, in_place):  # the old configuration, the folder immutable for in place
        run("chattr", "-i", self.device.dir)
        for name in leftovers(self.device.dir, r"\.installation\.toml\.\w{6}"):
            os.remove(self.device.path("install/" + name))
        self.device.write(self.config, CONFIG, 0o640)
        run("chattr", "+i" if in_place else "-i", self.device.dir)

    def broken(self, result, killed, in_place, new):  # the promises a run broke
        text, config = self.device.read(), self.device.path(self.config)
        said = "\x1b[01;32m[+] Data Hardened.\x1b[00m\n" in result.stdout
        lines = re.sub(r'"v2:[\w=-]+"', '"v2:*"', text).splitlines()  # a rewrite per key
        pairs = zip(lines, zip(CONFIG.splitlines(), new))
        each_line = len(lines) == len(new) and all(line in pair for line, pair in pairs)
        mix = in_place and killed and not each_line  # in place, a kill between two writes
        self.mixes += mix
        promises = [
            ("neither old nor new:\n" + text, not each_line and not mix),
            ("mode changed", os.stat(config).st_mode & 0o7777 != 0o640),
            ("success, not done", said and len(blobs_of(text)) != len(PASSWORDS)),
            ("temporary file left", not killed and leftovers(self.device.dir, r"\.inst.*\.\w{6}")),
        ]
        return [why for why, fails in promises if fails]

    # Runs stage 2 once cleanly under strace, then once per failure and kill of each call it makes
    # from the read of the menu selection on.
    def sweep(self, in_place):
        log, env = self.device.path("strace.log"), {"ASAN_OPTIONS": "detect_leaks=0"}
        env["PATH"] = self.device.path("bin") + ":/usr/bin:/usr/sbin"
        io = dict(input="2\n", capture_output=True, text=True, cwd=self.device.dir, env=env)
        keywarden, self.mixes = self.device.path("install/keywarden"), 0

        def attempt(*strace):
            self.prepare(in_place)
            return subprocess.run(["strace", "-y", *strace, keywarden], timeout=60, **io)

        clean = attempt("-o", log)
        new = re.sub(r'"v2:[\w=-]+"', '"v2:*"', self.device.read()).splitlines()
        self.assertEqual(self.broken(clean, False, in_place, new), [])
        self.assertIn("Data Hardened", clean.stdout)
        # The sanitizers probe memory through a pipe of their own; failing that makes them, not
        # the program, give up.
        seen, occurrences, started = collections.Counter(), [], False
        for line in self.device.read(log).splitlines():
            name = re.match(r"(\w+)\(", line)
            started = started or line.startswith(("read(0<", "read(0,"))
            if name and name.group(1) not in UNTOUCHED:
                seen[name.group(1)] += 1
                if started and name.group(1) != "pipe2" and "<pipe:" not in line:
                    occurrences.append((name.group(1), seen[name.group(1)]))
        failures = []
        for call, when in occurrences:
            error = "error=" + ("ENOSPC" if call in ("write", "pwrite64") else "EIO")
            for fault in [error] + (["signal=KILL"] if call in CHANGING else []):
                inject = "inject=%s:%s:when=%d" % (call, fault, when)
                result = attempt("-o", "/dev/null", "-e", "trace=" + call, "-e", inject)
                said = "(status %d, %r)" % (result.returncode, result.stderr[-300:])
                broken = self.broken(result, "KILL" in fault, in_place, new)
                failures += [f"{call} #{when} {fault}: {why} {said}" for why in broken]
        counts = (len(occurrences), len(failures), self.mixes)
        print("%d calls, %d promises broken, %d mixes left in place" % counts, file=sys.stderr)
        self.assertEqual((bool(occurrences), failures), (True, []))

    def test_stage_2_through_a_temporary_file(self):
        self.sweep(False)

    def test_stage_2_in_place(self):
        self.sweep(True)


def main():
    # Runs the tests of the __main__ module in a private mount namespace.
    if os.geteuid() != 0 or not all(PROGRAMS.values()):
        print("skipped: needs root and $KEYWARDEN, $VAULTD, $VAULTCHECK", file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    if os.environ.get("VESK_IN_NAMESPACE") != "1":
        os.environ["VESK_IN_NAMESPACE"] = "1"
        unshare = ["unshare", "--mount", "--propagation", "private", sys.executable]
        os.execvp("unshare", unshare + sys.argv)
    unittest.main(warnings="ignore")


if __name__ == "__main__":
    main()
