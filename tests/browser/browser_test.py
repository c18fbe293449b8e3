#!/usr/bin/env python3
"""Browser tests: the demo page in real headless browsers against the real daemon.

Cases (one per run; exit status 0 passed, 1 failed, 77 skipped):
  chromium    -I registers the test root CA in sql:<home>/.pki/nssdb and starts the staged daemon;
              the scripted demo page in headless Chromium finds it, reads the version report and gets
              module replies over WSS and HTTPS and a reply collected with GET_RESULT.
  firefox     the same in headless Firefox ESR, with a relative profile listed in profiles.ini
              whose own NSS database -I wrote to; after -D the page reports "daemon-not-found".
  untrusted   with the root CA registered, a page that Chromium treats as public is kept from the
              loopback daemon (local network permission not granted); after -D removed the root CA,
              the loopback page cannot reach the daemon either (TLS fails): both times the page
              reports "daemon-not-found" and points the user to nv-doctor.
  policy      the same public page with the enterprise policy LocalNetworkAccessAllowedForUrls
              naming its origin (a file in /etc/chromium/policies/managed, removed at the end, pass
              or fail; run it under flock /tmp/nv-system.lock): the scripted demo run passes.
  screenshot  a scripted run in Chromium driven over the DevTools pipe, then a PNG of the page.

No browser flag ignores certificate errors: trust comes only from the NSS databases that -I wrote.
"""

import argparse
import json
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nvbrowser  # noqa: E402
from nvbrowser import TestFailure, TestSkipped, log  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
STEPS = ["discover", "versions", "ws", "http", "collect"]
# The sample module waits delay_ms before replying; the first POST of the collect step gives up
# after collectAfter ms, so the reply can only arrive through GET_RESULT polls.
COLLECT_DELAY_MS = 3000
COLLECT_AFTER_MS = 1000
REPORT_TIMEOUT = 180  # generous: a loaded 2-core machine, a sanitizer build of the daemon


def page_params(nonce):
    return {
        "request": json.dumps({"cmd": "echo", "text": nonce}),
        "collectRequest": json.dumps({"cmd": "collect", "text": nonce, "delay_ms": COLLECT_DELAY_MS}),
        "collectAfter": str(COLLECT_AFTER_MS),
        # TLS handshakes of a sanitizer build on a busy machine can be slow; a probe that gives up
        # early would look like a missing daemon.
        "probeTimeout": "10000",
        "connectTimeout": "15000",
    }


# ----- checks of the reported results -----

class Checks:
    def __init__(self, results):
        self.results = results
        self.problems = []

    def expect(self, condition, text):
        if not condition:
            self.problems.append(text)
        return condition

    def equal(self, seen, expected, what):
        return self.expect(seen == expected, f"{what}: expected {expected!r}, got {seen!r}")

    def fail_if_any(self, title):
        if self.problems:
            dump = json.dumps(self.results, indent=2)[:12000]
            raise TestFailure(title + ":\n  - " + "\n  - ".join(self.problems) + "\n--- results ---\n" + dump)


def parse_json(text, what, checks):
    try:
        return json.loads(text)
    except (TypeError, ValueError):
        checks.expect(False, f"{what} is not JSON: {text!r}")
        return {}


def check_module_reply(checks, step, transport, cmd, nonce, origin, tabid):
    name = step.get("name")
    value = step.get("value") or {}
    checks.equal(step.get("transport"), transport, f"{name}: transport")
    checks.equal(value.get("status"), "TRUE", f"{name}: status")
    envelope = (value.get("envelope") or {}).get("response") or {}
    checks.equal(envelope.get("id"), value.get("id"), f"{name}: envelope id")
    checks.equal(envelope.get("tabid"), tabid, f"{name}: envelope tabid")
    checks.equal(envelope.get("status"), "TRUE", f"{name}: envelope status")
    inner = ((envelope.get("reply") or {}).get("reply") or {}).get("reply")
    checks.equal(inner, value.get("reply"), f"{name}: module reply inside the envelope")
    # The sample module answers with its own JSON that quotes the request text it was handed.
    reply = parse_json(value.get("reply"), f"{name}: module reply", checks)
    checks.equal(reply.get("module"), "sample", f"{name}: replying module")
    checks.equal(reply.get("cmd"), cmd, f"{name}: cmd seen by the module")
    request = parse_json(reply.get("request"), f"{name}: request text seen by the module", checks)
    checks.equal(request.get("text"), nonce, f"{name}: text seen by the module")
    checks.equal(request.get("id"), value.get("id"), f"{name}: id seen by the module")
    checks.equal(request.get("tabid"), tabid, f"{name}: tabid seen by the module")
    checks.equal(request.get("origin"), origin, f"{name}: origin seen by the module")
    return value, request


