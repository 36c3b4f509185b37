#include "transport/TabletPage.h"

#include <boost/beast/core/detail/base64.hpp>

#include "transport/TabletPageDecoder.h"

namespace qb {

namespace {

// The page's script decodes the stream exactly as the companion does; the
// comments in it are for whoever reads the page's source on the tablet.
constexpr const char* PAGE = R"PAGE(<!DOCTYPE html>
<html><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1,maximum-scale=1,user-scalable=no">
<title>QuillBright tablet</title>
<link rel="manifest" href="/tablet/manifest.webmanifest"><link rel="icon" href="/tablet/icon.svg">
<meta name="theme-color" content="#000000"><meta name="mobile-web-app-capable" content="yes">
<style>
html,body{margin:0;padding:0;height:100%;background:#000;overflow:hidden;touch-action:none;user-select:none}
#c{display:block;width:100vw;height:100vh;object-fit:contain;touch-action:none}
#state{position:fixed;left:8px;bottom:8px;font:13px sans-serif;color:#888;pointer-events:none}
#colour{position:fixed;right:8px;bottom:8px;font:13px sans-serif;opacity:.4}
#keys{position:fixed;right:96px;bottom:8px;font:13px sans-serif;opacity:.4}
#refresh{position:fixed;right:184px;bottom:8px;font:13px sans-serif;opacity:.4}
#greys{position:fixed;right:260px;bottom:8px;font:13px sans-serif;opacity:.4}
#typing{position:fixed;left:0;bottom:0;width:1px;height:1px;opacity:0;border:0;padding:0;resize:none}
#pair{position:fixed;left:50%;top:40%;transform:translate(-50%,-50%);font:20px sans-serif;color:#ddd;text-align:center}
#pair input{font:28px monospace;width:7em;text-align:center;margin:12px}
</style></head>
<body><canvas id="c" width="1" height="1"></canvas><div id="state">connecting</div>
<button id="colour"></button><button id="keys">Keyboard</button><button id="refresh">Refresh</button><button id="greys"></button>
<textarea id="typing" autocapitalize="off" autocomplete="off" spellcheck="false"></textarea>
<form id="pair" hidden><div>Pairing code from <code>quillbright tablet</code></div>
<input id="code" inputmode="numeric" autocomplete="one-time-code" maxlength="16"><br><button>Pair</button></form>
<script>
'use strict';
const canvas = document.getElementById('c');
const params = new URLSearchParams(location.search);
const stateLine = document.getElementById('state');
const qb = window.quillbright = {width: 0, height: 0, bpp: 1, frame: null, decoded: 0, keyframes: 0, acked: 0,
                                 lastDecodeMs: 0, decodeTimes: [], state: 'connecting'};
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

// The decoders, one face: setup(width, height, bpp) makes a black picture
// (false when it cannot); apply(keyframe, payload) puts a frame's payload
// onto it (false when it cannot be decoded) and tells the rows it changed
// (first..last, none when last < first); `frame` is the decoded picture and
// `image` the RGBA pixels the canvas is painted from (kept only while
// setExpand(true), the default); setDither(on) paints a grey picture in 16
// dithered levels, or in all of them again. The WebAssembly one
// (built from C++ into the daemon, SIMD where the browser has it) is taken
// where it loads, this one where it does not or ?decoder=js asks.
const BAYER = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]];   // 4x4 ordered dither
function jsDecoder() {
  const d = {name: 'js', frame: null, image: null, first: 0, last: -1};
  let width = 0, height = 0, bpp = 1, delta = null, frame32 = null, delta32 = null, pixels = null;
  d.setup = (w, h, b) => {
    width = w; height = h; bpp = b;
    const size = width * height * bpp, padded = (size + 3) & ~3;
    const fb = new ArrayBuffer(padded), db = new ArrayBuffer(padded);
    d.frame = new Uint8Array(fb, 0, size); frame32 = new Uint32Array(fb);
    delta = new Uint8Array(db, 0, size); delta32 = new Uint32Array(db);
    d.image = new ImageData(width, height);
    pixels = new Uint32Array(d.image.data.buffer);
    pixels.fill(0xFF000000);
    return true;
  };
  // Row y of the frame into the canvas's pixels (RGBA in memory: ABGR words).
  function paintRow(y) {
    const frame = d.frame, stride = width * bpp;
    let p = y * width, i = y * stride;
    const end = p + width;
    if (bpp === 1 && d.dither) {
      const row = BAYER[y & 3];
      for (let x = 0; p < end; p++, x++) pixels[p] = 0xFF000000 | (((frame[i++] * 240 + row[x & 3] * 255 + 127) / 4080 | 0) * 17 * 0x010101);
    } else if (bpp === 1) for (; p < end; p++) pixels[p] = 0xFF000000 | (frame[i++] * 0x010101);
    else for (; p < end; p++, i += 3) pixels[p] = (0xFF000000 | (frame[i + 2] << 16) | (frame[i + 1] << 8) | frame[i]) >>> 0;
  }
  d.setDither = (on) => { d.dither = on; for (let y = 0; y < height; y++) paintRow(y); };
  d.setExpand = (on) => { d.expand = on; if (on) for (let y = 0; y < height; y++) paintRow(y); };
  d.expand = true;
  d.apply = (keyframe, payload) => {
    const frame = d.frame;
    d.first = height; d.last = -1;
    if (lz4(payload, delta) !== delta.length) return false;
    const stride = width * bpp;
    if (keyframe) {
      frame.set(delta);
      d.first = 0; d.last = height - 1;
      if (d.expand) for (let y = 0; y < height; y++) paintRow(y);
      return true;
    }
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
      if (changed) { if (d.expand) paintRow(y); if (d.first > y) d.first = y; d.last = y; }
    }
    return true;
  };
  return d;
}

