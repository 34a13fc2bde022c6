#!/usr/bin/env python3
# Every operation that writes a file, with each system call it makes after its selection made to fail (EIO;
# ENOSPC for writes), and made to kill it, at each of its occurrences (strace --inject), on the simulated appliance
# of device_test.py. After each run: the file holds its old content or its new one, never a mix; owner and mode are
# kept; the success line comes only with success; an error leaves no temporary file behind.
#
#   fault_test.py Faults.test_restore     as root, with $KEYWARDEN, $VAULTD and $VAULTCHECK
import base64
import collections
import hashlib
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device_test import CONFIG, GREEN, KEYS, PASSWORDS, PROGRAMS, RED, SERIAL, Device, blobs_of, coloured, main, run  # noqa: E402

# Calls that touch no file: failing them tests the allocator or the clock.
UNTOUCHED = {"mmap", "munmap", "mprotect", "madvise", "brk", "futex", "getpid", "gettid", "clock_gettime",
             "geteuid", "sigaltstack", "prlimit64", "exit_group", "rt_sigprocmask", "rt_sigaction", "sched_yield"}
# Calls after which the files may differ: a kill right before each is a state to check.
CHANGING = {"write", "pwrite64", "rename", "renameat", "renameat2", "ftruncate", "fchmod", "fchown", "fsync",
            "unlink", "unlinkat", "openat", "mkdir", "close", "clone", "clone3", "wait4"}
OWNED = (4321, 8765, 0o640)
TIER2_KEY = hashlib.sha256(b"ZEPHYR_KEY" + SERIAL.encode()).hexdigest()
SELECTION = r"^read\(0[<,]"


def opens_to(blob):  # the plain value of a tier-2 blob under the device's key (None when it does not open)
    payload = base64.urlsafe_b64decode(blob[3:])
    result = subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-K", TIER2_KEY, "-iv", payload[:16].hex()],
                            input=payload[16:], capture_output=True)
    return result.stdout.decode(errors="replace") if result.returncode == 0 else None


def leftovers(folder, pattern): return [name for name in os.listdir(folder) if re.fullmatch(pattern, name)]  # noqa


def owned(path): return os.stat(path).st_uid, os.stat(path).st_gid, os.stat(path).st_mode & 0o7777  # noqa: E704


