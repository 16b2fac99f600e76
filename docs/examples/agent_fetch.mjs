// A browser-based PMS's side of the front-desk agent, run here with Node 20:
// issue a guest card on the desk's encoder, then read it back. Prints each
// answer; exits 1 when a step did not do its work.
//
//   HOLVANTER_AGENT_URL=http://127.0.0.1:8866 HOLVANTER_AGENT_TOKEN=... node agent_fetch.mjs
//
// In a PMS page the same fetch calls work once the agent lists the page's
// origin (tavocard serve --origin https://pms.hotel.lan).
const url = process.env.HOLVANTER_AGENT_URL ?? "http://127.0.0.1:8866";
const token = process.env.HOLVANTER_AGENT_TOKEN;
if (!token) {
  console.error("HOLVANTER_AGENT_TOKEN is not set: give the agent's bearer token");
  process.exit(1);
}

// One call of the agent. A card route answers 200 when it did its work;
// anything else carries {error: {code, message, field?, result?}}. A write
// goes with an Idempotency-Key, so that sending it again after a timeout
// cannot cut a second card.
async function call(method, path, body) {
  const response = await fetch(new URL(path, url), {
    method,
    headers: {
      Authorization: `Bearer ${token}`,
      ...(body ? { "Content-Type": "application/json" } : {}),
      ...(method === "POST" ? { "Idempotency-Key": crypto.randomUUID() } : {}),
    },
    body: body ? JSON.stringify(body) : undefined,
  });
  const answer = await response.json();
  console.log(`${method} ${path} ${response.status}`, JSON.stringify(answer));
  if (!response.ok) {
    console.error(`${answer.error.code}: ${answer.error.message}`);
    process.exit(1);
  }
  return answer;
}

// The stamp YYYYMMDDhhmm of hour:00 local time, the given number of days from
// today.
function stamp(days, hour) {
  const day = new Date();
  day.setDate(day.getDate() + days);
  const two = (n) => String(n).padStart(2, "0");
  return `${day.getFullYear()}${two(day.getMonth() + 1)}${two(day.getDate())}${two(hour)}00`;
}

const issued = await call("POST", "/v1/cards/guest", {
  begin: stamp(0, 14), // today 14:00
  end: stamp(2, 12), // the day after tomorrow 12:00
  building: 1,
  floor: 2,
  room: "0203",
  holder: "Li Wei",
});
const read = await call("GET", "/v1/card");
if (read.card_no !== issued.card_no) {
  console.error(`read card ${read.card_no}, issued ${issued.card_no}`);
  process.exit(1);
}
console.log(`card ${issued.card_no} for room ${issued.rooms[0]} is on the encoder`);
