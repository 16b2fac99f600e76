// The front-desk page: issue, read and check out key cards on this desk's
// encoder through the agent, with the hotel's rooms and recent cards in view.
// No build step and nothing from outside the agent: a desk may have no internet.
"use strict";

const $ = (id) => document.getElementById(id);

// ---------------------------------------------------------------- words
// Every text the clerk sees, in both languages. A function takes the
// values it names; a string is shown as it is.
const WORDS = {
  en: {
    title: "Front desk: key cards",
    intro: "For when the PMS is down: issue, read and check out cards on this desk's encoder.",
    tokenHeading: "Agent token",
    token: "Token",
    useToken: "Use",
    tokenHelp: "tavocard serve prints it when it makes it and keeps it in its token file.",
    tokenMissing: "Type the agent's token",
    tokenRefused: "The agent did not accept this token: type it again",
    issueHeading: "Issue a card",
    kind: "Card kind",
    guest: "Guest card (one room)",
    villa: "Villa card (two rooms)",
    room: "Room",
    room2: "Second room",
    building: "Building",
    floor: "Floor",
    holder: "Holder",
    arrival: "Arrival",
    arrivalTime: "Arrival time",
    departure: "Departure",
    departureTime: "Departure time",
    nights: "Nights",
    fewer: "One night fewer",
    more: "One night more",
    issue: "Issue card",
    resultHeading: "Last card operation",
    nothingYet: "No card operation yet.",
    secondKey: "Second key for the same stay",
    encoderHeading: "Card on the encoder",
    read: "Read card",
    checkout: "Check out card",
    roomsHeading: "Rooms",
    refresh: "Refresh",
    cardsHeading: "Recent cards",
    search: "Room or holder",
    openCards: "Open",
    closedCards: "Checked out",
    confirmYes: "Check out",
    cancel: "Cancel",

    place: (b, f) => `Building ${b}, floor ${f}`,
    placeState: (b, f, busy) => `Building ${b}, floor ${f} · ${busy ? "occupied" : "vacant"}`,
    manyPlaces: (r) => `Room ${r} is in more than one building or floor: choose below`,
    noSuchRoom: (r) => `There is no room ${r} in this hotel`,
    noRoom: "Type the room number",
    noRoom2: "Type the second room, on the same floor",
    sameRoom: "The second room must be another room",
    otherFloor: (r, b, f) => `Room ${r} is not in building ${b}, floor ${f}: a villa card's rooms are on one floor`,
    noPlace: (r, b, f) => `Room ${r} is not in building ${b}, floor ${f}`,
    noHolder: "Type the guest's name",
    noDate: "Give a date and a time",
    endFirst: "Departure must come after arrival",

    vacant: "vacant",
    occupied: "occupied",
    cards: (n) => (n === 1 ? "1 card" : `${n} cards`),
    until: (t) => `until ${t}`,
    buildingHeading: (b) => `Building ${b}`,
    floorHeading: (f) => `Floor ${f}`,
    noRooms: "The hotel's room list is empty.",
    roomsFailed: (m) => `The rooms could not be shown: ${m}`,
    cardsFailed: (m) => `The cards could not be shown: ${m}`,
    noCards: "None",
    colCard: "Card",
    colRoom: "Room",
    colHolder: "Holder",
    colStay: "Stay",
    colOut: "Checked out",

    written: "Card written",
    readDone: "Card read",
    checkedOut: "Checked out: the card is erased",
    cardNo: (n) => `Card ${n}`,
    guestCard: "Guest card",
    villaCard: "Villa card",
    roomsLine: (rooms, b, f) => `Room ${rooms} · building ${b}, floor ${f}`,
    stay: (a, b, n) => `${a} to ${b}` + (n > 0 ? ` · ${n === 1 ? "1 night" : n + " nights"}` : ""),
    left: (t) => `Valid: ${t} left`,
    notYet: (t) => `Valid from ${t}`,
    expired: "Expired",
    duration: (d, h, m) => (d ? `${d} d ${h} h` : h ? `${h} h ${m} min` : `${m} min`),
    checkoutRoom: (r) => `Check out room ${r}`,
    confirmCheckout: (r) => `Check out room ${r}? The card is erased and the room released.`,
    notCheckedOut: "Nothing was checked out.",
    confirmReplace: (r, h, e) => `The card on the encoder is still in use: room ${r}, ${h}` +
      (e ? `, until ${e}` : "") + ". Replace it? That guest's card stops opening the room and its stay is checked out.",
    notReplaced: "Nothing was written: the card on the encoder is still in use.",
    code: (c) => `Result ${c}`,

    health: (h) => `Agent ${h.version} · encoder port ${h.encoder.port} ` +
      (h.encoder.open ? "open" : "not open") + " · hotel database " +
      (h.database && h.database.reachable ? "reachable" : "not reachable"),
    // The desks that join this link desk, or the link desk this desk joins.
    desks: (ds) => "desks: " + ds.map((d) => `${d.name} (${d.coders.join(", ") || "-"}) ` +
      (d.joined ? "joined" : "not connected" + (d.last_contact ? `, last ${d.last_contact.slice(11, 16)}` : ""))).join("; "),
    joined: (j) => `desk ${j.desk}: ` + (j.joined ? "joined" : "not joined") + ` to the link desk ${j.link_desk}`,
    noAgent: "The agent does not answer: is tavocard serve running on this computer?",
    busy: "The encoder is busy with another card: nothing was done. Press again in a moment.",
    refused: (m) => `The agent refused the request: ${m}`,
    failed: (m) => `The card call failed: ${m}. Call the system administrator.`,
    httpStatus: (s, m) => `The agent answered ${s}: ${m}`,

    // Result codes, in the clerk's words for what the clerk was doing.
    r: {
      "-99": "The encoder did not answer: check its cable and power, then try again",
      "-128": "The card could not be read: is a card on the encoder? Lay it flat and try again",
      "-129": "No card on the encoder: put a blank card on it and press Issue again",
      "-500": "This is not a guest card (kind 01): take a guest card and try again",
      "-600": "This is not a guest card (kind AA): take a guest card and try again",
      "-700": "No card on the encoder: put a blank card on it and press Issue again",
      "-700read": "No guest card on the encoder: the card there is blank or erased",
      "-700checkout": "Nothing to check out: the card on the encoder is blank or erased",
      "-710": "The card was already checked out: it is erased now, nothing else to do",
      "-800": "This desk is not set up for card issue: call the system administrator",
      "-820": "The hotel database is not where this desk looks for it: call the system administrator",
      "-840": "The hotel database is not reachable: wait a moment and try again, then call the system administrator",
      "-851": "Check the arrival date and time, then try again",
      "-852": "Check the departure date and time: it must come after the arrival",
      "-854": "Check the building number: 1 to 99",
      "-855": "Check the floor number: 1 to 99",
      "-856": "Check the room number: four figures, such as 0203",
      "-857": "Check the two rooms: four figures each, on one floor",
    },
    notWritten: (n) => `Card ${n} was not written; its record is closed.`,
    writeStatus: (s) => `The card was not written (encoder status ${s}): lay it flat on the encoder and press Issue again`,
    unexpected: (c) => `Unexpected result ${c}: note it and call the system administrator`,
    codeMeaning: (c) => WORDS.en.r[c],
  },

  zh: {
    title: "前台：房卡",
    intro: "PMS 停用时，在本台发卡器上发卡、读卡和退房。",
    tokenHeading: "发卡服务口令",
    token: "口令",
    useToken: "使用",
    tokenHelp: "tavocard serve 生成口令时会显示它，并把它存在口令文件里。",
    tokenMissing: "请输入发卡服务的口令",
    tokenRefused: "发卡服务不接受这个口令：请重新输入",
    issueHeading: "发卡",
    kind: "卡类型",
    guest: "宾客卡（一间房）",
    villa: "别墅卡（两间房）",
    room: "房号",
    room2: "第二间房",
    building: "楼栋",
    floor: "楼层",
    holder: "住客姓名",
    arrival: "入住",
    arrivalTime: "入住时间",
    departure: "离店",
    departureTime: "离店时间",
    nights: "晚数",
    fewer: "少住一晚",
    more: "多住一晚",
    issue: "发卡",
    resultHeading: "最近一次操作",
    nothingYet: "还没有操作。",
    secondKey: "同一住宿再发一张卡",
    encoderHeading: "发卡器上的卡",
    read: "读卡",
    checkout: "退房",
    roomsHeading: "房态",
    refresh: "刷新",
    cardsHeading: "最近的卡",
    search: "房号或姓名",
    openCards: "在住",
    closedCards: "已退房",
    confirmYes: "退房",
    cancel: "取消",

    place: (b, f) => `${b} 号楼 ${f} 层`,
    placeState: (b, f, busy) => `${b} 号楼 ${f} 层 · ${busy ? "在住" : "空房"}`,
    manyPlaces: (r) => `${r} 房不止一处：请在下面选择楼栋和楼层`,
    noSuchRoom: (r) => `本酒店没有 ${r} 房`,
    noRoom: "请输入房号",
    noRoom2: "请输入第二间房（同一层）",
    sameRoom: "第二间房须是另一间房",
    otherFloor: (r, b, f) => `${r} 房不在 ${b} 号楼 ${f} 层：别墅卡的两间房须在同一层`,
    noPlace: (r, b, f) => `${r} 房不在 ${b} 号楼 ${f} 层`,
    noHolder: "请输入住客姓名",
    noDate: "请填写日期和时间",
    endFirst: "离店须晚于入住",

    vacant: "空房",
    occupied: "在住",
    cards: (n) => `${n} 张卡`,
    until: (t) => `至 ${t}`,
    buildingHeading: (b) => `${b} 号楼`,
    floorHeading: (f) => `${f} 层`,
    noRooms: "酒店的房间表是空的。",
    roomsFailed: (m) => `无法显示房态：${m}`,
    cardsFailed: (m) => `无法显示房卡：${m}`,
    noCards: "无",
    colCard: "卡号",
    colRoom: "房号",
    colHolder: "住客",
    colStay: "住宿",
    colOut: "退房时间",

    written: "已写卡",
    readDone: "已读卡",
    checkedOut: "已退房：卡已注销",
    cardNo: (n) => `卡号 ${n}`,
    guestCard: "宾客卡",
    villaCard: "别墅卡",
    roomsLine: (rooms, b, f) => `${b} 号楼 ${f} 层 ${rooms} 房`,
    stay: (a, b, n) => `${a} 至 ${b}` + (n > 0 ? ` · ${n} 晚` : ""),
    left: (t) => `有效：还剩 ${t}`,
    notYet: (t) => `${t} 起有效`,
    expired: "已过期",
    duration: (d, h, m) => (d ? `${d} 天 ${h} 小时` : h ? `${h} 小时 ${m} 分` : `${m} 分钟`),
    checkoutRoom: (r) => `为 ${r} 房退房`,
    confirmCheckout: (r) => `为 ${r} 房退房？卡将被注销，房间释放。`,
    notCheckedOut: "没有退房。",
    confirmReplace: (r, h, e) => `编码器上的卡仍在使用：${r} 房，${h}` + (e ? `，至 ${e}` : "") +
      "。要覆盖吗？该客人的卡将不能再开门，其住宿将退房。",
    notReplaced: "没有写卡：编码器上的卡仍在使用。",
    code: (c) => `结果代码 ${c}`,

    health: (h) => `发卡服务 ${h.version} · 发卡器端口 ${h.encoder.port} ` +
      (h.encoder.open ? "已打开" : "未打开") + " · 酒店数据库" +
      (h.database && h.database.reachable ? "可用" : "不可用"),
    desks: (ds) => "前台：" + ds.map((d) => `${d.name}（${d.coders.join("、") || "-"}）` +
      (d.joined ? "已连接" : "未连接" + (d.last_contact ? `，最后 ${d.last_contact.slice(11, 16)}` : ""))).join("；"),
    joined: (j) => `前台 ${j.desk}：` + (j.joined ? "已连接" : "未连接") + `主前台 ${j.link_desk}`,
    noAgent: "发卡服务没有响应：本机的 tavocard serve 在运行吗？",
    busy: "发卡器正忙于另一张卡：这次什么也没做。请稍后再按。",
    refused: (m) => `发卡服务拒绝了请求：${m}`,
    failed: (m) => `发卡调用失败：${m}。请联系系统管理员。`,
    httpStatus: (s, m) => `发卡服务回答 ${s}：${m}`,

    r: {
      "-99": "发卡器没有响应：请检查连线和电源，然后重试",
      "-128": "读不到卡：发卡器上有卡吗？把卡放平后重试",
      "-129": "发卡器上没有卡：请放一张空白卡，再按“发卡”",
      "-500": "这不是宾客卡（类型 01）：请换一张宾客卡再试",
      "-600": "这不是宾客卡（类型 AA）：请换一张宾客卡再试",
      "-700": "发卡器上没有卡：请放一张空白卡，再按“发卡”",
      "-700read": "发卡器上没有宾客卡：这张卡是空白卡或已注销",
      "-700checkout": "没有可退的房：发卡器上的卡是空白卡或已注销",
      "-710": "这张卡之前已经退房：现在已注销，无需其他操作",
      "-800": "本台没有设置发卡：请联系系统管理员",
      "-820": "本台找不到酒店数据库：请联系系统管理员",
      "-840": "连接不上酒店数据库：请稍候重试，仍不行请联系系统管理员",
      "-851": "请检查入住日期和时间，然后重试",
      "-852": "请检查离店日期和时间：须晚于入住",
      "-854": "请检查楼栋号：1 至 99",
      "-855": "请检查楼层号：1 至 99",
      "-856": "请检查房号：四位数字，如 0203",
      "-857": "请检查两间房号：各四位数字，在同一层",
    },
    notWritten: (n) => `卡号 ${n} 没有写成；它的记录已关闭。`,
    writeStatus: (s) => `卡没有写成（发卡器状态 ${s}）：请把卡平放在发卡器上，再按“发卡”`,
    unexpected: (c) => `意外的结果 ${c}：请记下并联系系统管理员`,
    codeMeaning: (c) => WORDS.zh.r[c],
  },
};

