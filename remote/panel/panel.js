// The panel page: eight pads and stop all, kept up to date over the program's WebSocket.
// A tap plays a pad; holding it for LONG_PRESS_MS fades it out. A hold pad sounds from the
// touch until it is let go.
"use strict";
const LONG_PRESS_MS = 600;
const STATE_TEXT = { empty: "空", stopped: "", playing: "", fading: "フェード", paused: "一時停止",
  ending: "" };
const pads = [];
let socket = null;
// Milliseconds from a tap to the pushed state that answers it, for the operator's curiosity
// and for the program's tests.
window.cuedeckLatency = [];

function timeText(ms) {
  const s = Math.max(0, Math.ceil(ms / 1000));
  return Math.floor(s / 60) + ":" + String(s % 60).padStart(2, "0");
}

function send(text) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(text);
}

function buildPads() {
  const grid = document.getElementById("pads");
  for (let n = 1; n <= 8; n++) {
    const el = document.createElement("button");
    el.type = "button";
    el.className = "pad empty";
    el.id = "pad" + n;
    el.innerHTML = '<span class="number"></span><span class="caption"></span>' +
      '<span class="left"></span>';
    el.querySelector(".number").textContent = String(n);
    const pad = { n, el, state: "empty", left: 0, at: 0, tapAt: 0, timer: 0, longDone: false };
    el.addEventListener("pointerdown", (e) => {
      e.preventDefault();
      pad.longDone = false;
      el.classList.add("held");
      if (pad.hold) {
        pad.holding = true;
        pad.tapAt = performance.now();
        send("press " + n);
        return;
      }
      pad.timer = setTimeout(() => {
        pad.longDone = true;
        el.classList.remove("held");
        send("fade " + n);
      }, LONG_PRESS_MS);
    });
    const release = (fire) => {
      clearTimeout(pad.timer);
      el.classList.remove("held");
      if (pad.holding) {
        pad.holding = false;
        pad.longDone = true;
        send("release " + n);
        return;
      }
      if (fire && !pad.longDone) {
        pad.tapAt = performance.now();
        send("press " + n);
      }
      pad.longDone = true;
    };
    el.addEventListener("pointerup", () => release(true));
    el.addEventListener("pointercancel", () => release(false));
    el.addEventListener("pointerleave", () => release(false));
    el.addEventListener("contextmenu", (e) => e.preventDefault());
    grid.appendChild(el);
    pads.push(pad);
  }
  document.getElementById("stopall").addEventListener("click", () => send("stopall"));
}

function show(pad) {
  const el = pad.el;
  el.className = "pad " + pad.state;
  el.dataset.state = pad.state;
  el.querySelector(".caption").textContent = pad.caption || "";
  const sounding = pad.state === "playing" || pad.state === "fading" || pad.state === "ending";
  const left = sounding ? pad.left - (performance.now() - pad.at) : pad.left;
  el.querySelector(".left").textContent =
    pad.state === "empty" ? "" : (STATE_TEXT[pad.state] || "") + " " + timeText(left);
}

function receive(message) {
  let data;
  try { data = JSON.parse(message); } catch (e) { return; }
  if (!data || !Array.isArray(data.pads)) return;
  for (const p of data.pads) {
    const pad = pads[p.pad - 1];
    if (!pad) continue;
    if (pad.tapAt) {
      window.cuedeckLatency.push(performance.now() - pad.tapAt);
      pad.tapAt = 0;
    }
    pad.caption = String(p.caption || "");
    pad.state = String(p.state || "empty");
    pad.left = Number(p.left) || 0;
    pad.hold = p.hold === true;
    pad.at = performance.now();
    show(pad);
  }
}

function connect() {
  const link = document.getElementById("link");
  socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host +
    "/ws");
  socket.onopen = () => { link.textContent = "接続"; link.classList.remove("down"); };
  socket.onmessage = (e) => receive(e.data);
  socket.onclose = () => {
    link.textContent = "切断 — 再接続します…";
    link.classList.add("down");
    // The session may be over (a new PIN, the program started again): then the program
    // refuses the socket, and the page goes back to the PIN. Else it tries again.
    setTimeout(() => {
      fetch("/panel.css", { cache: "no-store" })
        .then((r) => { if (r.status === 403) location.reload(); else connect(); })
        .catch(() => setTimeout(connect, 2000));
    }, 1000);
  };
}

buildPads();
connect();
setInterval(() => pads.forEach((p) => { if (p.state !== "empty") show(p); }), 200);