const WASM = {simd: '@WASM_SIMD@', plain: '@WASM_PLAIN@'};
const wasmModules = {};
function wasmDecoder(kind) {
  const module = wasmModules[kind];
  if (!module) return null;
  const x = new WebAssembly.Instance(module, {}).exports;
  const d = {name: kind, frame: null, image: null, first: 0, last: -1};
  let buffer = null, size = 0, pixelCount = 0;
  const views = () => {
    buffer = x.memory.buffer;
    d.frame = new Uint8Array(buffer, x.frame(), size);
    d.image = new ImageData(new Uint8ClampedArray(buffer, x.pixels(), pixelCount * 4), pixelCount / d.height, d.height);
  };
  d.setup = (w, h, b) => {
    if (!x.setup(w, h, b)) return false;
    size = w * h * b; pixelCount = w * h; d.height = h;
    if (!x.reserve(size + (size >> 8) + 64)) return false;   // room for any frame's LZ4 block
    views();
    return true;
  };
  d.setDither = (on) => x.setDither(on ? 1 : 0);
  d.setExpand = (on) => x.setExpand(on ? 1 : 0);
  d.apply = (keyframe, payload) => {
    const at = x.reserve(payload.length);
    if (!at) return false;
    if (x.memory.buffer !== buffer) views();
    new Uint8Array(buffer, at, payload.length).set(payload);
    const ok = x.apply(keyframe ? 1 : 0, payload.length);
    d.first = x.first(); d.last = x.last();
    return !!ok;
  };
  return d;
}
function makeDecoder(kind) { return kind === 'js' ? jsDecoder() : wasmDecoder(kind); }
// The WebAssembly modules, compiled once; the kind the page uses.
const bytesOf = (text) => Uint8Array.from(atob(text), c => c.charCodeAt(0));
async function loadDecoders() {
  if (typeof WebAssembly !== 'object') return 'js';
  for (const [kind, name] of [['simd', 'wasm-simd'], ['plain', 'wasm']]) {
    try {
      const bytes = bytesOf(WASM[kind]);
      if (WebAssembly.validate(bytes)) wasmModules[name] = await WebAssembly.compile(bytes);
    } catch (err) {}
  }
  return ['wasm-simd', 'wasm'].find(k => wasmModules[k]) || 'js';
}

