// The change report's script. It reads the JSON model from <script id="model">
// (built by report.py), draws every lane on one canvas (only the clips in
// view, so a 20,000-clip cut stays quick) and keeps one SVG group per change
// record in an overlay: outlines of the clips it names, trim and slip bands
// inside them, the connector between a clip's two places, the marker of a
// transition, the frame of a track. Each group carries data-op and data-rec;
// the change table's rows carry data-rec.
//
// Rows: one per track label (V1, V2, A1, ...), a ruler, then the before lane
// and the after lane that carry the label. Times inside the script are
// seconds; the model gives each lane's times in frames at the lane's rate.
(function () {
"use strict";
var M = JSON.parse(document.getElementById("model").textContent);
var MEDIA = M.media, LABELS = M.labels;
// The kinds: [op, words for one, words for several, short word, colour].
var KINDS = M.kinds.map(function (k, i) {
  return {i: i, op: k[0], one: k[1], several: k[2], short: k[3], colour: k[4]};
});
var FILL = M.fill;
var UNCHANGED = "#cbd2da", TRANSITION = "#4a525c";
var LEFT = 190, RULER = 22, LANE = 42, GAP = 12;

var view = document.getElementById("view"), stage = document.getElementById("stage");
var spacer = document.getElementById("spacer"), canvas = document.getElementById("lanes");
var marks = document.getElementById("marks"), tip = document.getElementById("tip");
var tbody = document.querySelector("#changes tbody");
var ctx = canvas.getContext("2d");
var SVGNS = "http://www.w3.org/2000/svg";

// ---- numbers: frame counts are never written in exponent form
function count(v) {
  if (!isFinite(v)) return "?";
  if (Math.abs(v - Math.round(v)) < 1e-6 || Math.abs(v) >= 1e15) {
    var whole = Math.round(v);
    return Number.isSafeInteger(whole) ? String(whole) : BigInt(whole).toString();
  }
  return v.toFixed(3).replace(/0+$/, "").replace(/\.$/, "");
}
function signed(v) { var s = count(v); return s.charAt(0) === "-" || s === "?" ? s : "+" + s; }
// HH:MM:SS:FF at the nearest whole rate (23.976 counts as 24), non-drop-frame.
function timecode(frames, rate) {
  if (!isFinite(frames) || !isFinite(rate)) return "??:??:??:??";
  var fps = Math.max(1, Math.round(rate)), p = function (v) { return (v < 10 ? "0" : "") + v; };
  var f = Math.round(frames), sign = f < 0 ? "-" : "";
  f = Math.abs(f);
  if (!Number.isSafeInteger(f)) {
    var big = BigInt(f), bfps = BigInt(fps), bs = big / bfps, pb = function (v) { return v < 10n ? "0" + v : String(v); };
    return sign + pb(bs / 3600n) + ":" + pb(bs / 60n % 60n) + ":" + pb(bs % 60n) + ":" + pb(big % bfps);
  }
  var s = Math.floor(f / fps);
  return sign + p(Math.floor(s / 3600)) + ":" + p(Math.floor(s / 60) % 60) + ":" + p(s % 60) + ":" + p(f % fps);
}

// ---- lanes and rows
function makeLane(data, row, side) {
  if (!data) return null;
  var rate = data[2] > 0 ? data[2] : 24, clips = data[4], n = clips.length;
  var lane = {name: data[0], kind: data[1], rate: rate, clips: clips, transitions: data[5],
    row: row, side: side, ins: new Float64Array(n), outs: new Float64Array(n),
    flags: new Uint32Array(n), recs: {}, tags: {}, length: data[3] / rate, y: 0};
  for (var i = 0; i < n; i++) {
    lane.ins[i] = clips[i][5] / rate;
    lane.outs[i] = (clips[i][5] + clips[i][6]) / rate;
  }
  return lane;
}
var groups = [], rows = [], total = 0, y = 0;
M.rows.forEach(function (entry, g) {
  var group = {label: entry[0], y: y, index: g, frames: []};
  group.lanes = [makeLane(entry[1], group, 0), makeLane(entry[2], group, 1)];
  var first = group.lanes[1] || group.lanes[0];
  group.rate = first ? first.rate : 24;
  group.kind = first ? first.kind : "other";
  group.ruler = {type: "ruler", group: group, y: y, h: RULER, ticks: []};
  rows.push(group.ruler); y += RULER;
  group.lanes.forEach(function (lane) {
    if (!lane) return;
    lane.y = y; rows.push({type: "lane", group: group, lane: lane, y: y, h: LANE}); y += LANE;
    total = Math.max(total, lane.length);
    lane.transitions.forEach(function (t) { total = Math.max(total, (t[1] + t[3]) / lane.rate); });
  });
  group.h = y - group.y; y += GAP;
  groups.push(group);
});
var HEIGHT = Math.max(y - GAP + 4, 40);

function laneOf(row, side) { var g = groups[row]; return g ? g.lanes[side] : null; }
function attach(lane, clip, rec) {
  if (!lane || clip < 0 || clip >= lane.clips.length) return;
  lane.flags[clip] |= 1 << rec.kind.i;
  (lane.recs[clip] = lane.recs[clip] || []).push(rec.i);
  (lane.tags[clip] = lane.tags[clip] || []).push(rec.tag);
}
var records = M.records.map(function (r, i) {
  var kind = KINDS[r[0]] || {i: 31, op: "unknown", one: "unknown", several: "unknown", short: "?", colour: "#888"};
  var rec = {i: i, kind: kind, op: kind.op, beforeRow: r[1], beforeClip: r[2], afterRow: r[3], afterClip: r[4],
    beforeTr: r[5], afterTr: r[6], subject: r[7], detail: r[8], bands: r[9], span: [r[10], r[11]],
    track: r[12], tag: r[13], t0: -1, t1: -1};
  attach(laneOf(rec.beforeRow, 0), rec.beforeClip, rec);
  attach(laneOf(rec.afterRow, 1), rec.afterClip, rec);
  if (rec.op === "track_added" || rec.op === "track_removed" || rec.op === "track_renamed") {
    if (rec.beforeRow >= 0 && laneOf(rec.beforeRow, 0)) laneOf(rec.beforeRow, 0).op = rec.kind;
    if (rec.afterRow >= 0 && laneOf(rec.afterRow, 1)) laneOf(rec.afterRow, 1).op = rec.kind;
  }
  return rec;
});
if (!(total > 0)) {
  records.forEach(function (r) { total = Math.max(total, r.span[1]); });
  if (!(total > 0)) total = 1;
}

// ---- view: k pixels per second, x0 the second at the left edge
var W = 0, k = 0, x0 = 0, minK = 1, maxK = 1, dpr = 1, queued = false;
function clampK(value) { return Math.min(maxK, Math.max(minK, value)); }
function maxRate() { var r = 1; groups.forEach(function (g) { r = Math.max(r, g.rate); }); return r; }
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
function pattern(paint) {
  var c = document.createElement("canvas");
  c.width = c.height = 8;
  paint(c.getContext("2d"));
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
function primary(flags) {
  for (var i = 0; i < FILL.length; i++) if (flags & (1 << FILL[i])) return KINDS[FILL[i]];
  return null;
}
var BIT = {};
KINDS.forEach(function (kind) { BIT[kind.op] = 1 << kind.i; });
function has(flags, op) { return (flags & (BIT[op] || 0)) !== 0; }
function darkText(colour) {
  var n = parseInt(colour.slice(1), 16), r = n >> 16, g = (n >> 8) & 255, b = n & 255;
  return 0.299 * r + 0.587 * g + 0.114 * b > 150;
}
var widthCache = {};
function textWidth(text) {
  var key = ctx.font + "|" + text, w = widthCache[key];
  if (w === undefined) { w = ctx.measureText(text).width; widthCache[key] = w; }
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
function firstEndingAfter(lane, t) {
  var lo = 0, hi = lane.outs.length;
  while (lo < hi) { var mid = (lo + hi) >> 1; if (lane.outs[mid] <= t) lo = mid + 1; else hi = mid; }
  return lo;
}
// Ruler ticks fall on timecode boundaries: a whole number of frames at the
// nearest whole rate, placed at that frame's time at the real rate.
function tickFrames(rate) {
  var fps = Math.max(1, Math.round(rate)), seconds = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200];
  var steps = [1, 2, 5, 10].filter(function (f) { return f < fps; });
  seconds.forEach(function (s) { steps.push(s * fps); });
  for (var i = 0; i < steps.length; i++) if (steps[i] / rate * k >= 90) return steps[i];
  var hours = 7200 * fps;
  return hours * Math.ceil(90 / (hours / rate * k));
}
function drawRuler(row) {
  var g = row.group, top = row.y, rate = g.rate, step = tickFrames(rate), t1 = x0 + W / k;
  ctx.fillStyle = "#f5f7f9"; ctx.fillRect(LEFT, top, W, RULER);
  ctx.fillStyle = "#d5dae0"; ctx.fillRect(LEFT, top + RULER - 1, W, 1);
  ctx.strokeStyle = "#9aa4b0"; ctx.fillStyle = "#5b6470"; ctx.font = "10px system-ui,sans-serif";
  ctx.textBaseline = "middle";
  ctx.beginPath();
  row.ticks = [];
  for (var f = Math.floor(x0 * rate / step) * step; f / rate <= t1; f += step) {
    var x = Math.round(px(f / rate)) + 0.5;
    if (step % 2 === 0) {
      var minor = Math.round(px((f + step / 2) / rate)) + 0.5;
      if (minor >= LEFT) { ctx.moveTo(minor, top + RULER - 4); ctx.lineTo(minor, top + RULER - 1); }
    }
    if (x < LEFT) continue;
    var label = timecode(f, rate);
    row.ticks.push([f, label]);
    ctx.moveTo(x, top + RULER - 8); ctx.lineTo(x, top + RULER - 1);
    ctx.fillText(label, x + 3, top + RULER / 2 - 2);
  }
  ctx.stroke();
}
function drawLane(row) {
  var lane = row.lane, top = row.y, t1 = x0 + W / k, whole = lane.op;
  ctx.fillStyle = lane.side ? "#fbfcfd" : "#f2f4f6";
  ctx.fillRect(LEFT, top, W, LANE);
  if (whole && whole.op !== "track_renamed") {
    ctx.globalAlpha = .18; ctx.fillStyle = whole.colour; ctx.fillRect(LEFT, top, W, LANE); ctx.globalAlpha = 1;
    if (whole.op === "track_removed") { ctx.fillStyle = HATCH; ctx.globalAlpha = .6; ctx.fillRect(LEFT, top, W, LANE); ctx.globalAlpha = 1; }
  }
  ctx.font = "11px system-ui,sans-serif"; ctx.textBaseline = "alphabetic";
  for (var i = firstEndingAfter(lane, x0); i < lane.clips.length && lane.ins[i] <= t1; i++) {
    var clip = lane.clips[i], flags = lane.flags[i], kind = primary(flags);
    var colour = kind ? kind.colour : UNCHANGED;
    var x = px(lane.ins[i]), w = (lane.outs[i] - lane.ins[i]) * k;
    var left = Math.max(x, LEFT - 2), right = Math.min(x + w, LEFT + W + 2);
    var bw = right - left, inset = bw > 4 ? 0.5 : 0;
    ctx.fillStyle = colour;
    ctx.fillRect(left + inset, top + 3, Math.max(bw - 2 * inset, 0.7), LANE - 6);
    if (bw < 2) continue;
    if (kind && kind.op === "removed") { ctx.fillStyle = HATCH; ctx.fillRect(left + inset, top + 3, bw - 2 * inset, LANE - 6); }
    if (has(flags, "replaced")) { ctx.fillStyle = DOTS; ctx.fillRect(left + inset, top + 3, bw - 2 * inset, LANE - 6); }
    if (bw > 6) {
      ctx.strokeStyle = "rgba(27,31,36,.35)"; ctx.lineWidth = 1;
      ctx.strokeRect(left + 0.5, top + 3.5, bw - 1, LANE - 7);
    }
    var textLeft = Math.max(x, LEFT) + 4, room = Math.min(x + w, LEFT + W) - textLeft - 3;
    if (room < 10) continue;
    ctx.fillStyle = darkText(colour) ? "#1b1f24" : "#fff";
    var name = fitText(clip[0] || "(unnamed)", room);
    if (name) ctx.fillText(name, textLeft, top + 16);
    var tags = lane.tags[i];
    if (tags) {
      ctx.font = "10px system-ui,sans-serif";
      var shown = fitText(tags.join(" \u00b7 "), room);
      if (shown) ctx.fillText(shown, textLeft, top + 30);
      ctx.font = "11px system-ui,sans-serif";
    }
  }
  // Transitions sit across their cut: in_offset before it, out_offset after.
  ctx.fillStyle = TRANSITION;
  lane.transitions.forEach(function (tr) {
    var a = px((tr[1] - tr[2]) / lane.rate), b = px((tr[1] + tr[3]) / lane.rate), c = px(tr[1] / lane.rate);
    if (b < LEFT || a > LEFT + W) return;
    var half = Math.max(4, (b - a) / 2);
    bowtie(Math.min(a, c - half), c, Math.max(b, c + half), top + LANE - 11, 8);
  });
}
function bowtie(a, c, b, top, h) {
  ctx.beginPath(); ctx.moveTo(a, top); ctx.lineTo(c, top + h / 2); ctx.lineTo(a, top + h);
  ctx.lineTo(b, top + h); ctx.lineTo(c, top + h / 2); ctx.lineTo(b, top); ctx.closePath(); ctx.fill();
}
function drawHeaders() {
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, LEFT, HEIGHT);
  ctx.fillStyle = "#d5dae0"; ctx.fillRect(LEFT - 1, 0, 1, HEIGHT);
  rows.forEach(function (row) {
    var g = row.group;
    ctx.textBaseline = "middle";
    if (row.type === "ruler") {
      ctx.fillStyle = "#1b1f24"; ctx.font = "bold 12px system-ui,sans-serif";
      ctx.fillText(fitText(g.label + "  " + g.kind + " @ " + count(Math.round(g.rate * 1000) / 1000), LEFT - 12), 8, row.y + RULER / 2);
      return;
    }
    var lane = row.lane;
    ctx.fillStyle = "#1b1f24"; ctx.font = "600 11px system-ui,sans-serif";
    var side = fitText(LABELS[lane.side], LEFT - 22);
    ctx.fillText(side, 14, row.y + 12);
    ctx.fillStyle = "#5b6470"; ctx.font = "11px system-ui,sans-serif";
    ctx.fillText(fitText(lane.name || "(unnamed track)", LEFT - 22), 14, row.y + 26);
    if (lane.op) {
      ctx.fillStyle = lane.op.colour; ctx.font = "bold 10px system-ui,sans-serif";
      ctx.fillText(fitText(lane.op.one, LEFT - 22), 14, row.y + 38);
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
(function patterns() {
  var defs = el("defs", {}, marks);
  function stripes(id, angle, ink, paper) {
    var p = el("pattern", {id: id, width: 6, height: 6, patternUnits: "userSpaceOnUse",
      patternTransform: "rotate(" + angle + ")"}, defs);
    el("rect", {width: 6, height: 6, fill: paper}, p);
    el("rect", {width: 3, height: 6, fill: ink}, p);
  }
  stripes("band-cut", 45, "rgba(60,35,0,.8)", "rgba(255,255,255,.35)");
  stripes("band-gained", -45, "rgba(107,74,0,.9)", "rgba(255,255,255,.7)");
  stripes("band-slip", 0, "#1b1f24", "rgba(255,255,255,.8)");
})();
function trSpan(lane, index) {
  var tr = lane.transitions[index];
  return [(tr[1] - tr[2]) / lane.rate, tr[1] / lane.rate, (tr[1] + tr[3]) / lane.rate];
}
var BAND = ["cut", "gained", "slip"];
var fragment = document.createDocumentFragment();
records.forEach(function (rec) {
  var g = el("g", {"data-op": rec.op, "data-rec": rec.i}, fragment), spans = [];
  g.style.color = rec.kind.colour;
  rec.node = g; rec.shapes = [];
  var boxes = [];
  if (rec.op === "track_added" || rec.op === "track_removed" || rec.op === "track_renamed") {
    [[rec.beforeRow, 0], [rec.afterRow, 1]].forEach(function (pair) {
      var lane = laneOf(pair[0], pair[1]);
      if (!lane) return;
      rec.shapes.push({kind: "lane", node: el("rect", {"class": "lane", rx: 3, stroke: rec.kind.colour,
        "data-side": pair[1] ? "after" : "before"}, g), y: lane.y, h: LANE});
    });
    rec.whole = true;
    return;
  }
  [[rec.beforeRow, rec.beforeClip, 0], [rec.afterRow, rec.afterClip, 1]].forEach(function (pair) {
    var lane = laneOf(pair[0], pair[2]), clip = pair[1];
    if (!lane || clip < 0 || clip >= lane.clips.length) return;
    var span = [lane.ins[clip], lane.outs[clip]];
    spans.push(span);
    var box = {kind: "box", node: el("rect", {"class": "box", rx: 2, "data-side": pair[2] ? "after" : "before"}, g),
      a: span[0], b: span[1], y: lane.y + 2, h: LANE - 4};
    rec.shapes.push(box); boxes.push(box);
  });
  rec.bands.forEach(function (band) {
    var lane = laneOf(band[0], band[1]);
    if (!lane) return;
    var slip = band[4] === 2, top = slip ? lane.y + LANE - 9 : lane.y + 3;
    rec.shapes.push({kind: "band", node: el("rect", {"class": "band " + BAND[band[4]],
      "data-side": band[1] ? "after" : "before"}, g), a: band[2] / lane.rate, b: band[3] / lane.rate,
      y: top, h: slip ? 5 : LANE - 6});
  });
  // A clip in two places (moved, or its track's label changed) is joined.
  if (boxes.length === 2 && (rec.op === "moved" || rec.beforeRow !== rec.afterRow)) {
    rec.shapes.push({kind: "connector", node: el("path", {"class": "connector"}, g), from: boxes[0], to: boxes[1]});
  }
  [[rec.beforeRow, rec.beforeTr, 0], [rec.afterRow, rec.afterTr, 1]].forEach(function (pair) {
    var lane = laneOf(pair[0], pair[2]), index = pair[1];
    if (!lane || index < 0 || index >= lane.transitions.length) return;
    var span = trSpan(lane, index);
    spans.push([span[0], span[2]]);
    rec.shapes.push({kind: "transition", node: el("path", {"class": "transition", fill: rec.kind.colour,
      "data-side": pair[2] ? "after" : "before"}, g), a: span[0], c: span[1], b: span[2], y: lane.y + LANE - 16, h: 14});
  });
  // Nothing in the drawing at the record's positions: its record time on
  // the lane its labels name.
  if (!rec.shapes.length && rec.span[0] >= 0) {
    var lane = laneOf(rec.afterRow, 1) || laneOf(rec.beforeRow, 0);
    if (lane) {
      spans.push(rec.span);
      rec.shapes.push({kind: "box", node: el("rect", {"class": "box span", rx: 2}, g), a: rec.span[0],
        b: rec.span[1], y: lane.y + 2, h: LANE - 4});
    }
  }
  if (spans.length) {
    rec.t0 = Math.min.apply(null, spans.map(function (s) { return s[0]; }));
    rec.t1 = Math.max.apply(null, spans.map(function (s) { return s[1]; }));
  }
});
marks.appendChild(fragment);
function sx(t) { return Math.max(-60, Math.min(W + 60, (t - x0) * k)); }
function placeMarks() {
  var t1 = x0 + W / k;
  records.forEach(function (rec) {
    var shown = rec.whole || (rec.t0 >= 0 && rec.t1 >= x0 && rec.t0 <= t1);
    if (!shown) { if (rec.shown !== false) { rec.node.setAttribute("display", "none"); rec.shown = false; } return; }
    if (rec.shown === false) rec.node.removeAttribute("display");
    rec.shown = true;
    rec.shapes.forEach(function (s) {
      if (s.kind === "lane") {
        s.node.setAttribute("x", 1.5); s.node.setAttribute("y", s.y + 1);
        s.node.setAttribute("width", W - 3); s.node.setAttribute("height", s.h - 2);
      } else if (s.kind === "box" || s.kind === "band") {
        var a = sx(s.a), b = sx(s.b);
        s.node.setAttribute("x", a); s.node.setAttribute("y", s.y);
        s.node.setAttribute("width", Math.max(b - a, s.kind === "box" ? 2 : 0)); s.node.setAttribute("height", s.h);
        if (s.kind === "box") {
          // Too narrow to outline: the clip's fill shows the change alone.
          var thin = b - a < 5;
          if (thin !== s.thin) { s.node.classList.toggle("thin", thin); s.thin = thin; }
        }
      } else if (s.kind === "connector") {
        var fx = (sx(s.from.a) + sx(s.from.b)) / 2, tx = (sx(s.to.a) + sx(s.to.b)) / 2;
        var down = s.to.y >= s.from.y, fy = down ? s.from.y + s.from.h - 6 : s.from.y + 6;
        var ty = down ? s.to.y + 6 : s.to.y + s.to.h - 6, mid = (fy + ty) / 2;
        s.node.setAttribute("d", "M" + fx + " " + fy + "C" + fx + " " + mid + " " + tx + " " + mid + " " + tx + " " + ty);
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
function swatch(kind) {
  if (kind.op.indexOf("transition_") === 0) {
    return '<span class="sw transition changed" style="--kind:' + kind.colour + '"></span>';
  }
  if (kind.op.indexOf("track_") === 0) return '<span class="sw lane-frame" style="--kind:' + kind.colour + '"></span>';
  return '<span class="sw" style="background:' + kind.colour + '"></span>';
}
var counts = {};
records.forEach(function (r) { counts[r.op] = (counts[r.op] || 0) + 1; });
var present = KINDS.filter(function (kind) { return counts[kind.op]; });
document.getElementById("summary").innerHTML = present.map(function (kind) {
  return '<span class="count" data-kind="' + kind.op + '">' + swatch(kind) + "<b>" + counts[kind.op] + "</b> " +
    esc(counts[kind.op] === 1 ? kind.one : kind.several) + "</span>";
}).join("");
var legend = ['<span data-legend="unchanged"><span class="sw unchanged"></span>unchanged clip</span>',
  '<span data-legend="transition"><span class="sw transition"></span>unchanged transition</span>'];
present.forEach(function (kind) {
  legend.push('<span data-legend="' + kind.op + '">' + swatch(kind) + esc(kind.one) + "</span>");
});
if (counts.trimmed) {
  legend.push('<span data-legend="band-cut"><span class="sw band-cut"></span>frames cut (before)</span>');
  legend.push('<span data-legend="band-gained"><span class="sw band-gained"></span>frames gained (after)</span>');
}
if (counts.slipped) legend.push('<span data-legend="band-slip"><span class="sw band-slip"></span>source slipped</span>');
if (records.some(function (r) { return r.shapes.some(function (s) { return s.kind === "connector"; }); })) {
  legend.push('<span data-legend="connector"><span class="sw connector"></span>before \u2192 after place</span>');
}
document.getElementById("legend").innerHTML = legend.join("");
var html = [];
records.forEach(function (r) {
  html.push('<tr data-rec="' + r.i + '"><td>' + (r.i + 1) + '</td><td><span class="op">' + swatch(r.kind) +
    esc(r.kind.one) + "</span></td><td>" + esc(r.track) + '</td><td class="subject" title="' + esc(r.subject) + '">' +
    esc(r.subject) + '</td><td class="what">' + esc(r.detail) + "</td></tr>");
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
  if (!scrollTable) {
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
    var lane = row.lane, t = x0 + (x - LEFT) / k, i = firstEndingAfter(lane, t);
    if (i < lane.clips.length && lane.ins[i] <= t) return {lane: lane, clip: i};
    return null;
  }
  return null;
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
  line(tip, "source", timecode(clip[2], srcRate) + " \u2013 " + timecode(clip[2] + clip[3], srcRate) +
    " (" + count(clip[3]) + " frames @ " + count(Math.round(srcRate * 1000) / 1000) + ")");
  line(tip, "record", "in " + timecode(clip[5], rate) + " \u00b7 out " + timecode(clip[5] + clip[6], rate));
  line(tip, "effects", count(clip[7]));
  (lane.recs[found.clip] || []).forEach(function (i) { line(tip, records[i].kind.one, records[i].detail); });
  line(tip, LABELS[lane.side], lane.row.label + " " + (lane.name || "(unnamed track)") + ", clip " + (found.clip + 1));
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

// What the page drew, for whoever inspects it (the tests read the ruler and lane headers).
window.tesmoReport = {
  ticks: function () { return groups.map(function (g) { return g.ruler.ticks; }); },
  lanes: function () {
    return rows.filter(function (row) { return row.type === "lane"; }).map(function (row) {
      return [row.group.label, LABELS[row.lane.side], row.lane.name];
    });
  },
  timecode: timecode, count: count
};

resize();
draw(); placeMarks();
document.documentElement.setAttribute("data-render-ms", performance.now().toFixed(1));
})();
