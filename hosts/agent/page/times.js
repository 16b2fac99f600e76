// Dates and times as the form takes them, the agent's card stamps, and a
// moment as the clerk reads it.
import { language } from "./words.js";

export const pad = (n, width = 2) => String(n).padStart(width, "0");
export const dateValue = (d) => `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;
export const timeValue = (d) => `${pad(d.getHours())}:${pad(d.getMinutes())}`;
export const DAY = 86400000;

// The twelve figures the agent takes, from a date and a time input.
export function stampOf(date, time) {
  return /^\d{4}-\d\d-\d\d$/.test(date) && /^\d\d:\d\d/.test(time)
    ? date.replace(/-/g, "") + time.slice(0, 5).replace(":", "") : null;
}

// A moment from a card stamp (YYYYMMDD or YYYYMMDDhhmm) or a database
// date ("2026-12-09 12:00:00"); null when it is neither.
export function momentOf(text) {
  const figures = String(text || "").replace(/\D/g, "");
  if (figures.length < 8) return null;
  const f = (from, to) => Number(figures.slice(from, to) || 0);
  const d = new Date(f(0, 4), f(4, 6) - 1, f(6, 8), f(8, 10), f(10, 12));
  return isNaN(d) || d.getFullYear() < 1901 ? null : d;
}

// A moment as the clerk reads it; `brief` leaves the weekday out.
export function shown(d, brief) {
  if (!d) return "";
  return new Intl.DateTimeFormat(language === "zh" ? "zh-CN" : "en-GB", {
    weekday: brief ? undefined : "short", month: "short", day: "numeric", hour: "2-digit", minute: "2-digit",
    hourCycle: "h23",
  }).format(d);
}

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
