import assert from 'node:assert/strict';
import { test } from 'node:test';

import { EventStream, Status } from '../../../web/events.js';

// A stream body the test writes into.
function body() {
    let controller;
    const stream = new ReadableStream({ start: (c) => { controller = c; } });
    const encoder = new TextEncoder();
    return {
        stream,
        write: (text) => controller.enqueue(encoder.encode(text)),
        end: () => controller.close(),
        fail: () => {
            try {
                controller.error(new TypeError('network error'));
            } catch {
                // already closed
            }
        },
    };
}

// As a real fetch does, aborting the request breaks its body.
const sse = (status, b) => (init) => {
    init.signal.addEventListener('abort', () => b.fail());
    return new Response(b.stream, { status, headers: { 'Content-Type': 'text/event-stream' } });
};
const json = (status, value) => new Response(JSON.stringify(value), { status });
const event = (id, type, data) => `${id === null ? '' : `id: ${id}\n`}event: ${type}\ndata: ${JSON.stringify({ id, type, at: 't', data })}\n\n`;
const tick = () => new Promise((resolve) => setTimeout(resolve, 0));

// Timers the test runs by hand: waits are recorded and fired at once.
function harness(answers, options = {}) {
    const requests = [];
    const statuses = [];
    const events = [];
    const delays = [];
    const pending = [];
    const stream = new EventStream({
        url: '/api/v1/events',
        token: 'secret',
        after: 40,
        onEvent: (e) => events.push(e),
        onStatus: (status, detail) => statuses.push({ status, ...detail }),
        onReset: options.onReset,
        onUnauthorised: options.onUnauthorised,
        fetch: async (url, init) => {
            requests.push({ url, headers: init.headers, signal: init.signal });
            const answer = answers.shift();
            if (!answer) {
                stream.stop();
                throw new TypeError('test over');
            }
            if (answer instanceof Error) throw answer;
            return typeof answer === 'function' ? answer(init) : answer;
        },
        setTimeout: (fn, ms) => {
            const timer = { fn, ms };
            if (ms === (options.stallMs ?? 45000)) pending.push(timer);
            else {
                delays.push(ms);
                queueMicrotask(fn);
            }
            return timer;
        },
        clearTimeout: (timer) => {
            const at = pending.indexOf(timer);
            if (at >= 0) pending.splice(at, 1);
        },
        stallMs: options.stallMs,
    });
    return { stream, requests, statuses, events, delays, pending };
}

test('resumes after a drop with the last id, token in the header only', async () => {
    const first = body();
    const second = body();
    const h = harness([sse(200, first), sse(200, second)]);
    const running = h.stream.start();
    await tick();
    first.write('retry: 1500\n\n' + event(41, 'sale', { id: 5 }) + event(null, 'fill-progress', { id: 1 }) + ': heartbeat\n\n');
    await tick();
    first.end();
    await tick();
    second.write(event(42, 'fuel-point', { id: 1 }));
    await tick();
    second.end();
    await running;

    assert.equal(h.requests[0].headers['Last-Event-ID'], '40');
    assert.equal(h.requests[0].headers.Authorization, 'Bearer secret');
    assert.equal(h.requests[0].url, '/api/v1/events');
    assert.equal(h.requests[1].headers['Last-Event-ID'], '41', 'progress carries no id and moves nothing');
    assert.equal(h.requests[2].headers['Last-Event-ID'], '42');
    assert.deepEqual(h.events.map((e) => [e.id, e.type]), [[41, 'sale'], [null, 'fill-progress'], [42, 'fuel-point']]);
    assert.deepEqual(h.events[0].data, { id: 5 });
    assert.equal(h.delays[0], 1500, 'the server’s retry');
    assert.deepEqual(h.statuses.slice(0, 4).map((s) => s.status), [Status.Connecting, Status.Live, Status.Reconnecting, Status.Live]);
});

test('refused connections back off up to the cap', async () => {
    const refused = () => new TypeError('connection refused');
    const h = harness([refused(), refused(), refused(), refused(), refused(), refused()]);
    await h.stream.start();
    assert.deepEqual(h.delays.slice(0, 6), [2000, 4000, 8000, 10000, 10000, 10000]);
    assert.deepEqual(h.statuses.filter((s) => s.status === Status.Reconnecting).map((s) => s.attempt).slice(0, 3), [1, 2, 3]);
});

test('an unknown token stops the stream and says so', async () => {
    let told = 0;
    const h = harness([json(401, { error: { code: 'bad-token', message: 'x' } })], { onUnauthorised: () => ++told });
    await h.stream.start();
    assert.equal(told, 1);
    assert.equal(h.requests.length, 1);
    assert.equal(h.statuses.at(-1).status, Status.Stopped);
});

test('a journal that does not know our id: reload, then resume where the reload says', async () => {
    let reloads = 0;
    const h = harness([json(400, { error: { code: 'unknown-sequence', message: 'x' } }), sse(200, body())], {
        onReset: async () => {
            ++reloads;
            return 7;
        },
    });
    const running = h.stream.start();
    await tick();
    await tick();
    h.stream.stop();
    await running;
    assert.equal(reloads, 1);
    assert.equal(h.requests[1].headers['Last-Event-ID'], '7');
    assert.deepEqual(h.delays, [], 'no wait before resuming');
});

test('the server ending the stream (shutdown) and a broken connection both reconnect', async () => {
    const first = body();
    const second = body();
    const h = harness([sse(200, first), sse(200, second)]);
    const running = h.stream.start();
    await tick();
    first.write(event(41, 'sale', {}) + 'event: error\ndata: {"error":{"code":"shutdown","message":"stopping"}}\n\n');
    first.end();
    await tick();
    await tick();
    second.fail();
    await running;
    const reasons = h.statuses.filter((s) => s.status === Status.Reconnecting).map((s) => s.reason);
    assert.equal(reasons[0], 'shutdown');
    assert.match(reasons[1], /network error/);
    assert.equal(h.requests[1].headers['Last-Event-ID'], '41');
    assert.equal(h.events.length, 1, 'the error event is not an event of the forecourt');
});

test('a silent connection is taken for dead and reopened', async () => {
    const quiet = body();
    const h = harness([sse(200, quiet)], { stallMs: 45000 });
    const running = h.stream.start();
    await tick();
    assert.ok(h.pending.length > 0, 'a watchdog runs while the stream is open');
    h.pending.at(-1).fn();
    await running;
    assert.ok(h.requests[0].signal.aborted);
    assert.equal(h.statuses.find((s) => s.status === Status.Reconnecting).reason, 'stalled');
});
