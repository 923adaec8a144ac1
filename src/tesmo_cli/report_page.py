"""Style and script of the change report page (see report.py).

The script reads the JSON model from <script id="model">, draws every lane
on one canvas (only the clips in view, so a 20,000-clip cut stays quick),
and keeps one SVG group per change record in an overlay: outlines of the
clips it names, the connector of a move, the marker of a transition, the
frame of an added or removed track. Each group carries data-op and
data-rec; the change table's rows carry data-rec.

Colours are the Okabe-Ito set, and every kind also has a mark that needs no
hue: hatching for removed clips, a heavy outline for added ones, dots for
replaced media, an "fx" badge, trim bands, connectors, and a text tag under
each clip name.
"""

from __future__ import annotations

PAGE_STYLE = """
:root{--ink:#1b1f24;--muted:#5b6470;--line:#d5dae0;--bg:#fff;--panel:#f5f7f9}
*{box-sizing:border-box}
body{margin:0;font:13px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:var(--ink);background:var(--bg)}
header{padding:12px 16px 4px}
h1{font-size:18px;margin:0 0 2px}
.sub{margin:0;color:var(--muted)}
#summary{display:flex;flex-wrap:wrap;gap:6px;margin:8px 0 0}
.count{display:inline-flex;align-items:center;gap:6px;padding:2px 8px 2px 4px;border:1px solid var(--line);border-radius:12px;background:var(--panel)}
.count b{font-variant-numeric:tabular-nums}
.count.zero{opacity:.45}
#legend{display:flex;flex-wrap:wrap;gap:4px 14px;padding:6px 16px;color:var(--muted);font-size:12px}
#legend span{display:inline-flex;align-items:center;gap:5px}
.sw{display:inline-block;width:22px;height:13px;border-radius:2px;border:1px solid rgba(0,0,0,.35);vertical-align:middle;flex:none}
.sw.unchanged{background:#cbd2da}
.sw.added{background:#009e73;border:2.5px solid #00402f}
.sw.removed{background:repeating-linear-gradient(135deg,#d55e00 0 3px,#fff 3px 5px)}
.sw.trimmed{background:linear-gradient(90deg,#e69f00 0 60%,#6b4a00 60% 100%)}
.sw.moved{background:#56b4e9}
.sw.replaced{background:radial-gradient(circle,#fff 1px,transparent 1.5px) 0 0/4px 4px,#cc79a7}
.sw.effects_changed{background:#0072b2;color:#fff;font:bold 9px/11px sans-serif;text-align:center}
.sw.transition_added,.sw.transition_removed{background:#f0e442;clip-path:polygon(0 0,50% 50%,0 100%,100% 100%,50% 50%,100% 0);border:none}
.sw.track_added{background:#e3f4ee;border:2px solid #009e73}
.sw.track_removed{background:repeating-linear-gradient(135deg,#fbe3d4 0 3px,#fff 3px 6px);border:2px dashed #d55e00}
.sw.connector{height:2px;border:none;border-top:2px dashed #1b1f24;border-radius:0}
#toolbar{display:flex;align-items:center;gap:6px;padding:4px 16px 6px}
#toolbar button{font:inherit;min-width:32px;padding:2px 8px;border:1px solid var(--line);border-radius:4px;background:var(--panel);cursor:pointer}
#toolbar button:hover{background:#e8ecf0}
.hint{color:var(--muted);font-size:12px;margin-left:6px}
#view{position:relative;overflow-x:auto;overflow-y:hidden;border-top:1px solid var(--line);border-bottom:1px solid var(--line)}
#stage{position:sticky;left:0;top:0}
#spacer{height:1px}
#lanes{display:block;cursor:default}
#marks{position:absolute;top:0;pointer-events:none;overflow:hidden}
#marks .box{fill:none;stroke:#1b1f24;stroke-width:1.2}
#marks [data-op=added] .box{stroke:#00402f;stroke-width:2.5}
#marks .box.thin{stroke:none}
#marks .connector{fill:none;stroke:#1b1f24;stroke-width:1.6;stroke-dasharray:5 3}
#marks .transition{fill:#f0e442;stroke:#1b1f24;stroke-width:1.2}
#marks [data-op=transition_removed] .transition{stroke-dasharray:3 2}
#marks .lane{fill:none;stroke-width:2.5}
#marks [data-op=track_added] .lane{stroke:#009e73}
#marks [data-op=track_removed] .lane{stroke:#d55e00;stroke-dasharray:7 4}
#marks .sel .box,#marks .sel .transition,#marks .sel .lane{stroke:#000;stroke-width:3.5}
#marks .sel .box{fill:rgba(255,255,255,.25)}
#marks .sel .connector{stroke:#000;stroke-width:3;stroke-dasharray:none}
#tip{position:fixed;z-index:5;max-width:460px;padding:7px 9px;border-radius:5px;background:#1b1f24;color:#fff;font-size:12px;pointer-events:none;box-shadow:0 2px 8px rgba(0,0,0,.3)}
#tip b{font-size:13px;word-break:break-all}
#tip .k{color:#aeb7c2}
#tip div{margin-top:2px;word-break:break-all}
table{border-collapse:collapse;margin:10px 16px 24px;min-width:min(100% - 32px,980px)}
th,td{text-align:left;padding:3px 10px 3px 6px;border-bottom:1px solid var(--line);vertical-align:top}
th{background:var(--panel);position:sticky;top:0}
td:first-child{color:var(--muted);font-variant-numeric:tabular-nums;text-align:right}
tbody tr{cursor:pointer}
tbody tr:hover{background:#f0f4f8}
tbody tr.sel{background:#ffeeb0}
td.subject{max-width:240px;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
td.what{word-break:break-word}
.op{display:inline-flex;align-items:center;gap:6px;white-space:nowrap}
"""

