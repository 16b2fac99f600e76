// The front-desk page: issue, read and check out key cards on this desk's
// encoder through the agent, with the hotel's rooms and recent cards in view.
// No build step and nothing from outside the agent: a desk may have no internet.
// Modules, each a file of hosts/agent/page/ that the agent serves at /page/.
import { PAGE_HEADER, call, onRefused } from "./agent.js";
import { DAY, addDays, dateValue, dayOnly, momentOf, nightsBetween, shown, stampOf, timeValue } from "./times.js";
import { firstLanguage, t, useLanguage } from "./words.js";

const $ = (id) => document.getElementById(id);

// The result codes that concern one field of the form, and which.
const CODE_FIELDS = { "-851": "begin", "-852": "end", "-854": "place", "-855": "place", "-856": "room", "-857": "room2" };

function setLanguage(chosen) {
  useLanguage(chosen);
  document.documentElement.lang = chosen === "zh" ? "zh-CN" : "en";
  document.title = t("title");
  for (const el of document.querySelectorAll("[data-t]")) el.textContent = t(el.dataset.t);
  for (const el of document.querySelectorAll("[data-t-label]")) el.setAttribute("aria-label", t(el.dataset.tLabel));
  for (const button of document.querySelectorAll("[data-lang]"))
    button.setAttribute("aria-pressed", String(button.dataset.lang === chosen));
  // What is on the page already, said again in the new language.
  renderHealth();
  renderErrors();
  renderPlaces();
  renderRoomNote();
  renderAnswer();
  renderBoard();
  renderCards();
}

// ---------------------------------------------------------------- the token
// The clerk types the token once per browser: the agent then keeps this
// browser signed in with a session of its own (an HttpOnly cookie of this
// site), which counts together with the page's header, until the agent
// stops or 30 days pass; a 401 then asks for the token again.
let signedIn = false;
function token() { return signedIn; }

function askToken(refused) {
  signedIn = false;
  $("token-form").hidden = false;
  setError("token", refused ? ["tokenRefused"] : null);
  $("token").focus();
}

// ---------------------------------------------------------------- state
const state = {
  health: null,
  settings: { checkin_time: "14:00", checkout_time: "12:00" },
  rooms: null,           // the /v1/rooms rows, or null before they came
  roomsFailure: null,
  cards: null,
  cardsFailure: null,
  errors: {},            // field -> [word key, ...values]
  answer: null,          // {op, status, answer} of the last card operation
  lastIssue: null,       // {path, body} of the last card written
  unanswered: null,      // {text, key} of an issue the agent has not answered
  busy: false,
};

const isVilla = () => document.querySelector("input[name=kind]:checked").value === "villa";
const roomCode = (text) => (/^\d{1,4}$/.test(text.trim()) ? text.trim().padStart(4, "0") : text.trim());
const roomKey = (r) => `${r.building}/${r.floor}`;

// The rooms of the list with this code, in any building and floor.
function roomsNamed(code) {
  return (state.rooms || []).filter((r) => r.room === code);
}

// ---------------------------------------------------------------- errors beside fields
const FIELD_INPUT = { token: "token", room: "room", room2: "room2", place: "building", holder: "holder",
                      begin: "begin-date", end: "end-date" };

function setError(field, word) {
  if (word) state.errors[field] = word; else delete state.errors[field];
  renderErrors();
}

function renderErrors() {
  for (const field of Object.keys(FIELD_INPUT)) {
    const word = state.errors[field];
    $(field + "-error").textContent = word ? t(...word) : "";
    const inputs = field === "place" ? ["building", "floor"] : field === "begin" ? ["begin-date", "begin-time"]
      : field === "end" ? ["end-date", "end-time"] : [FIELD_INPUT[field]];
    for (const id of inputs) {
      if (word) $(id).setAttribute("aria-invalid", "true"); else $(id).removeAttribute("aria-invalid");
    }
  }
}

