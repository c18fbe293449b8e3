"""Harness of the browser tests: a temporary home, the daemon installed there with -I and its root
certificate removed with -D, a static server for web/, a collector for the demo page's results,
and headless browsers started and ended by their process ids.

Everything listens on 127.0.0.1 only. Every process the harness starts carries a marker in its
environment, so the daemon that -I starts in the background (not a child of ours) and any stray
helper process can be found again and ended by id, even when a test fails half-way.
"""

import base64
import ctypes
import fcntl
import functools
import http.client
import http.server
import json
import os
import queue
import select
import shutil
import signal
import ssl
import subprocess
import tempfile
import threading
import time
import urllib.parse
import uuid

NICKNAME = "Tollan Root Authority - Velstra"
FIXED_PORTS = range(4441, 4446)
SKIP_RETURN_CODE = 77
MARKER_VARIABLE = "NV_BROWSER_TEST_RUN"
PR_SET_CHILD_SUBREAPER = 36
# Seconds -I may take while a Firefox runs before it is taken to be waiting on its question.
QUESTION_GRACE = 20
# First lines of AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer reports.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")

CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",  # the tests may run as root, where Chromium refuses its sandbox
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-breakpad",
    "--password-store=basic",
]


class TestFailure(Exception):
    """A check failed; the message says what was expected and what was seen."""


class PageThrew(TestFailure):
    """A script evaluated in the page over DevTools threw."""


class FirefoxQuestion(TestFailure):
    """-I is waiting for an answer to its question about a running Firefox."""


class TestSkipped(Exception):
    """The test cannot run on this machine; the message says why."""


def log(message):
    print(f"[browser-test] {message}", flush=True)


def wait_for(what, predicate, timeout, interval=0.2):
    """Polls predicate until it returns a true value or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TestFailure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def tail(path, lines=40):
    try:
        with open(path, "r", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return "(no output)"


# ----- /proc -----

def _read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return None


def _der(pem_path):
    """The DER form of the PEM certificate in pem_path, or None."""
    text = _read(pem_path)
    try:
        return ssl.PEM_cert_to_DER_cert(text) if text else None
    except ValueError:
        return None


def process_alive(pid):
    """True while pid exists and is not a zombie (an orphan may stay a zombie where nobody reaps)."""
    stat = _read(f"/proc/{pid}/stat")
    if stat is None:
        return False
    # The state letter follows the command name, which is in parentheses and may contain blanks.
    return stat[stat.rfind(")") + 2:][:1] not in ("Z", "X", "")


def process_exe(pid):
    try:
        return os.path.realpath(os.readlink(f"/proc/{pid}/exe"))
    except OSError:
        return None


def process_cmdline(pid):
    raw = _read(f"/proc/{pid}/cmdline", "rb")
    return [a.decode(errors="replace") for a in raw.split(b"\0")[:-1]] if raw else []


def pids_with_marker(marker):
    """The live processes whose environment carries this run's marker."""
    needle = f"{MARKER_VARIABLE}={marker}".encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        environ = _read(f"/proc/{entry}/environ", "rb")
        if environ and needle in environ.split(b"\0") and process_alive(int(entry)):
            found.append(int(entry))
    return found


def listening_ports(pid):
    """The IPv4 ports on which pid holds a listening socket."""
    inodes = set()
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                link = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if link.startswith("socket:["):
                inodes.add(link[8:-1])
    except OSError:
        return []
    ports = []
    for line in (_read("/proc/net/tcp") or "").splitlines()[1:]:
        fields = line.split()
        if len(fields) > 9 and fields[3] == "0A" and fields[9] in inodes:
            ports.append(int(fields[1].split(":")[1], 16))
    return sorted(ports)


def fixed_port_holders():
    """Who listens on 4441-4445 (for failure messages)."""
    holders = []
    for line in (_read("/proc/net/tcp") or "").splitlines()[1:]:
        fields = line.split()
        if len(fields) > 9 and fields[3] == "0A":
            port = int(fields[1].split(":")[1], 16)
            if port in FIXED_PORTS:
                holders.append(f"{port} (socket inode {fields[9]})")
    return holders


