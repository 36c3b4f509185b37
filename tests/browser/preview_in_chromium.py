#!/usr/bin/env python3
"""The control page in a real browser.

Starts the quillbright daemon on the simulated desktop (a still test
pattern) with the fake adb playing one DC-1, takes the reference client's
decode of the frame stream, opens http://127.0.0.1:8891/ in headless
Chromium and, through the DevTools protocol, checks that the page asks
nothing of any other address, that its canvas shows the streamed picture
(within JPEG's tolerance), that settings changed on the page reach the
daemon (read back over the control socket), and that Stop stops mirroring
while the page stays served, so its Start starts it again. A screenshot of
the page is written to <screenshot>. Everything started here is stopped here.

usage: preview_in_chromium.py <quillbright> <fake-adb> <qb-companion> <screenshot>
Exit status 77 (skipped) when Chromium or python3-websockets is missing.
"""
import asyncio
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
WIDTH, HEIGHT = 1600, 1200  # a DC-1 (1200x1600 panel) in landscape
STEP = 8                    # the canvas is sampled every STEP pixels each way

try:
    import websockets
except ImportError:
    print("python3-websockets is not installed: skipped")
    sys.exit(SKIP)


def fail(message):
    raise AssertionError(message)


def wait_for(check, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            fail("timed out waiting for " + what)
        time.sleep(0.05)


class Run:
    def __init__(self, quillbright, fake_adb, companion):
        self.quillbright, self.fake_adb, self.companion = quillbright, fake_adb, companion
        self.dir = tempfile.mkdtemp(prefix="qb-browser-")
        self.daemon = None
        self.chromium = None
        self.daemon_log = os.path.join(self.dir, "daemon.log")

    # -- the daemon -------------------------------------------------------
    def environment(self):
        resources = os.path.join(self.dir, "resources")
        os.makedirs(resources, exist_ok=True)
        shutil.copy(self.fake_adb, os.path.join(resources, "adb"))
        state = os.path.join(self.dir, "adb-state.json")
        with open(state, "w") as f:
            json.dump({"devices": [{
                "serial": "DC1-0001", "state": "device", "model": "DC_1", "product": "dc1",
                "device": "dc1", "usb": "1-1", "transportId": 1, "physicalSize": "1200x1600",
                "companion": {"versionName": "2.4.4", "running": False, "granted": False}}]}, f)
        env = dict(os.environ)
        env.update({
            "FAKE_ADB_STATE": state, "FAKE_ADB_LOG": os.path.join(self.dir, "adb.log"),
            "QUILLBRIGHT_ADB": self.fake_adb, "QUILLBRIGHT_RESOURCES": resources,
            "QUILLBRIGHT_PLATFORM": "sim", "QUILLBRIGHT_RUNTIME_DIR": self.dir,
            "QUILLBRIGHT_TEST_TIMING_SCALE": "0.05",
            "QUILLBRIGHT_SIM_FPS": "0.001",  # the pattern's first picture throughout
            "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
        })
        env.pop("NOTIFY_SOCKET", None)
        return env

    def start_daemon(self):
        self.env = self.environment()
        self.daemon = subprocess.Popen([self.quillbright, "start"], env=self.env, stdout=open(self.daemon_log, "w"),
                                       stderr=subprocess.STDOUT)

    def output(self):
        with open(self.daemon_log, errors="replace") as f:
            return f.read()

    def status(self):
        try:
            with open(os.path.join(self.dir, "quillbright.status")) as f:
                return dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line).get("status")
        except OSError:
            return None

    def health(self):
        """The daemon's HEALTH answer over its control socket, as a dict."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(os.path.join(self.dir, "quillbright.sock"))
            s.sendall(b"HEALTH\n")
            reply = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
        lines = reply.decode().splitlines()
        if not lines or lines[0] != "OK":
            fail("HEALTH answered %r" % reply[:200])
        return dict(line.split("=", 1) for line in lines[1:] if "=" in line)

    def reference_frame(self):
        raw = os.path.join(self.dir, "frame.raw")
        subprocess.run([self.companion, "--port", "8888", "--frames", "3", "--quiet", "--raw", raw],
                       env=self.env, check=True, timeout=30, stdout=subprocess.DEVNULL)
        with open(raw, "rb") as f:
            frame = f.read()
        if len(frame) != WIDTH * HEIGHT:
            fail("reference frame has %d bytes" % len(frame))
        return frame

    # -- the browser ------------------------------------------------------
    def start_chromium(self):
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        if not browser:
            print("chromium is not installed: skipped")
            sys.exit(SKIP)
        profile = os.path.join(self.dir, "chromium")
        os.makedirs(profile)
        self.chromium = subprocess.Popen([
            browser, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--window-size=1280,800", "--user-data-dir=" + profile, "--remote-debugging-port=0",
            "about:blank"], stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.dir, "chromium.log"), "w"),
            start_new_session=True)
        port_file = os.path.join(profile, "DevToolsActivePort")

        def port():
            if self.chromium.poll() is not None:
                fail("chromium exited with %s" % self.chromium.returncode)
            try:
                with open(port_file) as f:
                    lines = f.read().split("\n")
                return int(lines[0]) if len(lines) >= 2 and lines[0] else None
            except (OSError, ValueError):
                return None
        self.devtools_port = wait_for(port, 30, "DevToolsActivePort")

    def page_socket(self):
        def page():
            with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % self.devtools_port, timeout=5) as r:
                targets = json.load(r)
            for target in targets:
                if target.get("type") == "page":
                    return target["webSocketDebuggerUrl"]
            return None
        return wait_for(page, 30, "the browser's page target")

    def stop(self):
        for process, sig in ((self.chromium, signal.SIGKILL), (self.daemon, signal.SIGTERM)):
            if process and process.poll() is None:
                try:
                    os.killpg(process.pid, sig) if process is self.chromium else process.send_signal(sig)
                    process.wait(timeout=10)
                except (subprocess.TimeoutExpired, ProcessLookupError):
                    process.kill()
                    process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class DevTools:
    def __init__(self, socket):
        self.socket, self.next_id = socket, 0
        self.events = []  # every event received, in order

    async def call(self, method, **params):
        self.next_id += 1
        ident = self.next_id
        await self.socket.send(json.dumps({"id": ident, "method": method, "params": params}))
        while True:
            message = json.loads(await asyncio.wait_for(self.socket.recv(), 30))
            if "method" in message:
                self.events.append(message)
            if message.get("id") == ident:
                if "error" in message:
                    fail("%s: %s" % (method, message["error"]))
                return message["result"]

    async def evaluate(self, expression):
        result = await self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            fail("page script failed: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    async def click(self, element_id):
        box = await self.evaluate(
            "(() => { const r = document.getElementById('%s').getBoundingClientRect();"
            " return [r.x + r.width / 2, r.y + r.height / 2]; })()" % element_id)
        for kind in ("mousePressed", "mouseReleased"):
            await self.call("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)


SAMPLE_CANVAS = """(() => {
  const c = document.getElementById('c');
  if (!c) return null;  // the page is still loading
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  const grey = [], spread = [];
  for (let y = 0; y < c.height; y += %d) for (let x = 0; x < c.width; x += %d) {
    const i = (y * c.width + x) * 4;
    grey.push(d[i]); spread.push(Math.max(d[i], d[i+1], d[i+2]) - Math.min(d[i], d[i+1], d[i+2]));
  }
  return {width: c.width, height: c.height, grey: grey, spread: Math.max(...spread)};
})()""" % (STEP, STEP)


async def check_in_browser(run, reference, screenshot):
    async with websockets.connect(run.page_socket(), max_size=None) as socket:
        tools = DevTools(socket)
        # Every request the page makes is watched from before it loads.
        await tools.call("Network.enable")
        await tools.call("Page.enable")
        await tools.call("Page.navigate", url="http://127.0.0.1:8891/")
        # The canvas, once a picture has been drawn on it.
        deadline = time.monotonic() + 30
        while True:
            canvas = await tools.evaluate(SAMPLE_CANVAS)
            if canvas and max(canvas["grey"]) - min(canvas["grey"]) > 64:
                break
            if time.monotonic() > deadline:
                fail("the canvas stayed blank")
            await asyncio.sleep(0.1)
        if (canvas["width"], canvas["height"]) != (WIDTH, HEIGHT):
            fail("canvas is %dx%d" % (canvas["width"], canvas["height"]))
        if canvas["spread"] > 24:
            fail("a greyscale device's preview has colour (channel spread %d)" % canvas["spread"])
        expected = [reference[y * WIDTH + x] for y in range(0, HEIGHT, STEP) for x in range(0, WIDTH, STEP)]
        # The preview is the captured picture; the stream carries it after the
        # device's tone curve (contrast and gamma). So the two agree up to a
        # monotone mapping of grey levels: every canvas pixel lies close to
        # the mean of the canvas pixels whose streamed value is the same, and
        # those means rise with the streamed value. A moved, scaled, stale or
        # blank picture scatters the groups.
        groups = {}
        for shown, streamed in zip(canvas["grey"], expected):
            groups.setdefault(streamed, []).append(shown)
        means = {level: sum(values) / len(values) for level, values in groups.items()}
        deviations = sorted(abs(shown - means[streamed]) for shown, streamed in zip(canvas["grey"], expected))
        mean = sum(deviations) / len(deviations)
        p99 = deviations[int(len(deviations) * 0.99)]
        levels = sorted(level for level, values in groups.items() if len(values) >= 20)
        falls = [(a, b) for a, b in zip(levels, levels[1:]) if means[b] < means[a] - 3]
        print("canvas vs reference decode: %d samples, %d grey levels, mean deviation %.2f, 99th percentile %.1f"
              % (len(deviations), len(groups), mean, p99))
        if mean > 4 or p99 > 32:
            fail("the canvas does not show the streamed frame")
        if falls or means[levels[-1]] - means[levels[0]] < 128:
            fail("the canvas's grey levels do not follow the stream's: %s" % falls[:5])

        # Settings changed on the page reach the daemon.
        await tools.evaluate("""(() => {
          const set = (id, value) => { const e = document.getElementById(id); e.value = value;
                                       e.dispatchEvent(new Event('change')); };
          set('contrast', '1.7'); set('brightness', '180'); set('mode', 'extended'); })()""")
        wanted = {"contrast": "1.7", "brightness": "180", "display_mode": "extended"}
        wait_for(lambda: all(run.health().get(k) == v for k, v in wanted.items()), 20, "the page's settings")
        wait_for(lambda: run.status() == "running", 30, "the mirror to run again in extended mode")

        # Stop stops mirroring and the page stays: it shows the new state,
        # read through the same server, and its Start starts again.
        await tools.click("stop")
        wait_for(lambda: run.status() == "idle", 20, "status idle")
        await wait_for_page(tools, "idle")
        await tools.click("start")
        wait_for(lambda: run.status() == "running", 30, "status running after the page's Start")
        await wait_for_page(tools, "running")

        shot = await tools.call("Page.captureScreenshot", format="png")
        os.makedirs(os.path.dirname(screenshot), exist_ok=True)
        with open(screenshot, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

        asked = sorted({e["params"]["request"]["url"] for e in tools.events
                        if e["method"] == "Network.requestWillBeSent"})
        sockets = sorted({e["params"]["url"] for e in tools.events if e["method"] == "Network.webSocketCreated"})
        print("page requests:", asked, sockets)
        outside = [u for u in asked if not u.startswith("http://127.0.0.1:8891/")]
        outside += [u for u in sockets if not u.startswith("ws://localhost:8890")]
        if outside or not sockets:
            fail("the page asked for %s (sockets %s)" % (outside, sockets))


async def wait_for_page(tools, state):
    deadline = time.monotonic() + 20
    while await tools.evaluate("document.getElementById('state').textContent") != state:
        if time.monotonic() > deadline:
            fail("the page never showed state %r" % state)
        await asyncio.sleep(0.1)


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    run = Run(*(os.path.abspath(a) for a in sys.argv[1:4]))
    try:
        run.start_daemon()
        wait_for(lambda: run.status() == "running" or run.daemon.poll() is not None, 30, "the daemon to run")
        if run.status() != "running":
            fail("daemon is not running")
        reference = run.reference_frame()
        run.start_chromium()
        asyncio.run(check_in_browser(run, reference, os.path.abspath(sys.argv[4])))
        print("control page in Chromium: OK, screenshot " + sys.argv[4])
        return 0
    except (AssertionError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as error:
        print("FAIL:", error)
        print("--- daemon output ---\n" + run.output()[-6000:])
        return 1
    finally:
        run.stop()


if __name__ == "__main__":
    sys.exit(main())
