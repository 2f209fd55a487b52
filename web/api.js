// The daemon's HTTP API as the console uses it: the token in the Authorization header, and
// an Idempotency-Key with every request that changes something. A request whose answer
// was lost (the connection broke after it left) is sent again with the same key, so that
// the server answers it as the first time instead of doing it twice.

import { Retry, listedDelay } from './retry.js';

export class ApiError extends Error {
    constructor(status, code, message, data = null) {
        super(message);
        this.status = status; // 0: no answer at all
        this.code = code;
        this.data = data;
    }
}

// 128 random bits as hex: getRandomValues is there on plain HTTP too, randomUUID is not.
export function newIdempotencyKey(crypto = globalThis.crypto) {
    const bytes = new Uint8Array(16);
    crypto.getRandomValues(bytes);
    return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

const kResendDelaysMs = [500, 1500];

export class Api {
    // options: token, fetch, newKey() -> string, setTimeout, clearTimeout (the waits
    // before sending again)
    constructor(options) {
        this.token = options.token;
        this.fetch = options.fetch ?? globalThis.fetch.bind(globalThis);
        this.newKey = options.newKey ?? (() => newIdempotencyKey());
        this.timers = { setTimeout: options.setTimeout, clearTimeout: options.clearTimeout };
    }

    get(path) {
        return this.request('GET', path, undefined, null);
    }

    async text(path) {
        const response = await this.once('GET', path, undefined, null);
        if (!response.ok) throw await toError(response);
        return response.text();
    }

    // POST or PUT with a fresh key, sent again with that key if no answer came back.
    change(method, path, body = {}) {
        return this.request(method, path, body, this.newKey());
    }

    // Only a request with a key is sent again: no answer, and it may or may not have been
    // done. An answer, even a refusal, is final.
    async request(method, path, body, key) {
        const resend = new Retry({ delayMs: key === null ? () => null : listedDelay(kResendDelaysMs), ...this.timers });
        let response;
        try {
            response = await resend.run(() => this.once(method, path, body, key));
        } catch (error) {
            throw new ApiError(0, 'no-answer', String(error?.message ?? error));
        }
        if (!response.ok) throw await toError(response);
        return response.status === 204 ? null : response.json();
    }

    once(method, path, body, key) {
        const headers = { Authorization: `Bearer ${this.token}`, Accept: 'application/json' };
        const init = { method, headers, cache: 'no-store' };
        if (key !== null) headers['Idempotency-Key'] = key;
        if (body !== undefined) {
            headers['Content-Type'] = 'application/json';
            init.body = JSON.stringify(body);
        }
        return this.fetch(path, init);
    }
}

async function toError(response) {
    let body = null;
    try {
        body = await response.json();
    } catch {
        // Not ours (a proxy's page): the status says what there is to say.
    }
    const error = body?.error;
    if (error && typeof error.code === 'string') {
        return new ApiError(response.status, error.code, String(error.message ?? ''), error.data ?? null);
    }
    return new ApiError(response.status, `http-${response.status}`, `${response.status} ${response.statusText ?? ''}`.trim());
}