// ---------------------------------------------------------------- building, floor and room
// Building and floor follow the room when only one room has its number;
// otherwise the clerk chooses them, from the hotel's own.
function fillSelect(select, values, chosen) {
  const want = values.map(String);
  if ([...select.options].map((o) => o.value).join() !== want.join())
    select.replaceChildren(...want.map((v) => new Option(v, v)));
  if (want.includes(String(chosen))) select.value = String(chosen);
}

function renderPlaces() {
  const rooms = state.rooms || [];
  const numbers = (list) => [...new Set(list)].sort((a, b) => a - b);
  const range = Array.from({ length: 99 }, (_, i) => i + 1);
  const buildings = rooms.length ? numbers(rooms.map((r) => r.building)) : range;
  fillSelect($("building"), buildings, $("building").value || buildings[0]);
  const b = Number($("building").value);
  const floors = rooms.length ? numbers(rooms.filter((r) => r.building === b).map((r) => r.floor)) : range;
  fillSelect($("floor"), floors, $("floor").value || floors[0]);

  const matches = roomsNamed(roomCode($("room").value));
  const follows = matches.length === 1;
  if (follows) {
    fillSelect($("building"), buildings, matches[0].building);
    renderPlacesFloor(rooms, matches[0]);
  } else if (matches.length > 1) {
    // A room in more than one place: the buildings that have it, and the
    // floor it is on in the building chosen.
    const theirs = numbers(matches.map((m) => m.building));
    fillSelect($("building"), theirs, theirs.includes(b) ? b : theirs[0]);
    const chosen = Number($("building").value);
    const floorsHere = numbers(matches.filter((m) => m.building === chosen).map((m) => m.floor));
    fillSelect($("floor"), floorsHere, floorsHere.includes(Number($("floor").value)) ? $("floor").value : floorsHere[0]);
  }
  $("building").disabled = $("floor").disabled = follows;

  // The second room of a villa card: the other rooms of that floor.
  const floor = Number($("floor").value), first = roomCode($("room").value);
  $("room2-list").replaceChildren(...rooms
    .filter((r) => r.building === Number($("building").value) && r.floor === floor && r.room !== first)
    .map((r) => new Option(t("placeState", r.building, r.floor, !!r.newest), r.room)));
}

function renderPlacesFloor(rooms, match) {
  const floors = [...new Set(rooms.filter((r) => r.building === match.building).map((r) => r.floor))].sort((a, b) => a - b);
  fillSelect($("floor"), floors, match.floor);
}

function renderRoomNote() {
  const code = roomCode($("room").value);
  const matches = roomsNamed(code);
  $("room-note").textContent = matches.length === 1
    ? t("placeState", matches[0].building, matches[0].floor, !!matches[0].newest)
    : matches.length > 1 ? t("manyPlaces", code) : "";
  $("room-list").replaceChildren(...[...new Set((state.rooms || []).map((r) => r.room))].map((room) => {
    const here = roomsNamed(room);
    return new Option(here.length === 1 ? t("place", here[0].building, here[0].floor) : "", room);
  }));
}

function onRoomTyped() {
  setError("room", null);
  setError("place", null);
  renderPlaces();
  renderRoomNote();
}

// ---------------------------------------------------------------- the stay
function resetStay() {
  const now = new Date();
  $("begin-date").value = dateValue(now);
  $("begin-time").value = timeValue(now);
  $("nights").value = 1;
  $("end-date").value = addDays(dateValue(now), 1);
  $("end-time").value = state.settings.checkout_time;
}

function setNights(n) {
  n = Math.max(1, Math.min(365, Math.round(Number(n) || 1)));
  $("nights").value = n;
  if ($("begin-date").value) $("end-date").value = addDays($("begin-date").value, n);
  setError("end", null);
}

// A stay that begins another day begins at the check-in time; today, now.
function onBeginDate() {
  const today = dateValue(new Date());
  $("begin-time").value = $("begin-date").value === today ? timeValue(new Date()) : state.settings.checkin_time;
  setNights($("nights").value);
  setError("begin", null);
}

function onEndDate() {
  const n = nightsBetween($("begin-date").value, $("end-date").value);
  if (n >= 1) $("nights").value = n;
  setError("end", null);
}