// The painters, one face: size(width, height, bpp) for a new picture,
// paint(decoder, first, last) its rows first..last, fill(css colour) the
// whole canvas, dither(on) 16 grey levels or all. WebGL's uploads the
// decoded bytes, one a grey pixel, and lets the GPU expand and dither them;
// the 2D canvas's paints the decoder's RGBA pixels. The 2D one is the
// default: measured in Chromium with a software GPU, WebGL's frames cost
// the page less but the GPU process more, and fewer arrive (?painter=webgl
// asks for it).
function glPainter() {
  const gl = canvas.getContext('webgl', {alpha: false, antialias: false, depth: false, stencil: false,
                                          preserveDrawingBuffer: true, premultipliedAlpha: false});
  if (!gl) return null;
  const shader = (type, text) => { const s = gl.createShader(type); gl.shaderSource(s, text); gl.compileShader(s); return s; };
  const program = gl.createProgram();
  gl.attachShader(program, shader(gl.VERTEX_SHADER,
    'attribute vec2 p; varying vec2 t; void main() { t = vec2(p.x + 1.0, 1.0 - p.y) * 0.5; gl_Position = vec4(p, 0.0, 1.0); }'));
  gl.attachShader(program, shader(gl.FRAGMENT_SHADER, `
    #ifdef GL_FRAGMENT_PRECISION_HIGH
    precision highp float;
    #else
    precision mediump float;
    #endif
    varying vec2 t; uniform sampler2D picture, bayer; uniform float dither;
    void main() {
      vec3 c = texture2D(picture, t).rgb;
      if (dither > 0.5) c = vec3(floor(c.r * 15.0 + texture2D(bayer, gl_FragCoord.xy * 0.25).r * 255.0 / 16.0 + 0.031) / 15.0);
      gl_FragColor = vec4(c, 1.0);
    }`));
  gl.linkProgram(program);
  if (!gl.getProgramParameter(program, gl.LINK_STATUS)) return null;
  gl.useProgram(program);
  gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
  gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([-1, -1, 1, -1, -1, 1, 1, 1]), gl.STATIC_DRAW);
  const at = gl.getAttribLocation(program, 'p');
  gl.enableVertexAttribArray(at);
  gl.vertexAttribPointer(at, 2, gl.FLOAT, false, 0, 0);
  gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
  const texture = (unit, wrap) => {
    const t = gl.createTexture();
    gl.activeTexture(gl.TEXTURE0 + unit);
    gl.bindTexture(gl.TEXTURE_2D, t);
    for (const [k, v] of [[gl.TEXTURE_MIN_FILTER, gl.NEAREST], [gl.TEXTURE_MAG_FILTER, gl.NEAREST],
                          [gl.TEXTURE_WRAP_S, wrap], [gl.TEXTURE_WRAP_T, wrap]]) gl.texParameteri(gl.TEXTURE_2D, k, v);
    return t;
  };
  texture(1, gl.REPEAT);
  gl.texImage2D(gl.TEXTURE_2D, 0, gl.LUMINANCE, 4, 4, 0, gl.LUMINANCE, gl.UNSIGNED_BYTE, new Uint8Array(BAYER.flat()));
  texture(0, gl.CLAMP_TO_EDGE);
  gl.uniform1i(gl.getUniformLocation(program, 'picture'), 0);
  gl.uniform1i(gl.getUniformLocation(program, 'bayer'), 1);
  const ditherAt = gl.getUniformLocation(program, 'dither');
  let w = 0, h = 0, format = gl.LUMINANCE, stride = 0;
  return {name: 'webgl', expands: false,
    size(width, height, bpp) {
      w = width; h = height; format = bpp === 3 ? gl.RGB : gl.LUMINANCE; stride = width * bpp;
      gl.viewport(0, 0, w, h);
      gl.texImage2D(gl.TEXTURE_2D, 0, format, w, h, 0, format, gl.UNSIGNED_BYTE, null);
    },
    paint(decoder, first, last) {
      gl.texSubImage2D(gl.TEXTURE_2D, 0, 0, first, w, last - first + 1, format, gl.UNSIGNED_BYTE,
                       decoder.frame.subarray(first * stride, (last + 1) * stride));
      gl.drawArrays(gl.TRIANGLE_STRIP, 0, 4);
    },
    fill(colour) { const v = colour === '#fff' ? 1 : 0; gl.clearColor(v, v, v, 1); gl.clear(gl.COLOR_BUFFER_BIT); },
    dither(on) { gl.uniform1f(ditherAt, on && format === gl.LUMINANCE ? 1 : 0); },
  };
}
function canvasPainter() {
  const g = canvas.getContext('2d', {alpha: false});
  return {name: '2d', expands: true,
    size() {},
    paint(decoder, first, last) { g.putImageData(decoder.image, 0, 0, 0, first, decoder.image.width, last - first + 1); },
    fill(colour) { g.fillStyle = colour; g.fillRect(0, 0, canvas.width, canvas.height); },
    dither(on) { if (decoder) decoder.setDither(on); },
  };
}
const painter = (params.get('painter') === 'webgl' && glPainter()) || canvasPainter();
qb.painter = painter.name;

