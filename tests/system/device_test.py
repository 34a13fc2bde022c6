#!/usr/bin/env python3
# The real keywarden, vaultd and vaultcheck on an appliance simulated in a
# private mount namespace: a fake /proc/cpuinfo, tmpfs over /sys/block, /mnt,
# /opt, /run and /var/tmp, an installation folder in a temp folder, and a
# sudo in PATH that runs the command as it is. Nothing of the host changes.
# (The console's dialogues are tables in tests/unit/console_test.cc.)
#
#   device_test.py [unittest arguments]   as root, with the programs named by
#                                         $KEYWARDEN, $VAULTD and $VAULTCHECK
import hashlib
import json
import os
import pty
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import urllib.request

PROGRAMS = {name: os.environ.get(name.upper(), "") for name in ("keywarden", "vaultd", "vaultcheck")}
SERIAL, USB = "00000000c0ffee01", "USB-4C530001"
SOCKET = "/var/run/vesk_sec.sock"
PROM = "/run/vesk.prom"  # vaultcheck's Prometheus report, on the device's tmpfs
KEYS = ("admin_pass", "frp_pass", "smtp_pass1", "smtp_pass2", "sql_pass")
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
DEV_BLOB = "v1:AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E="  # "s3cret-pass" under the development key

GREEN, RED = ("\x1b[01;%sm" % c for c in ("32", "31"))
def coloured(colour, text): return colour + text + "\x1b[00m\n"  # noqa: E704
FILES = "installation.toml keywarden tarvemill_run"


def run(*argv, **kwargs): return subprocess.run(argv, check=True, capture_output=True, text=True, **kwargs).stdout  # noqa