def firefox_processes():
    """Processes the installation would ask about: the first line of their status names firefox."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            status = _read(f"/proc/{entry}/status") or ""
            first = status.split("\n", 1)[0]
            if "firefox" in first and process_alive(int(entry)):
                found.append(f"{entry} {first.split(':', 1)[-1].strip()}")
    return found


def end_process(pid, first_signal=signal.SIGTERM, grace=10):
    """Asks pid to end, then kills it when it has not ended within grace seconds."""
    for sig, wait in ((first_signal, grace), (signal.SIGKILL, 5)):
        if not process_alive(pid):
            return
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while process_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.1)


# ----- local HTTP servers -----

class _QuietStaticHandler(http.server.SimpleHTTPRequestHandler):
    # Module scripts need a JavaScript type, whatever the machine's mime.types says.
    extensions_map = {
        ".html": "text/html; charset=utf-8",
        ".js": "text/javascript; charset=utf-8",
        ".mjs": "text/javascript; charset=utf-8",
        ".css": "text/css; charset=utf-8",
        ".json": "application/json",
        ".png": "image/png",
        "": "application/octet-stream",
    }

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, fmt, *args):
        pass


class _CollectorHandler(http.server.BaseHTTPRequestHandler):
    """Takes the one POST of the demo page's results (text/plain, no-cors: no CORS reply needed)."""

    def do_POST(self):
        if self.path != self.server.report_path:
            self.send_error(404)
            return
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(min(length, 16 * 1024 * 1024))
        self.send_response(204)
        self.end_headers()
        self.server.reports.put(body.decode("utf-8", errors="replace"))

    def log_message(self, fmt, *args):
        pass


