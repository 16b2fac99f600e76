// The page's words: every text the clerk sees, in both languages, and the
// language the page speaks. What a card operation's result means comes with
// the agent's answer ("clerk"), from the agent's one table.
// Every text the clerk sees, in both languages. A function takes the
// values it names; a string is shown as it is.
export const WORDS = {
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
    replaceYes: "Replace",
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

    notWritten: (n) => `Card ${n} was not written; its record is closed.`,
    // A result's words, as the agent's answer carries them.
    clerkWords: (w) => w.en,
  },

  zh: {
    title: "前台：房卡",
    intro: "PMS 停用时，在本台发卡器上发卡、读卡和退房。",
    tokenHeading: "发卡服务令牌",
    token: "令牌",
    useToken: "使用",
    tokenHelp: "tavocard serve 生成令牌时会显示它，并把它存在令牌文件里。",
    tokenMissing: "请输入发卡服务的令牌",
    tokenRefused: "发卡服务不接受这个令牌：请重新输入",
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
    secondKey: "为同一住客加发一张卡",
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
    replaceYes: "覆盖",
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
    duration: (d, h, m) => (d ? `${d} 天 ${h} 小时` : h ? `${h} 小时 ${m} 分钟` : `${m} 分钟`),
    checkoutRoom: (r) => `为 ${r} 房退房`,
    confirmCheckout: (r) => `为 ${r} 房退房？卡将被注销，房间释放。`,
    notCheckedOut: "没有退房。",
    confirmReplace: (r, h, e) => `发卡器上的卡仍在使用：${r} 房，${h}` + (e ? `，至 ${e}` : "") +
      "。要覆盖吗？这位住客的卡将不能再开门，其住宿记录将退房。",
    notReplaced: "没有写卡：发卡器上的卡仍在使用。",
    code: (c) => `结果代码 ${c}`,

    health: (h) => `发卡服务 ${h.version} · 发卡器端口 ${h.encoder.port} ` +
      (h.encoder.open ? "已打开" : "未打开") + " · 酒店数据库" +
      (h.database && h.database.reachable ? "可用" : "不可用"),
    desks: (ds) => "前台：" + ds.map((d) => `${d.name}（${d.coders.join("、") || "-"}）` +
      (d.joined ? "已连接" : "未连接" + (d.last_contact ? `，最后 ${d.last_contact.slice(11, 16)}` : ""))).join("；"),
    joined: (j) => `前台 ${j.desk}：` + (j.joined ? "已连接" : "未连接") + `主前台 ${j.link_desk}`,
    noAgent: "发卡服务没有响应：本机的 tavocard serve 在运行吗？",
    busy: "发卡器正在处理另一张卡：未做任何操作。请稍后重试。",
    refused: (m) => `发卡服务拒绝了请求：${m}`,
    failed: (m) => `操作失败：${m}。请联系系统管理员。`,
    httpStatus: (s, m) => `发卡服务返回 ${s}：${m}`,

    // The number is recorded for no card: the words do not give it.
    notWritten: () => "写卡未完成：这张卡没有写入，记录已取消。请换一张卡重试。",
    clerkWords: (w) => w.zh,
  },
};


export let language = "en";

export function useLanguage(chosen) {
  language = chosen;
}

// Text `key` in the page's language; `args` go to a function.
export function t(key, ...args) {
  const word = WORDS[language][key];
  return typeof word === "function" ? word(...args) : word;
}

// The language kept from the last choice, else the first of the browser's
// languages that the page speaks.
export function firstLanguage() {
  const kept = localStorage.getItem("frontDeskLanguage");
  if (kept in WORDS) return kept;
  for (const tag of navigator.languages || [navigator.language]) {
    const base = String(tag).toLowerCase().split("-")[0];
    if (base in WORDS) return base;
  }
  return "en";
}