class Faults(unittest.TestCase):
    def setUp(self):
        self.device, self.known_mixes, self.maxDiff = Device(), 0, None
        self.addCleanup(self.device.close)
        self.config = self.device.path("install/installation.toml")

    # Runs `argv` once cleanly under strace (after which `done()` must hold), then once per failure and kill of each
    # call from the first line matching `marker` on; `check(result, killed)` returns the promises a run broke.
    def sweep(self, argv, stdin, marker, prepare, check, done):
        log, env = self.device.path("strace.log"), {"PATH": self.device.path("bin") + ":/usr/bin:/usr/sbin",
                                                     "ASAN_OPTIONS": "detect_leaks=0"}

        def attempt(*strace):
            prepare()
            return subprocess.run(["strace", "-y", "-o", log if not strace else "/dev/null", *strace, *argv],
                                  input=stdin, capture_output=True, text=True, cwd=self.device.dir, env=env, timeout=60)
        self.assertEqual((check(attempt(), False), done()), ([], True))
        # The sanitizers probe memory through a pipe of their own; failing that makes them, not the program, give up.
        seen, occurrences, started = collections.Counter(), [], False
        for line in run("cat", log).splitlines():
            name = re.match(r"(\w+)\(", line)
            started = started or re.search(marker, line) is not None
            if name and name.group(1) not in UNTOUCHED:
                seen[name.group(1)] += 1
                if started and name.group(1) != "pipe2" and "<pipe:" not in line:
                    occurrences.append((name.group(1), seen[name.group(1)]))
        broken = []
        for call, when in occurrences:
            error = "error=" + ("ENOSPC" if call in ("write", "pwrite64") else "EIO")
            for injected in [error] + (["signal=KILL"] if call in CHANGING else []):
                result = attempt("-e", "trace=" + call, "--inject=%s:%s:when=%d" % (call, injected, when))
                broken += ["%s #%d %s: %s (status %d, %r)" % (call, when, injected, why, result.returncode,
                                                              result.stderr[-300:])
                           for why in check(result, injected == "signal=KILL")]
        calls = [call for call, _ in occurrences]
        print("%s: %d calls (%s), %d runs, %d promises broken, %d mixes left by a kill in place" % (
            self.id().split(".")[-1], len(calls), " ".join(sorted(set(calls))),
            len(calls) + sum(call in CHANGING for call in calls), len(broken), self.known_mixes), file=sys.stderr)
        self.assertEqual((bool(occurrences), broken), (True, []))

    def fresh_config(self):
        run("rm", "-f", *(os.path.join(self.device.dir, name) for name in leftovers(self.device.dir, r"\.inst.*")))
        self.device.write("install/installation.toml", CONFIG, OWNED[2])
        os.chown(self.config, *OWNED[:2])

    # What the configuration's writers promise; `is_new(text)` tells new content from a mix, `done(text)` (`is_new`
    # unless given) whether the whole operation is.
    def config_promises(self, result, killed, is_new, success, done=None):
        text = self.device.read()
        return [why for why, broken in (
            ("neither old nor new:\n" + text, text != CONFIG and not is_new(text)),
            ("owner or mode changed: %r" % (owned(self.config),), owned(self.config) != OWNED),
            ("success reported, not done",
             coloured(GREEN, success) in result.stdout and (text == CONFIG or not (done or is_new)(text))),
            ("temporary file left", not killed and leftovers(self.device.dir, r"\.installation\.toml\.\w{6}")),
        ) if broken]

    def stage_2(self, in_place):
        old, new = CONFIG.splitlines(), []

        def prepare():
            run("chattr", "-i", self.device.dir)
            self.fresh_config()
            run("chattr", "+i" if in_place else "-i", self.device.dir)

        def vaulted(text):  # each key's line old or new (one rewrite per key), each blob opening to its password
            lines = re.sub(r'"v2:[\w=-]+"', '"v2:*"', text).splitlines()
            new.extend([] if new else lines)
            return (len(lines) == len(old) and all(line in (old[i], new[i]) for i, line in enumerate(lines))
                    and all(opens_to(blob) in PASSWORDS for _, blob in blobs_of(text)))

        def check(result, killed):  # in place, a kill between two writes can leave a mix: that path's known limit
            mix = in_place and killed and not vaulted(self.device.read()) and self.device.read() != CONFIG
            self.known_mixes += mix
            keys = [key for key, _ in blobs_of(self.device.read())]  # after a failed write, none but the first ones
            return self.config_promises(result, killed, lambda text: mix or vaulted(text), "[+] Data Hardened.",
                                        lambda text: vaulted(text) and len(blobs_of(text)) == len(PASSWORDS)) + [
                "a key written after a failed write"] * ("put back" in result.stderr and keys != list(KEYS[:len(keys)]))
        self.sweep([self.device.path("install/keywarden")], "2\n", SELECTION, prepare, check,
                   lambda: len(blobs_of(self.device.read())) == len(PASSWORDS))

    def test_stage_2_through_a_temporary_file(self): self.stage_2(False)  # noqa: E704

    def test_stage_2_in_place(self): self.stage_2(True)  # noqa: E704

    def test_restore(self):
        copy = "[PASSES]\nadmin_pass = restored\n"
        self.device.write("/mnt/usb/installation.toml", copy)
        self.sweep([self.device.path("install/keywarden")], "6\n", SELECTION, self.fresh_config,
                   lambda result, killed: self.config_promises(result, killed, copy.__eq__, "[+] Restore Successful."),
                   lambda: self.device.read() == copy)

    def test_signed_update(self):
        device, application = self.device, self.device.path("install/tarvemill_run")
        device.signed_update()
        device.seal()

        def prepare():  # the old application, sealed, and no private folder (/var/tmp is the device's tmpfs)
            run("sh", "-c", 'chattr -i "$0" && echo "tarvemill 1.0" >"$0" && chattr +i "$0" && rm -rf /var/tmp/*', application)

        def check(result, killed):  # a kill between unlocking and locking again leaves it open, and says nothing
            text = device.read("install/tarvemill_run")
            return [why for why, broken in (
                ("neither old nor new: %r" % text, text not in ("tarvemill 1.0\n", "tarvemill 2.0\n")),
                ("success reported", coloured(GREEN, "[+] Update Successful.") in result.stdout and "1.0" in text),
                ("an unread configuration shown as NO", "Allowed: " + RED + "NO" in result.stdout),
                ("left unsealed without a word", not killed and "i" not in run("lsattr", application).split()[0]
                 and "Locking" not in result.stdout),
                ("private folder left without a word", not killed and leftovers("/var/tmp", r"vesk-update\.\w{6}")
                 and "remove" not in result.stderr)) if broken]
        # Done with the real openssl and tar.
        self.sweep([device.path("install/keywarden")], "7\nupdate.tar.gz update.tar.gz.sig\n", SELECTION, prepare,
                   check, lambda: device.read("install/tarvemill_run") == "tarvemill 2.0\n")

    def test_vaultcheck_output(self):
        report = "/run/vesk.prom"  # on the device's own tmpfs

        prepare = lambda: run("sh", "-c", "rm -f /run/.vesk.* && echo old >$0 && chmod 600 $0", report)  # noqa: E731

        def check(result, killed):
            text = self.device.read(report)
            whole = re.fullmatch(r"# HELP .*\nvesk_vaultcheck_last_run_timestamp_seconds \d+\n", text, re.S)
            return [why for why, broken in (
                ("neither old nor new:\n" + text, text != "old\n" and not whole),
                ("new report of mode %o" % os.stat(report).st_mode, whole and os.stat(report).st_mode & 0o777 != 0o644),
                ("status %d" % result.returncode, not killed and result.returncode not in
                 ((0, 1, 2) + ((4,) if "cannot sync" in result.stderr else ()) if whole else (4,))),
                ("status 4 without why", result.returncode == 4 and not re.search(
                    "vaultcheck: cannot (write %s|sync %s to disk): " % (report, report), result.stderr)),
                ("temporary file left", not killed and leftovers("/run", r"\.vesk\.prom\.\w{6}"))) if broken]
        self.sweep([PROGRAMS["vaultcheck"], "--no-daemon", "--prometheus", "--output", report], "",
                   r"installation\.toml", prepare, check, lambda: self.device.read(report) != "old\n")


if __name__ == "__main__":
    main()