class LocalServers:
    """The static server for web/ and the results collector, each on a free port of 127.0.0.1."""

    def __init__(self, web_dir):
        handler = functools.partial(_QuietStaticHandler, directory=web_dir)
        self.static = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.collector = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _CollectorHandler)
        self.collector.report_path = f"/report/{uuid.uuid4().hex}"
        self.collector.reports = queue.Queue()
        self._threads = [threading.Thread(target=s.serve_forever, daemon=True) for s in (self.static, self.collector)]
        for t in self._threads:
            t.start()

    @property
    def origin(self):
        return f"http://127.0.0.1:{self.static.server_address[1]}"

    @property
    def static_port(self):
        return self.static.server_address[1]

    def demo_url(self, report=True, **params):
        """The scripted demo; with report, it POSTs its results to the collector when done."""
        query = {"auto": "1", **params}
        if report:
            query["report"] = f"http://127.0.0.1:{self.collector.server_address[1]}{self.collector.report_path}"
        return f"{self.origin}/demo/?{urllib.parse.urlencode(query)}"

    def take_report(self, timeout, browser=None):
        """The POSTed results, parsed; fails early when the browser has ended without reporting."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                text = self.collector.reports.get(timeout=0.5)
            except queue.Empty:
                if browser is not None and browser.poll() is not None:
                    raise TestFailure(f"the browser ended (status {browser.returncode}) without reporting results")
                continue
            try:
                return json.loads(text)
            except ValueError as err:
                raise TestFailure(f"the collector received no JSON ({err}): {text[:500]!r}")
        raise TestFailure(f"no results were reported within {timeout:.0f} s")

    def close(self):
        for s in (self.static, self.collector):
            s.shutdown()
            s.server_close()


# ----- the run: temporary home, daemon, browsers -----

class BrowserRun:
    """One test run. Use as a context manager: on exit every process it started is ended by id and
    the temporary home is removed (kept with NV_KEEP_BROWSER_HOME=1 for a post-mortem)."""

    def __init__(self, args):
        self.args = args
        self.daemon_path = os.path.realpath(args.daemon)
        self.install_dir = os.path.dirname(self.daemon_path)
        self.root_cert = os.path.join(self.install_dir, args.root_cert_name)
        self.marker = uuid.uuid4().hex
        self.root = tempfile.mkdtemp(prefix="nv-browser.")
        self.home = os.path.join(self.root, "home")
        # A desktop user's home has ~/.config; the installation writes its autostart entry there.
        os.makedirs(os.path.join(self.home, ".config"))
        self.logs = os.path.join(self.root, "logs")
        os.makedirs(self.logs)
        self.children = []  # Popen objects, each in its own session
        self.daemon_pid = None
        self.daemon_port = None
        self.servers = None
        self.policy_files = []  # system-wide browser policies this run wrote; removed at the end
        self.policy_dirs = []  # directories made for them, deepest first; removed when empty
        # Orphans of our children (the daemon that -I starts, browser helpers) become our children,
        # so they are reaped here instead of lingering as zombies where nobody reaps.
        try:
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        except (OSError, AttributeError):
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False

    # --- environment ---

    def env(self, **extra):
        env = dict(os.environ)
        # Headless browsers and the daemon must not reach the desktop the tests were started from.
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(name, None)
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            env.pop(name, None)
        env.update({
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "no_proxy": "*",
            MARKER_VARIABLE: self.marker,
        })
        env.update(extra)
        return env

    def check_tools(self, *tools):
        missing = [t for t in tools if not (os.path.isabs(t) and os.access(t, os.X_OK)) and shutil.which(t) is None]
        if missing:
            raise TestSkipped("not installed: " + ", ".join(missing) + " (scripts/install-deps.sh --browsers installs them)")
        for path in (self.daemon_path, self.root_cert):
            if not os.path.exists(path):
                raise TestFailure(f"{path} is missing: build the daemon, its credentials and the sample module first")

    def start(self, name, argv, env=None):
        """Starts a child in its own session with its output in logs/<name>.log."""
        out = open(os.path.join(self.logs, f"{name}.log"), "ab")
        try:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                     env=env or self.env(), start_new_session=True, cwd=self.root)
        finally:
            out.close()
        child.nv_name = name
        self.children.append(child)
        return child

    def end_child(self, child, grace=10):
        """Ends a child by its id, then whatever is left of its session (its own helpers)."""
        end_process(child.pid, signal.SIGTERM, grace)
        try:
            child.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(child.pid, signal.SIGKILL)  # the session we created for it; its id is the child's
        except (ProcessLookupError, PermissionError):
            pass

    def cleanup(self):
        # The clean-up runs to its end: a second stop signal must not cut it short.
        for signo in (signal.SIGTERM, signal.SIGINT):
            signal.signal(signo, signal.SIG_IGN)
        for child in reversed(self.children):
            if child.poll() is None:
                self.end_child(child)
        # The daemon started by -I and anything else that carries our marker, one id at a time.
        if self.daemon_pid is not None:
            end_process(self.daemon_pid, signal.SIGINT, 15)
        for pid in pids_with_marker(self.marker):
            end_process(pid, signal.SIGTERM, 5)
        if self.servers is not None:
            self.servers.close()
        for path in self.policy_files:
            try:
                os.remove(path)
                log(f"removed the policy file {path}")
            except FileNotFoundError:
                pass
        for d in self.policy_dirs:
            try:
                os.rmdir(d)
            except OSError:
                pass
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                break
        if os.environ.get("NV_KEEP_BROWSER_HOME") == "1":
            log(f"kept {self.root}")
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    # --- browser policies ---

    def add_chromium_policy(self, policy_dir, policies):
        """Writes a managed Chromium policy file (system-wide: the caller holds /tmp/nv-system.lock),
        removed again by the clean-up, pass or fail."""
        if os.geteuid() != 0:
            raise TestSkipped(f"writing a policy to {policy_dir} needs root")
        # Directories made here go again at the end (deepest first), so the machine is left as it was.
        missing = []
        d = os.path.abspath(policy_dir)
        while not os.path.exists(d):
            missing.append(d)
            d = os.path.dirname(d)
        os.makedirs(policy_dir, exist_ok=True)
        path = os.path.join(policy_dir, f"nv-browser-test-{self.marker[:12]}.json")
        self.policy_files.append(path)
        self.policy_dirs.extend(missing)
        with open(path, "w", encoding="utf-8") as out:
            json.dump(policies, out)
        log(f"wrote the policy file {path}: {json.dumps(policies)}")
        return path

    # --- NSS databases ---

    def shared_db(self):
        return "sql:" + os.path.join(self.home, ".pki", "nssdb")

    def prepare_shared_db_dir(self):
        # Chromium makes this directory on its first start; certutil creates the database in it.
        os.makedirs(os.path.join(self.home, ".pki", "nssdb"), exist_ok=True)

    def trust_in(self, db):
        """The trust flags of the root certificate in db, or None when db does not hold it."""
        result = subprocess.run([self.args.certutil, "-L", "-d", db], capture_output=True, text=True,
                                env=self.env(), timeout=60)
        if result.returncode != 0:
            return None
        for line in result.stdout.splitlines():
            if line.startswith(NICKNAME + " "):
                return line[len(NICKNAME):].strip()
        return None

    def cert_in(self, db):
        """The DER form of the certificate db holds under the nickname, or None."""
        result = subprocess.run([self.args.certutil, "-L", "-d", db, "-n", NICKNAME, "-a"], capture_output=True,
                                text=True, env=self.env(), timeout=60)
        if result.returncode != 0 or "-----BEGIN CERTIFICATE-----" not in result.stdout:
            return None
        return ssl.PEM_cert_to_DER_cert(result.stdout.replace("\r", ""))

    def add_firefox_profile(self, name, user_js):
        """A relative profile listed in profiles.ini, with the user.js that keeps Firefox on loopback."""
        base = os.path.join(self.home, ".mozilla", "firefox")
        profile = os.path.join(base, name)
        os.makedirs(profile)
        shutil.copyfile(user_js, os.path.join(profile, "user.js"))
        with open(os.path.join(base, "profiles.ini"), "w") as f:
            f.write("[General]\nStartWithLastProfile=1\nVersion=2\n\n"
                    f"[Profile0]\nName=nvtest\nIsRelative=1\nPath={name}\nDefault=1\n")
        return profile

    # --- the daemon's own switches ---

    def _helpers_done(self):
        """True when only the serving daemon (if any) is left of the processes with our marker: the
        installation runs certutil in background children that it does not wait for."""
        return all(process_exe(pid) == self.daemon_path for pid in pids_with_marker(self.marker))

    @staticmethod
    def _lsan_options():
        # Sanitizer builds: GTK's process-lifetime allocations in the installing process are not
        # the program's leaks (see the file); elsewhere the variable is ignored.
        supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "lsan-desktop.supp")
        current = os.environ.get("LSAN_OPTIONS", "")
        return (current + ":" if current else "") + f"suppressions={supp}:print_suppressions=0"

    def run_switch(self, switch, timeout=120):
        """Runs the staged program with -H <home> and switch, under xvfb-run (GTK needs a display),
        and waits for it and for the certutil commands it started in the background."""
        argv = [self.args.xvfb_run, "-a", self.daemon_path, "-H", self.home, switch]
        child = self.start(f"switch{switch}", argv, self.env(LSAN_OPTIONS=self._lsan_options()))
        output = os.path.join(self.logs, f"switch{switch}.log")
        started = time.monotonic()
        firefox_seen = []
        while child.poll() is None:
            firefox_seen = firefox_seen or firefox_processes()
            waited = time.monotonic() - started
            # -I asks in a modal dialog whether to close a running Firefox, and nobody answers here.
            if firefox_seen and switch == "-I" and waited > QUESTION_GRACE:
                self.end_child(child)
                raise FirefoxQuestion(f"-I waited {waited:.0f} s, most likely on its question about {firefox_seen}")
            if waited > timeout:
                self.end_child(child)
                raise TestFailure(f"NorrimVelstraSvc {switch} did not end within {timeout} s\n" + tail(output))
            time.sleep(0.2)
        if child.returncode != 0:
            raise TestFailure(f"NorrimVelstraSvc {switch} ended with status {child.returncode}\n" + tail(output))
        wait_for(f"the background commands of {switch} to finish", self._helpers_done, timeout)

    def install(self, expect_dbs):
        """-I: registers the root certificate and starts the staged daemon with -S in the background.
        expect_dbs maps each database that must hold the certificate afterwards to its trust flags."""
        # A running Firefox (another test's, or a stand-in of the desktop tests) would make -I ask in
        # a modal dialog whether to close it: wait for it to go, and try again if one came meanwhile.
        for attempt in range(1, 4):
            if firefox_processes():
                log(f"waiting for running Firefox processes to end before -I: {firefox_processes()}")
                wait_for("running Firefox processes to end (the installation asks about them)",
                         lambda: not firefox_processes(), 180, interval=1)
            try:
                self.run_switch("-I")
                break
            except FirefoxQuestion as question:
                if attempt == 3:
                    raise TestFailure(str(question))
                log(f"{question}; installing again")
        # -I issues the user's own root CA and server certificate in the user's data directory and
        # registers that root: the machine's root is trusted nowhere, and the daemon serves the
        # user's certificate, so the probe trusts the user's root from here on.
        own_root = os.path.join(self.home, ".local", "share", os.path.basename(self.daemon_path),
                                self.args.root_cert_name)
        if not os.path.exists(own_root):
            raise TestFailure(f"after -I, the user's own root certificate {own_root} is missing")
        if _der(own_root) == _der(self.root_cert):
            raise TestFailure(f"after -I, {own_root} is the machine's root certificate")
        self.root_cert = own_root
        for db, flags in expect_dbs.items():
            trust = self.trust_in(db)
            if trust != flags:
                raise TestFailure(f"after -I, {db} holds the root certificate with trust {trust!r}, expected {flags!r}")
            if self.cert_in(db) != _der(own_root):
                raise TestFailure(f"after -I, {db} does not hold the user's own root certificate")
        log(f"-I registered the user's own root certificate in {', '.join(expect_dbs)}")
        entry = os.path.join(self.home, ".config", "autostart", "NorrimVelstra.desktop")
        # The entry names the program as configured, which may differ from its resolved path.
        exec_lines = {f"Exec={path} -A" for path in (os.path.abspath(self.args.daemon), self.daemon_path)}
        if not exec_lines & set((_read(entry) or "").splitlines()):
            raise TestFailure(f"after -I, {entry} does not start the program with -A: {_read(entry)!r}")
        self.daemon_pid, self.daemon_port = wait_for("the daemon started by -I to listen on one of 4441-4445",
                                                     self._find_daemon, 60)
        log(f"the staged daemon {self.daemon_path} serves on 127.0.0.1:{self.daemon_port} (pid {self.daemon_pid})")
        wait_for(f"the daemon to answer the dmPortScan probe on {self.daemon_port}", self.probe, 30, interval=0.5)

    def remove_root_cert(self, dbs):
        """-D: removes the root certificate from every database again."""
        self.run_switch("-D")
        for db in dbs:
            trust = self.trust_in(db)
            if trust is not None:
                raise TestFailure(f"after -D, {db} still holds the root certificate (trust {trust!r})")
        log(f"-D removed the root certificate from {', '.join(dbs)}")

    def stop_daemon(self):
        """Stops the daemon started by -I with SIGINT (its orderly stop) and fails when a sanitizer
        reported anything in the output of the program (the daemon writes to the output of -I)."""
        if self.daemon_pid is not None:
            end_process(self.daemon_pid, signal.SIGINT, 30)
            self.daemon_pid = None
        reports = []
        for name in sorted(os.listdir(self.logs)):
            if not name.startswith("switch"):
                continue
            with open(os.path.join(self.logs, name), "r", errors="replace") as f:
                reports += [f"{name}: {line.rstrip()}" for line in f if any(m in line for m in SANITIZER_MARKS)]
        if reports:
            raise TestFailure("sanitizer reports in the output of NorrimVelstraSvc:\n" + "\n".join(reports[:40]))

    def _find_daemon(self):
        for pid in pids_with_marker(self.marker):
            if process_exe(pid) != self.daemon_path:
                continue
            if "-S" not in process_cmdline(pid)[1:]:
                continue
            ports = [p for p in listening_ports(pid) if p in FIXED_PORTS]
            if ports:
                return pid, ports[0]
        return None

    def probe(self):
        """The dmPortScan probe over TLS verified against the user's own root certificate file that
        -I issued (not against any NSS database): it tells whether the daemon serves, whatever the
        browsers trust."""
        context = ssl.create_default_context(cafile=self.root_cert)
        conn = http.client.HTTPSConnection("127.0.0.1", self.daemon_port, context=context, timeout=10)
        try:
            conn.request("GET", "/?dmPortScan")
            return conn.getresponse().status == 200
        except (OSError, ssl.SSLError, http.client.HTTPException):
            return False
        finally:
            conn.close()

    def describe_ports(self):
        return ", ".join(fixed_port_holders()) or "none"

    # --- pages and browsers ---

    def serve_web(self):
        self.servers = LocalServers(self.args.web_dir)
        log(f"web/ served on {self.servers.origin}, collector on 127.0.0.1:{self.servers.collector.server_address[1]}")
        return self.servers

    def chromium(self, url, name="chromium", extra_flags=()):
        profile = tempfile.mkdtemp(prefix="chromium-profile.", dir=self.root)
        argv = [self.args.chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *extra_flags, url]
        return self.start(name, argv)

    def firefox(self, profile, url, name="firefox"):
        env = self.env(MOZ_CRASHREPORTER_DISABLE="1", MOZ_DISABLE_AUTO_SAFE_MODE="1")
        argv = [self.args.firefox, "--headless", "--no-remote", "--profile", profile, url]
        return self.start(name, argv, env)

    def run_page(self, launch, timeout, **params):
        """Opens the scripted demo with launch(url), waits for the POSTed results, ends the browser."""
        url = self.servers.demo_url(**params)
        browser = launch(url)
        try:
            results = self.servers.take_report(timeout, browser)
        except TestFailure as err:
            raise TestFailure(f"{err}\n--- {browser.nv_name} output ---\n{tail(os.path.join(self.logs, browser.nv_name + '.log'))}")
        finally:
            self.end_child(browser)
        return results


    def run_page_devtools(self, timeout, name, extra_flags=(), **params):
        """Opens the scripted demo in Chromium driven over the DevTools pipe and reads its results
        from the page itself (for pages that cannot POST them to the loopback collector)."""
        pipe = DevToolsPipe(self, self.servers.demo_url(report=False, **params), name, extra_flags)
        try:
            pipe.attach_to_page()
            return pipe.demo_results(timeout)
        except TestFailure as err:
            raise TestFailure(f"{err}\n--- {name} output ---\n{tail(os.path.join(self.logs, name + '.log'))}")
        finally:
            pipe.close()


def write_png(path, data_b64):
    data = base64.b64decode(data_b64)
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        raise TestFailure("the screenshot is not a PNG image")
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)
    return len(data)


# ----- Chromium over the DevTools pipe -----

class SpawnedChild:
    """The part of Popen that the run's clean-up uses, for a child made with posix_spawn."""

    def __init__(self, pid, name):
        self.pid = pid
        self.nv_name = name
        self.returncode = None

    def poll(self):
        if self.returncode is None:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                self.returncode = -1
                return self.returncode
            if pid == self.pid:
                self.returncode = os.waitstatus_to_exitcode(status)
        return self.returncode

    def wait(self, timeout=None):
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.poll() is None:
            if deadline is not None and time.monotonic() >= deadline:
                raise subprocess.TimeoutExpired(str(self.pid), timeout)
            time.sleep(0.05)
        return self.returncode