def check_positive(results, run, nonce, browser):
    c = Checks(results)
    steps = results.get("steps") or []
    by_name = {s.get("name"): s for s in steps}
    c.equal([s.get("name") for s in steps], STEPS, "steps run")
    for s in steps:
        c.expect(s.get("ok") is True, f"step {s.get('name')} failed: {json.dumps(s.get('error'))}")
    c.fail_if_any(f"{browser}: the scripted run failed")

    tabid = results.get("tabid")
    origin = run.servers.origin
    c.equal(results.get("port"), run.daemon_port, "port used by the page (the daemon started by -I)")
    c.equal(by_name["discover"].get("value", {}).get("port"), run.daemon_port, "discovered port")

    versions = by_name["versions"]
    c.equal(versions.get("transport"), "ws", "versions: transport")
    v = versions.get("value") or {}
    c.equal(v.get("daemon"), "1.0.1.1", "versions: daemon version")
    c.equal(v.get("ex"), "1.0.1.1013", "versions: product version")
    c.equal((v.get("m") or {}).get("name"), "sample", "versions: module name")
    c.expect(bool((v.get("m") or {}).get("version")), f"versions: no module version in {v.get('m')!r}")
    c.equal(v.get("port"), run.daemon_port, "versions: port")

    ws, _ = check_module_reply(c, by_name["ws"], "ws", "echo", nonce, origin, tabid)
    c.equal(ws.get("collected"), False, "ws: collected")
    http, http_request = check_module_reply(c, by_name["http"], "http", "echo", nonce, origin, tabid)
    c.equal(http.get("collected"), False, "http: collected")
    c.expect("use_getresult" not in http_request, "http: use_getresult sent without being asked for")

    collect, collect_request = check_module_reply(c, by_name["collect"], "http", "collect", nonce, origin, tabid)
    c.equal(collect.get("collected"), True, "collect: reply collected with GET_RESULT")
    c.expect(isinstance(collect.get("polls"), int) and collect["polls"] >= 1,
             f"collect: expected at least one GET_RESULT poll, got {collect.get('polls')!r}")
    c.equal(collect_request.get("use_getresult"), "TRUE", "collect: use_getresult sent to the daemon")
    c.equal(collect_request.get("delay_ms"), COLLECT_DELAY_MS, "collect: delay_ms seen by the module")

    ids = [by_name[n].get("value", {}).get("id") for n in ("ws", "http", "collect")]
    c.expect(len(set(ids)) == 3, f"request ids are not distinct: {ids}")
    c.fail_if_any(f"{browser}: unexpected results")
    log(f"{browser}: discovery on {run.daemon_port}, versions over WSS, replies over WSS and HTTPS, "
        f"GET_RESULT collection after {collect['polls']} poll(s): all as expected")