// ---------------------------------------------------------------- issue
// The body for the agent, or null with the errors shown beside the fields.
function issueRequest() {
  state.errors = {};
  const villa = isVilla();
  const room = roomCode($("room").value), room2 = roomCode($("room2").value);
  $("room").value = room;
  if (villa) $("room2").value = room2;
  const building = Number($("building").value), floor = Number($("floor").value);
  const known = state.rooms && state.rooms.length;
  const at = (code) => roomsNamed(code).some((r) => r.building === building && r.floor === floor);

  if (!/^\d{4}$/.test(room) || room === "0000") state.errors.room = ["noRoom"];
  else if (known && !roomsNamed(room).length) state.errors.room = ["noSuchRoom", room];
  else if (known && !at(room)) state.errors.place = ["noPlace", room, building, floor];
  if (villa) {
    if (!/^\d{4}$/.test(room2) || room2 === "0000") state.errors.room2 = ["noRoom2"];
    else if (room2 === room) state.errors.room2 = ["sameRoom"];
    else if (known && !at(room2)) state.errors.room2 = ["otherFloor", room2, building, floor];
  }
  const holder = $("holder").value.trim();
  if (!holder) state.errors.holder = ["noHolder"];
  const begin = stampOf($("begin-date").value, $("begin-time").value);
  const end = stampOf($("end-date").value, $("end-time").value);
  if (!begin) state.errors.begin = ["noDate"];
  if (!end) state.errors.end = ["noDate"];
  else if (begin && end <= begin) state.errors.end = ["endFirst"];
  renderErrors();
  const first = Object.keys(FIELD_INPUT).find((f) => state.errors[f]);
  if (first) {
    $(FIELD_INPUT[first]).focus();
    return null;
  }
  const stay = { begin, end, building, floor, holder };
  return villa ? { path: "/v1/cards/villa", body: { ...stay, rooms: [room, room2] } }
               : { path: "/v1/cards/guest", body: { ...stay, room } };
}

// `fromForm`: the clerk's form, which makes way for the next guest once the
// card is written and keeps what was typed when it was not.
// A new key for each press of Issue; a press that repeats a request the
// agent has not yet answered takes the same key again.
function idempotencyKey(request) {
  const text = request.path + JSON.stringify(request.body);
  if (state.unanswered && state.unanswered.text === text) return state.unanswered.key;
  const bytes = crypto.getRandomValues(new Uint8Array(16));
  const key = Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
  state.unanswered = { text, key };
  return key;
}

// Sends the issue; a live card on the encoder is replaced only when the
// clerk says so, seeing its room and guest.
async function send(request) {
  let outcome = await call("POST", request.path, request.body, { "Idempotency-Key": idempotencyKey(request) });
  if (outcome.status !== 0) state.unanswered = null;
  const live = outcome.status === 409 && outcome.answer.error && outcome.answer.error.code === "card_in_use"
    && outcome.answer.card;
  if (!live) return outcome;
  const end = momentOf(live.end);
  if (!(await confirmed(t("confirmReplace", live.rooms.join(" + "), live.holder, end ? shown(end) : ""), t("replaceYes"))))
    return { status: 0, answer: {}, cancelled: true, kept: true };
  const replacing = { path: request.path, body: { ...request.body, replace: true } };
  outcome = await call("POST", replacing.path, replacing.body, { "Idempotency-Key": idempotencyKey(replacing) });
  if (outcome.status !== 0) state.unanswered = null;
  return outcome;
}

async function issue(request, fromForm) {
  const done = await cardOperation("issue", () => send(request));
  if (done) state.lastIssue = request;
  else if (fromForm) state.lastIssue = null;
  renderAnswer();
  if (done && fromForm) {
    $("room").value = $("room2").value = $("holder").value = "";
    resetStay();
    onRoomTyped();
    $("room").focus();
  }
}

