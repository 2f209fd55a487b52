import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Retry, Stopped, doublingDelay, linearDelay, listedDelay } from '../../../web/retry.js';

test('the waits after 1, 2, … failures in a row', () => {
    const cases = [
        { what: 'the sign-in and the load', delay: linearDelay(1000, 10000), waits: [1000, 2000, 3000, 9000, 10000, 10000], at: [1, 2, 3, 9, 10, 30] },
        { what: 'the event stream', delay: doublingDelay(2000, 10000), waits: [2000, 4000, 8000, 10000, 10000], at: [1, 2, 3, 4, 40] },
        { what: 'the server’s retry below the cap', delay: doublingDelay(1500, 10000), waits: [1500, 3000, 6000, 10000], at: [1, 2, 3, 4] },
        { what: 'a lost answer, then no more tries', delay: listedDelay([500, 1500]), waits: [500, 1500, null, null], at: [1, 2, 3, 9] },
    ];
    for (const c of cases) assert.deepEqual(c.at.map(c.delay), c.waits, c.what);
});

// Each step of a script is one try: it fails with `fail`, or returns `value`; `reset` says
// the try got somewhere first, `stop` that the caller stops wanting the result during it.
function scripted(steps, state, retry) {
    let tries = 0;
    return {
        attempt: async () => {
            const step = steps[tries++];
            if (step.reset) retry.reset();
            if (step.stop) state.stopped = true;
            if ('fail' in step) throw new Error(step.fail);
            return step.value;
        },
        tries: () => tries,
    };
}

test('tries until an answer, a give-up or a stop', async (t) => {
    const lostOrRefused = (failures, error) => (error.message === 'refused' ? null : 1000);
    const cases = [
        { what: 'the first try answers', steps: [{ value: 1 }], delay: linearDelay(1000, 10000), result: 1, waits: [] },
        {
            what: 'two failures, then the answer',
            steps: [{ fail: 'a' }, { fail: 'b' }, { value: 'ok' }], delay: linearDelay(1000, 10000),
            result: 'ok', waits: [1000, 2000], told: [[1, 1000, 'a'], [2, 2000, 'b']],
        },
        { what: 'the schedule ends: the last failure', steps: [{ fail: 'a' }, { fail: 'b' }, { fail: 'c' }], delay: listedDelay([500, 1500]), error: 'c', waits: [500, 1500] },
        { what: 'a failure another try would not mend', steps: [{ fail: 'lost' }, { fail: 'refused' }, { value: 1 }], delay: lostOrRefused, error: 'refused', tries: 2, waits: [1000] },
        {
            what: 'a try that got somewhere starts the count again',
            steps: [{ fail: 'a' }, { fail: 'b', reset: true }, { fail: 'c' }, { value: 1 }], delay: doublingDelay(2000, 10000),
            result: 1, waits: [2000, 2000, 4000],
        },
        { what: 'stopped during a try: no wait, no more tries', steps: [{ fail: 'a' }, { fail: 'b', stop: true }, { value: 1 }], delay: linearDelay(1000, 10000), result: Stopped, tries: 2, waits: [1000] },
        { what: 'stopped before the first try', steps: [{ value: 1 }], stopped: true, delay: linearDelay(1000, 10000), result: Stopped, tries: 0, waits: [] },
    ];
    for (const c of cases) {
        await t.test(c.what, async () => {
            const state = { stopped: c.stopped ?? false };
            const waits = [];
            const told = [];
            const retry = new Retry({
                delayMs: c.delay,
                stopped: () => state.stopped,
                onWait: (failures, ms, error) => told.push([failures, ms, error.message]),
                setTimeout: (fn, ms) => {
                    waits.push(ms);
                    queueMicrotask(fn);
                    return ms;
                },
                clearTimeout: () => {},
            });
            const script = scripted(c.steps, state, retry);
            const outcome = retry.run(script.attempt);
            if (c.error) await assert.rejects(outcome, { message: c.error });
            else assert.equal(await outcome, c.result);
            assert.deepEqual(waits, c.waits);
            assert.equal(script.tries(), c.tries ?? c.steps.length);
            if (c.told) assert.deepEqual(told, c.told);
        });
    }
});

test('now() ends the wait: the next try at once, or the stop', async (t) => {
    for (const stop of [false, true]) {
        await t.test(stop ? 'stopping' : 'back online', async () => {
            const timers = new Set();
            const cleared = [];
            let stopped = false;
            let tries = 0;
            const retry = new Retry({
                delayMs: () => 10000,
                stopped: () => stopped,
                setTimeout: (fn, ms) => {
                    const timer = { fn, ms };
                    timers.add(timer);
                    return timer; // never fires by itself
                },
                clearTimeout: (timer) => cleared.push(timer),
            });
            const outcome = retry.run(async () => {
                if (++tries === 1) throw new Error('refused');
                return 'answered';
            });
            await new Promise((resolve) => setTimeout(resolve, 0));
            assert.equal(timers.size, 1, 'waiting');
            stopped = stop;
            retry.now();
            assert.equal(await outcome, stop ? Stopped : 'answered');
            assert.equal(tries, stop ? 1 : 2);
            assert.deepEqual(cleared, [...timers], 'the timer is not left running');
            retry.now(); // nothing to wake: harmless
        });
    }
});
