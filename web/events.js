// The forecourt's event stream, read with fetch so that the token travels in the
// Authorization header and never in a URL. It reconnects by itself after any drop (the
// daemon restarted, the network went away, the server dropped a client that fell behind),
// sending Last-Event-ID so that the journal replays exactly what was missed.

import { $ } from './dom.js';
import { Retry, doublingDelay } from './retry.js';
import { SseParser } from './sse.js';

export const Status = Object.freeze({
    Connecting: 'connecting',
    Live: 'live',
    Reconnecting: 'reconnecting',
    Stopped: 'stopped',
});

// A page's word on its stream: the pill #connection (hidden while signed out or before any
// status), and #stale with body.stale while the stream is down, so that what the page
// shows is marked as perhaps out of date. status: {status, attempt} or null; t: the words.
export function renderConnection(status, signedIn, t) {
    const pill = $('connection');
    if (!signedIn || !status?.status) {
        pill.hidden = true;
        return;
    }
    pill.hidden = false;
    pill.dataset.status = status.status;
    pill.textContent = t(`conn.${status.status}`, { attempt: status.attempt ?? 1 });
    const down = status.status === Status.Reconnecting || status.status === Status.Stopped;
    $('stale').hidden = !down;
    document.body.classList.toggle('stale', down);
}

const kDefaultRetryMs = 2000;

export class EventStream {
    // options: url, token, after (the snapshot's sequence), onEvent({id, type, data}),
    // onStatus(status, detail), onReset() -> Promise<sequence> (the journal is not the one
    // the page knew: reload and say where to resume), onUnauthorised(), fetch, setTimeout,
    // clearTimeout, stallMs (no byte for this long: the connection is dead; the server sends
    // a heartbeat at least every 15 s), maxDelayMs.
    constructor(options) {
        this.url = options.url;
        this.token = options.token;
        this.lastId = options.after === undefined || options.after === null ? null : String(options.after);
        this.onEvent = options.onEvent;
        this.onStatus = options.onStatus ?? (() => {});
        this.onReset = options.onReset;
        this.onUnauthorised = options.onUnauthorised ?? (() => {});
        this.fetch = options.fetch ?? globalThis.fetch.bind(globalThis);
        this.setTimeout = options.setTimeout ?? globalThis.setTimeout.bind(globalThis);
        this.clearTimeout = options.clearTimeout ?? globalThis.clearTimeout.bind(globalThis);
        this.stallMs = options.stallMs ?? 45000;
        this.maxDelayMs = options.maxDelayMs ?? 10000;
        this.retryMs = kDefaultRetryMs;
        this.stopped = false;
        this.controller = null;
        // The server's retry is the first wait; it doubles with each failure in a row.
        this.reconnect = new Retry({
            delayMs: (failures) => doublingDelay(this.retryMs, this.maxDelayMs)(failures),
            stopped: () => this.stopped,
            onWait: (failures, delayMs, outcome) => this.onStatus(Status.Reconnecting, { reason: outcome.reason, attempt: failures, delayMs }),
            setTimeout: this.setTimeout,
            clearTimeout: this.clearTimeout,
        });
    }

    start() {
        this.running = this.run();
        return this.running;
    }

    stop() {
        this.stopped = true;
        this.controller?.abort();
        this.reconnect.now();
        this.onStatus(Status.Stopped, {});
    }

    // Reconnect now instead of at the end of the wait (the browser is back online).
    retryNow() {
        this.reconnect.now();
    }

    async run() {
        this.onStatus(Status.Connecting, {});
        await this.reconnect.run(() => this.follow());
    }

    // Connections until one ends in a way that calls for a wait: throws that connection's
    // outcome. Returns when the stream is over (stopped, or the token refused).
    async follow() {
        for (;;) {
            const outcome = await this.connectOnce();
            if (this.stopped) return;
            if (outcome.kind === 'unauthorised') {
                this.stopped = true;
                this.onStatus(Status.Stopped, outcome);
                this.onUnauthorised(outcome);
                return;
            }
            if (outcome.kind === 'reset') {
                try {
                    const sequence = await this.onReset();
                    this.lastId = sequence === undefined || sequence === null ? null : String(sequence);
                    if (this.stopped) return;
                    continue; // at once: the journal is there, only not the one we knew
                } catch (error) {
                    outcome.kind = 'failed';
                    outcome.reason = String(error?.message ?? error);
                }
            }
            if (outcome.wentLive) this.reconnect.reset();
            throw outcome;
        }
    }

    // One connection, to its end. Resolves {kind: 'ended'|'failed'|'reset'|'unauthorised',
    // reason, wentLive}; never rejects.
    async connectOnce() {
        const controller = new AbortController();
        this.controller = controller;
        let stalled = false;
        let watchdog = null;
        const watch = () => {
            if (watchdog !== null) this.clearTimeout(watchdog);
            watchdog = this.setTimeout(() => {
                stalled = true;
                controller.abort();
            }, this.stallMs);
        };
        const headers = { Authorization: `Bearer ${this.token}`, Accept: 'text/event-stream' };
        if (this.lastId !== null) headers['Last-Event-ID'] = this.lastId;
        let wentLive = false;
        let serverReason = null;
        try {
            watch();
            const response = await this.fetch(this.url, { headers, signal: controller.signal, cache: 'no-store' });
            if (response.status === 401) {
                return { kind: 'unauthorised', reason: await errorCode(response) };
            }
            if (!response.ok) {
                const code = await errorCode(response);
                if (response.status === 400 && code === 'unknown-sequence') return { kind: 'reset', reason: code };
                return { kind: 'failed', reason: code ?? `HTTP ${response.status}` };
            }
            const parser = new SseParser((event) => {
                if (event.type === 'error') {
                    // The server says why it ends the stream (stopping, client too slow).
                    serverReason = parseJson(event.data)?.error?.code ?? 'error';
                    return;
                }
                // The data line is the whole event: {id, type, at, data}, and the station it is of at the
                // head office.
                const message = parseJson(event.data);
                if (message === undefined || message === null || typeof message !== 'object') return;
                if (event.lastEventId !== '') this.lastId = event.lastEventId;
                this.onEvent({ id: message.id ?? null, type: event.type, at: message.at, station: message.station, data: message.data });
            }, this.lastId ?? '');
            wentLive = true;
            this.onStatus(Status.Live, {});
            const reader = response.body.getReader();
            const decoder = new TextDecoder();
            for (;;) {
                watch();
                const { value, done } = await reader.read();
                if (done) break;
                parser.push(decoder.decode(value, { stream: true }));
                if (parser.retry !== null) this.retryMs = parser.retry;
            }
            return { kind: 'ended', reason: serverReason ?? 'closed', wentLive };
        } catch (error) {
            if (this.stopped) return { kind: 'ended', reason: 'stopped', wentLive };
            return { kind: 'failed', reason: stalled ? 'stalled' : serverReason ?? String(error?.message ?? error), wentLive };
        } finally {
            if (watchdog !== null) this.clearTimeout(watchdog);
            if (this.controller === controller) this.controller = null;
        }
    }
}

function parseJson(text) {
    try {
        return JSON.parse(text);
    } catch {
        return undefined;
    }
}

async function errorCode(response) {
    try {
        const body = await response.json();
        return body?.error?.code ?? null;
    } catch {
        return null;
    }
}