PAGE_SCRIPT = r"""
(function () {
"use strict";
var M = JSON.parse(document.getElementById("model").textContent);
var OPS = M.ops, MEDIA = M.media;
var COLOR = {unchanged: "#cbd2da", trimmed: "#e69f00", moved: "#56b4e9", replaced: "#cc79a7",
  effects_changed: "#0072b2", added: "#009e73", removed: "#d55e00",
  transition_added: "#f0e442", transition_removed: "#f0e442", track_added: "#e3f4ee",
  track_removed: "#fbe3d4"};
var DARK_TEXT = {unchanged: 1, trimmed: 1, moved: 1, replaced: 1};
var TAG = {trimmed: "trim", moved: "moved", replaced: "new media", effects_changed: "fx",
  added: "new", removed: "gone"};
var NAME = {trimmed: "trimmed", moved: "moved", replaced: "media replaced",
  effects_changed: "effects changed", added: "added", removed: "removed",
  transition_added: "transition added", transition_removed: "transition removed",
  track_added: "track added", track_removed: "track removed"};
// A clip's fill is its most telling change; its other changes keep their marks.
var FILL_ORDER = ["removed", "added", "moved", "trimmed", "replaced", "effects_changed"];
var LEFT = 150, RULER = 22, LANE = 42, GAP = 12;

var view = document.getElementById("view"), stage = document.getElementById("stage");
var spacer = document.getElementById("spacer"), canvas = document.getElementById("lanes");
var marks = document.getElementById("marks"), tip = document.getElementById("tip");
var tbody = document.querySelector("#changes tbody");
var ctx = canvas.getContext("2d");
var SVGNS = "http://www.w3.org/2000/svg";

function opOf(code) { return OPS[code]; }

// Lanes: seconds for every clip, and which records name each clip.
function makeLane(data, group, side) {
  if (!data) return null;
  var rate = data[2] > 0 ? data[2] : 24, clips = data[4], n = clips.length;
  var lane = {name: data[0], kind: data[1], rate: rate, clips: clips, transitions: data[5],
    group: group, side: side, ins: new Float64Array(n), outs: new Float64Array(n),
    flags: new Uint16Array(n), recs: {}, trims: {}, length: data[3] / rate, y: 0};
  for (var i = 0; i < n; i++) {
    lane.ins[i] = clips[i][5] / rate;
    lane.outs[i] = (clips[i][5] + clips[i][6]) / rate;
  }
  return lane;
}
var groups = [], rows = [], total = 0, y = 0;
M.lanes.forEach(function (entry, g) {
  var group = {name: entry[0], old: makeLane(entry[1], g, 0), neu: makeLane(entry[2], g, 1),
    y: y, op: null};
  group.rate = (group.neu || group.old).rate;
  group.kind = (group.neu || group.old).kind;
  rows.push({type: "ruler", group: group, y: y, h: RULER}); y += RULER;
  [group.old, group.neu].forEach(function (lane) {
    if (!lane) return;
    lane.y = y; rows.push({type: "lane", group: group, lane: lane, y: y, h: LANE}); y += LANE;
    total = Math.max(total, lane.length);
    lane.transitions.forEach(function (t) { total = Math.max(total, (t[1] + t[3]) / lane.rate); });
  });
  group.h = y - group.y; y += GAP;
  groups.push(group);
});
var HEIGHT = Math.max(y - GAP + 4, 40);
if (!(total > 0)) total = 1;

function attach(lane, clip, rec, op) {
  if (!lane || clip < 0 || clip >= lane.clips.length) return;
  lane.flags[clip] |= 1 << OPS.indexOf(op);
  (lane.recs[clip] = lane.recs[clip] || []).push(rec);
}
var records = M.records.map(function (r, i) {
  var op = opOf(r[0]), group = groups[r[1]] || null;
  var rec = {i: i, op: op, group: group, oldClip: r[2], newClip: r[3], oldTr: r[4], newTr: r[5],
    subject: r[6], detail: r[7], head: r[8], tail: r[9], t0: 0, t1: total};
  if (group) {
    attach(group.old, rec.oldClip, i, op);
    attach(group.neu, rec.newClip, i, op);
    if (op === "trimmed" && group.neu && rec.newClip >= 0) group.neu.trims[rec.newClip] = rec;
    if (op === "trimmed" && group.old && rec.oldClip >= 0) group.old.trims[rec.oldClip] = rec;
    if (op === "track_added" || op === "track_removed") group.op = op;
  }
  return rec;
});

// ---- time and timecode
function timecode(frames, rate) {
  var fps = Math.max(1, Math.round(rate)), f = Math.round(frames), sign = f < 0 ? "-" : "";
  f = Math.abs(f);
  var ff = f % fps, s = Math.floor(f / fps), p = function (v) { return (v < 10 ? "0" : "") + v; };
  return sign + p(Math.floor(s / 3600)) + ":" + p(Math.floor(s / 60) % 60) + ":" + p(s % 60) + ":" + p(ff);
}
function num(v) { return Math.round(v * 1000) / 1000; }

// ---- view: k pixels per second, x0 the second at the left edge
var W = 0, k = 0, x0 = 0, minK = 1, maxK = 1, dpr = 1, queued = false;
function clampK(value) { return Math.min(maxK, Math.max(minK, value)); }
function resize() {
  W = Math.max(200, view.clientWidth - LEFT);
  var fit = W / (total * 1.01);
  minK = fit;
  maxK = Math.max(fit, Math.min(3e7 / total, 90 * maxRate()));
  dpr = window.devicePixelRatio || 1;
  canvas.width = Math.round((W + LEFT) * dpr); canvas.height = Math.round(HEIGHT * dpr);
  canvas.style.width = (W + LEFT) + "px"; canvas.style.height = HEIGHT + "px";
  stage.style.width = (W + LEFT) + "px"; stage.style.height = HEIGHT + "px";
  marks.setAttribute("width", W); marks.setAttribute("height", HEIGHT);
  marks.style.left = LEFT + "px"; marks.style.width = W + "px"; marks.style.height = HEIGHT + "px";
  if (!k) k = minK;
  setZoom(Math.max(k, minK), 0);
}
function maxRate() {
  var r = 1; groups.forEach(function (g) { r = Math.max(r, g.rate); }); return r;
}
function setZoom(value, anchor) {
  var t = x0 + anchor / k;
  k = clampK(value);
  spacer.style.width = Math.ceil(total * k * 1.01 + LEFT) + "px";
  spacer.style.marginTop = "-1px";
  x0 = Math.max(0, Math.min(t - anchor / k, total * 1.01 - W / k));
  view.scrollLeft = x0 * k;
  x0 = view.scrollLeft / k;
  redraw();
}
function redraw() {
  if (queued) return;
  queued = true;
  requestAnimationFrame(function () { queued = false; draw(); placeMarks(); });
}
view.addEventListener("scroll", function () { x0 = view.scrollLeft / k; redraw(); });
view.addEventListener("wheel", function (e) {
  if (!(e.ctrlKey || e.metaKey)) return;
  e.preventDefault();
  var rect = view.getBoundingClientRect();
  setZoom(k * Math.exp(-e.deltaY * 0.002), Math.max(0, e.clientX - rect.left - LEFT));
}, {passive: false});
document.getElementById("zoom-in").onclick = function () { setZoom(k * 2, W / 2); };
document.getElementById("zoom-out").onclick = function () { setZoom(k / 2, W / 2); };
document.getElementById("zoom-fit").onclick = function () { setZoom(minK, 0); };
document.addEventListener("keydown", function (e) {
  if (e.target && e.target.tagName === "INPUT") return;
  if (e.key === "+" || e.key === "=") setZoom(k * 2, W / 2);
  else if (e.key === "-") setZoom(k / 2, W / 2);
  else if (e.key === "0") setZoom(minK, 0);
  else if (e.key === "ArrowRight") view.scrollLeft += W * 0.4;
  else if (e.key === "ArrowLeft") view.scrollLeft -= W * 0.4;
});
window.addEventListener("resize", resize);

// ---- drawing
function pattern(draw) {
  var c = document.createElement("canvas");
  c.width = c.height = 8;
  draw(c.getContext("2d"));
  return ctx.createPattern(c, "repeat");
}
var HATCH = pattern(function (p) {
  p.strokeStyle = "rgba(255,255,255,.85)"; p.lineWidth = 2;
  p.beginPath(); p.moveTo(-2, 10); p.lineTo(10, -2); p.moveTo(-2, 2); p.lineTo(2, -2);
  p.moveTo(6, 10); p.lineTo(10, 6); p.stroke();
});
var DOTS = pattern(function (p) {
  p.fillStyle = "rgba(255,255,255,.9)"; p.beginPath(); p.arc(2, 2, 1.2, 0, 7); p.fill();
  p.beginPath(); p.arc(6, 6, 1.2, 0, 7); p.fill();
});
var CUT = pattern(function (p) {
  p.fillStyle = "rgba(60,35,0,.75)"; p.fillRect(0, 0, 8, 8);
  p.strokeStyle = "rgba(255,255,255,.6)"; p.lineWidth = 1.5;
  p.beginPath(); p.moveTo(0, 8); p.lineTo(8, 0); p.stroke();
});
var GAINED = pattern(function (p) {
  p.fillStyle = "rgba(255,255,255,.55)"; p.fillRect(0, 0, 8, 8);
  p.strokeStyle = "rgba(107,74,0,.9)"; p.lineWidth = 1.5;
  p.beginPath(); p.moveTo(0, 0); p.lineTo(8, 8); p.stroke();
});

function primary(flags) {
  for (var i = 0; i < FILL_ORDER.length; i++) {
    if (flags & (1 << OPS.indexOf(FILL_ORDER[i]))) return FILL_ORDER[i];
  }
  return "unchanged";
}
function has(flags, op) { return (flags & (1 << OPS.indexOf(op))) !== 0; }
var widthCache = {};
function textWidth(text) {
  var w = widthCache[text];
  if (w === undefined) { w = ctx.measureText(text).width; widthCache[text] = w; }
  return w;
}
function fitText(text, room) {
  if (room < 8) return "";
  if (textWidth(text) <= room) return text;
  var lo = 0, hi = text.length;
  while (lo < hi) {
    var mid = (lo + hi + 1) >> 1;
    if (ctx.measureText(text.slice(0, mid) + "\u2026").width <= room) lo = mid; else hi = mid - 1;
  }
  return lo > 0 ? text.slice(0, lo) + "\u2026" : "";
}
function px(t) { return LEFT + (t - x0) * k; }
function firstVisible(lane) {
  var lo = 0, hi = lane.outs.length;
  while (lo < hi) { var mid = (lo + hi) >> 1; if (lane.outs[mid] < x0) lo = mid + 1; else hi = mid; }
  return lo;
}
function tickStep(rate) {
  var frame = 1 / rate, steps = [frame, 2 * frame, 5 * frame, 10 * frame, 1, 2, 5, 10, 15, 30,
    60, 120, 300, 600, 900, 1800, 3600, 7200];
  for (var i = 0; i < steps.length; i++) if (steps[i] * k >= 90) return steps[i];
  return 7200 * Math.ceil(90 / (7200 * k));
}
function drawRuler(row) {
  var g = row.group, top = row.y, t1 = x0 + W / k, step = tickStep(g.rate);
  ctx.fillStyle = "#f5f7f9"; ctx.fillRect(LEFT, top, W, RULER);
  ctx.fillStyle = "#d5dae0"; ctx.fillRect(LEFT, top + RULER - 1, W, 1);
  ctx.strokeStyle = "#9aa4b0"; ctx.fillStyle = "#5b6470"; ctx.font = "10px system-ui,sans-serif";
  ctx.textBaseline = "middle";
  ctx.beginPath();
  for (var t = Math.floor(x0 / step) * step; t <= t1; t += step) {
    var x = Math.round(px(t)) + 0.5;
    if (x < LEFT) continue;
    ctx.moveTo(x, top + RULER - 8); ctx.lineTo(x, top + RULER - 1);
    ctx.fillText(timecode(t * g.rate, g.rate), x + 3, top + RULER / 2 - 2);
    var minor = px(t + step / 2);
    ctx.moveTo(Math.round(minor) + 0.5, top + RULER - 4); ctx.lineTo(Math.round(minor) + 0.5, top + RULER - 1);
  }
  ctx.stroke();
}
function drawLane(row) {
  var lane = row.lane, g = row.group, top = row.y, t1 = x0 + W / k;
  var whole = g.op === "track_added" || g.op === "track_removed";
  ctx.fillStyle = whole ? COLOR[g.op] : (lane.side ? "#fbfcfd" : "#f2f4f6");
  ctx.fillRect(LEFT, top, W, LANE);
  if (g.op === "track_removed") { ctx.fillStyle = HATCH; ctx.globalAlpha = .6; ctx.fillRect(LEFT, top, W, LANE); ctx.globalAlpha = 1; }
  ctx.font = "11px system-ui,sans-serif"; ctx.textBaseline = "alphabetic";
  for (var i = firstVisible(lane); i < lane.clips.length && lane.ins[i] <= t1; i++) {
    var clip = lane.clips[i], flags = lane.flags[i], kind = primary(flags);
    var x = px(lane.ins[i]), w = (lane.outs[i] - lane.ins[i]) * k;
    var left = Math.max(x, LEFT - 2), right = Math.min(x + w, LEFT + W + 2);
    var bw = right - left, inset = bw > 4 ? 0.5 : 0;
    ctx.fillStyle = COLOR[kind];
    ctx.fillRect(left + inset, top + 3, Math.max(bw - 2 * inset, 0.7), LANE - 6);
    if (bw < 2) continue;
    if (kind === "removed") { ctx.fillStyle = HATCH; ctx.fillRect(left + inset, top + 3, bw - 2 * inset, LANE - 6); }
    if (has(flags, "replaced")) { ctx.fillStyle = DOTS; ctx.fillRect(left + inset, top + 3, bw - 2 * inset, LANE - 6); }
    var trim = lane.trims[i];
    if (trim) drawTrim(lane, trim, x, w, top);
    if (bw > 6) {
      ctx.strokeStyle = "rgba(27,31,36,.35)"; ctx.lineWidth = 1;
      ctx.strokeRect(left + 0.5, top + 3.5, bw - 1, LANE - 7);
    }
    var textLeft = Math.max(x, LEFT) + 4, room = Math.min(x + w, LEFT + W) - textLeft - 3;
    var fx = has(flags, "effects_changed") && room > 22;
    if (fx) {
      ctx.fillStyle = "#fff"; ctx.fillRect(Math.min(x + w, LEFT + W) - 19, top + 5, 16, 12);
      ctx.fillStyle = "#0072b2"; ctx.font = "bold 10px system-ui,sans-serif";
      ctx.fillText("fx", Math.min(x + w, LEFT + W) - 16, top + 15);
      ctx.font = "11px system-ui,sans-serif";
    }
    if (room < 10) continue;
    ctx.fillStyle = DARK_TEXT[kind] ? "#1b1f24" : "#fff";
    var name = fitText(clip[0] || "(unnamed)", room - (fx ? 20 : 0));
    if (name) ctx.fillText(name, textLeft, top + 16);
    var tag = tagOf(lane, i, flags);
    if (tag) {
      ctx.font = "10px system-ui,sans-serif";
      var shown = fitText(tag, room);
      if (shown) ctx.fillText(shown, textLeft, top + 30);
      ctx.font = "11px system-ui,sans-serif";
    }
  }
  // Transitions sit across their cut: in_offset before it, out_offset after.
  ctx.fillStyle = "rgba(27,31,36,.55)";
  lane.transitions.forEach(function (tr) {
    var a = px((tr[1] - tr[2]) / lane.rate), b = px((tr[1] + tr[3]) / lane.rate), c = px(tr[1] / lane.rate);
    if (b < LEFT || a > LEFT + W) return;
    bowtie(a, c, b, top + LANE - 11, 8);
  });
}
function bowtie(a, c, b, top, h) {
  ctx.beginPath(); ctx.moveTo(a, top); ctx.lineTo(c, top + h / 2); ctx.lineTo(a, top + h);
  ctx.lineTo(b, top + h); ctx.lineTo(c, top + h / 2); ctx.lineTo(b, top); ctx.closePath(); ctx.fill();
}
function tagOf(lane, i, flags) {
  var parts = [];
  var trim = lane.trims[i];
  FILL_ORDER.forEach(function (op) {
    if (!has(flags, op)) return;
    if (op === "trimmed" && trim) {
      var bits = [];
      if (trim.head) bits.push("head " + signed(trim.head));
      if (trim.tail) bits.push("tail " + signed(trim.tail));
      parts.push(bits.length ? bits.join(" ") + "f" : "trim");
    } else if (op === "moved") {
      parts.push(lane.side ? "moved \u2190" : "moved \u2192");
    } else parts.push(TAG[op]);
  });
  return parts.join(" \u00b7 ");
}
function signed(v) { return (v > 0 ? "+" : "\u2212") + num(Math.abs(v)); }
// Trim bands: frames cut are shaded on the OLD clip, frames gained on the NEW one.
function drawTrim(lane, trim, x, w, top) {
  var frame = k / lane.rate, head = trim.head * frame, tail = trim.tail * frame;
  var band = function (a, width, fill) {
    var l = Math.max(a, LEFT), r = Math.min(a + width, LEFT + W);
    if (r - l > 0) { ctx.fillStyle = fill; ctx.fillRect(l, top + 3, Math.max(r - l, 1), LANE - 6); }
  };
  if (lane.side) {
    if (head > 0) band(x, head, GAINED);
    if (tail > 0) band(x + w - tail, tail, GAINED);
  } else {
    if (head < 0) band(x, -head, CUT);
    if (tail < 0) band(x + w + tail, -tail, CUT);
  }
}
function drawHeaders() {
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, LEFT, HEIGHT);
  ctx.fillStyle = "#d5dae0"; ctx.fillRect(LEFT - 1, 0, 1, HEIGHT);
  rows.forEach(function (row) {
    var g = row.group;
    ctx.textBaseline = "middle";
    if (row.type === "ruler") {
      ctx.fillStyle = "#1b1f24"; ctx.font = "bold 12px system-ui,sans-serif";
      var label = (g.name || "(unnamed)") + "  " + g.kind + " @ " + num(g.rate);
      ctx.fillText(fitText(label, LEFT - 12), 8, row.y + RULER / 2);
    } else {
      ctx.fillStyle = "#5b6470"; ctx.font = "11px system-ui,sans-serif";
      var side = M.labels[row.lane.side] + (row.lane.name !== g.name ? " \u00b7 " + row.lane.name : "");
      ctx.fillText(fitText(side, LEFT - 16), 14, row.y + LANE / 2 - (g.op ? 7 : 0));
      if (g.op) {
        ctx.fillStyle = g.op === "track_added" ? "#00664a" : "#a34700"; ctx.font = "bold 11px system-ui,sans-serif";
        ctx.fillText(NAME[g.op], 14, row.y + LANE / 2 + 8);
      }
    }
  });
}
function draw() {
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  ctx.clearRect(0, 0, W + LEFT, HEIGHT);
  rows.forEach(function (row) { if (row.type === "ruler") drawRuler(row); else drawLane(row); });
  drawHeaders();
}

// ---- one SVG group per change record, placed for the current view
function el(name, attrs, parent) {
  var node = document.createElementNS(SVGNS, name);
  for (var key in attrs) node.setAttribute(key, attrs[key]);
  if (parent) parent.appendChild(node);
  return node;
}
function clipSpan(lane, clip) { return [lane.ins[clip], lane.outs[clip]]; }
function trSpan(lane, index) {
  var tr = lane.transitions[index];
  return [(tr[1] - tr[2]) / lane.rate, tr[1] / lane.rate, (tr[1] + tr[3]) / lane.rate];
}
var fragment = document.createDocumentFragment();
records.forEach(function (rec) {
  var g = el("g", {"data-op": rec.op, "data-rec": rec.i}, fragment), group = rec.group;
  rec.node = g; rec.shapes = [];
  if (!group) return;
  var spans = [];
  if (rec.op === "track_added" || rec.op === "track_removed") {
    rec.shapes.push({kind: "lane", node: el("rect", {"class": "lane", rx: 3}, g),
      y: group.y + RULER, h: group.h - RULER});
    rec.whole = true;
    return;
  }
  [[group.old, rec.oldClip], [group.neu, rec.newClip]].forEach(function (pair) {
    var lane = pair[0], clip = pair[1];
    if (!lane || clip < 0 || clip >= lane.clips.length) return;
    var span = clipSpan(lane, clip);
    spans.push(span);
    rec.shapes.push({kind: "box", node: el("rect", {"class": "box", rx: 2}, g), a: span[0], b: span[1],
      y: lane.y + 2, h: LANE - 4});
  });
  if (rec.op === "moved" && rec.shapes.length === 2) {
    rec.shapes.push({kind: "connector", node: el("path", {"class": "connector"}, g),
      from: rec.shapes[0], to: rec.shapes[1]});
  }
  [[group.old, rec.oldTr], [group.neu, rec.newTr]].forEach(function (pair) {
    var lane = pair[0], index = pair[1];
    if (!lane || index < 0 || index >= lane.transitions.length) return;
    var span = trSpan(lane, index);
    spans.push([span[0], span[2]]);
    rec.shapes.push({kind: "transition", node: el("path", {"class": "transition"}, g),
      a: span[0], c: span[1], b: span[2], y: lane.y + LANE - 16, h: 14});
  });
  if (spans.length) {
    rec.t0 = Math.min.apply(null, spans.map(function (s) { return s[0]; }));
    rec.t1 = Math.max.apply(null, spans.map(function (s) { return s[1]; }));
  } else rec.t0 = rec.t1 = -1;
});
marks.appendChild(fragment);
function sx(t) { return Math.max(-60, Math.min(W + 60, (t - x0) * k)); }
function placeMarks() {
  var t1 = x0 + W / k;
  records.forEach(function (rec) {
    var shown = rec.whole || (rec.t1 >= x0 && rec.t0 <= t1 && rec.t0 >= 0);
    if (!shown) { if (rec.shown !== false) { rec.node.setAttribute("display", "none"); rec.shown = false; } return; }
    if (rec.shown === false) rec.node.removeAttribute("display");
    rec.shown = true;
    rec.shapes.forEach(function (s) {
      if (s.kind === "lane") {
        s.node.setAttribute("x", 1.5); s.node.setAttribute("y", s.y + 1);
        s.node.setAttribute("width", W - 3); s.node.setAttribute("height", s.h - 2);
      } else if (s.kind === "box") {
        var a = sx(s.a), b = sx(s.b);
        s.node.setAttribute("x", a); s.node.setAttribute("y", s.y);
        s.node.setAttribute("width", Math.max(b - a, 2)); s.node.setAttribute("height", s.h);
        // Too narrow to outline: the clip's fill shows the change alone.
        var thin = b - a < 5;
        if (thin !== s.thin) { s.node.setAttribute("class", thin ? "box thin" : "box"); s.thin = thin; }
      } else if (s.kind === "connector") {
        var fx = (sx(s.from.a) + sx(s.from.b)) / 2, tx = (sx(s.to.a) + sx(s.to.b)) / 2;
        var fy = s.from.y + s.from.h, ty = s.to.y, mid = (fy + ty) / 2;
        s.node.setAttribute("d", "M" + fx + " " + (fy - 6) + "C" + fx + " " + (mid + 8) + " " +
          tx + " " + (mid - 8) + " " + tx + " " + (ty + 6));
      } else {
        var l = sx(s.a), c = sx(s.c), r = sx(s.b), half = Math.max(6, (r - l) / 2);
        l = Math.min(l, c - half); r = Math.max(r, c + half);
        s.node.setAttribute("d", "M" + l + " " + s.y + "L" + c + " " + (s.y + s.h / 2) + "L" + l + " " +
          (s.y + s.h) + "L" + r + " " + (s.y + s.h) + "L" + c + " " + (s.y + s.h / 2) + "L" + r + " " + s.y + "Z");
      }
    });
  });
}

// ---- summary, legend, change table
function esc(text) {
  return String(text).replace(/[&<>"]/g, function (c) {
    return {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c];
  });
}
var counts = {};
records.forEach(function (r) { counts[r.op] = (counts[r.op] || 0) + 1; });
document.getElementById("summary").innerHTML = OPS.map(function (op) {
  return '<span class="count' + (counts[op] ? "" : " zero") + '" data-kind="' + op + '"><span class="sw ' +
    op + '">' + (op === "effects_changed" ? "fx" : "") + "</span>" + esc(NAME[op]) + " <b>" +
    (counts[op] || 0) + "</b></span>";
}).join("");
var legend = [["unchanged", "unchanged clip"], ["added", "added (NEW only, heavy outline)"],
  ["removed", "removed (OLD only, hatched)"], ["trimmed", "trimmed (dark band: frames cut, light band: frames gained)"],
  ["moved", "moved"], ["connector", "old \u2192 new position"], ["replaced", "media replaced (dotted)"],
  ["effects_changed", "effects changed (fx)"], ["transition_added", "transition added or removed, at its cut"],
  ["track_added", "track added"], ["track_removed", "track removed"]];
document.getElementById("legend").innerHTML = legend.map(function (item) {
  return '<span><span class="sw ' + item[0] + '">' + (item[0] === "effects_changed" ? "fx" : "") +
    "</span>" + esc(item[1]) + "</span>";
}).join("");
var html = [];
records.forEach(function (r) {
  var track = r.group ? (r.group.name || "(unnamed)") : "";
  html.push('<tr data-rec="' + r.i + '"><td>' + (r.i + 1) + '</td><td><span class="op"><span class="sw ' + r.op + '">' +
    (r.op === "effects_changed" ? "fx" : "") + "</span>" + r.op + "</span></td><td>" + esc(track) +
    '</td><td class="subject" title="' + esc(r.subject) + '">' + esc(r.subject) + '</td><td class="what">' +
    esc(r.detail) + "</td></tr>");
});
tbody.innerHTML = html.join("");
var rowsByRec = tbody.children;

// ---- selection and hover
var selected = [];
function select(list, scrollTable) {
  selected.forEach(function (i) { records[i].node.classList.remove("sel"); rowsByRec[i].classList.remove("sel"); });
  selected = list;
  list.forEach(function (i) { records[i].node.classList.add("sel"); rowsByRec[i].classList.add("sel"); });
  if (!list.length) return;
  var rec = records[list[0]];
  if (scrollTable) rowsByRec[list[0]].scrollIntoView({block: "nearest"});
  else if (rec.t0 >= 0 && (rec.t1 < x0 || rec.t0 > x0 + W / k)) {
    view.scrollLeft = Math.max(0, ((rec.t0 + rec.t1) / 2) * k - W / 2);
  }
  if (!scrollTable && rec.group) {
    var r = view.getBoundingClientRect();
    if (r.bottom < 0 || r.top > window.innerHeight) view.scrollIntoView({block: "nearest"});
  }
}
tbody.addEventListener("click", function (e) {
  var tr = e.target.closest("tr");
  if (tr) select([+tr.getAttribute("data-rec")], false);
});
function hit(e) {
  var rect = canvas.getBoundingClientRect(), x = e.clientX - rect.left, yy = e.clientY - rect.top;
  if (x < LEFT) return null;
  for (var r = 0; r < rows.length; r++) {
    var row = rows[r];
    if (row.type !== "lane" || yy < row.y || yy >= row.y + row.h) continue;
    var lane = row.lane, t = x0 + (x - LEFT) / k, i = firstVisibleAt(lane, t);
    if (i < lane.clips.length && lane.ins[i] <= t) return {lane: lane, clip: i};
    return null;
  }
  return null;
}
function firstVisibleAt(lane, t) {
  var lo = 0, hi = lane.outs.length;
  while (lo < hi) { var mid = (lo + hi) >> 1; if (lane.outs[mid] <= t) lo = mid + 1; else hi = mid; }
  return lo;
}
function line(parent, key, value) {
  var d = document.createElement("div"), s = document.createElement("span");
  s.className = "k"; s.textContent = key + " "; d.appendChild(s);
  d.appendChild(document.createTextNode(value)); parent.appendChild(d);
}
canvas.addEventListener("mousemove", function (e) {
  var found = hit(e);
  if (!found) { tip.hidden = true; canvas.style.cursor = "default"; return; }
  canvas.style.cursor = "pointer";
  var lane = found.lane, clip = lane.clips[found.clip], rate = lane.rate;
  var srcRate = clip[4] > 0 ? clip[4] : rate;
  tip.textContent = "";
  var b = document.createElement("b"); b.textContent = clip[0] || "(unnamed clip)"; tip.appendChild(b);
  line(tip, "media", clip[1] >= 0 ? MEDIA[clip[1]] : "(none)");
  line(tip, "source", "frames " + num(clip[2]) + "\u2013" + num(clip[2] + clip[3]) + " (" + num(clip[3]) +
    " @ " + num(srcRate) + "), " + timecode(clip[2], srcRate) + " \u2013 " + timecode(clip[2] + clip[3], srcRate));
  line(tip, "record", "in " + timecode(clip[5], rate) + " \u00b7 out " + timecode(clip[5] + clip[6], rate) +
    " (frames " + num(clip[5]) + "\u2013" + num(clip[5] + clip[6]) + " @ " + num(rate) + ")");
  line(tip, "effects", String(clip[7]));
  (lane.recs[found.clip] || []).forEach(function (i) { line(tip, records[i].op, records[i].detail); });
  line(tip, M.labels[lane.side], (lane.name || "(unnamed track)") + ", clip " + found.clip);
  tip.hidden = false;
  var left = Math.min(e.clientX + 14, window.innerWidth - tip.offsetWidth - 8);
  var top = e.clientY + 16;
  if (top + tip.offsetHeight > window.innerHeight - 4) top = e.clientY - tip.offsetHeight - 10;
  tip.style.left = Math.max(4, left) + "px"; tip.style.top = Math.max(4, top) + "px";
});
canvas.addEventListener("mouseleave", function () { tip.hidden = true; });
canvas.addEventListener("click", function (e) {
  var found = hit(e);
  select(found ? (found.lane.recs[found.clip] || []) : [], true);
});

resize();
draw(); placeMarks();
document.documentElement.setAttribute("data-render-ms", performance.now().toFixed(1));
})();
"""