class Device:
    # The simulated appliance; close() undoes every mount and removes every file.

    def __init__(self):
        self.root, self.mounts, self.daemon = tempfile.mkdtemp(prefix="vesk-device."), [], None
        self.dir = self.path("install")
        self.write("cpuinfo", "processor\t: 0\nHardware\t: BCM2835\nSerial\t\t: %s\nModel\t\t: Appliance\n" % SERIAL)
        self.mount("--bind", self.path("cpuinfo"), "/proc/cpuinfo")
        for directory in ("/sys/block", "/mnt", "/opt", "/run", "/var/tmp"):
            self.mount("-t", "tmpfs", "tmpfs", directory)
        self.write("/sys/block/sda/device/serial", USB + "\n")
        self.write("install/installation.toml", CONFIG)
        shutil.copy(PROGRAMS["keywarden"], self.path("install/keywarden"))
        self.write("install/tarvemill_run", "tarvemill 1.0\n", 0o755)
        # sudo as root is the command itself; nano is never run here.
        self.write("bin/sudo", '#!/bin/sh\nPATH=/usr/bin exec "$@"\n', 0o755)

    def path(self, name): return os.path.join(self.root, name)  # noqa: E704

    def write(self, name, text, mode=0o644):
        name = self.path(name)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "w") as out: out.write(text)  # noqa: E701
        os.chmod(name, mode)

    def read(self, name="install/installation.toml"):
        with open(self.path(name)) as file: return file.read()  # noqa: E701

    def mount(self, *args):
        run("mount", *args)
        self.mounts.append(args[-1])

    def signed_update(self):  # allows remote updates, signs update.tar.gz (tarvemill 2.0) with a new key
        self.write("install/installation.toml", CONFIG.replace("= false", "= true"))
        run("openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", self.path("key"))
        run("openssl", "pkey", "-in", self.path("key"), "-pubout", "-out", self.path("install/public_key.pem"))
        package = self.path("install/update.tar.gz")
        self.write("app/tarvemill_run", "tarvemill 2.0\n")
        run("tar", "-czf", package, "-C", self.path("app"), "tarvemill_run")
        run("openssl", "dgst", "-sha256", "-sign", self.path("key"), "-out", package + ".sig", package)

    def seal(self):
        run("chmod", "444", self.path("install/installation.toml"))
        run("chattr", "+i", *(self.path("install/" + name) for name in FILES.split()))

    def keywarden(self, stdin, cwd=None):
        subprocess.run(self.path("install/keywarden"), input=stdin, capture_output=True, text=True, cwd=cwd or self.dir,
                       timeout=60, env={"PATH": self.path("bin") + ":/usr/bin:/usr/sbin"})

    def start_vaultd(self, env=None, prepare=lambda: os.setgid(1000)):
        self.daemon = subprocess.Popen(PROGRAMS["vaultd"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                       text=True, preexec_fn=prepare)
        return self.daemon.stdout.readline()

    def stop_vaultd(self):
        self.daemon.terminate()
        self.daemon.wait(timeout=30)
        self.daemon = None

    def close(self):
        if self.daemon: self.stop_vaultd()  # noqa: E701
        subprocess.run(["chattr", "-R", "-i", self.root], capture_output=True)
        for mount_point in reversed(self.mounts):
            subprocess.run(["umount", "-l", mount_point], capture_output=True)
        shutil.rmtree(self.root)


def ask(request, uid=1000):
    # vaultd's reply to a client at user `uid` in group 1000 ("" when it gets none).
    return subprocess.run(["socat", "-t", "15", "-", "UNIX-CONNECT:" + SOCKET], input=request, capture_output=True,
                          text=True, user=uid, group=1000, extra_groups=[], timeout=30).stdout


def wait_until(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline: time.sleep(0.01)  # noqa: E701


def blobs_of(text): return re.findall(r'^\s*(\w+) = "(v\d:[^"]+)"', text, re.M)  # noqa: E704


class DeviceTest(unittest.TestCase):
    def setUp(self):
        self.device = Device()
        self.addCleanup(self.device.close)


class Console(DeviceTest):
    # keywarden on a real terminal.

    def test_a_signal_at_the_pin_prompt_gives_the_echo_back(self):
        self.device.seal()
        os.chmod(self.device.root, 0o755)  # the console runs as user 1000
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal.Signals(signum).name):
                master, slave = pty.openpty()
                echo = lambda: bool(termios.tcgetattr(slave)[3] & termios.ECHO)  # noqa: E731
                os.write(master, b"4\n")
                console = subprocess.Popen(self.device.path("install/keywarden"), stdin=slave, stdout=slave,
                                           stderr=slave, cwd=self.device.dir, start_new_session=True, user=1000)
                # Echo goes off only at the PIN prompt, after the handlers that give it back are in place. The
                # console of user 1000 is not dumpable: its /proc entries belong to root.
                wait_until(lambda: not echo() or console.poll() is not None)
                self.assertEqual((echo(), os.stat("/proc/%d/mem" % console.pid).st_uid), (False, 0))
                console.send_signal(signum)
                self.assertEqual((console.wait(timeout=60), echo()), (-signum, True))
                os.close(master), os.close(slave)


class Road(DeviceTest):
    # The road of the passwords through both programs, and what ties them to the device.

    def test_a_daemon_that_is_hard_to_stall_then_the_stages(self):
        device = self.device
        # A chmod that does nothing shows the mode the socket is made with, under umask 000.
        run("cc", "-shared", "-fPIC", "-o", device.path("nochmod.so"), "-x", "c", "-", input="int chmod() { return 0; }")
        device.start_vaultd({"LD_PRELOAD": device.path("nochmod.so"), "ASAN_OPTIONS": "verify_asan_link_order=0"},
                            lambda: os.umask(0))
        # A silent client holds it in read while its limit drops to 4 descriptors (standard streams, socket): once
        # that client goes, every accept fails for want of one. (Its group stays 0, so this test may change its
        # limits.) Lowered while it waits in accept, the limit would not reach the descriptor accept already holds.
        silent = socket.socket(socket.AF_UNIX)
        silent.connect(SOCKET)
        wait_until(lambda: "read" in open("/proc/%d/wchan" % device.daemon.pid).read())
        resource.prlimit(device.daemon.pid, resource.RLIMIT_NOFILE, (4, 64))
        silent.close()
        ignored = int(re.search(r"SigIgn:\s+(\w+)", open("/proc/%d/status" % device.daemon.pid).read()).group(1), 16)
        self.assertEqual((oct(os.stat(SOCKET).st_mode), ignored >> (signal.SIGPIPE - 1) & 1), ("0o140660", 1))
        client = subprocess.Popen(["socat", "-t", "30", "-", "UNIX-CONNECT:" + SOCKET], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        # While it cannot accept, it pauses between tries instead of spinning (clock ticks of 10 ms in 2 s)...
        cpu = lambda: sum(map(int, open("/proc/%d/stat" % device.daemon.pid).read().split()[13:15]))  # noqa: E731
        before = cpu()
        time.sleep(2)
        self.assertLess(cpu() - before, 25)
        # ... and serves again once descriptors are free.
        resource.prlimit(device.daemon.pid, resource.RLIMIT_NOFILE, (64, 64))
        self.assertEqual(client.communicate("PING:", timeout=30)[0], "PONG")
        # A silent client holds the others for 5 s, not for good (the client below waits 15 s).
        silent = socket.socket(socket.AF_UNIX)
        silent.connect(SOCKET)
        self.assertEqual(ask("PING:", uid=0), "PONG")
        # A stop lets the connection in hand finish, then vaultd exits 0.
        held = socket.socket(socket.AF_UNIX)
        held.connect(SOCKET)
        wait_until(lambda: "read" in open("/proc/%d/wchan" % device.daemon.pid).read())
        device.daemon.send_signal(signal.SIGTERM)
        held.sendall(b"PING:")
        self.assertEqual((held.recv(16), device.daemon.wait(timeout=30)), (b"PONG", 0))
        # The stages, and vaultd on their blobs, taking over the socket the stopped one left.
        device.keywarden("1\n2\n3\n")
        blobs = blobs_of(device.read())
        self.assertEqual(device.start_vaultd(), "[+] VESK Security Daemon Listening on /var/run/vesk_sec.sock\n")
        self.assertEqual([ask("UNVAULT:" + blob) for _, blob in blobs], list(PASSWORDS))
        device.stop_vaultd()
        # A daemon that cannot start.
        run("mount", "-o", "remount,ro", "/run")
        daemon = subprocess.run(PROGRAMS["vaultd"], capture_output=True, text=True, timeout=30)
        self.assertEqual((daemon.returncode, daemon.stdout, daemon.stderr), (1, "", "[-] Bind failed\n"))


class Vaultcheck(DeviceTest):
    # vaultcheck's verdict, check by check, as the device goes through its states.

    NAMES = ("config", "seal") + KEYS + ("remote-updates", "cpu-serial", "usb-drive", "daemon-socket", "daemon-ping")

    def check(self, *options):
        # vaultcheck's exit status and a letter per check in NAMES (o, w, f; - when absent).
        runs = [subprocess.run([PROGRAMS["vaultcheck"], *options, *extra], cwd=self.device.dir, capture_output=True,
                               text=True, timeout=60) for extra in ([], ["--json"], ["--prometheus", "--output", PROM])]
        text, report, metrics = runs[0].stdout, json.loads(runs[1].stdout), self.device.read(PROM)
        secrets = PASSWORDS + (SERIAL, USB) + tuple(blob[3:] for _, blob in blobs_of(self.device.read()))
        self.assertEqual([secret for secret in secrets if secret in text + runs[1].stdout + metrics], [])
        self.assertEqual((runs[1].returncode, runs[2].returncode, runs[2].stdout, report["config"], report["status"],
                          len(report["checks"])), (runs[0].returncode, runs[0].returncode, "", "installation.toml",
                                                   ("ok", "warn", "fail")[runs[0].returncode], len(text.splitlines())))
        letters = ("".join(c["status"][0] for c in report["checks"] if c["name"] == name) or "-" for name in self.NAMES)
        return runs[0].returncode, "".join(letters), text

    def test_states(self):
        device, config = self.device, self.device.path("install/installation.toml")
        protected = [device.path("install/" + name) for name in FILES.split()]

        rows = [  # name, what changes first, options, exit status, a letter per check in NAMES
            ("plain passwords", device.start_vaultd, (), 2, "owfffffooooo"),
            ("after stage 1", lambda: device.keywarden("1\n"), (), 1, "owwwwwwooooo"),
            ("sealed", lambda: device.keywarden("2\n3\n"), (), 0, "o" * 12),
            ("one protected file not immutable", lambda: run("chattr", "-i", protected[1]), (), 2, "ofoooooooooo"),
            ("no daemon asked", lambda: (run("chattr", "+i", protected[1]), device.stop_vaultd()), ("--no-daemon",), 0,
             "oooooooooo--"),
        ]
        for name, change, options, exit_status, letters in rows:
            with self.subTest(name):
                change()
                status, found, text = self.check(*options)
                self.assertEqual((status, found), (exit_status, letters))
        self.assertIn("ok    frp_pass       line 4: tier-2 blob, this device's key opens it\n", text)
        usage = subprocess.run([PROGRAMS["vaultcheck"], "--frob"], capture_output=True, text=True)
        self.assertEqual((usage.returncode, usage.stdout, usage.stderr.count("\n")), (3, "", 1))
        # A key set three times (a development-key blob, a tier-2 one, another development-key blob): one
        # series, the worst status. The report is 0644 for node_exporter, which serves it as it is.
        run("chattr", "-i", config)
        device.write("install/installation.toml", device.read().replace("[PASSES]", "[PASSES]\nadmin_pass = " + DEV_BLOB)
                     .replace("[NETWORK]", "admin_pass = %s\n[NETWORK]" % DEV_BLOB))
        subprocess.run([PROGRAMS["vaultcheck"], "--no-daemon", "--prometheus", "--output", PROM], cwd=device.dir)
        self.assertIn('\nvesk_vaultcheck_check_status{check="admin_pass"} 1\nvesk_vaultcheck_check_status{check="frp_pass"}'
                      ' 0\n', device.read(PROM))
        self.assertEqual((os.stat(PROM).st_mode, run("promtool", "check", "metrics", input=device.read(PROM))),
                         (0o100644, ""))
        exporter = subprocess.Popen(["prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
                                     "--collector.textfile.directory=" + os.path.dirname(PROM),
                                     "--web.listen-address=127.0.0.1:0"], stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: exporter.kill() or exporter.communicate())
        address = next(found.group(1) for found in map(re.compile('"Listening on" address=(\\S+)').search, exporter.stderr)
                       if found)
        metrics = urllib.request.urlopen("http://%s/metrics" % address, timeout=30).read().decode()
        self.assertIn("\n# TYPE vesk_vaultcheck_status gauge\nvesk_vaultcheck_status 2\n", metrics)
        self.assertIn("\nnode_textfile_scrape_error 0\n", metrics)
        self.assertLess(abs(float(re.search(r"\n\w+_timestamp_seconds (\S+)", metrics).group(1)) - time.time()), 60)


class Memory(DeviceTest):
    # No password or key stays in vaultd's writable memory after its replies: passwords of 13 and 14 bytes (a
    # short string would hold them inside the object, and copies of it on the stack) and a long one.
    # scripts/appliance-test.sh runs this on the Release build, whose stack frames are the ones users get.
    def test_no_secret_stays_in_the_daemon(self):
        secrets = ("a-long-password-of-forty-bytes-0123456789", "Pw-13-chars!!", "Pw-14-chars!!!")
        self.device.write("install/installation.toml", "[PASSES]\nadmin_pass = %s\nfrp_pass = %s\nsql_pass = %s\n" % secrets)
        self.device.keywarden("1\n")
        self.device.start_vaultd()
        self.assertEqual([ask("UNVAULT:" + blob) for _, blob in blobs_of(self.device.read())], list(secrets))
        pid, mem = self.device.daemon.pid, os.open("/proc/%d/mem" % self.device.daemon.pid, os.O_RDONLY)
        spans = [[int(x, 16) for x in line.split()[0].split("-")] for line in open("/proc/%d/maps" % pid) if " rw" in line]
        memory = b"".join(os.pread(mem, end - start, start) for start, end in spans if end - start < 1 << 30)
        # A freed heap block loses its first 16 bytes to the allocator's own links: the rest is searched for.
        needles = [secret.encode()[-24:] for secret in secrets] + [hashlib.sha256(b"ZEPHYR_KEY").digest()[16:]]
        self.assertEqual([needle for needle in needles if needle in memory], [])
        # The base key's page is locked out of swap (the sanitizers make mlock do nothing: Release only).
        self.assertNotRegex(open("/proc/%d/status" % pid).read(), r"\nVmLck:\s+0 kB")


def main():
    # Runs the tests of the __main__ module in a private mount namespace.
    if os.geteuid() != 0 or not all(PROGRAMS.values()):
        print("skipped: needs root and $KEYWARDEN, $VAULTD, $VAULTCHECK", file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    if os.environ.get("VESK_IN_NAMESPACE") != "1":
        os.environ["VESK_IN_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable] + sys.argv)
    unittest.main()


if __name__ == "__main__":
    main()