// The picture: one decoder per connection, painted into the canvas.
let width = 0, height = 0, bpp = 1, decoder = null, decoderKind = 'js', needKeyframe = true;
function reset() {
  needKeyframe = true;
  decoder = null;
  if (!width || !height) return;
  decoder = makeDecoder(decoderKind);
  if (!decoder || !decoder.setup(width, height, bpp)) { decoder = jsDecoder(); decoder.setup(width, height, bpp); }
  decoder.setExpand(painter.expands);
  if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
  painter.size(width, height, bpp);
  painter.dither(greys16);
  painter.paint(decoder, 0, height - 1);
  Object.assign(qb, {width: width, height: height, bpp: bpp, frame: decoder.frame, decoder: decoder.name});
}

// A clean refresh clears a paper-like panel's ghosts the way a browser can
// ask it to: the page shows black, then white, then the picture, each long
// enough for the panel to flash whole. Frames arriving meanwhile are decoded
// and shown with the picture. Asked for by the Refresh button, a two-finger
// long press, or by itself after a quiet spell that follows many partial
// updates (on by default for a greyscale page; the daemon may say otherwise).
qb.refresh = {phaseMs: 300, partials: 40, quietMs: 2500, auto: true, count: 0};
let refreshing = false, partials = 0, quiet = null;
function cleanRefresh() {
  if (refreshing) return;
  refreshing = true;
  clearTimeout(quiet);
  qb.refresh.count++;
  painter.fill('#000');
  setTimeout(() => {
    painter.fill('#fff');
    setTimeout(() => {
      refreshing = false;
      partials = 0;
      if (decoder) painter.paint(decoder, 0, height - 1);
    }, qb.refresh.phaseMs);
  }, qb.refresh.phaseMs);
}
document.getElementById('refresh').addEventListener('click', cleanRefresh);

// A frame's payload onto the picture; false when it cannot be decoded.
function applyFrame(keyframe, payload) {
  if (!decoder) return true;
  if (!keyframe && needKeyframe) return true;           // deltas before the first keyframe mean nothing
  if (!decoder.apply(keyframe, payload)) return false;
  if (keyframe) needKeyframe = false;
  qb.frame = decoder.frame;
  if (decoder.last >= decoder.first && !refreshing) {
    painter.paint(decoder, decoder.first, decoder.last);
    partials++;
    clearTimeout(quiet);
    if (qb.refresh.auto && partials >= qb.refresh.partials) quiet = setTimeout(cleanRefresh, qb.refresh.quietMs);
  }
  return true;
}
qb.makeDecoder = makeDecoder;