// The result codes that concern one field of the form, and which.
const CODE_FIELDS = { "-851": "begin", "-852": "end", "-854": "place", "-855": "place", "-856": "room", "-857": "room2" };

let language = "en";

// Text `key` in the page's language; `args` go to a function.
function t(key, ...args) {
  const word = WORDS[language][key];
  return typeof word === "function" ? word(...args) : word;
}

// The language kept from the last choice, else the first of the browser's
// languages that the page speaks.
function firstLanguage() {
  const kept = localStorage.getItem("frontDeskLanguage");
  if (kept in WORDS) return kept;
  for (const tag of navigator.languages || [navigator.language]) {
    const base = String(tag).toLowerCase().split("-")[0];
    if (base in WORDS) return base;
  }
  return "en";
}

function setLanguage(chosen) {
  language = chosen;
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

// ---------------------------------------------------------------- times
const pad = (n, width = 2) => String(n).padStart(width, "0");
const dateValue = (d) => `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;
const timeValue = (d) => `${pad(d.getHours())}:${pad(d.getMinutes())}`;
const DAY = 86400000;

// The twelve figures the agent takes, from a date and a time input.
function stampOf(date, time) {
  return /^\d{4}-\d\d-\d\d$/.test(date) && /^\d\d:\d\d/.test(time)
    ? date.replace(/-/g, "") + time.slice(0, 5).replace(":", "") : null;
}

// A moment from a card stamp (YYYYMMDD or YYYYMMDDhhmm) or a database
// date ("2026-12-09 12:00:00"); null when it is neither.
function momentOf(text) {
  const figures = String(text || "").replace(/\D/g, "");
  if (figures.length < 8) return null;
  const f = (from, to) => Number(figures.slice(from, to) || 0);
  const d = new Date(f(0, 4), f(4, 6) - 1, f(6, 8), f(8, 10), f(10, 12));
  return isNaN(d) || d.getFullYear() < 1901 ? null : d;
}

// A moment as the clerk reads it; `brief` leaves the weekday out.
function shown(d, brief) {
  if (!d) return "";
  return new Intl.DateTimeFormat(language === "zh" ? "zh-CN" : "en-GB", {
    weekday: brief ? undefined : "short", month: "short", day: "numeric", hour: "2-digit", minute: "2-digit",
    hourCycle: "h23",
  }).format(d);
}

// Nights between two calendar dates ("YYYY-MM-DD").
function nightsBetween(from, to) {
  const a = new Date(from + "T00:00"), b = new Date(to + "T00:00");
  return Math.round((b - a) / DAY);
}

function addDays(date, n) {
  const d = new Date(date + "T00:00");
  d.setDate(d.getDate() + n);
  return dateValue(d);
}

// ---------------------------------------------------------------- the agent
// The clerk types the token once per browser: the agent then keeps this
// browser signed in with a cookie of its own (HttpOnly, this site only),
// which counts together with the page's header.
const PAGE_HEADER = { "X-Holvanter-Page": "1" };
let signedIn = false;
function token() { return signedIn; }

// {status, answer}; status 0 when the agent did not answer within
// answerWait ms (the clerk may press again: a write goes with its
// Idempotency-Key, so the agent answers the first press, never a second card).
let answerWait = 25000;
async function call(method, path, body, more) {
  const headers = { ...PAGE_HEADER, ...(more || {}) };
  if (body !== undefined) headers["Content-Type"] = "application/json";
  let response;
  const stop = new AbortController();
  const timer = setTimeout(() => stop.abort(), answerWait);
  try {
    response = await fetch(path, { method, headers, signal: stop.signal,
                                   body: body === undefined ? undefined : JSON.stringify(body) });
  } catch (e) {
    return { status: 0, answer: {} };
  } finally {
    clearTimeout(timer);
  }
  const answer = await response.json().catch(() => ({}));
  if (response.status === 401) askToken(true);
  return { status: response.status, answer };
}

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
  if (!(await confirmed(t("confirmReplace", live.rooms.join(" + "), live.holder, end ? shown(end) : ""))))
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
  if (field) setError(field, ["codeMeaning", outcome.answer.result]);
  renderAnswer();
  loadRooms();
  loadCards();
  return done;
}

// ---------------------------------------------------------------- the answer
function meaningOf(op, a) {
  const codes = WORDS[language].r;
  const code = String(a.result);
  if (codes[code + op]) return codes[code + op];
  if (codes[code]) return codes[code];
  if (a.result >= 2 && a.result <= 255) return t("writeStatus", a.result);
  return t("unexpected", a.result);
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
    lines.push(para(t("stay", begin ? shown(begin) : "…", shown(end), nights)));
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
    const headline = done ? t(op === "issue" ? "written" : op === "read" ? "readDone" : "checkedOut") : meaningOf(op, a);
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
    parts.push(para(status === 0 ? t("noAgent") : status === 503 ? t("busy")
      : status === 400 || status === 409 || status === 422 ? t("refused", message)
      : status === 500 ? t("failed", message) : t("httpStatus", status, message), "headline"));
  }
  box.className = done ? "ok" : "bad";
  box.replaceChildren(...parts);
}

// ---------------------------------------------------------------- read and check out
async function readCard() {
  await cardOperation("read", () => call("GET", "/v1/card"));
}

// Reads the card first, so that the confirmation names the room of the card
// that lies on the encoder now, not of one read a while ago.
function checkOut() {
  return cardOperation("checkout", async () => {
    const read = await call("GET", "/v1/card");
    if (!(read.status === 200 && read.answer.result === 0)) return read;
    if (!(await confirmed(t("confirmCheckout", (read.answer.rooms || []).join(" + ")))))
      return { status: 0, answer: {}, cancelled: true };
    return call("POST", "/v1/card/checkout", {});
  });
}

function confirmed(text) {
  const dialog = $("confirm");
  $("confirm-text").textContent = text;
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

// A room is taken while it has an open card. RoomList's own State and CardQTY
// are the component's bookkeeping, which a check-out of a room's last card
// leaves as they were.
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
resetStay();
setLanguage(firstLanguage());
loadHealth();
// Signed in already when the agent knows this browser's cookie.
fetch("/v1/settings", { headers: PAGE_HEADER }).then((response) => {
  signedIn = response.status === 200;
  if (signedIn) start(); else askToken(false);
}, () => askToken(false));