// Runs one card operation with the buttons held, shows its answer and
// refreshes the board and the cards; true when it was done (result 0).
async function cardOperation(op, work) {
  if (state.busy) return false;
  state.busy = true;
  for (const b of document.querySelectorAll("#issue, #read, #checkout, #second-key, #checkout-here")) b.disabled = true;
  $("answer").setAttribute("aria-busy", "true");
  let outcome;
  try {
    outcome = await work();
  } finally {
    state.busy = false;
    for (const b of document.querySelectorAll("#issue, #read, #checkout, #second-key, #checkout-here")) b.disabled = false;
    $("answer").removeAttribute("aria-busy");
  }
  state.answer = { op, ...outcome };
  const done = outcome.status === 200 && outcome.answer.result === 0;
  const field = op === "issue" && CODE_FIELDS[String(outcome.answer.result)];
  if (field) setError(field, ["clerkWords", outcome.answer.clerk]);
  renderAnswer();
  loadRooms();
  loadCards();
  return done;
}

// ---------------------------------------------------------------- the answer
// What the result means, in the words the agent's answer carries for the
// operation the clerk did.
function meaningOf(a) {
  return a.clerk ? t("clerkWords", a.clerk) : t("code", a.result);
}

function para(text, className) {
  const p = document.createElement("p");
  p.textContent = text;
  if (className) p.className = className;
  return p;
}

// The card's rooms, its place and its stay, as far as the answer tells them.
function cardLines(a) {
  const lines = [];
  if (a.kind) lines.push(para(t(a.kind === "villa" ? "villaCard" : "guestCard")));
  if (a.rooms && a.rooms.length) lines.push(para(t("roomsLine", a.rooms.join(" + "), a.building, a.floor), "big"));
  if (a.holder) lines.push(para(a.holder, "big"));
  const begin = momentOf(a.begin), end = momentOf(a.end);
  if (end) {
    const nights = begin ? nightsBetween(dateValue(begin), dateValue(end)) : 0;
    lines.push(para(t("stay", begin ? shown(begin, false, dayOnly(a.begin)) : "…", shown(end), nights)));
  }
  return lines;
}

function validity(a) {
  const begin = momentOf(a.begin), end = momentOf(a.end), now = new Date();
  if (!end) return null;
  if (end <= now) return t("expired");
  if (begin && begin > now && a.begin.length >= 12) return t("notYet", shown(begin));
  const minutes = Math.floor((end - now) / 60000);
  return t("left", t("duration", Math.floor(minutes / 1440), Math.floor(minutes / 60) % 24, minutes % 60));
}

function renderAnswer() {
  const box = $("answer");
  $("second-key").hidden = !state.lastIssue;
  $("checkout-here").hidden = true;
  if (!state.answer) return;
  const { op, status, answer: a, cancelled, kept } = state.answer;
  const done = status === 200 && a.result === 0;
  const parts = [];
  if (typeof a.result === "number") {
    const headline = done ? t(op === "issue" ? "written" : op === "read" ? "readDone" : "checkedOut") : meaningOf(a);
    parts.push(para(headline, "headline"));
    if (done && a.card_no) {
      const no = para(t("cardNo", a.card_no));
      no.id = "cardno";
      parts.push(no);
    }
    if (done) parts.push(...cardLines(a));
    if (done && op === "read") {
      const valid = validity(a);
      if (valid) parts.push(para(valid, "big"));
      if (a.rooms && a.rooms.length) {
        $("checkout-here").textContent = t("checkoutRoom", a.rooms.join(" + "));
        $("checkout-here").hidden = false;
      }
    }
    if (!done && a.result === -129 && a.card_no) parts.push(para(t("notWritten", a.card_no)));
    parts.push(para(t("code", a.result), "code"));
  } else if (cancelled) {
    parts.push(para(t(kept ? "notReplaced" : "notCheckedOut"), "headline"));
  } else {
    const message = (a.error && a.error.message) || a.message || "";
    parts.push(para(status === 0 ? t("noAgent") : a.clerk ? t("clerkWords", a.clerk) : status === 503 ? t("busy")
      : status === 400 || status === 409 || status === 422 ? t("refused", message)
      : status === 500 ? t("failed", message) : t("httpStatus", status, message), "headline"));
  }
  box.className = done ? "ok" : "bad";
  box.replaceChildren(...parts);
}