// Greyscale or colour: a paper-like screen wants greyscale. The choice is
// kept (?colour=1 or 0 in the address sets it too); the page's id stays the
// same across reconnects so the daemon finds its session again.
if (params.has('colour')) localStorage.setItem('quillbright.colour', params.get('colour') === '1' ? '1' : '0');
let colour = localStorage.getItem('quillbright.colour') === '1';
qb.refresh.auto = !colour;
let pageId = sessionStorage.getItem('quillbright.page');
if (!pageId) {
  pageId = Array.from(crypto.getRandomValues(new Uint8Array(8)), b => b.toString(16).padStart(2, '0')).join('');
  sessionStorage.setItem('quillbright.page', pageId);
}
// 16 greys: a panel that shows only 16 levels gets them dithered (kept per
// tablet; off by default). The decoded picture stays exact.
let greys16 = localStorage.getItem('quillbright.greys') === '16';
const greysButton = document.getElementById('greys');
function labelGreys() { greysButton.textContent = greys16 ? '16 greys' : 'All greys'; }
labelGreys();
greysButton.addEventListener('click', () => {
  greys16 = !greys16;
  localStorage.setItem('quillbright.greys', greys16 ? '16' : '256');
  labelGreys();
  painter.dither(greys16);
  if (decoder && !refreshing) painter.paint(decoder, 0, height - 1);
});
const colourButton = document.getElementById('colour');
function labelColour() { colourButton.textContent = colour ? 'Colour' : 'Greyscale'; }
labelColour();
colourButton.addEventListener('click', () => {
  colour = !colour;
  qb.refresh.auto = !colour;
  localStorage.setItem('quillbright.colour', colour ? '1' : '0');
  labelColour();
  if (socket) socket.close();
});
// Opened by the daemon on a device over adb: /tablet/device/<serial> names
// the device's session, which the page joins.
const device = (location.pathname.match(/^\/tablet\/device\/([A-Za-z0-9._-]{1,64})$/) || [])[1];
function screenSize() {
  const ratio = window.devicePixelRatio || 1;
  return [Math.round(screen.width * ratio), Math.round(screen.height * ratio)];
}
let told = [0, 0];   // the screen as the daemon last heard of it
function hello() {
  told = screenSize();
  return 'hello ' + told[0] + ' ' + told[1] + ' ' + (colour ? 'rgb' : 'grey') + ' ' + pageId + (device ? ' ' + device : '');
}
// The tablet turned between portrait and landscape: the daemon is told the
// screen's new size (DA 73, width, height) and turns the page's display,
// which ends this connection; the next hello carries the new size.
function checkTurn() {
  const now = screenSize();
  if (!told[0] || (now[0] > now[1]) === (told[0] > told[1]) || !socket || socket.readyState !== 1) return;
  told = now;
  send(new Uint8Array([0xDA, 0x73, now[0] & 255, now[0] >> 8, now[1] & 255, now[1] >> 8]));
}
window.addEventListener('resize', checkTurn);
if (screen.orientation) screen.orientation.addEventListener('change', checkTurn);

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
    if (event.data.startsWith('refresh auto ')) {   // the daemon's say; a colour page never flashes by itself
      qb.refresh.auto = event.data === 'refresh auto on' && !colour;
      if (!qb.refresh.auto) clearTimeout(quiet);
    }
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
  if (qb.decodeTimes.length < 100000) qb.decodeTimes.push(qb.lastDecodeMs);   // read and emptied by the benchmark
  qb.decoded++;
  if (m[2] === 1) qb.keyframes++;
  if (qb.state) show('');
  ack(sequence);
}

