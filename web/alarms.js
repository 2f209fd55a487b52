// The alarms the forecourt raised while this tab watched: a fill nobody authorised, a
// totaliser that went back, and whatever kind the server adds later. They stay on the page
// until someone here dismisses them; the server keeps no acknowledgement, so a dismissal is
// this tab's alone. They are kept in the tab's session storage: a reload (whose event stream
// starts after them) does not make an alarm nobody read disappear.

import { formatVolume } from './i18n.js';

const kStorageKey = 'fuel.alarms';
// Enough for a shift's worth of trouble; past that, the oldest go first.
const kMostKept = 50;
// The alarms dismissed here, remembered so that a replay of the stream does not bring one
// back: more than the stream replays to a page that was away for a while.
const kMostDismissed = 200;

// The identity of an alarm across a reconnection's replay: the journal's sequence number.
function keyOf(alarm) {
    return alarm.id !== null && alarm.id !== undefined ? `#${alarm.id}` : `${alarm.at}|${alarm.kind}|${alarm.fuelPoint}`;
}

export class AlarmList {
    // storage: sessionStorage or anything with getItem/setItem/removeItem (null: not kept)
    constructor(storage = null) {
        this.storage = storage;
        this.alarms = []; // newest first
        this.dismissed = []; // their keys, oldest first
        this.restore();
    }

    restore() {
        let kept;
        try {
            kept = JSON.parse(this.storage?.getItem(kStorageKey) ?? 'null');
        } catch {
            kept = null; // not ours, or cut short: start afresh
        }
        const alarms = Array.isArray(kept?.alarms) ? kept.alarms : [];
        const dismissed = Array.isArray(kept?.dismissed) ? kept.dismissed : [];
        this.alarms = alarms.filter((a) => a && typeof a.kind === 'string').slice(0, kMostKept);
        this.dismissed = dismissed.filter((key) => typeof key === 'string').slice(-kMostDismissed);
    }

    save() {
        if (!this.storage) return;
        if (this.alarms.length === 0 && this.dismissed.length === 0) this.storage.removeItem(kStorageKey);
        else this.storage.setItem(kStorageKey, JSON.stringify({ alarms: this.alarms, dismissed: this.dismissed }));
    }

    // An alarm event ({id, at, data}); says whether it is new (a replayed one is not).
    add(event) {
        const data = event.data ?? {};
        if (typeof data.kind !== 'string') return false;
        const alarm = { ...data, id: event.id ?? null, at: event.at ?? null };
        const key = keyOf(alarm);
        if (this.dismissed.includes(key) || this.alarms.some((a) => keyOf(a) === key)) return false;
        this.alarms.unshift(alarm);
        this.alarms.sort((a, b) => (b.id ?? 0) - (a.id ?? 0));
        this.alarms.length = Math.min(this.alarms.length, kMostKept);
        this.save();
        return true;
    }

    dismiss(alarm) {
        this.forget([keyOf(alarm)]);
    }

    dismissAll() {
        this.forget(this.alarms.map(keyOf));
    }

    forget(keys) {
        this.alarms = this.alarms.filter((a) => !keys.includes(keyOf(a)));
        this.dismissed = [...this.dismissed.filter((key) => !keys.includes(key)), ...keys].slice(-kMostDismissed);
        this.save();
    }

    // Signed out: nothing of it is for whoever signs in next.
    clear() {
        this.alarms = [];
        this.dismissed = [];
        this.save();
    }

    get length() {
        return this.alarms.length;
    }
}

// What an alarm says in the page's language: the kinds this console knows in its own words,
// any other in the server's.
export function alarmText(t, has, lang, alarm) {
    const key = `alarm.${alarm.kind}`;
    if (!has(key)) return alarm.message || alarm.kind;
    return t(key, {
        id: alarm.fuelPoint ?? '—',
        nozzle: alarm.nozzle ?? '—',
        sale: alarm.sale ?? '—',
        before: formatVolume(lang, alarm.before),
        after: formatVolume(lang, alarm.after),
    });
}
