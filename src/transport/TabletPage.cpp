#include "transport/TabletPage.h"

namespace qb {

namespace {

// The page's script decodes the stream exactly as the companion does; the
// comments in it are for whoever reads the page's source on the tablet.
constexpr const char* PAGE = R"PAGE(<!DOCTYPE html>
<html><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1,maximum-scale=1,user-scalable=no">
<title>QuillBright tablet</title>
<style>
html,body{margin:0;padding:0;height:100%;background:#000;overflow:hidden;touch-action:none;user-select:none}
#c{display:block;width:100vw;height:100vh;object-fit:contain;touch-action:none}
#state{position:fixed;left:8px;bottom:8px;font:13px sans-serif;color:#888;pointer-events:none}
#colour{position:fixed;right:8px;bottom:8px;font:13px sans-serif;opacity:.4}
#keys{position:fixed;right:96px;bottom:8px;font:13px sans-serif;opacity:.4}
#typing{position:fixed;left:0;bottom:0;width:1px;height:1px;opacity:0;border:0;padding:0;resize:none}
#pair{position:fixed;left:50%;top:40%;transform:translate(-50%,-50%);font:20px sans-serif;color:#ddd;text-align:center}
#pair input{font:28px monospace;width:7em;text-align:center;margin:12px}
</style></head>
<body><canvas id="c" width="1" height="1"></canvas><div id="state">connecting</div>
<button id="colour"></button><button id="keys">Keyboard</button>
<textarea id="typing" autocapitalize="off" autocomplete="off" spellcheck="false"></textarea>
<form id="pair" hidden><div>Pairing code from <code>quillbright tablet</code></div>
<input id="code" inputmode="numeric" autocomplete="one-time-code" maxlength="16"><br><button>Pair</button></form>
<script>
'use strict';
const canvas = document.getElementById('c');
const g = canvas.getContext('2d', {alpha: false});
const stateLine = document.getElementById('state');
const qb = window.quillbright = {width: 0, height: 0, bpp: 1, frame: null, decoded: 0, acked: 0,
                                 lastDecodeMs: 0, state: 'connecting'};
function show(text) { qb.state = text; stateLine.textContent = text; stateLine.style.display = text ? '' : 'none'; }

// A raw LZ4 block (no frame header) into dst; the bytes written, or -1.
function lz4(src, dst) {
  let s = 0, d = 0;
  const sl = src.length, dl = dst.length;
  while (s < sl) {
    const token = src[s++];
    let lit = token >>> 4;
    if (lit === 15) { let b; do { if (s >= sl) return -1; b = src[s++]; lit += b; } while (b === 255); }
    if (s + lit > sl || d + lit > dl) return -1;
    if (lit < 16) { for (let i = 0; i < lit; i++) dst[d + i] = src[s + i]; }
    else dst.set(src.subarray(s, s + lit), d);
    s += lit; d += lit;
    if (s === sl) break;                    // the last sequence is literals only
    if (s + 2 > sl) return -1;
    const offset = src[s] | (src[s + 1] << 8);
    s += 2;
    if (offset === 0 || offset > d) return -1;
    let len = token & 15;
    if (len === 15) { let b; do { if (s >= sl) return -1; b = src[s++]; len += b; } while (b === 255); }
    len += 4;
    if (d + len > dl) return -1;
    if (offset === 1) dst.fill(dst[d - 1], d, d + len);   // runs: the zeros of a delta
    else if (offset >= len) dst.copyWithin(d, d - offset, d - offset + len);
    else for (let i = 0; i < len; i++) dst[d + i] = dst[d - offset + i];
    d += len;
  }
  return d;
}

// The decoder: one per connection.
let width = 0, height = 0, bpp = 1, frame = null, delta = null, image = null, pixels = null;
let frame32 = null, delta32 = null, needKeyframe = true;
function reset() {
  needKeyframe = true;
  frame = null;
  if (!width || !height) return;
  const size = width * height * bpp, padded = (size + 3) & ~3;
  const fb = new ArrayBuffer(padded), db = new ArrayBuffer(padded);
  frame = new Uint8Array(fb, 0, size); frame32 = new Uint32Array(fb);
  delta = new Uint8Array(db, 0, size); delta32 = new Uint32Array(db);
  if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
  image = g.createImageData(width, height);
  pixels = new Uint32Array(image.data.buffer);
  pixels.fill(0xFF000000);
  Object.assign(qb, {width: width, height: height, bpp: bpp, frame: frame});
}

// Row y of the frame into the canvas's pixels (RGBA in memory: ABGR words).
function paintRow(y) {
  const stride = width * bpp;
  let p = y * width, i = y * stride;
  const end = p + width;
  if (bpp === 1) for (; p < end; p++) pixels[p] = 0xFF000000 | (frame[i++] * 0x010101);
  else for (; p < end; p++, i += 3) pixels[p] = (0xFF000000 | (frame[i + 2] << 16) | (frame[i + 1] << 8) | frame[i]) >>> 0;
}

// A frame's payload onto the picture; false when it cannot be decoded.
function applyFrame(keyframe, payload) {
  if (!frame) return true;
  if (!keyframe && needKeyframe) return true;           // deltas before the first keyframe mean nothing
  const n = lz4(payload, delta);
  if (n !== delta.length) return false;
  const stride = width * bpp;
  let first = height, last = -1;
  if (keyframe) {
    frame.set(delta);
    needKeyframe = false;
    first = 0; last = height - 1;
    for (let y = 0; y < height; y++) paintRow(y);
  } else {
    const words = (stride & 3) === 0 ? stride >> 2 : 0;
    for (let y = 0; y < height; y++) {
      let changed = false;
      if (words) {
        for (let w = y * words, e = w + words; w < e; w++) {
          const v = delta32[w];
          if (v !== 0) { frame32[w] ^= v; changed = true; }
        }
      } else {
        for (let i = y * stride, e = i + stride; i < e; i++) {
          const v = delta[i];
          if (v !== 0) { frame[i] ^= v; changed = true; }
        }
      }
      if (changed) { paintRow(y); if (first > y) first = y; last = y; }
    }
  }
  if (last >= 0) g.putImageData(image, 0, 0, 0, first, width, last - first + 1);
  return true;
}

// Greyscale or colour: a paper-like screen wants greyscale. The choice is
// kept (?colour=1 or 0 in the address sets it too); the page's id stays the
// same across reconnects so the daemon finds its session again.
const params = new URLSearchParams(location.search);
if (params.has('colour')) localStorage.setItem('quillbright.colour', params.get('colour') === '1' ? '1' : '0');
let colour = localStorage.getItem('quillbright.colour') === '1';
let pageId = sessionStorage.getItem('quillbright.page');
if (!pageId) {
  pageId = Array.from(crypto.getRandomValues(new Uint8Array(8)), b => b.toString(16).padStart(2, '0')).join('');
  sessionStorage.setItem('quillbright.page', pageId);
}
const colourButton = document.getElementById('colour');
function labelColour() { colourButton.textContent = colour ? 'Colour' : 'Greyscale'; }
labelColour();
colourButton.addEventListener('click', () => {
  colour = !colour;
  localStorage.setItem('quillbright.colour', colour ? '1' : '0');
  labelColour();
  if (socket) socket.close();
});
// Opened by the daemon on a device over adb: /tablet/device/<serial> names
// the device's session, which the page joins.
const device = (location.pathname.match(/^\/tablet\/device\/([A-Za-z0-9._-]{1,64})$/) || [])[1];
function hello() {
  const ratio = window.devicePixelRatio || 1;
  return 'hello ' + Math.round(screen.width * ratio) + ' ' + Math.round(screen.height * ratio) + ' ' +
         (colour ? 'rgb' : 'grey') + ' ' + pageId + (device ? ' ' + device : '');
}

// Over Wi-Fi the page pairs once: the code the user types is traded for a
// token kept here and shown on every later connection.
let socket = null, retry = 500, pendingCode = null;
const pairForm = document.getElementById('pair');
pairForm.addEventListener('submit', (e) => {
  e.preventDefault();
  pendingCode = document.getElementById('code').value.replace(/[^A-Za-z0-9]/g, '');
  if (!pendingCode) return;
  pairForm.hidden = true;
  connect();
});
function ack(sequence) {
  socket.send(new Uint8Array([0xDA, 0x7A, sequence & 255, (sequence >>> 8) & 255, (sequence >>> 16) & 255,
                              (sequence >>> 24) & 255]));
  qb.acked++;
}

function onMessage(event) {
  if (typeof event.data === 'string') {
    if (event.data.startsWith('paired ')) localStorage.setItem('quillbright.token', event.data.slice(7));
    return;
  }
  const m = new Uint8Array(event.data);
  if (m.length < 4 || m[0] !== 0xDA) return;
  if (m[1] === 0x7F) {
    if (m[2] === 4 && m.length >= 7) { width = m[3] | (m[4] << 8); height = m[5] | (m[6] << 8); reset(); }
    else if (m[2] === 5) { bpp = m[3] === 1 ? 3 : 1; reset(); }
    return;
  }
  if (m[1] !== 0x7E || m.length < 11) return;
  const sequence = (m[3] | (m[4] << 8) | (m[5] << 16) | (m[6] << 24)) >>> 0;
  const length = (m[7] | (m[8] << 8) | (m[9] << 16) | (m[10] << 24)) >>> 0;
  const started = performance.now();
  if (!applyFrame(m[2] === 1, m.subarray(11, 11 + length))) {
    show('undecodable frame ' + sequence + ': reconnecting');
    socket.close();
    return;
  }
  qb.lastDecodeMs = performance.now() - started;
  qb.decoded++;
  if (qb.state) show('');
  ack(sequence);
}

function connect() {
  width = height = 0; bpp = 1; frame = null; needKeyframe = true;
  socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/tablet/stream');
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => {
    retry = 500;
    const token = localStorage.getItem('quillbright.token');
    if (pendingCode) socket.send('pair ' + pendingCode);
    else if (token) socket.send('token ' + token);
    pendingCode = null;
    socket.send(hello());
    show('waiting for the first frame');
  };
  socket.onmessage = onMessage;
  socket.onclose = (event) => {
    if (['pairing needed', 'unpaired', 'wrong code'].includes(event.reason)) {
      if (event.reason === 'unpaired') localStorage.removeItem('quillbright.token');
      show(event.reason === 'wrong code' ? 'wrong or expired code: try again' : 'pair this tablet first');
      pairForm.hidden = false;
      document.getElementById('code').value = '';
      return;
    }
    show(event.reason === 'not mirroring' ? 'QuillBright is not mirroring: waiting' : 'not connected: trying again');
    setTimeout(connect, retry);
    retry = Math.min(retry * 2, 4000);
  };
}

// Pointers (pen, fingers, mouse) as the page's own messages: positions as
// fractions of the picture (the canvas keeps its aspect, so there may be
// bars beside it), with the picture's size in device pixels and the pixel
// density, by which the daemon scales its gesture thresholds. The daemon
// decides what they mean (a tap, a long press, a pinch, a pen hovering).
function picture() {
  const r = canvas.getBoundingClientRect();
  const scale = Math.min(r.width / canvas.width, r.height / canvas.height);
  const w = canvas.width * scale, h = canvas.height * scale;
  return {left: r.left + (r.width - w) / 2, top: r.top + (r.height - h) / 2, width: w, height: h};
}
function send(bytes) { if (socket && socket.readyState === 1) socket.send(bytes); }
const DEVICES = {mouse: 0, pen: 1, touch: 2};
const contact = new Set();
function sendPointer(phase, e, x, y) {
  const p = picture(), ratio = window.devicePixelRatio || 1;
  const b = new ArrayBuffer(24), v = new DataView(b);
  let buttons = contact.has(e.pointerId) ? 1 : 0;
  if (e.buttons & 2) buttons |= 2;
  if (e.buttons & 4) buttons |= 4;
  if ((e.buttons & 32) || e.button === 5) buttons |= 8;
  const tilt = (t) => Math.max(-90, Math.min(90, Math.round(t || 0)));
  v.setUint8(0, 0xDA); v.setUint8(1, 0x71); v.setUint8(2, phase);
  v.setUint8(3, DEVICES[e.pointerType] === undefined ? 0 : DEVICES[e.pointerType]);
  v.setUint8(4, e.pointerId & 255); v.setUint8(5, buttons);
  v.setFloat32(6, x === undefined ? (e.clientX - p.left) / p.width : x, true);
  v.setFloat32(10, y === undefined ? (e.clientY - p.top) / p.height : y, true);
  v.setUint16(14, Math.round(Math.max(0, Math.min(1, e.pressure || 0)) * 65535), true);
  v.setInt8(16, tilt(e.tiltX)); v.setInt8(17, tilt(e.tiltY));
  v.setUint16(18, Math.max(1, Math.min(65535, Math.round(p.width * ratio))), true);
  v.setUint16(20, Math.max(1, Math.min(65535, Math.round(p.height * ratio))), true);
  v.setUint16(22, Math.max(25, Math.min(1600, Math.round(ratio * 100))), true);
  send(b);
  qb.pointerSent = (qb.pointerSent || 0) + 1;
}
canvas.addEventListener('pointerdown', e => {
  e.preventDefault();
  contact.add(e.pointerId);
  try { canvas.setPointerCapture(e.pointerId); } catch (err) {}
  sendPointer(1, e);
});
canvas.addEventListener('pointermove', e => {
  // A pen or mouse moves the pointer while hovering; a finger only while down.
  if (e.pointerType === 'touch' && !contact.has(e.pointerId)) return;
  sendPointer(2, e);
});
canvas.addEventListener('pointerup', e => { contact.delete(e.pointerId); sendPointer(3, e); wake(); });
canvas.addEventListener('pointercancel', e => { contact.delete(e.pointerId); sendPointer(4, e); });
canvas.addEventListener('pointerleave', e => { if (e.pointerType === 'pen') sendPointer(5, e); });
canvas.addEventListener('contextmenu', e => e.preventDefault());
canvas.addEventListener('wheel', e => {
  e.preventDefault();
  const p = picture();
  sendPointer(6, {pointerType: 'mouse', pointerId: 0, buttons: 0}, -e.deltaX / p.height, -e.deltaY / p.height);
}, {passive: false});

// Keys: the keyboard button opens the tablet's on-screen keyboard (a
// hidden text field takes its text); a hardware keyboard on the tablet works
// with or without it. Text goes as UTF-8, other keys as keysyms with the
// modifiers held.
const KEYSYMS = {Enter: 0xFF0D, Backspace: 0xFF08, Delete: 0xFFFF, Tab: 0xFF09, Escape: 0xFF1B, ArrowLeft: 0xFF51,
  ArrowUp: 0xFF52, ArrowRight: 0xFF53, ArrowDown: 0xFF54, Home: 0xFF50, End: 0xFF57, PageUp: 0xFF55,
  PageDown: 0xFF56, Insert: 0xFF63};
for (let i = 1; i <= 12; i++) KEYSYMS['F' + i] = 0xFFBD + i;
const typing = document.getElementById('typing');
function sendKey(keysym, e) {
  const b = new ArrayBuffer(8), v = new DataView(b);
  v.setUint8(0, 0xDA); v.setUint8(1, 0x72); v.setUint8(2, 2);
  v.setUint8(3, (e.shiftKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.altKey ? 4 : 0) | (e.metaKey ? 8 : 0));
  v.setUint32(4, keysym >>> 0, true);
  send(b);
}
function sendText(text) {
  const encoder = new TextEncoder();
  let chunk = '';
  const flush = () => {
    if (!chunk) return;
    const bytes = encoder.encode(chunk), m = new Uint8Array(3 + bytes.length);
    m.set([0xDA, 0x72, 1]); m.set(bytes, 3);
    send(m);
    chunk = '';
  };
  for (const c of text) { if (encoder.encode(chunk + c).length > 240) flush(); chunk += c; }
  flush();
}
document.addEventListener('keydown', e => {
  if (e.target && e.target.id === 'code') return;     // the pairing code is typed here
  if (e.isComposing || e.keyCode === 229) return;     // the on-screen keyboard's words arrive as input
  const named = KEYSYMS[e.key];
  const chars = Array.from(e.key);
  if (named !== undefined) sendKey(named, e);
  else if (chars.length === 1 && (e.ctrlKey || e.altKey || e.metaKey)) {
    const c = chars[0].codePointAt(0);
    sendKey(c < 0x100 ? c : (0x1000000 | c), e);
  } else if (chars.length === 1 && e.target !== typing) sendText(e.key);
  else return;
  e.preventDefault();
});
typing.addEventListener('input', e => {
  if (e.isComposing) return;
  if (e.inputType === 'insertLineBreak' || e.inputType === 'insertParagraph') sendKey(0xFF0D, {});
  else if (e.inputType === 'deleteContentBackward') sendKey(0xFF08, {});
  else if (e.inputType === 'deleteContentForward') sendKey(0xFFFF, {});
  else if (e.data) sendText(e.data);
  else if (typing.value) sendText(typing.value);
  typing.value = '';
});
typing.addEventListener('compositionend', e => { if (e.data) sendText(e.data); typing.value = ''; });
document.getElementById('keys').addEventListener('click', () => {
  if (document.activeElement === typing) typing.blur();
  else typing.focus();
});

// Full screen on the first tap, and the screen kept on where allowed.
let lock = null;
function keepAwake() {
  if (lock || !navigator.wakeLock || document.visibilityState !== 'visible') return;
  navigator.wakeLock.request('screen').then(l => { lock = l; l.addEventListener('release', () => { lock = null; }); })
    .catch(() => {});
}
function wake() {
  const root = document.documentElement;
  if (!document.fullscreenElement && root.requestFullscreen) root.requestFullscreen().catch(() => {});
  keepAwake();
}
document.addEventListener('visibilitychange', keepAwake);
keepAwake();
connect();
</script></body></html>
)PAGE";

} // namespace

const std::string& tabletPage()
{
    static const std::string page(PAGE);
    return page;
}

} // namespace qb