function connect() {
  width = height = 0; bpp = 1; decoder = null; needKeyframe = true;
  socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/tablet/stream');
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => {
    retry = 500;
    const token = localStorage.getItem('quillbright.token');
    if (pendingCode) socket.send('pair ' + pendingCode);
    else if (token) socket.send('token ' + token);
    pendingCode = null;
    const before = told;
    socket.send(hello());
    if (before[0] && (before[0] > before[1]) !== (told[0] > told[1])) {   // it turned while away
      send(new Uint8Array([0xDA, 0x73, told[0] & 255, told[0] >> 8, told[1] & 255, told[1] >> 8]));
    }
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
    const why = event.reason === 'not mirroring' ? 'QuillBright is not mirroring'
              : event.reason ? 'disconnected: ' + event.reason
              : !navigator.onLine ? 'disconnected: the tablet is offline'
              : event.code === 1006 ? 'disconnected: QuillBright cannot be reached'
              : 'disconnected (' + event.code + ')';
    show(why + ' — trying again in ' + (retry / 1000) + ' s');
    qb.closes = (qb.closes || 0) + 1;
    setTimeout(connect, retry);
    retry = Math.min(retry * 2, 8000);
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
// Two fingers held still for LONG_PRESS_MS ask for a clean refresh: the
// daemon is told they were cancelled (so no click), and they are the page's
// until they lift.
const LONG_PRESS_MS = 800, STILL_PX = 12;
const fingers = new Map(), kept = new Set();
let twoFingerTimer = null;
function watchTwoFingers() {
  clearTimeout(twoFingerTimer);
  if (fingers.size !== 2) return;
  twoFingerTimer = setTimeout(() => {
    for (const [id, f] of fingers) { kept.add(id); contact.delete(id); sendPointer(4, f.event); }
    fingers.clear();
    cleanRefresh();
  }, LONG_PRESS_MS);
}
canvas.addEventListener('pointerdown', e => {
  e.preventDefault();
  contact.add(e.pointerId);
  try { canvas.setPointerCapture(e.pointerId); } catch (err) {}
  if (e.pointerType === 'touch') { fingers.set(e.pointerId, {x: e.clientX, y: e.clientY, event: e}); watchTwoFingers(); }
  sendPointer(1, e);
});
canvas.addEventListener('pointermove', e => {
  if (kept.has(e.pointerId)) return;
  // A pen or mouse moves the pointer while hovering; a finger only while down.
  if (e.pointerType === 'touch' && !contact.has(e.pointerId)) return;
  const f = fingers.get(e.pointerId);
  if (f && Math.hypot(e.clientX - f.x, e.clientY - f.y) > STILL_PX) { fingers.clear(); clearTimeout(twoFingerTimer); }
  else if (f) f.event = e;
  sendPointer(2, e);
});
function lifted(e) {
  contact.delete(e.pointerId);
  fingers.delete(e.pointerId);
  clearTimeout(twoFingerTimer);
  return !kept.delete(e.pointerId);
}
canvas.addEventListener('pointerup', e => { if (lifted(e)) sendPointer(3, e); wake(); });
canvas.addEventListener('pointercancel', e => { if (lifted(e)) sendPointer(4, e); });
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
loadDecoders().then(kind => {
  decoderKind = params.get('decoder') === 'js' ? 'js' : kind;
  connect();
});
</script></body></html>
)PAGE";

std::string base64(std::span<const std::uint8_t> bytes)
{
    std::string text(boost::beast::detail::base64::encoded_size(bytes.size()), '\0');
    text.resize(boost::beast::detail::base64::encode(text.data(), bytes.data(), bytes.size()));
    return text;
}

std::string replaced(std::string text, std::string_view placeholder, const std::string& with)
{
    text.replace(text.find(placeholder), placeholder.size(), with);
    return text;
}

} // namespace

const std::string& tabletManifest()
{
    static const std::string manifest = R"({"name": "QuillBright tablet", "short_name": "QuillBright",
 "start_url": "/tablet", "scope": "/tablet", "display": "fullscreen", "orientation": "any",
 "background_color": "#000000", "theme_color": "#000000",
 "icons": [{"src": "/tablet/icon.svg", "sizes": "any", "type": "image/svg+xml", "purpose": "any"}]}
)";
    return manifest;
}

const std::string& tabletIcon()
{
    // A quill over a page: black on white, as a paper-like screen shows it.
    static const std::string icon = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 192 192">
<rect width="192" height="192" rx="32" fill="#fff"/>
<rect x="44" y="28" width="104" height="136" rx="6" fill="none" stroke="#000" stroke-width="8"/>
<path d="M64 68h64M64 92h64M64 116h40" stroke="#000" stroke-width="8" stroke-linecap="round"/>
<path d="M150 24c-34 10-58 42-66 86l10 4c16-36 38-62 56-90z" fill="#000"/>
</svg>
)";
    return icon;
}

const std::string& tabletPage()
{
    static const std::string page = replaced(replaced(PAGE, "@WASM_SIMD@", base64(pageDecoderWasm(true))),
        "@WASM_PLAIN@", base64(pageDecoderWasm(false)));
    return page;
}

} // namespace qb