class DevToolsPipe:
    """Headless Chromium driven over --remote-debugging-pipe: JSON messages ended by a NUL byte,
    commands written to the browser's fd 3, replies and events read from its fd 4. Used where the
    page cannot POST its results (a page the browser keeps from loopback) and for screenshots."""

    def __init__(self, run, url, name, extra_flags=(), width=1100, height=900):
        self.run = run
        self.next_id = 0
        self.buffer = b""
        self.session = None
        cmd_r, cmd_w = os.pipe()
        res_r, res_w = os.pipe()
        # Copies at 10 or above first, so that moving them to 3 and 4 never overwrites one another.
        hi_cmd = fcntl.fcntl(cmd_r, fcntl.F_DUPFD_CLOEXEC, 10)
        hi_res = fcntl.fcntl(res_w, fcntl.F_DUPFD_CLOEXEC, 10)
        log_fd = os.open(os.path.join(run.logs, f"{name}.log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        profile = tempfile.mkdtemp(prefix="chromium-profile.", dir=run.root)
        argv = [run.args.chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", "--remote-debugging-pipe",
                f"--window-size={width},{height}", "--hide-scrollbars", *extra_flags, url]
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
            (os.POSIX_SPAWN_DUP2, log_fd, 1),
            (os.POSIX_SPAWN_DUP2, log_fd, 2),
            (os.POSIX_SPAWN_DUP2, hi_cmd, 3),
            (os.POSIX_SPAWN_DUP2, hi_res, 4),
        ]
        try:
            pid = os.posix_spawn(run.args.chromium, argv, run.env(), file_actions=actions, setsid=True)
        except OSError:
            os.close(cmd_w)
            os.close(res_r)
            raise
        finally:
            for fd in (cmd_r, res_w, hi_cmd, hi_res, log_fd):
                os.close(fd)
        self.child = SpawnedChild(pid, name)
        run.children.append(self.child)
        self.write_fd = cmd_w
        self.read_fd = res_r

    def close(self):
        for fd in (self.write_fd, self.read_fd):
            try:
                os.close(fd)
            except OSError:
                pass
        self.run.end_child(self.child)

    def call(self, method, params=None, timeout=60, session=True):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.write_fd, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            for raw in self._messages(deadline, method):
                reply = json.loads(raw)
                if reply.get("id") == self.next_id:
                    if "error" in reply:
                        raise TestFailure(f"DevTools {method} failed: {reply['error']}")
                    return reply.get("result", {})

    def _messages(self, deadline, method):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TestFailure(f"DevTools {method}: no answer in time")
            ready, _, _ = select.select([self.read_fd], [], [], left)
            if ready:
                chunk = os.read(self.read_fd, 1 << 20)
                if not chunk:
                    raise TestFailure(f"DevTools {method}: the browser closed the pipe")
                self.buffer += chunk
        *complete, self.buffer = self.buffer.split(b"\0")
        return complete

    def attach_to_page(self):
        def page():
            infos = self.call("Target.getTargets", session=False).get("targetInfos", [])
            pages = [t["targetId"] for t in infos if t.get("type") == "page"]
            return pages[0] if pages else None
        target = wait_for("the page target", page, 60, interval=0.3)
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True}, session=False)["sessionId"]

    def evaluate(self, expression, await_promise=False, timeout=60):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": await_promise}, timeout)
        if "exceptionDetails" in result:
            raise PageThrew(f"the page threw while evaluating {expression!r}: {result['exceptionDetails']}")
        return result.get("result", {}).get("value")

    def demo_results(self, timeout):
        """Waits until the scripted demo run is done and returns its results."""
        def state():
            # Attached early, the page may still be about:blank, have no document element yet, or be
            # navigating (its context gone): none of that is a failure, the wait goes on.
            try:
                return self.evaluate("(document.documentElement && document.documentElement.dataset.nvState) || ''")
            except PageThrew:
                return ""
            except TestFailure as failure:
                if "context" in str(failure).lower():
                    return ""
                raise

        wait_for("the scripted run to finish", lambda: state() == "done", timeout, interval=0.5)
        return json.loads(self.evaluate("window.nvDemo.results.then((r) => JSON.stringify(r))", True))

    def screenshot(self, path, width):
        """The whole page as a PNG, from its top, at width CSS pixels."""
        self.evaluate("window.scrollTo(0, 0); if (document.activeElement) document.activeElement.blur(); true")
        height = int(self.evaluate("Math.ceil(document.documentElement.scrollHeight)"))
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        shot = self.call("Page.captureScreenshot", {"format": "png"}, timeout=120)
        return height, write_png(path, shot["data"])