// ---------------------------------------------------------------- read and check out
async function readCard() {
  await cardOperation("read", async () => withRecordTimes(await call("GET", "/v1/card")));
}

// A guest card carries the day its stay begins, not the time: the card's
// record keeps the times it was issued with, and the clerk sees those.
async function withRecordTimes(read) {
  const a = read.answer;
  if (!(read.status === 200 && a.result === 0 && a.card_no && a.rooms && a.rooms.length)) return read;
  const listed = await call("GET", `/v1/cards?room=${encodeURIComponent(a.rooms[0])}&limit=50`);
  const record = listed.status === 200 && (listed.answer.cards || []).find((c) => c.card_no === a.card_no);
  if (record && record.open) read.answer = { ...a, begin: record.begin || a.begin, end: record.end || a.end };
  return read;
}

// Reads the card first, so that the confirmation names the room of the card
// that lies on the encoder now, not of one read a while ago.
function checkOut() {
  return cardOperation("checkout", async () => {
    const read = await call("GET", "/v1/card?for=checkout");
    if (!(read.status === 200 && read.answer.result === 0)) return read;
    if (!(await confirmed(t("confirmCheckout", (read.answer.rooms || []).join(" + ")), t("confirmYes"))))
      return { status: 0, answer: {}, cancelled: true };
    return call("POST", "/v1/card/checkout", {});
  });
}

// The dialog's yes button says what it does: 覆盖 / Replace for a card still
// in use, 退房 / Check out for a check-out.
function confirmed(text, yes) {
  const dialog = $("confirm");
  $("confirm-text").textContent = text;
  $("confirm-yes").textContent = yes;
  dialog.returnValue = "";
  dialog.showModal();
  return new Promise((resolve) => dialog.addEventListener("close", () => resolve(dialog.returnValue === "yes"), { once: true }));
}

// ---------------------------------------------------------------- the room board
async function loadRooms() {
  const { status, answer } = await call("GET", "/v1/rooms");
  if (status === 200 && Array.isArray(answer.rooms)) {
    state.rooms = answer.rooms;
    state.roomsFailure = null;
  } else {
    state.roomsFailure = status === 0 ? t("noAgent") : answer.message || String(status);
  }
  renderPlaces();
  renderRoomNote();
  renderBoard();
}

// A room is taken while it has an open card; the agent counts its cards by
// their records, not by RoomList's own State and CardQTY.
function tile(r) {
  const busy = !!r.newest;
  const button = document.createElement("button");
  button.type = "button";
  button.className = "tile" + (busy ? " occupied" : "");
  button.dataset.room = r.room;
  button.dataset.building = r.building;
  button.dataset.floor = r.floor;
  const span = (text, cls) => {
    const s = document.createElement("span");
    s.className = cls;
    s.textContent = text;
    return s;
  };
  button.append(span(r.room, "no"), span(t(busy ? "occupied" : "vacant") + (busy && r.cards ? " · " + t("cards", r.cards) : ""), "state"));
  if (busy) {
    button.append(span(r.newest.holder || "", "who"), span(t("until", shown(momentOf(r.newest.end), true)), "until"));
  }
  const li = document.createElement("li");
  li.append(button);
  return li;
}

function renderBoard() {
  const board = $("board");
  $("rooms-message").textContent = state.roomsFailure ? t("roomsFailed", state.roomsFailure)
    : state.rooms && !state.rooms.length ? t("noRooms") : "";
  if (!state.rooms) return board.replaceChildren();
  const byBuilding = new Map();
  for (const r of state.rooms) {
    if (!byBuilding.has(r.building)) byBuilding.set(r.building, new Map());
    const floors = byBuilding.get(r.building);
    if (!floors.has(r.floor)) floors.set(r.floor, []);
    floors.get(r.floor).push(r);
  }
  const parts = [];
  for (const b of [...byBuilding.keys()].sort((x, y) => x - y)) {
    const h3 = document.createElement("h3");
    h3.textContent = t("buildingHeading", b);
    parts.push(h3);
    const floors = byBuilding.get(b);
    for (const f of [...floors.keys()].sort((x, y) => x - y)) {
      const h4 = document.createElement("h4");
      h4.textContent = t("floorHeading", f);
      const list = document.createElement("ul");
      list.className = "tiles";
      list.setAttribute("aria-label", t("buildingHeading", b) + " " + t("floorHeading", f));
      list.append(...floors.get(f).sort((x, y) => x.room.localeCompare(y.room)).map(tile));
      parts.push(h4, list);
    }
  }
  board.replaceChildren(...parts);
}

