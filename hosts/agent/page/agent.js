// The page's calls to the agent: each with the page's own header, which
// counts together with the agent's cookie for this browser.
export const PAGE_HEADER = { "X-Holvanter-Page": "1" };

// {status, answer}; status 0 when the agent did not answer within
// answerWait ms (the clerk may press again: a write goes with its
// Idempotency-Key, so the agent answers the first press, never a second card).
let answerWait = 25000;
export function setAnswerWait(ms) {
  answerWait = ms;
}

// Called on every 401: the token is no longer good.
let refused = () => {};
export function onRefused(f) {
  refused = f;
}

export async function call(method, path, body, more) {
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
  if (response.status === 401) refused();
  return { status: response.status, answer };
}
