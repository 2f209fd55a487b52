// Times and days as the head office shows them: a time of today as the clock shows it, an
// older one with its date; the days of a report in UTC, as the API counts them.

export function formatWhen(lang, iso, now = new Date()) {
    if (!iso) return '—';
    const date = new Date(iso);
    if (Number.isNaN(date.getTime())) return '—';
    const time = date.toLocaleTimeString(lang, { hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23' });
    if (date.toDateString() === now.toDateString()) return time;
    return `${date.toLocaleDateString(lang, { day: 'numeric', month: 'short', year: date.getFullYear() === now.getFullYear() ? undefined : 'numeric' })} ${time}`;
}

// "2026-12-10" for a Date, in UTC.
export const utcDay = (date) => date.toISOString().slice(0, 10);

// Every day from `from` to `to` (both "YYYY-MM-DD", both included).
export function daysBetween(from, to) {
    const days = [];
    for (let day = new Date(`${from}T00:00:00Z`); utcDay(day) <= to && days.length < 3700; day.setUTCDate(day.getUTCDate() + 1)) days.push(utcDay(day));
    return days;
}

export function nextDay(day) {
    const date = new Date(`${day}T00:00:00Z`);
    date.setUTCDate(date.getUTCDate() + 1);
    return utcDay(date);
}

// A day as the chosen language writes it, short: "10 Dec".
export function formatDay(lang, day) {
    return new Date(`${day}T00:00:00Z`).toLocaleDateString(lang, { day: 'numeric', month: 'short', timeZone: 'UTC' });
}
