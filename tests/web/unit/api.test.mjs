import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { test } from 'node:test';

import { Api, ApiError, newIdempotencyKey } from '../../../web/api.js';

// The browser's global Web Crypto, which the keys come from: node has it as a global only
// from 19 on, and Debian bookworm's is 18.
globalThis.crypto ??= webcrypto;

const json = (status, body) => new Response(JSON.stringify(body), { status, headers: { 'Content-Type': 'application/json' } });

// A fetch that answers from a list: a Response, or an Error to throw (no answer).
function scripted(...answers) {
    const calls = [];
    const fetch = async (path, init) => {
        calls.push({ path, ...init });
        const answer = answers.shift();
        if (answer instanceof Error) throw answer;
        return answer;
    };
    return { fetch, calls };
}

let keys = 0;
let waits = [];
const api = (fetch) => new Api({
    token: 'secret',
    fetch,
    newKey: () => `key-${++keys}`,
    setTimeout: (fn, ms) => {
        waits.push(ms);
        queueMicrotask(fn);
    },
    clearTimeout: () => {},
});

test('a change carries the token, a key and JSON', async () => {
    const { fetch, calls } = scripted(json(200, { id: 1 }));
    assert.deepEqual(await api(fetch).change('POST', '/api/v1/fuel-points/1/authorise', { prepaid: true }), { id: 1 });
    assert.equal(calls.length, 1);
    assert.equal(calls[0].headers.Authorization, 'Bearer secret');
    assert.match(calls[0].headers['Idempotency-Key'], /^key-\d+$/);
    assert.equal(calls[0].headers['Content-Type'], 'application/json');
    assert.equal(calls[0].body, '{"prepaid":true}');
    assert.ok(!calls[0].path.includes('secret'));
});

test('answers and failures', async (t) => {
    const cases = [
        {
            what: 'a lost answer: sent again with the same key',
            answers: [new TypeError('Failed to fetch'), json(200, { ok: 1 })],
            result: { ok: 1 }, sent: 2, waits: [500],
        },
        {
            what: 'no answer at all: a no-answer error after three tries',
            answers: [new TypeError('a'), new TypeError('b'), new TypeError('Failed to fetch')],
            error: { status: 0, code: 'no-answer', message: 'Failed to fetch' }, sent: 3, waits: [500, 1500],
        },
        {
            what: 'a refusal is not sent again and keeps the server’s words',
            answers: [json(409, { error: { code: 'busy', message: 'fuel point 1 is busy', data: { id: 1 } } })],
            error: { status: 409, code: 'busy', message: 'fuel point 1 is busy', data: { id: 1 } }, sent: 1,
        },
        {
            what: 'an answer that is not ours',
            answers: [new Response('<html>Bad Gateway</html>', { status: 502, statusText: 'Bad Gateway' })],
            error: { status: 502, code: 'http-502', message: '502 Bad Gateway' }, sent: 1,
        },
    ];
    for (const c of cases) {
        await t.test(c.what, async () => {
            const { fetch, calls } = scripted(...c.answers);
            waits = [];
            const promise = api(fetch).change('POST', '/x', {});
            if (c.error) {
                const error = await promise.then(() => null, (e) => e);
                assert.ok(error instanceof ApiError);
                for (const [name, value] of Object.entries(c.error)) assert.deepEqual(error[name], value, name);
            } else {
                assert.deepEqual(await promise, c.result);
            }
            assert.equal(calls.length, c.sent);
            assert.deepEqual(waits, c.waits ?? []);
            assert.equal(new Set(calls.map((call) => call.headers['Idempotency-Key'])).size, 1);
        });
    }
});

test('a read is not retried and sends no key', async () => {
    const { fetch, calls } = scripted(new TypeError('Failed to fetch'));
    waits = [];
    await assert.rejects(api(fetch).get('/api/v1/forecourt'), (e) => e.code === 'no-answer');
    assert.equal(calls.length, 1);
    assert.deepEqual(waits, []);
    assert.equal(calls[0].headers['Idempotency-Key'], undefined);
});

// The browser's crypto, passed in: node 18 has it only as node:crypto's webcrypto.
test('two actions, two keys', () => {
    const a = newIdempotencyKey(webcrypto);
    const b = newIdempotencyKey(webcrypto);
    assert.match(a, /^[0-9a-f]{32}$/);
    assert.notEqual(a, b);
});
