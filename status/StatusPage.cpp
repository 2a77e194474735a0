#include "status/StatusPage.h"

namespace tarvix {

const char* const kStatusPage = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tarvix RS485 relay</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 0; background: #f4f5f7; color: #1d2330; }
header { background: #1d2330; color: #fff; padding: 10px 16px; display: flex; flex-wrap: wrap; gap: 4px 16px; align-items: baseline; }
header h1 { font-size: 17px; margin: 0; }
#answer { margin-left: auto; font-size: 13px; }
#answer.stale { background: #b3261e; padding: 2px 8px; border-radius: 3px; font-weight: bold; }
main { padding: 12px 16px; display: grid; gap: 12px; }
section { background: #fff; border-radius: 6px; padding: 10px 12px; box-shadow: 0 1px 2px rgba(0,0,0,.12); overflow-x: auto; }
h2 { font-size: 14px; margin: 0 0 8px; color: #4a5568; }
#counters { display: grid; grid-template-columns: repeat(auto-fit, minmax(110px, 1fr)); gap: 8px; }
.counter { background: #eef1f6; border-radius: 4px; padding: 6px 8px; }
.counter b { display: block; font-size: 20px; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 2px 12px; margin: 0; }
dt { color: #4a5568; }
dd { margin: 0; font-family: ui-monospace, monospace; }
.bad { color: #b3261e; font-weight: bold; }
table { border-collapse: collapse; width: 100%; font-size: 13px; }
th, td { text-align: right; padding: 3px 6px; border-bottom: 1px solid #e2e6ec; white-space: nowrap; }
th:nth-child(2), td:nth-child(2) { text-align: left; }
table.devices th, table.devices td { text-align: right; }
#log { font: 12px/1.35 ui-monospace, monospace; white-space: pre-wrap; word-break: break-all; max-height: 22em; overflow-y: auto; margin: 0; }
#log .error { color: #b3261e; font-weight: bold; }
#log .warning { color: #8a5a00; }
#log time { color: #6b7280; }
#endpoints-box { max-height: 32em; overflow-y: auto; }
#endpoints tr.busy td { background: #fff4d6; }
#settings { grid-template-columns: repeat(auto-fill, minmax(130px, max-content) minmax(150px, 1fr)); }
#filter { font: inherit; padding: 2px 6px; margin-left: 12px; width: 14em; }
@media (min-width: 900px) { main { grid-template-columns: 1fr 1fr; } .wide { grid-column: 1 / -1; } }
</style>
</head>
<body>
<header><h1>Tarvix RS485 relay</h1><span id="program"></span><span id="answer">waiting for the relay</span></header>
<main>
<section class="wide"><h2>Counters</h2><div id="counters">
<div class="counter">TxSent<b id="TxSent">-</b></div><div class="counter">RxRec<b id="RxRec">-</b></div>
<div class="counter">PortRec<b id="PortRec">-</b></div><div class="counter">PortTx<b id="PortTx">-</b></div>
</div></section>
<section><h2>Serial port</h2><dl>
<dt>Port</dt><dd id="serial-port">-</dd><dt>State</dt><dd id="serial-state">-</dd>
<dt>Baud</dt><dd id="serial-baud">-</dd><dt>Losses</dt><dd id="serial-losses">-</dd>
<dt>Listening</dt><dd id="listen">-</dd>
</dl></section>
<section><h2>Bus</h2><dl>
<dt>State</dt><dd id="bus-state">-</dd><dt>Endpoint</dt><dd id="bus-endpoint">-</dd>
<dt>Frame</dt><dd id="bus-frame">-</dd><dt>Busy</dt><dd id="bus-busy">-</dd>
<dt>Refused</dt><dd id="refused">-</dd>
<dt>Datagrams</dt><dd id="books">-</dd>
</dl></section>
<section class="wide"><h2>Settings</h2><dl id="settings"></dl></section>
<section class="wide"><h2>Endpoints <span id="endpoints-total"></span>
<input id="filter" type="search" placeholder="filter: IP, port" aria-label="filter the endpoints"></h2>
<div id="endpoints-box"><table><thead><tr><th>#</th><th>IP</th><th>port</th><th>ID</th><th>Q size</th><th>#packets</th>
<th>replies</th><th>resends</th><th>given up</th><th>last reply ms</th></tr></thead>
<tbody id="endpoints"></tbody></table></div></section>
<section class="wide"><h2>Devices</h2>
<table class="devices"><thead><tr><th>ID</th><th>requests</th><th>replies</th><th>resends</th><th>time-outs</th><th>given up</th>
<th>wrong ID</th><th>echoes</th><th>noise bytes</th><th>response ms min / p50 / p99 / max</th><th>last ms</th>
<th>last heard</th><th>time-out ms</th></tr></thead>
<tbody id="devices"></tbody></table></section>
<section class="wide"><h2>Log</h2><pre id="log"></pre></section>
</main>
<script>
"use strict";
/* A refresh asks for the endpoints that matter most (those holding requests,
   then the most recently active), at most 100, or all the relay lists while
   the filter is in use; rows keep their place (by table index) and only
   changed cells are written, so a refresh stays a short task. */
const kEndpoints = 100;
let lastAnswer = null;
const $ = (id) => document.getElementById(id);
function text(id, value) { $(id).textContent = value; }
const rows = new Map();  /* table index -> row */
function cellsOf(e) {
  return [e.index, e.ip, e.port, e.id, e.queued, e.packets, e.replies, e.resends, e.given_up,
          e.last_reply_ms === null ? "-" : e.last_reply_ms.toFixed(1)];
}
function showEndpoints(s) {
  const filter = $("filter").value.trim().toLowerCase();
  const shown = s.endpoints.filter((e) => !filter || (e.ip + " " + e.port + " " + e.ip + ":" + e.port).includes(filter));
  shown.sort((a, b) => a.index - b.index);
  const keep = new Set();
  for (const e of shown) {
    keep.add(e.index);
    let row = rows.get(e.index);
    if (!row) {
      row = document.createElement("tr");
      for (let k = 0; k < 10; ++k) row.appendChild(document.createElement("td"));
      rows.set(e.index, row);
    }
    const values = cellsOf(e);
    for (let k = 0; k < values.length; ++k) {
      const v = String(values[k]);
      if (row.cells[k].textContent !== v) row.cells[k].textContent = v;
    }
    const busy = e.on_bus || e.queued > 0;
    if (row.classList.contains("busy") !== busy) row.classList.toggle("busy", busy);
  }
  for (const [index, row] of rows) if (!keep.has(index)) { row.remove(); rows.delete(index); }
  /* Rows in index order: only those out of place move. */
  const body = $("endpoints");
  let at = body.firstChild;
  for (const e of shown) {
    const row = rows.get(e.index);
    if (row !== at) body.insertBefore(row, at);
    else at = at.nextSibling;
  }
  text("endpoints-total", "(" + shown.length + " shown of " + s.endpoints_total +
       (filter ? ", filtered" : "") + "; those holding requests first)");
}
function showSettings(t) {
  const on = (v) => v === null ? "off" : v;
  const items = [["reply time-out", t.reply_timeout_ms + " ms"], ["resend limit", t.resend_limit === null ? "none" : t.resend_limit],
    ["queue limit", t.queue_limit], ["max wait", t.max_wait_ms === null ? "off" : t.max_wait_ms + " ms"],
    ["scheduler", t.turnaround_ms === null ? "polling" : "event-driven, turnaround " + t.turnaround_ms + " ms" +
      (t.turnaround_auto ? " (auto)" : "")],
    ["device time-outs", Object.entries(t.device_timeouts_ms).map(([id, ms]) => id + ": " + ms + " ms").join(", ") || "none"],
    ["match ID", t.match_id ? "on" : "off"], ["local echo", t.local_echo ? "on" : "off"], ["RS485", t.rs485 ? "on" : "off"],
    ["allow", t.allow || "every address"],
    ["traces", ["tx", "rx", "port"].filter((k) => t.traces[k]).join(", ") || "none"],
    ["line speed", t.baud + " baud"], ["serial port", "COM" + t.com], ["UDP port", on(t.udp_port)]];
  const list = $("settings");
  if (list.children.length !== items.length * 2) {
    list.replaceChildren(...items.flatMap(() => [document.createElement("dt"), document.createElement("dd")]));
  }
  items.forEach(([name, value], k) => {
    list.children[2 * k].textContent = name;
    if (list.children[2 * k + 1].textContent !== String(value)) list.children[2 * k + 1].textContent = value;
  });
}
const pad = (n, width) => String(n).padStart(width, "0");
function logLine(entry) {
  const line = document.createElement("div");
  line.className = entry.level;
  const time = document.createElement("time");
  const at = new Date(entry.time);
  time.dateTime = entry.time;
  time.textContent = pad(at.getHours(), 2) + ":" + pad(at.getMinutes(), 2) + ":" + pad(at.getSeconds(), 2) + "." +
                     pad(at.getMilliseconds(), 3) + " ";
  line.append(time, entry.level === "error" || entry.level === "warning" ? entry.level + ": " + entry.text : entry.text);
  line.dataset.key = entry.time + entry.text;
  return line;
}
/* Only the lines not shown yet are added, and as many of the oldest go. */
function showLog(s) {
  const log = $("log");
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  const last = log.lastElementChild ? log.lastElementChild.dataset.key : null;
  let from = 0;
  if (last !== null) {
    from = s.log.length;
    while (from > 0 && s.log[from - 1].time + s.log[from - 1].text !== last) --from;
    if (from === 0) log.replaceChildren();
  }
  if (from === s.log.length) return;
  const lines = document.createDocumentFragment();
  for (let k = from; k < s.log.length; ++k) lines.appendChild(logLine(s.log[k]));
  log.appendChild(lines);
  while (log.childElementCount > s.log.length) log.firstElementChild.remove();
  if (atEnd) log.scrollTop = log.scrollHeight;
}
let latest = null;
function show(s) {
  latest = s;
  text("program", s.program + " " + s.version + ", up " + Math.floor(s.uptime_s) + " s");
  for (const k of ["TxSent", "RxRec", "PortRec", "PortTx"]) text(k, s.counters[k]);
  text("serial-port", "COM" + s.serial.com + " (" + s.serial.device + ")");
  text("serial-state", s.serial.state);
  $("serial-state").className = s.serial.state === "open" ? "" : "bad";
  text("serial-baud", s.serial.baud);
  text("serial-losses", s.serial.losses);
  text("listen", s.listen);
  text("bus-state", s.bus.waiting_for_port ? "waiting for the port" : s.bus.idle ? "idle" :
       "awaiting a reply" + (s.bus.resends ? ", " + s.bus.resends + " resends" : ""));
  text("bus-endpoint", s.bus.endpoint ? s.bus.endpoint.ip + " " + s.bus.endpoint.port : "-");
  text("bus-frame", s.bus.frame || "-");
  text("bus-busy", s.bus.idle ? "-" : s.bus.busy_ms.toFixed(0) + " ms");
  text("refused", Object.entries(s.refused).map(([k, v]) => k + " " + v).join(", "));
  text("books", s.datagrams_received + " received, " + s.queued + " queued, " + s.timeouts + " time-outs");
  showSettings(s.settings);
  showEndpoints(s);
  showLog(s);
}
function showDevices(devices) {
  const ms = (v) => v === null ? "-" : v.toFixed(1);
  const body = document.createDocumentFragment();
  for (const d of devices) {
    const row = document.createElement("tr");
    const r = d.response_ms;
    for (const v of [d.id, d.requests, d.replies, d.resends, d.timeouts, d.given_up, d.wrong_id, d.echoes,
                     d.discarded_bytes, [r.min, r.p50, r.p99, r.max].map(ms).join(" / "), ms(r.last),
                     d.last_heard_s === null ? "never" : d.last_heard_s.toFixed(1) + " s ago",
                     ms(d.timeout_ms) + (d.timeout_source === "learned"
                                           ? " learned from " + d.timeout_learned_from + " replies"
                                           : d.timeout_source === "device" ? " its own" : "")]) {
      const cell = document.createElement("td");
      cell.textContent = v;
      row.appendChild(cell);
    }
    body.appendChild(row);
  }
  $("devices").replaceChildren(body);
}
async function refresh() {
  try {
    const wanted = $("filter").value.trim() ? 1000 : kEndpoints;
    const response = await fetch("status.json?endpoints=" + wanted, { cache: "no-store", signal: AbortSignal.timeout(2500) });
    if (!response.ok) throw new Error("HTTP " + response.status);
    const status = await response.json();
    performance.mark("show-start");
    show(status);
    showDevices(status.devices || []);
    performance.measure("show", "show-start");
    lastAnswer = new Date();
    $("answer").className = "";
    text("answer", "live, " + lastAnswer.toLocaleTimeString());
  } catch (error) {
    $("answer").className = "stale";
    text("answer", lastAnswer ? "relay stopped answering at " + lastAnswer.toLocaleTimeString()
                              : "relay not answering");
  }
}
$("filter").addEventListener("input", () => { if (latest) showEndpoints(latest); refresh(); });
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)page";

}  // namespace tarvix