// A room pressed on the board starts an issue for it; on a villa card with
// its first room given, a room of the same floor becomes the second.
function onTile(event) {
  const button = event.target.closest(".tile");
  if (!button) return;
  const first = roomsNamed(roomCode($("room").value));
  const sameFloor = first.length === 1 && String(first[0].building) === button.dataset.building &&
    String(first[0].floor) === button.dataset.floor && first[0].room !== button.dataset.room;
  if (isVilla() && sameFloor && !$("room2").value) {
    $("room2").value = button.dataset.room;
    setError("room2", null);
  } else {
    $("room").value = button.dataset.room;
    onRoomTyped();
    $("building").value = button.dataset.building;
    renderPlaces();
    $("floor").value = button.dataset.floor;
    renderPlaces();
  }
  (isVilla() && !$("room2").value ? $("room2") : $("holder").value ? $("issue") : $("holder")).focus();
}

// ---------------------------------------------------------------- recent cards
let searchTimer = 0;

async function loadCards() {
  const text = $("search").value.trim();
  let query = "/v1/cards?limit=60";
  if (/^\d{1,4}$/.test(text)) query += "&room=" + text.padStart(4, "0");
  else if (text) query += "&holder=" + encodeURIComponent(text);
  const { status, answer } = await call("GET", query);
  if (text !== $("search").value.trim()) return;  // a newer search is on its way
  if (status === 200 && Array.isArray(answer.cards)) {
    state.cards = answer.cards;
    state.cardsFailure = null;
  } else {
    state.cardsFailure = status === 0 ? t("noAgent") : answer.message || String(status);
  }
  renderCards();
}


function renderCards() {
  $("cards-message").textContent = state.cardsFailure ? t("cardsFailed", state.cardsFailure) : "";
  const cards = state.cards || [];
  const open = cards.filter((c) => c.open), closed = cards.filter((c) => !c.open);
  const table = (el, rows, last, lastValue) => {
    const head = document.createElement("tr");
    for (const key of ["colCard", "colRoom", "colHolder", last]) {
      const th = document.createElement("th");
      th.scope = "col";
      th.textContent = t(key);
      head.append(th);
    }
    const body = rows.map((c) => {
      const tr = document.createElement("tr");
      for (const [text, cls] of [[c.card_no, "number"], [(c.rooms || []).join(" + "), "number"], [c.holder], [lastValue(c)]]) {
        const td = document.createElement("td");
        td.textContent = text || "";
        if (cls) td.className = cls;
        tr.append(td);
      }
      return tr;
    });
    if (!body.length) {
      const tr = document.createElement("tr"), td = document.createElement("td");
      td.colSpan = 4;
      td.textContent = t("noCards");
      tr.append(td);
      body.push(tr);
    }
    const thead = document.createElement("thead"), tbody = document.createElement("tbody");
    thead.append(head);
    tbody.append(...body);
    el.replaceChildren(thead, tbody);
  };
  table($("open-cards"), open, "colStay", (c) => shown(momentOf(c.begin)) + " – " + shown(momentOf(c.end)));
  table($("closed-cards"), closed, "colOut", (c) => shown(momentOf(c.checked_out_at)));
}

// ---------------------------------------------------------------- health and settings
async function loadHealth() {
  try {
    state.health = await (await fetch("/v1/health")).json();
  } catch (e) {
    state.health = null;
  }
  renderHealth();
}

