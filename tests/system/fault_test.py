#!/usr/bin/env python3
# Every operation that writes a file, with each system call it makes after its selection made to
# fail (EIO; ENOSPC for writes), and made to kill it, at each of its occurrences (strace --inject),
# on the simulated appliance of device_test.py. After each run: the file holds its old content or
# its new one, never a mix; owner and mode are kept; the success line comes only with success; an
# error leaves no temporary file behind.
#
#   fault_test.py Faults.test_signed_update     as root, with $KEYWARDEN, $VAULTD and $VAULTCHECK
import base64, collections, hashlib, os, re, subprocess, sys, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device_test import CONFIG, GREEN, KEYS, PASSWORDS, PROGRAMS, RED, SERIAL  # noqa: E402
from device_test import Device, blobs_of, coloured, leftovers, main, run  # noqa: E402

# Calls that touch no file: failing them tests the allocator or the clock.
UNTOUCHED = set("mmap munmap mprotect madvise brk futex getpid gettid clock_gettime".split())
UNTOUCHED |= set("geteuid sigaltstack prlimit64 exit_group rt_sigprocmask rt_sigaction".split())
# Calls after which the files may differ: a kill right before each is a state to check.
CHANGING = set("write pwrite64 rename renameat renameat2 ftruncate fchmod fchown fsync".split())
CHANGING |= set("unlink unlinkat openat mkdir close clone clone3 wait4".split())
OWNED = (4321, 8765, 0o640)
TIER2_KEY = hashlib.sha256(b"ZEPHYR_KEY" + SERIAL.encode()).hexdigest()
# A new signing key, and update.tar.gz (tarvemill 2.0) signed with it.
SIGN = """openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out key
openssl pkey -in key -pubout -out install/public_key.pem
tar -czf install/update.tar.gz -C app tarvemill_run
openssl dgst -sha256 -sign key -out install/update.tar.gz.sig install/update.tar.gz"""


def opens_to(blob):  # the plain value of a tier-2 blob under the device's key (None: it does not)
    payload = base64.urlsafe_b64decode(blob[3:])
    argv = ["openssl", "enc", "-d", "-aes-256-cbc", "-K", TIER2_KEY, "-iv", payload[:16].hex()]
    done = subprocess.run(argv, input=payload[16:], capture_output=True)
    return done.stdout.decode(errors="replace") if done.returncode == 0 else None


def owned(path):
    status = os.stat(path)
    return status.st_uid, status.st_gid, status.st_mode & 0o7777