def check_not_found(results, run, browser, situation, local_network_access):
    c = Checks(results)
    steps = results.get("steps") or []
    c.expect(results.get("ok") is False, "the run reports success")
    c.expect(bool(steps) and steps[0].get("name") == "discover", "the first step is not discover")
    if steps:
        first = steps[0]
        error = first.get("error") or {}
        c.expect(first.get("ok") is False, "discover succeeded")
        c.equal(error.get("code"), "daemon-not-found", "discover: error code")
        c.equal(error.get("name"), "DaemonNotFoundError", "discover: error class")
        attempts = {a.get("port"): a.get("outcome") for a in error.get("attempts") or []}
        c.equal(sorted(attempts), list(nvbrowser.FIXED_PORTS), "discover: probed ports")
        c.equal(attempts.get(run.daemon_port), "network-error", f"discover: outcome on the daemon's port {run.daemon_port}")
        # The library reads the browser's local network permission so that a page can tell a
        # blocked page ("denied") from a daemon that is not there or not trusted.
        lna = error.get("localNetworkAccess")
        c.expect(local_network_access(lna), f"discover: unexpected local network permission {lna!r}")
        for s in steps[1:]:
            c.expect(s.get("skipped") is True, f"step {s.get('name')} ran after a failed discovery")
        # Whatever the cause, the page sends the user to the diagnostics tool, and a denied
        # permission gets its own advice.
        shown = results.get("daemonStatus") or ""
        c.expect("/opt/TOLLAN/velstra/nv-doctor" in shown, f"the page does not point to nv-doctor: {shown!r}")
        if error.get("localNetworkAccess") == "denied":
            c.expect('allow "Local network access" for this site' in shown,
                     f"the page does not say how to allow local network access: {shown!r}")
    c.fail_if_any(f"{browser}, {situation}: expected daemon-not-found")
    log(f"{browser}, {situation}: the page reports daemon-not-found (outcome on port {run.daemon_port}: "
        f"{attempts.get(run.daemon_port)}, local network access: {error.get('localNetworkAccess')})")


# ----- cases -----

def case_chromium(run):
    run.check_tools(run.args.chromium, run.args.xvfb_run, run.args.certutil)
    run.prepare_shared_db_dir()
    run.install({run.shared_db(): "CT,,"})
    run.serve_web()
    nonce = f"chromium {run.marker[:12]}"
    results = run.run_page(run.chromium, REPORT_TIMEOUT, **page_params(nonce))
    check_positive(results, run, nonce, "Chromium")
    run.stop_daemon()


def case_firefox(run):
    run.check_tools(run.args.firefox, run.args.xvfb_run, run.args.certutil)
    profile = run.add_firefox_profile("nvtest.default-esr", os.path.join(HERE, "fixtures", "firefox-user.js"))
    # Only the profile's own database is prepared for: no shared database, so Firefox can only trust
    # the daemon through what -I wrote into the profile.
    run.install({"sql:" + profile: "CT,C,c"})
    run.serve_web()
    nonce = f"firefox {run.marker[:12]}"
    results = run.run_page(lambda url: run.firefox(profile, url, "firefox"), REPORT_TIMEOUT, **page_params(nonce))
    check_positive(results, run, nonce, "Firefox")

    # -D takes the root out of the profile again: the same page in the same profile finds nothing.
    run.remove_root_cert(["sql:" + profile])
    if not run.probe():
        raise TestFailure("the daemon stopped answering after -D; the next check would prove nothing")
    params = {**page_params("untrusted"), "steps": "discover,versions"}
    results = run.run_page(lambda url: run.firefox(profile, url, "firefox-untrusted"), REPORT_TIMEOUT, **params)
    check_not_found(results, run, "Firefox", "root CA removed by -D", lambda state: state != "denied")
    run.stop_daemon()


def case_untrusted(run):
    run.check_tools(run.args.chromium, run.args.xvfb_run, run.args.certutil)
    run.prepare_shared_db_dir()
    run.install({run.shared_db(): "CT,,"})
    run.serve_web()
    params = {**page_params("untrusted"), "steps": "discover,versions"}

    # Trusted, but the page is public in the browser's eyes: it may not reach loopback addresses.
    public = [f"--ip-address-space-overrides=127.0.0.1:{run.servers.static_port}=public"]
    # Such a page cannot POST its results to the loopback collector either: they are read over DevTools.
    results = run.run_page_devtools(REPORT_TIMEOUT, "chromium-public", public, **params)
    check_not_found(results, run, "Chromium", "page treated as public", lambda state: state != "granted")

    run.remove_root_cert([run.shared_db()])
    if not run.probe():
        raise TestFailure("the daemon stopped answering after -D; the next check would prove nothing")
    results = run.run_page(lambda url: run.chromium(url, "chromium-untrusted"), REPORT_TIMEOUT, **params)
    check_not_found(results, run, "Chromium", "root CA removed by -D", lambda state: state != "denied")
    run.stop_daemon()