function renderHealth() {
  const h = state.health;
  const parts = h && h.encoder ? [t("health", h)] : [];
  if (h && Array.isArray(h.desks) && h.desks.length) parts.push(t("desks", h.desks));
  if (h && h.join) parts.push(t("joined", h.join));
  $("health").textContent = parts.join(" · ");
}

async function loadSettings() {
  const { status, answer } = await call("GET", "/v1/settings");
  const time = (v) => (/^\d\d:\d\d$/.test(v) ? v : null);
  if (status === 200) {
    const endWasDefault = $("end-time").value === state.settings.checkout_time;
    state.settings.checkin_time = time(answer.checkin_time) || state.settings.checkin_time;
    state.settings.checkout_time = time(answer.checkout_time) || state.settings.checkout_time;
    if (endWasDefault) $("end-time").value = state.settings.checkout_time;
  }
}

// Everything that needs the token, once it is there.
function start() {
  loadSettings();
  loadRooms();
  loadCards();
  $("room").focus();
}

// ---------------------------------------------------------------- wiring
function wire() {
  for (const button of document.querySelectorAll("[data-lang]"))
    button.addEventListener("click", () => {
      localStorage.setItem("frontDeskLanguage", button.dataset.lang);
      setLanguage(button.dataset.lang);
    });

  $("token-form").addEventListener("submit", (e) => {
    e.preventDefault();
    const value = $("token").value.trim();
    if (!value) return setError("token", ["tokenMissing"]);
    fetch("/v1/session", { method: "POST", headers: { "Authorization": "Bearer " + value } })
      .then((response) => {
        if (response.status !== 204) return askToken(true);
        $("token").value = "";
        signedIn = true;
        setError("token", null);
        $("token-form").hidden = true;
        start();
      }, () => askToken(true));
  });

  for (const radio of document.querySelectorAll("input[name=kind]"))
    radio.addEventListener("change", () => {
      for (const el of document.querySelectorAll(".villa-only")) el.hidden = !isVilla();
      setError("room2", null);
    });

  $("room").addEventListener("input", onRoomTyped);
  $("room2").addEventListener("input", () => setError("room2", null));
  $("building").addEventListener("change", () => { setError("place", null); renderPlaces(); });
  $("floor").addEventListener("change", () => { setError("place", null); renderPlaces(); });
  $("holder").addEventListener("input", () => setError("holder", null));
  $("begin-date").addEventListener("change", onBeginDate);
  $("begin-time").addEventListener("change", () => setError("begin", null));
  $("end-date").addEventListener("change", onEndDate);
  $("end-time").addEventListener("change", () => setError("end", null));
  $("nights").addEventListener("input", () => { if ($("nights").value) setNights($("nights").value); });
  $("fewer").addEventListener("click", () => setNights(Number($("nights").value) - 1));
  $("more").addEventListener("click", () => setNights(Number($("nights").value) + 1));

  // Enter in any field of the form issues the card.
  $("issue-form").addEventListener("submit", (e) => {
    e.preventDefault();
    const request = issueRequest();
    if (!request) return;
    issue(request, true);
  });
  $("second-key").addEventListener("click", () => state.lastIssue && issue(state.lastIssue, false));
  $("read").addEventListener("click", readCard);
  $("checkout").addEventListener("click", checkOut);
  $("checkout-here").addEventListener("click", checkOut);
  $("refresh").addEventListener("click", () => { loadRooms(); loadCards(); });
  $("board").addEventListener("click", onTile);
  $("search").addEventListener("input", () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(loadCards, 250);
  });
  // Cards issued by the PMS or another desk show up without a press.
  setInterval(() => { if (token() && !state.busy && !document.hidden) loadRooms(); }, 60000);
}

wire();
onRefused(() => askToken(true));
resetStay();
setLanguage(firstLanguage());
loadHealth();
// Signed in already when the agent knows this browser's cookie.
fetch("/v1/settings", { headers: PAGE_HEADER }).then((response) => {
  signedIn = response.status === 200;
  if (signedIn) start(); else askToken(false);
}, () => askToken(false));