class Faults(unittest.TestCase):
    def setUp(self):
        self.device, self.known_mixes, self.maxDiff = Device(), 0, None
        self.addCleanup(self.device.close)
        self.config = self.device.path("install/installation.toml")

    # Runs `argv` once cleanly under strace (after which `done()` must hold), then once per failure
    # and kill of each call from the first line matching `marker` on (by default the read of the
    # menu selection). `promises(result, killed)` gives (why, broken) for each promise.
    def sweep(self, argv, stdin, prepare, promises, done, marker=r"^read\(0[<,]"):
        log, env = self.device.path("strace.log"), {"ASAN_OPTIONS": "detect_leaks=0"}
        env["PATH"] = self.device.path("bin") + ":/usr/bin:/usr/sbin"
        io = dict(input=stdin, capture_output=True, text=True, cwd=self.device.dir, env=env)

        def attempt(call=None, fault=""):  # the promises a run broke, and the run
            prepare()
            strace = ["-o", log] if call is None else ["-o", "/dev/null", "-e", "trace=" + call]
            strace += ["-e", "inject=%s:%s" % (call, fault)] if call else []
            result = subprocess.run(["strace", "-y", *strace, *argv], timeout=60, **io)
            return [why for why, fails in promises(result, "KILL" in fault) if fails], result

        self.assertEqual((attempt()[0], done()), ([], True))
        # The sanitizers probe memory through a pipe of their own; failing that makes them, not
        # the program, give up.
        seen, occurrences, started = collections.Counter(), [], False
        for line in self.device.read(log).splitlines():
            name = re.match(r"(\w+)\(", line)
            started = started or re.search(marker, line) is not None
            if name and name.group(1) not in UNTOUCHED:
                seen[name.group(1)] += 1
                if started and name.group(1) != "pipe2" and "<pipe:" not in line:
                    occurrences.append((name.group(1), seen[name.group(1)]))
        failures = []
        for call, when in occurrences:
            error = "error=" + ("ENOSPC" if call in ("write", "pwrite64") else "EIO")
            for injected in [error] + (["signal=KILL"] if call in CHANGING else []):
                broken, result = attempt(call, "%s:when=%d" % (injected, when))
                said = "(status %d, %r)" % (result.returncode, result.stderr[-300:])
                failures += [f"{call} #{when} {injected}: {why} {said}" for why in broken]
        calls = [call for call, _ in occurrences]
        print(self._testMethodName, len(calls), "calls:", *sorted(set(calls)), file=sys.stderr)
        print(f"{len(failures)} broken, {self.known_mixes} mixes left in place", file=sys.stderr)
        self.assertEqual((bool(occurrences), failures), (True, []))

    def stage_2(self, in_place):
        old, new, temporary = CONFIG.splitlines(), [], r"\.installation\.toml\.\w{6}"

        def prepare():
            run("chattr", "-i", self.device.dir)
            run(
                "rm",
                "-f",
                *(self.device.path("install/" + n) for n in leftovers(self.device.dir, temporary)),
            )
            self.device.write("install/installation.toml", CONFIG, OWNED[2])
            os.chown(self.config, *OWNED[:2])
            run("chattr", "+i" if in_place else "-i", self.device.dir)

        # Each line old or new (a rewrite per key), each blob opening to its password.
        def vaulted(text):
            lines = re.sub(r'"v2:[\w=-]+"', '"v2:*"', text).splitlines()
            new.extend([] if new else lines)
            if len(lines) != len(old):
                return False
            each_line = all(line in (old[i], new[i]) for i, line in enumerate(lines))
            return each_line and all(opens_to(blob) in PASSWORDS for _, blob in blobs_of(text))

        def promises(result, killed):  # in place, a kill between two writes can leave a mix
            text, said = self.device.read(), coloured(GREEN, "[+] Data Hardened.") in result.stdout
            mix = in_place and killed and not vaulted(text) and text != CONFIG
            self.known_mixes += mix
            keys = [key for key, _ in blobs_of(text)]  # after a failed write, none but the first
            return [
                ("neither old nor new:\n" + text, text != CONFIG and not mix and not vaulted(text)),
                ("owner or mode changed: %r" % (owned(self.config),), owned(self.config) != OWNED),
                ("success, not done", said and len(keys) != len(PASSWORDS)),
                ("temporary file left", not killed and leftovers(self.device.dir, temporary)),
                (
                    "a key after a failed write",
                    "put back" in result.stderr and keys != list(KEYS[: len(keys)]),
                ),
            ]

        done = lambda: len(blobs_of(self.device.read())) == len(PASSWORDS)  # noqa: E731
        self.sweep([self.device.path("install/keywarden")], "2\n", prepare, promises, done)

    def test_stage_2_through_a_temporary_file(self):
        self.stage_2(False)

    def test_stage_2_in_place(self):
        self.stage_2(True)

    def test_signed_update(self):
        device, application = self.device, self.device.path("install/tarvemill_run")
        device.write("install/installation.toml", CONFIG.replace("= false", "= true"))
        device.write("app/tarvemill_run", "tarvemill 2.0\n")
        run("sh", "-ec", SIGN, cwd=device.root)
        device.seal()
        # The old application, sealed, and no private folder (/var/tmp is the device's tmpfs).
        reset = (
            'chattr -i "$0" && echo "tarvemill 1.0" >"$0" && chattr +i "$0" && rm -rf /var/tmp/*'
        )

        def promises(result, killed):  # a kill between unlocking and locking again leaves it open
            text, said = device.read("install/tarvemill_run"), result.stdout + result.stderr
            open_now = not killed and "i" not in run("lsattr", application).split()[0]
            folder = not killed and leftovers("/var/tmp", r"vesk-update\.\w{6}")
            return [
                (
                    "neither old nor new: %r" % text,
                    text not in ("tarvemill 1.0\n", "tarvemill 2.0\n"),
                ),
                (
                    "success, not done",
                    coloured(GREEN, "[+] Update Successful.") in said and "1.0" in text,
                ),
                ("an unread configuration shown as NO", "Allowed: " + RED + "NO" in said),
                ("left unsealed without a word", open_now and "Locking" not in said),
                ("private folder left without a word", folder and "remove" not in said),
            ]

        # Done with the real openssl and tar.
        argv, stdin = [device.path("install/keywarden")], "7\nupdate.tar.gz update.tar.gz.sig\n"
        prepare = lambda: run("sh", "-c", reset, application)  # noqa: E731
        done = lambda: device.read("install/tarvemill_run") == "tarvemill 2.0\n"  # noqa: E731
        self.sweep(argv, stdin, prepare, promises, done)

    def test_vaultcheck_output(self):
        report = "/run/vesk.prom"  # on the device's own tmpfs
        stamp = r"# HELP .*\nvesk_vaultcheck_last_run_timestamp_seconds \d+\n"

        def promises(result, killed):
            text, status, why = self.device.read(report), result.returncode, result.stderr
            whole = re.fullmatch(stamp, text, re.S)
            # 4 says why; with a new report, only that it is not yet on disk.
            told = re.search(
                "vaultcheck: cannot (write %s|sync %s to disk): " % (report, report), why
            )
            expected = ((0, 1, 2) + ((4,) if "cannot sync" in why else ())) if whole else (4,)
            return [
                ("neither old nor new:\n" + text, text != "old\n" and not whole),
                ("new report not 0644", whole and os.stat(report).st_mode & 0o777 != 0o644),
                ("status %d" % status, not killed and status not in expected),
                ("status 4 without why", status == 4 and not told),
                ("temporary file left", not killed and leftovers("/run", r"\.vesk\.prom\.\w{6}")),
            ]

        argv = [PROGRAMS["vaultcheck"], "--no-daemon", "--prometheus", "--output", report]
        prepare = lambda: run(
            "sh", "-c", "rm -f /run/.vesk.* && echo old >$0 && chmod 600 $0", report
        )  # noqa
        done = lambda: self.device.read(report) != "old\n"  # noqa: E731
        self.sweep(argv, "", prepare, promises, done, r"installation\.toml")


if __name__ == "__main__":
    main()
