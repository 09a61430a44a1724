"""A live view of one controller in the browser: python3 -m quil view ADDRESS.

The server is the standard library's (http.server, threads, Server-Sent
Events) and serves one self-contained page: a scrolling plot of the stream's
channels with its rate and loss counters, the measured values of OUT1 to OUT8
with their status and a short history, the model and program, and the
controller's settings as a settings file to download. Nothing on the page can
change the controller: it only reads. A controller that goes away shows as
disconnected; the view opens it again once it answers.
"""

import json
import threading
import time
from collections import deque
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Optional

from .controller import Controller, ValueStatus
from .errors import QuilError, StreamError
from .stream import Stream

OUTS = 8
HISTORY = 60  # readings kept per OUT
PLOT_POINTS = 600  # values kept per channel for the plot
_NOT_OPEN = 8192  # QUIL_ERROR_OPEN
_STATUS = {
    ValueStatus.NORMAL: "normal",
    ValueStatus.PLUS_FFFFFFF: "above",
    ValueStatus.MINUS_FFFFFFF: "below",
    ValueStatus.XXXXXXXX: "invalid",
}


class Monitor:
    """Reads one controller over and over on a thread of its own: the
    measured values every interval seconds, the stream's batches as they
    come. state() is a snapshot for the page."""

    def __init__(self, address: str, interval: float = 0.2, batch: int = 1000, library=None):
        self.address = address
        self.interval = interval
        self.batch = batch
        self.library = library
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._controller: Optional[Controller] = None
        self._stream: Optional[Stream] = None
        self._connected = False
        self._model = None
        self._program = None
        self._outs = [{"out": n, "value": None, "status": "invalid"} for n in range(1, OUTS + 1)]
        self._history = [deque(maxlen=HISTORY) for _ in range(OUTS)]
        self._channels = [deque(maxlen=PLOT_POINTS) for _ in range(4)]
        self._batches = 0
        self._values = 0
        self._rate = 0.0
        self._stats = None
        self._since = time.monotonic()
        self._thread = threading.Thread(target=self._run, name="quil-view-monitor", daemon=True)

    def start(self) -> "Monitor":
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()
        self._drop()

    # --------------------------------------------------------------- reading
    def _open(self):
        c = Controller(self.address, library=self.library)
        try:
            model = c.get_device_type()
            stream = Stream(self.address, self.batch, callback=self._on_batch, library=self.library)
        except BaseException:
            c.close()
            raise
        with self._lock:
            self._controller, self._stream, self._model = c, stream, model
            self._connected = True
            self._since = time.monotonic()
            self._values = 0

    def _drop(self):
        with self._lock:
            c, s = self._controller, self._stream
            self._controller = self._stream = None
            self._connected = False
        for end in (s.stop if s else None, c.close if c else None):
            try:
                if end:
                    end()
            except (QuilError, StreamError):
                pass  # already gone

    def _on_batch(self, batch):
        # On the library's receive thread: a few evenly spaced values of each
        # channel, so the plot scrolls at the same pace whatever the batch.
        step = max(1, batch.count // 5)
        with self._lock:
            for k in range(4):
                values = batch.channels[k]
                if values is not None:
                    self._channels[k].extend(values[::step])
            self._batches += 1
            self._values += batch.count
            elapsed = time.monotonic() - self._since
            self._rate = self._values / elapsed if elapsed > 0 else 0.0

    def _read(self, c: Controller):
        readings = c.measure_all() + [c.measure(n) for n in range(5, OUTS + 1)]
        program = c.get_program()
        stats = self._stream.stats().as_dict() if self._stream else None
        with self._lock:
            for m in readings:
                k = m.out - 1
                value = round(m.value, 4) if m.valid else None
                self._outs[k] = {"out": m.out, "value": value, "status": _STATUS.get(m.status, "invalid")}
                self._history[k].append(value)
            self._program = program
            self._stats = stats

    def _run(self):
        while not self._stop.is_set():
            c = self._controller
            try:
                if c is None:
                    self._open()
                    c = self._controller
                self._read(c)
            except (QuilError, StreamError, OSError):
                self._drop()
                self._stop.wait(1.0)  # try again in a second
                continue
            self._stop.wait(self.interval)

    def state(self) -> dict:
        with self._lock:
            return {
                "address": self.address,
                "connected": self._connected,
                "model": self._model,
                "program": self._program,
                "outs": [dict(o, history=list(h)) for o, h in zip(self._outs, self._history)],
                "stream": {
                    "channels": [list(ch) for ch in self._channels],
                    "batches": self._batches,
                    "rate": round(self._rate),
                    "stats": self._stats,
                },
            }

    def settings_text(self) -> str:
        """The controller's settings as a settings file; QuilError when it
        cannot be read (not connected: QUIL_ERROR_OPEN)."""
        c = self._controller
        if c is None:
            raise QuilError(_NOT_OPEN, "quil_settings_text", library=self.library)
        return c.settings_text()


# ------------------------------------------------------------------ the page
PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>quil view</title>
<style>
body { font: 14px sans-serif; margin: 16px; color: #222; }
h1 { font-size: 18px; margin: 0 0 8px; }
#status { font-weight: bold; padding: 2px 8px; border-radius: 4px; }
#status.connected { background: #cfc; } #status.disconnected { background: #fcc; }
table { border-collapse: collapse; margin-top: 12px; }
td, th { padding: 2px 10px; text-align: left; } td.value { text-align: right; font-family: monospace; width: 8em; }
.above, .below, .invalid { color: #b00; }
canvas#plot { border: 1px solid #ccc; display: block; margin-top: 8px; }
#streaminfo span { margin-right: 16px; }
</style></head>
<body>
<h1>quil view: <span id="address"></span> <span id="status" class="disconnected">disconnected</span></h1>
<div>model <span id="model">-</span> &middot; program <span id="program">-</span> &middot;
<a id="download" href="/settings.xml" download="settings.xml">download settings</a></div>
<canvas id="plot" width="800" height="260"></canvas>
<div id="streaminfo"><span>rate <b id="rate">0</b> values/s per channel</span><span>batches <b id="batches">0</b></span>
<span>packets <b id="packets">0</b></span><span>skipped bytes <b id="discarded">0</b></span>
<span>bad headers <b id="badheaders">0</b></span><span>dropped packets <b id="dropped">0</b></span></div>
<table id="outs"><tr><th>OUT</th><th>value</th><th>status</th><th>history</th></tr></table>
<script>
"use strict";
const colors = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd"];
const table = document.getElementById("outs");
for (let n = 1; n <= 8; n++) {
  const row = table.insertRow();
  row.id = "out" + n;
  row.insertCell().textContent = "OUT" + n;
  const value = row.insertCell(); value.className = "value"; value.id = "out" + n + "-value"; value.textContent = "-";
  row.insertCell().id = "out" + n + "-status";
  const c = document.createElement("canvas"); c.width = 180; c.height = 24; c.id = "out" + n + "-history";
  row.insertCell().appendChild(c);
}
function set(id, text) { document.getElementById(id).textContent = text; }
function range(lists) {
  let lo = Infinity, hi = -Infinity;
  lists.forEach(l => l.forEach(v => { if (v !== null) { lo = Math.min(lo, v); hi = Math.max(hi, v); } }));
  return hi > lo ? [lo, hi] : [lo - 1, hi + 1];
}
function line(ctx, values, w, h, color, [lo, hi] = range([values])) {
  if (values.filter(v => v !== null).length < 2) return;
  ctx.strokeStyle = color; ctx.lineWidth = 1.5; ctx.beginPath();
  let first = true;
  values.forEach((v, i) => {
    if (v === null) { first = true; return; }
    const x = i * (w - 1) / Math.max(1, values.length - 1), y = h - 2 - (v - lo) / (hi - lo) * (h - 4);
    if (first) ctx.moveTo(x, y); else ctx.lineTo(x, y);
    first = false;
  });
  ctx.stroke();
}
function show(s) {
  set("address", s.address);
  const status = document.getElementById("status");
  status.textContent = s.connected ? "connected" : "disconnected";
  status.className = s.connected ? "connected" : "disconnected";
  set("model", s.model === null ? "-" : s.model);
  set("program", s.program === null ? "-" : s.program);
  s.outs.forEach(o => {
    set("out" + o.out + "-value", o.value === null ? "-" : o.value.toFixed(4));
    const st = document.getElementById("out" + o.out + "-status");
    st.textContent = o.status; st.className = o.status;
    const c = document.getElementById("out" + o.out + "-history"), ctx = c.getContext("2d");
    ctx.clearRect(0, 0, c.width, c.height);
    line(ctx, o.history, c.width, c.height, "#444");
  });
  const plot = document.getElementById("plot"), ctx = plot.getContext("2d");
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, plot.width, plot.height);
  // One scale for every channel, so their levels compare.
  const scale = range(s.stream.channels);
  s.stream.channels.forEach((ch, k) => line(ctx, ch, plot.width, plot.height, colors[k], scale));
  set("rate", s.stream.rate); set("batches", s.stream.batches);
  const st = s.stream.stats || {};
  set("packets", st.packets || 0); set("discarded", st.bytes_discarded || 0);
  set("badheaders", st.bad_headers || 0); set("dropped", (st.overfill_dropped || 0) + (st.misframed_packets || 0));
}
// The state when the page was served, then every change as it comes.
const initial = /*STATE*/null;
if (initial) show(initial);
const events = new EventSource("/events");
events.onmessage = e => show(JSON.parse(e.data));
</script>
</body></html>
"""


class _Handler(BaseHTTPRequestHandler):
    monitor: Monitor = None  # set per server
    period = 0.25  # seconds between two events

    def log_message(self, format, *args):  # no lines on the console per request
        pass

    def _send(self, body: bytes, kind: str, extra=()):
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path == "/":
            state = json.dumps(self.monitor.state()).replace("</", "<\\/")
            self._send(PAGE.replace("/*STATE*/null", state).encode("utf-8"), "text/html; charset=utf-8")
        elif path == "/state":
            self._send(json.dumps(self.monitor.state()).encode("utf-8"), "application/json")
        elif path == "/settings.xml":
            try:
                text = self.monitor.settings_text()
            except QuilError as e:
                self.send_error(503, "the settings cannot be read now: %s" % e.name)
                return
            self._send(
                text.encode("utf-8"),
                "application/xml",
                [("Content-Disposition", 'attachment; filename="settings.xml"')],
            )
        elif path == "/events":
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            try:
                while not self.server.stopping.is_set():
                    self.wfile.write(b"data: " + json.dumps(self.monitor.state()).encode("utf-8") + b"\n\n")
                    self.wfile.flush()
                    self.server.stopping.wait(self.period)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the page went away
        else:
            self.send_error(404)


class ViewServer(ThreadingHTTPServer):
    """The view of one Monitor on (bind, port); port 0 picks a free one
    (server_address tells which)."""

    daemon_threads = True

    def __init__(self, monitor: Monitor, bind: str = "127.0.0.1", port: int = 8080):
        handler = type("Handler", (_Handler,), {"monitor": monitor})
        self.stopping = threading.Event()
        super().__init__((bind, port), handler)

    def shutdown(self):
        self.stopping.set()
        super().shutdown()


def serve(address: str, bind: str = "127.0.0.1", port: int = 8080) -> None:
    """Runs the view until Ctrl-C."""
    monitor = Monitor(address).start()
    server = ViewServer(monitor, bind, port)
    host, port = server.server_address[:2]
    print("quil view of %s on http://%s:%d/ (Ctrl-C ends it)" % (address, host, port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
        monitor.stop()
