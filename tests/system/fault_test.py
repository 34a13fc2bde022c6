#!/usr/bin/env python3
# Every operation that writes a file, with each system call it makes after its selection made to
# fail (EIO; ENOSPC for writes), and made to kill it, at each of its occurrences (strace --inject),
# on the simulated appliance of device_test.py. After each run: the file holds its old content or
# its new one, never a mix; owner and mode are kept; the success line comes only with success; an
# error leaves no temporary file behind.
#
#   fault_test.py Faults.test_restore     as root, with $KEYWARDEN, $VAULTD and $VAULTCHECK
import base64, collections, hashlib, os, re, subprocess, sys, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device_test import CONFIG, GREEN, KEYS, PASSWORDS, PROGRAMS, RED, SERIAL  # noqa: E402
from device_test import Device, blobs_of, coloured, leftovers, main, run  # noqa: E402

# Calls that touch no file: failing them tests the allocator or the clock.
UNTOUCHED = set("mmap munmap mprotect madvise brk futex getpid gettid clock_gettime".split())
UNTOUCHED |= set("geteuid sigaltstack prlimit64 exit_group rt_sigprocmask rt_sigaction".split())
UNTOUCHED |= {"sched_yield"}
# Calls after which the files may differ: a kill right before each is a state to check.
CHANGING = set("write pwrite64 rename renameat renameat2 ftruncate fchmod fchown fsync".split())
CHANGING |= set("unlink unlinkat openat mkdir close clone clone3 wait4".split())
OWNED = (4321, 8765, 0o640)
TIER2_KEY = hashlib.sha256(b"ZEPHYR_KEY" + SERIAL.encode()).hexdigest()
SELECTION = r"^read\(0[<,]"


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
    # and kill of each call from the first line matching `marker` on. `promises(result, killed)`
    # gives a (why, broken) pair for each promise of the operation.
    def sweep(self, argv, stdin, marker, prepare, promises, done):
        log, env = self.device.path("strace.log"), {"ASAN_OPTIONS": "detect_leaks=0"}
        env["PATH"] = self.device.path("bin") + ":/usr/bin:/usr/sbin"
        io = dict(input=stdin, capture_output=True, text=True, cwd=self.device.dir, env=env)

        def attempt(*strace):
            prepare()
            traced = ["strace", "-y", "-o", "/dev/null" if strace else log, *strace, *argv]
            return subprocess.run(traced, timeout=60, **io)

        def broken(result, killed):
            return [why for why, fails in promises(result, killed) if fails]

        self.assertEqual((broken(attempt(), False), done()), ([], True))
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
                inject = "--inject=%s:%s:when=%d" % (call, injected, when)
                result = attempt("-e", "trace=" + call, inject)
                what = "%s #%d %s: %%s (status %d, %r)" % (
                    call,
                    when,
                    injected,
                    result.returncode,
                    result.stderr[-300:],
                )
                failures += [what % why for why in broken(result, injected == "signal=KILL")]
        calls = [call for call, _ in occurrences]
        runs = len(calls) + sum(call in CHANGING for call in calls)
        print(
            "%s: %d calls (%s), %d runs, %d promises broken, %d mixes left by a kill in place"
            % (
                self._testMethodName,
                len(calls),
                " ".join(sorted(set(calls))),
                runs,
                len(failures),
                self.known_mixes,
            ),
            file=sys.stderr,
        )
        self.assertEqual((bool(occurrences), failures), (True, []))

    def fresh_config(self):
        temporary = leftovers(self.device.dir, r"\.inst.*")
        run("rm", "-f", *(os.path.join(self.device.dir, name) for name in temporary))
        self.device.write("install/installation.toml", CONFIG, OWNED[2])
        os.chown(self.config, *OWNED[:2])

    # What the configuration's writers promise; `is_new(text)` tells new content from a mix,
    # `done(text)` (`is_new` unless given) whether the whole operation is.
    def config_promises(self, result, killed, is_new, success, done=None):
        text, temporary = self.device.read(), r"\.installation\.toml\.\w{6}"
        succeeded = coloured(GREEN, success) in result.stdout
        return [
            ("neither old nor new:\n" + text, text != CONFIG and not is_new(text)),
            ("owner or mode changed: %r" % (owned(self.config),), owned(self.config) != OWNED),
            ("success, not done", succeeded and (text == CONFIG or not (done or is_new)(text))),
            ("temporary file left", not killed and leftovers(self.device.dir, temporary)),
        ]

    def stage_2(self, in_place):
        old, new = CONFIG.splitlines(), []

        def prepare():
            run("chattr", "-i", self.device.dir)
            self.fresh_config()
            run("chattr", "+i" if in_place else "-i", self.device.dir)

        def vaulted(
            text,
        ):  # each line old or new (a rewrite per key), each blob opens to its password
            lines = re.sub(r'"v2:[\w=-]+"', '"v2:*"', text).splitlines()
            new.extend([] if new else lines)
            if len(lines) != len(old):
                return False
            each_line = all(line in (old[i], new[i]) for i, line in enumerate(lines))
            return each_line and all(opens_to(blob) in PASSWORDS for _, blob in blobs_of(text))

        def promises(result, killed):  # in place, a kill between two writes can leave a mix
            text = self.device.read()
            mix = in_place and killed and not vaulted(text) and text != CONFIG
            self.known_mixes += mix
            keys = [key for key, _ in blobs_of(text)]  # after a failed write, none but the first
            whole = lambda text: vaulted(text) and len(blobs_of(text)) == len(PASSWORDS)  # noqa
            done = self.config_promises(
                result, killed, lambda text: mix or vaulted(text), "[+] Data Hardened.", whole
            )
            later_key = "put back" in result.stderr and keys != list(KEYS[: len(keys)])
            return done + [("a key written after a failed write", later_key)]

        keywarden = [self.device.path("install/keywarden")]
        self.sweep(
            keywarden,
            "2\n",
            SELECTION,
            prepare,
            promises,
            lambda: len(blobs_of(self.device.read())) == len(PASSWORDS),
        )

    def test_stage_2_through_a_temporary_file(self):
        self.stage_2(False)

    def test_stage_2_in_place(self):
        self.stage_2(True)

    def test_restore(self):
        copy = "[PASSES]\nadmin_pass = restored\n"
        self.device.write("/mnt/usb/installation.toml", copy)
        promises = lambda result, killed: self.config_promises(  # noqa: E731
            result, killed, copy.__eq__, "[+] Restore Successful."
        )
        keywarden = [self.device.path("install/keywarden")]
        done = lambda: self.device.read() == copy  # noqa: E731
        self.sweep(keywarden, "6\n", SELECTION, self.fresh_config, promises, done)

    def test_signed_update(self):
        device, application = self.device, self.device.path("install/tarvemill_run")
        device.signed_update()
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
        keywarden, stdin = [
            device.path("install/keywarden")
        ], "7\nupdate.tar.gz update.tar.gz.sig\n"
        prepare = lambda: run("sh", "-c", reset, application)  # noqa: E731
        done = lambda: device.read("install/tarvemill_run") == "tarvemill 2.0\n"  # noqa: E731
        self.sweep(keywarden, stdin, SELECTION, prepare, promises, done)

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
        self.sweep(argv, "", r"installation\.toml", prepare, promises, done)


if __name__ == "__main__":
    main()
