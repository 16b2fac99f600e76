// A browser-based PMS's side of the front-desk agent, run here with Node 20:
// issue a guest card on the desk's encoder, then read it back. Prints each
// answer; exits 1, with one line saying why, when a step did not do its work
// or the agent does not answer.
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

// How long to wait for an answer: the agent's --queue-wait (30 s) for the
// encoder, and a few seconds for the card itself.
const ANSWER_WAIT_MS = 40_000;
// How often to send a request whose answer never came, and the pause between.
const TRIES = 3;
const PAUSE_MS = 1_000;

class Stop extends Error {}

// One operation on the agent. A card route answers 200 when it did its work;
// anything else carries {error: {code, message, field?, result?}} and is
// the answer: it is not sent again. Only when no answer came (a timeout, a
// connection lost or refused) is the request sent again, with the same
// Idempotency-Key `key`: the agent then answers what the first one did,
// never a second card. `key` is made once per operation by the caller, not
// here, so that every try of one operation carries the same key.
async function call(method, path, body, key) {
  const headers = { Authorization: `Bearer ${token}` };
  if (body) headers["Content-Type"] = "application/json";
  if (key) headers["Idempotency-Key"] = key;
  let lost;
  for (let tries = 1; tries <= TRIES; tries++) {
    let response;
    try {
      response = await fetch(new URL(path, url), {
        method,
        headers,
        body: body ? JSON.stringify(body) : undefined,
        signal: AbortSignal.timeout(ANSWER_WAIT_MS),
      });
    } catch (e) {
      // No answer: the agent may or may not have done the work.
      lost = e.name === "TimeoutError" ? `no answer within ${ANSWER_WAIT_MS / 1000} s`
                                       : `${e.message}${e.cause ? ` (${e.cause.code ?? e.cause.message})` : ""}`;
      console.log(`${method} ${path}: ${lost}; try ${tries} of ${TRIES}`);
      if (tries < TRIES) await new Promise((done) => setTimeout(done, PAUSE_MS));
      continue;
    }
    const text = await response.text();
    let answer;
    try {
      answer = JSON.parse(text);
    } catch {
      throw new Stop(`${method} ${path} ${response.status}: ${text.trim()}`);
    }
    const replayed = response.headers.get("Idempotent-Replayed") === "true" ? " (the first try's answer)" : "";
    console.log(`${method} ${path} ${response.status}${replayed}`, JSON.stringify(answer));
    if (!response.ok) throw new Stop(`${answer.error.code}: ${answer.error.message}`);
    return answer;
  }
  throw new Stop(`the agent at ${url} did not answer ${method} ${path} (${lost}): is tavocard serve running?`);
}

// The stamp YYYYMMDDhhmm of hour:00 local time, the given number of days from
// today.
function stamp(days, hour) {
  const day = new Date();
  day.setDate(day.getDate() + days);
  const two = (n) => String(n).padStart(2, "0");
  return `${day.getFullYear()}${two(day.getMonth() + 1)}${two(day.getDate())}${two(hour)}00`;
}

try {
  // One key for this one card, whatever number of tries it takes.
  const issueKey = crypto.randomUUID();
  const issued = await call("POST", "/v1/cards/guest", {
    begin: stamp(0, 14), // today 14:00
    end: stamp(2, 12), // the day after tomorrow 12:00
    building: 1,
    floor: 2,
    room: "0203",
    holder: "Li Wei",
  }, issueKey);
  const read = await call("GET", "/v1/card");
  if (read.card_no !== issued.card_no)
    throw new Stop(`read card ${read.card_no}, issued ${issued.card_no}`);
  console.log(`card ${issued.card_no} for room ${issued.rooms[0]} is on the encoder`);
} catch (e) {
  if (!(e instanceof Stop)) throw e;  // a fault of this program: its stack helps
  console.error(e.message);
  process.exit(1);
}
