import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Actions } from '../../../web/actions.js';
import { ApiError } from '../../../web/api.js';
import { translator } from '../../../web/i18n.js';

// The console as the actions see it: a session whose API answers from the case, and what
// the page was told.
function page(answer) {
    const app = {
        lang: 'en',
        t: translator('en'),
        calls: [],
        toasts: [],
        signedOut: [],
        toast: (kind, text, detail = '') => app.toasts.push({ kind, text, detail }),
        signIn: { signOut: (message) => app.signedOut.push(message) },
        session: {
            api: {
                change: async (method, path, body) => {
                    app.calls.push({ method, path, body });
                    if (answer instanceof Error) throw answer;
                    return answer;
                },
            },
        },
    };
    return app;
}

test('what each action sends and what the page says', async (t) => {
    const price = { grade: { name: 'Super 95', price: 46.19 }, nozzles: [{ deferred: false }, { deferred: true }, { deferred: true }] };
    const cases = [
        { what: 'stop', action: 'stop', target: 3, answer: { id: 3 }, sent: ['POST', '/api/v1/fuel-points/3/stop'], toast: ['ok', 'Pump 3 stopped', ''] },
        { what: 'a sale paid', action: 'clear', target: 17, answer: {}, sent: ['POST', '/api/v1/sales/17/clear'], toast: ['ok', 'Sale 17 cleared as paid', ''] },
        {
            what: 'a price, some nozzles after their fill', action: 'price', target: '95 E/10', body: { price: 46.19 }, answer: price,
            sent: ['PUT', '/api/v1/grades/95%20E%2F10/price'], toast: ['ok', 'Super 95: 46.19 on 3 nozzles', '2 of them after their running fill'],
        },
        {
            what: 'a price taken at once', action: 'price', target: '92', body: { price: 40 }, answer: { grade: { name: 'Regular', price: 40 }, nozzles: [{}] },
            sent: ['PUT', '/api/v1/grades/92/price'], toast: ['ok', 'Regular: 40.00 on 1 nozzles', ''],
        },
        {
            what: 'a price some controllers take none of: counted apart, their pumps named once', action: 'price', target: '95', body: { price: 46 },
            answer: { grade: { name: 'Super 95', price: 46 }, nozzles: [{ fuelPoint: 1 }, { fuelPoint: 2, deferred: true }, { fuelPoint: 4, takesNoPrice: true }, { fuelPoint: 4, takesNoPrice: true }] },
            sent: ['PUT', '/api/v1/grades/95/price'], toast: ['ok', 'Super 95: 46.00 on 2 nozzles', '1 of them after their running fill; 2 nozzles take no price (pump 4)'],
        },
        { what: 'an emergency stop with nothing running', action: 'emergency', target: null, answer: { fuelPoints: [] }, sent: ['POST', '/api/v1/forecourt/emergency-stop'], toast: ['ok', 'Emergency stop: pumps stopped: —', ''] },
        { what: 'an emergency stop', action: 'emergency', target: null, answer: { fuelPoints: [1, 4] }, sent: ['POST', '/api/v1/forecourt/emergency-stop'], toast: ['ok', 'Emergency stop: pumps stopped: 1, 4', ''] },
    ];
    for (const c of cases) {
        await t.test(c.what, async () => {
            const app = page(c.answer);
            assert.deepEqual(await new Actions(app).send(c.action, c.target, c.body), { ok: true });
            assert.deepEqual(app.calls, [{ method: c.sent[0], path: c.sent[1], body: c.body ?? {} }]);
            assert.deepEqual(app.toasts, [{ kind: c.toast[0], text: c.toast[1], detail: c.toast[2] }]);
        });
    }
});

test('a refusal: said in the dialog that asked, or in a toast', async (t) => {
    const busy = new ApiError(409, 'busy', 'fuel point 1 is busy');
    const cases = [
        { what: 'a dialog asked', error: busy, toastFailure: false, result: { ok: false, message: 'The pump is busy. (fuel point 1 is busy)' }, toasts: [] },
        {
            what: 'a button on a tile', error: busy, toastFailure: true, result: { ok: false, message: 'The pump is busy. (fuel point 1 is busy)' },
            toasts: [{ kind: 'error', text: 'Stop failed: The pump is busy.', detail: 'fuel point 1 is busy' }],
        },
        { what: 'no answer, no words from the server', error: new ApiError(0, 'no-answer', ''), toastFailure: false, result: { ok: false, message: 'The server did not answer.' }, toasts: [] },
        { what: 'the token withdrawn: signed out', error: new ApiError(401, 'bad-token', 'unknown token'), toastFailure: true, result: { ok: false, message: '' }, toasts: [], signedOut: ['Signed out: the server no longer accepts this token.'] },
    ];
    for (const c of cases) {
        await t.test(c.what, async () => {
            const app = page(c.error);
            assert.deepEqual(await new Actions(app).send('stop', 1, {}, c.toastFailure), c.result);
            assert.deepEqual(app.toasts, c.toasts);
            assert.deepEqual(app.signedOut, c.signedOut ?? []);
        });
    }
});
