// Dates and times as the form takes them, the agent's card stamps, and a
// moment as the clerk reads it.
import { language } from "./words.js";

export const pad = (n, width = 2) => String(n).padStart(width, "0");
export const dateValue = (d) => `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;
export const timeValue = (d) => `${pad(d.getHours())}:${pad(d.getMinutes())}`;
export const DAY = 86400000;

// The time the agent takes, from a date and a time input: ISO 8601 without
// an offset, which the agent takes as the desk's local time, as the clerk
// typed it.
export function stampOf(date, time) {
  return /^\d{4}-\d\d-\d\d$/.test(date) && /^\d\d:\d\d/.test(time)
    ? `${date}T${time.slice(0, 5)}` : null;
}

// A moment from the agent's ISO 8601 (2026-12-09T20:04:00+08:00: the moment
// it names; 2026-12-09: that day's start), or from a card stamp (YYYYMMDD,
// YYYYMMDDhhmm); null when it is none.
export function momentOf(text) {
  const given = String(text || "");
  if (/\d[T ]\d\d:\d\d(:\d\d(\.\d+)?)?(Z|[+-]\d\d:\d\d)$/i.test(given)) {
    const d = new Date(given.replace(" ", "T"));
    return isNaN(d) ? null : d;
  }
  const figures = given.replace(/\D/g, "");
  if (figures.length < 8) return null;
  const f = (from, to) => Number(figures.slice(from, to) || 0);
  const d = new Date(f(0, 4), f(4, 6) - 1, f(6, 8), f(8, 10), f(10, 12));
  return isNaN(d) || d.getFullYear() < 1901 ? null : d;
}

// A moment as the clerk reads it; `brief` leaves the weekday out, `day`
// the time (a day alone, such as a guest card's begin read from the card).
export function shown(d, brief, day) {
  if (!d) return "";
  return new Intl.DateTimeFormat(language === "zh" ? "zh-CN" : "en-GB", {
    weekday: brief ? undefined : "short", month: "short", day: "numeric",
    ...(day ? {} : { hour: "2-digit", minute: "2-digit", hourCycle: "h23" }),
  }).format(d);
}

// Whether an answer's time is a day alone ("2026-12-09", "20261209").
export const dayOnly = (text) => /^\d{4}-?\d\d-?\d\d$/.test(String(text || ""));

// Nights between two calendar dates ("YYYY-MM-DD").
export function nightsBetween(from, to) {
  const a = new Date(from + "T00:00"), b = new Date(to + "T00:00");
  return Math.round((b - a) / DAY);
}

export function addDays(date, n) {
  const d = new Date(date + "T00:00");
  d.setDate(d.getDate() + n);
  return dateValue(d);
}