def case_policy(run):
    run.check_tools(run.args.chromium, run.args.xvfb_run, run.args.certutil)
    run.prepare_shared_db_dir()
    run.install({run.shared_db(): "CT,,"})
    run.serve_web()
    # The page is public in the browser's eyes, as every real site is; the enterprise policy that
    # names its origin lets it reach the daemon without a permission prompt.
    run.add_chromium_policy(run.args.chromium_policy_dir,
                            {"LocalNetworkAccessAllowedForUrls": [run.servers.origin]})
    public = [f"--ip-address-space-overrides=127.0.0.1:{run.servers.static_port}=public"]
    nonce = f"policy {run.marker[:12]}"
    results = run.run_page_devtools(REPORT_TIMEOUT, "chromium-policy", public, **page_params(nonce))
    check_positive(results, run, nonce, "Chromium (public page, allowed by policy)")
    run.stop_daemon()


def case_screenshot(run):
    run.check_tools(run.args.chromium, run.args.xvfb_run, run.args.certutil)
    run.prepare_shared_db_dir()
    run.install({run.shared_db(): "CT,,"})
    run.serve_web()
    width = 1100
    # The page's own default request; the collected reply is the one the Reply section shows.
    url = run.servers.demo_url(
        report=False,
        collectRequest=json.dumps({"cmd": "echo", "text": "Hello from the demo page", "delay_ms": 2000}),
        collectAfter="800", probeTimeout="10000")
    pipe = nvbrowser.DevToolsPipe(run, url, "chromium-screenshot", width=width)
    try:
        pipe.attach_to_page()
        results = pipe.demo_results(REPORT_TIMEOUT)
        bad = [s for s in results.get("steps", []) if not s.get("ok")]
        if not results.get("ok") or bad:
            raise TestFailure("the scripted run failed, no screenshot taken: " + json.dumps(bad or results)[:4000])
        height, size = pipe.screenshot(run.args.out, width)
        log(f"screenshot of the demo page ({width}x{height}, {size} bytes) written to {run.args.out}")
    finally:
        pipe.close()
    run.stop_daemon()


CASES = {"chromium": case_chromium, "firefox": case_firefox, "untrusted": case_untrusted, "policy": case_policy,
         "screenshot": case_screenshot}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--daemon", required=True, help="the staged program (<build>/stage/.../NorrimVelstraSvc)")
    parser.add_argument("--root-cert-name", default="vexrootcert.cer", help="root certificate file beside the program")
    parser.add_argument("--web-dir", default=os.path.join(SOURCE_DIR, "web"))
    parser.add_argument("--chromium", default="/usr/lib/chromium/chromium")
    parser.add_argument("--firefox", default="/usr/lib/firefox-esr/firefox-esr")
    parser.add_argument("--xvfb-run", default="xvfb-run")
    parser.add_argument("--certutil", default="certutil")
    parser.add_argument("--chromium-policy-dir", default="/etc/chromium/policies/managed",
                        help="Chromium's managed policy directory (case policy writes and removes a file there)")
    parser.add_argument("--out", default=os.path.join(SOURCE_DIR, "docs", "images", "demo.png"),
                        help="screenshot file (case screenshot)")
    args = parser.parse_args()
    args.out = os.path.abspath(args.out)

    # A stop by SIGTERM or SIGINT fails the run and still runs the clean-up.
    def stop(signo, _frame):
        raise TestFailure(f"stopped by signal {signo}")
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        with nvbrowser.BrowserRun(args) as run:
            CASES[args.case](run)
    except TestSkipped as skip:
        log(f"SKIPPED: {skip}")
        return nvbrowser.SKIP_RETURN_CODE
    except TestFailure as failure:
        log(f"FAILED: {failure}")
        return 1
    log("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
